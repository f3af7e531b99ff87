# Build against musl (Debian's musl-tools) instead of glibc, on the build machine's own
# architecture, so that glibc-only assumptions in the libraries show up. The libraries use no
# part of the C++ standard library that needs a compiled runtime (only header-only traits), so
# g++ compiles them against musl's C headers with the wrapper's specs file, the header-only
# C++ headers and the kernel's headers, and the C driver links them: the result needs only
# musl's libc. Programs run directly through musl's dynamic loader.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR ${CMAKE_HOST_SYSTEM_PROCESSOR})

set(VELTRA_MUSL_TRIPLE ${CMAKE_HOST_SYSTEM_PROCESSOR}-linux-musl)
set(VELTRA_MUSL_SPECS /usr/lib/${VELTRA_MUSL_TRIPLE}/musl-gcc.specs)
if(NOT EXISTS ${VELTRA_MUSL_SPECS})
  message(FATAL_ERROR "${VELTRA_MUSL_SPECS} is missing: install musl-tools")
endif()
set(VELTRA_GNU_TRIPLE ${CMAKE_HOST_SYSTEM_PROCESSOR}-linux-gnu)

set(CMAKE_C_COMPILER gcc)
set(CMAKE_CXX_COMPILER g++)

# musl ships no kernel headers: a directory holding only linux/, asm/ and asm-generic/ of the
# build machine's kernel headers keeps every glibc header out of reach.
set(VELTRA_MUSL_KERNEL_HEADERS ${CMAKE_BINARY_DIR}/musl-kernel-headers)
file(MAKE_DIRECTORY ${VELTRA_MUSL_KERNEL_HEADERS})
foreach(pair "linux=/usr/include/linux" "asm-generic=/usr/include/asm-generic"
             "asm=/usr/include/${VELTRA_GNU_TRIPLE}/asm")
  string(REPLACE "=" ";" pair "${pair}")
  list(GET pair 0 name)
  list(GET pair 1 target)
  if(NOT EXISTS ${VELTRA_MUSL_KERNEL_HEADERS}/${name})
    file(CREATE_LINK ${target} ${VELTRA_MUSL_KERNEL_HEADERS}/${name} SYMBOLIC)
  endif()
endforeach()

# libstdc++'s configuration header asks glibc's version macro, which musl does not define;
# here it answers "older", as for any other C library.
file(WRITE ${VELTRA_MUSL_KERNEL_HEADERS}/veltra-musl-cxx.h
     "#ifndef __GLIBC_PREREQ\n#define __GLIBC_PREREQ(major, minor) 0\n#endif\n")

# The specs file drops the default include paths; the C++ headers come back after musl's, and
# only the header-only ones may be used.
execute_process(COMMAND ${CMAKE_CXX_COMPILER} -dumpversion OUTPUT_VARIABLE VELTRA_GXX_VERSION
                OUTPUT_STRIP_TRAILING_WHITESPACE)
string(REGEX MATCH "^[0-9]+" VELTRA_GXX_MAJOR "${VELTRA_GXX_VERSION}")
set(CMAKE_C_FLAGS_INIT "-specs=${VELTRA_MUSL_SPECS} -idirafter ${VELTRA_MUSL_KERNEL_HEADERS}")
set(CMAKE_CXX_FLAGS_INIT "-specs=${VELTRA_MUSL_SPECS} -idirafter /usr/include/c++/${VELTRA_GXX_MAJOR} -idirafter /usr/include/${VELTRA_GNU_TRIPLE}/c++/${VELTRA_GXX_MAJOR} -idirafter ${VELTRA_MUSL_KERNEL_HEADERS} -include ${VELTRA_MUSL_KERNEL_HEADERS}/veltra-musl-cxx.h")

# The C driver links C++ objects too, so glibc's libstdc++ never enters a link.
set(CMAKE_CXX_CREATE_SHARED_LIBRARY
    "<CMAKE_C_COMPILER> <CMAKE_SHARED_LIBRARY_CXX_FLAGS> <LANGUAGE_COMPILE_FLAGS> <LINK_FLAGS> <CMAKE_SHARED_LIBRARY_CREATE_CXX_FLAGS> <SONAME_FLAG><TARGET_SONAME> -o <TARGET> <OBJECTS> <LINK_LIBRARIES>")
set(CMAKE_CXX_LINK_EXECUTABLE
    "<CMAKE_C_COMPILER> <FLAGS> <CMAKE_CXX_LINK_FLAGS> <LINK_FLAGS> <OBJECTS> -o <TARGET> <LINK_LIBRARIES>")

set(CMAKE_FIND_ROOT_PATH /usr/lib/${VELTRA_MUSL_TRIPLE} /usr/include/${VELTRA_MUSL_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
