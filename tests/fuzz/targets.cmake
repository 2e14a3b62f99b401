# Included by enable.cmake at the end of the top-level directory.
# libFuzzer targets (clang, preset `fuzz`): everything is built with coverage
# instrumentation, AddressSanitizer and UndefinedBehaviorSanitizer; only the
# fuzz targets link libFuzzer itself.

# The verifier's trust texts from the development anchors, made the way
# add_verifier() makes them.
set(fuzz_dir ${PROJECT_SOURCE_DIR}/tests/fuzz)
set(fuzz_texts ${CMAKE_BINARY_DIR}/fuzz_trust_texts.cpp)
add_custom_command(
  OUTPUT ${fuzz_texts}
  COMMAND ${CMAKE_COMMAND} -DDM_CRT=${VERIFIER_DEVELOPMENT_ANCHORS}/dm.crt
          -DCA_CRT=${VERIFIER_DEVELOPMENT_ANCHORS}/ca.crt -DOUTPUT=${fuzz_texts}
          -P ${VERIFIER_SOURCE_DIR}/embed-trust-texts.cmake
  DEPENDS ${VERIFIER_DEVELOPMENT_ANCHORS}/dm.crt ${VERIFIER_DEVELOPMENT_ANCHORS}/ca.crt
  VERBATIM)

add_executable(fuzz_verifier_package ${fuzz_dir}/verifier_package_fuzz.cpp ${fuzz_texts})
target_include_directories(fuzz_verifier_package PRIVATE ${VERIFIER_SOURCE_DIR})
target_link_libraries(fuzz_verifier_package PRIVATE signvfy_core)
target_link_options(fuzz_verifier_package PRIVATE -fsanitize=fuzzer)

if(TARGET linked_resources AND EXISTS ${fuzz_dir}/drive_answers_fuzz.cpp)
  add_executable(fuzz_drive_answers ${fuzz_dir}/drive_answers_fuzz.cpp)
  target_link_libraries(fuzz_drive_answers PRIVATE linked_resources)
  target_link_options(fuzz_drive_answers PRIVATE -fsanitize=fuzzer)
endif()

# The simulated machine is the fuzz targets' stage, not what they explore: no
# coverage feedback from it (its 2 MiB firmware images would also make every
# run slow), but still the sanitizers.
if(TARGET platform_sim)
  target_compile_options(platform_sim PRIVATE
    -fno-sanitize-coverage=inline-8bit-counters,indirect-calls,trace-cmp,pc-table)
endif()
