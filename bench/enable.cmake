# Included after the top-level project() by bench/run.sh (through
# CMAKE_PROJECT_INCLUDE): defines the benchmark programs once the rest of the
# project is defined.
include_guard(GLOBAL)
cmake_language(DEFER DIRECTORY ${CMAKE_SOURCE_DIR}
               CALL include ${CMAKE_SOURCE_DIR}/bench/targets.cmake)
