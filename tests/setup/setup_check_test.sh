#!/usr/bin/env bash
# The set-up's dry run: for every job, a package that no archive carries is reported missing,
# an installed one is not, and nothing is installed (apt-get and sudo are stubs that fail).
set -u
setup=$1
stubs=$(mktemp -d)
trap 'rm -rf "${stubs}"' EXIT
for tool in apt-get sudo npm; do
  printf '#!/bin/sh\necho "%s called" >&2\nexit 99\n' "${tool}" >"${stubs}/${tool}"
  chmod +x "${stubs}/${tool}"
done
fail=0
printf 'dpkg\n# comment\nveltra-surely-missing-package\n' >"${stubs}/list.txt"
for job in "${stubs}/list.txt" $(cd "$(dirname "${setup}")/packages" && ls | sed 's/\.txt$//'); do
  args=(--with veltra-surely-missing-package "${job}")
  [ -f "${job}" ] && args=(--list "${job}")
  out=$(PATH="${stubs}:${PATH}" VELTRA_SETUP= "${setup}" --check "${args[@]}" 2>&1)
  rc=$?
  if [ "${rc}" -ne 1 ] || ! grep -q '^setup: missing Debian packages: .*veltra-surely-missing-package' <<<"${out}" ||
     grep -qE 'called|packages: (.* )?dpkg( |$)' <<<"${out}"; then
    echo "FAIL ${job}: exit ${rc}: ${out}"
    fail=1
  fi
done
exit "${fail}"
