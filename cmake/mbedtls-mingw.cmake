# mbed TLS for the Windows (mingw-w64) builds: Debian's source package of the
# same version as the installed libmbedtls-dev, fetched by
# fetch-mbedtls-source.sh and built once per build tree as static libraries
# with this build's toolchain (programs and tests off). Defines the imported
# targets MbedTLS::mbedx509, MbedTLS::mbedcrypto (include directories set).
set(_mbedtls_root ${CMAKE_BINARY_DIR}/_deps/mbedtls)
set(_mbedtls_prefix ${_mbedtls_root}/install)
set(_mbedtls_stamp ${_mbedtls_prefix}/built.stamp)

if(NOT EXISTS ${_mbedtls_stamp})
  message(STATUS "mbed TLS: fetching Debian's source package")
  execute_process(
    COMMAND ${CMAKE_CURRENT_LIST_DIR}/fetch-mbedtls-source.sh ${_mbedtls_root}
    RESULT_VARIABLE _rc)
  if(NOT _rc EQUAL 0)
    message(FATAL_ERROR "mbed TLS: fetching the source package failed")
  endif()
  message(STATUS "mbed TLS: building the static libraries for ${CMAKE_SYSTEM_PROCESSOR}")
  execute_process(
    COMMAND ${CMAKE_COMMAND} -S ${_mbedtls_root}/src -B ${_mbedtls_root}/build
            -DCMAKE_TOOLCHAIN_FILE=${CMAKE_TOOLCHAIN_FILE}
            -DCMAKE_BUILD_TYPE=Release
            -DCMAKE_INSTALL_PREFIX=${_mbedtls_prefix}
            -DENABLE_PROGRAMS=OFF -DENABLE_TESTING=OFF
            -DUSE_STATIC_MBEDTLS_LIBRARY=ON -DUSE_SHARED_MBEDTLS_LIBRARY=OFF
            -DMBEDTLS_FATAL_WARNINGS=OFF
    OUTPUT_FILE ${_mbedtls_root}/configure.log
    ERROR_FILE ${_mbedtls_root}/configure.log
    RESULT_VARIABLE _rc)
  if(NOT _rc EQUAL 0)
    message(FATAL_ERROR "mbed TLS: configure failed, see ${_mbedtls_root}/configure.log")
  endif()
  execute_process(
    COMMAND ${CMAKE_COMMAND} --build ${_mbedtls_root}/build --target install -j2
    OUTPUT_FILE ${_mbedtls_root}/build.log
    ERROR_FILE ${_mbedtls_root}/build.log
    RESULT_VARIABLE _rc)
  if(NOT _rc EQUAL 0)
    message(FATAL_ERROR "mbed TLS: build failed, see ${_mbedtls_root}/build.log")
  endif()
  file(TOUCH ${_mbedtls_stamp})
endif()

foreach(_lib mbedcrypto mbedx509)
  if(NOT TARGET MbedTLS::${_lib})
    add_library(MbedTLS::${_lib} STATIC IMPORTED GLOBAL)
    set_target_properties(MbedTLS::${_lib} PROPERTIES
      IMPORTED_LOCATION ${_mbedtls_prefix}/lib/lib${_lib}.a
      INTERFACE_INCLUDE_DIRECTORIES ${_mbedtls_prefix}/include)
  endif()
endforeach()
set_property(TARGET MbedTLS::mbedx509 PROPERTY INTERFACE_LINK_LIBRARIES MbedTLS::mbedcrypto)
