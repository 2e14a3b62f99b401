# Included after the top-level project() by the `fuzz` preset (through
# CMAKE_PROJECT_INCLUDE): defines the fuzz targets once the rest of the
# project is defined, so the product's own CMake files need not know of them.
include_guard(GLOBAL)
cmake_language(DEFER DIRECTORY ${CMAKE_SOURCE_DIR}
               CALL include ${CMAKE_SOURCE_DIR}/tests/fuzz/targets.cmake)
