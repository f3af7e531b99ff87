# The `vibemesh html` page: its markup and bad arguments (cli.html). The page's rendering is
# shared with `vibemesh serve`, whose page runs in headless Chromium (tests/page).
find_package(Python3 COMPONENTS Interpreter REQUIRED)
add_test(NAME cli.html
  COMMAND ${Python3_EXECUTABLE} ${CMAKE_SOURCE_DIR}/tests/cli/html_page_test.py static
          $<TARGET_FILE:vibemesh> ${CMAKE_BINARY_DIR}/html)
set_tests_properties(cli.html PROPERTIES LABELS cli TIMEOUT 600)
