# The API reference: `cmake --build BUILD --target docs` runs Doxygen over the public headers
# into BUILD/docs/html. Not part of the default build.
find_program(VELTRA_DOXYGEN doxygen)
find_package(Python3 COMPONENTS Interpreter QUIET)
if(VELTRA_DOXYGEN AND Python3_FOUND)
  configure_file(${CMAKE_SOURCE_DIR}/docs/Doxyfile.in ${CMAKE_BINARY_DIR}/docs/Doxyfile @ONLY)
  add_custom_target(docs
    COMMAND ${VELTRA_DOXYGEN} ${CMAKE_BINARY_DIR}/docs/Doxyfile
    COMMAND ${CMAKE_COMMAND} -E echo "API reference: ${CMAKE_BINARY_DIR}/docs/html/index.html"
    WORKING_DIRECTORY ${CMAKE_SOURCE_DIR}
    COMMENT "Generating the API reference"
    VERBATIM)
else()
  add_custom_target(docs
    COMMAND ${CMAKE_COMMAND} -E echo "the docs target needs doxygen and python3 (apt-get install doxygen)"
    COMMAND ${CMAKE_COMMAND} -E false
    VERBATIM)
endif()
