# The benchmark programs (bench/run.sh builds them in build/bench).
set(bench_dir ${PROJECT_SOURCE_DIR}/bench)
set(bench_texts ${CMAKE_BINARY_DIR}/bench_trust_texts.cpp)
add_custom_command(
  OUTPUT ${bench_texts}
  COMMAND ${CMAKE_COMMAND} -DDM_CRT=${VERIFIER_DEVELOPMENT_ANCHORS}/dm.crt
          -DCA_CRT=${VERIFIER_DEVELOPMENT_ANCHORS}/ca.crt -DOUTPUT=${bench_texts}
          -P ${VERIFIER_SOURCE_DIR}/embed-trust-texts.cmake
  DEPENDS ${VERIFIER_DEVELOPMENT_ANCHORS}/dm.crt ${VERIFIER_DEVELOPMENT_ANCHORS}/ca.crt
  VERBATIM)

add_executable(bench ${bench_dir}/bench.cpp ${bench_texts})
target_include_directories(bench PRIVATE ${VERIFIER_SOURCE_DIR})
target_link_libraries(bench PRIVATE signvfy_core)

add_executable(bench-updater ${bench_dir}/updater_run.cpp)
target_link_libraries(bench-updater PRIVATE linked_resources)

add_library(bench-hwm MODULE ${bench_dir}/hwm_preload.cpp)
set_target_properties(bench-hwm PROPERTIES PREFIX "")
