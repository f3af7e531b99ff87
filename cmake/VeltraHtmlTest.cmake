# The `vibemesh html` page: its markup and bad arguments (cli.html), and the page rendered in
# headless Chromium (cli.html_browser; skipped when Chromium is not installed). Screenshots
# land in BUILD/html/.
find_package(Python3 COMPONENTS Interpreter REQUIRED)
foreach(mode IN ITEMS static browser)
  set(name cli.html)
  if(mode STREQUAL "browser")
    set(name cli.html_browser)
  endif()
  add_test(NAME ${name}
    COMMAND ${Python3_EXECUTABLE} ${CMAKE_SOURCE_DIR}/tests/cli/html_page_test.py ${mode}
            $<TARGET_FILE:vibemesh> ${CMAKE_BINARY_DIR}/html)
  set_tests_properties(${name} PROPERTIES LABELS cli TIMEOUT 600 SKIP_RETURN_CODE 77)
endforeach()
