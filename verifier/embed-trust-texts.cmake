# Script mode: writes OUTPUT, a C++ source defining dm_crt_pem and ca_crt_pem
# byte for byte from DM_CRT and CA_CRT, each with a terminating zero byte, and
# their size constants (text length plus one).
foreach(var DM_CRT CA_CRT OUTPUT)
  if(NOT DEFINED ${var})
    message(FATAL_ERROR "embed-trust-texts: ${var} not set")
  endif()
endforeach()

function(pem_array name file out_var)
  if(NOT EXISTS ${file})
    message(FATAL_ERROR "trust anchor ${file} does not exist")
  endif()
  file(READ ${file} hex HEX)
  string(REGEX REPLACE "([0-9a-f][0-9a-f])" "'\\\\x\\1'," bytes "${hex}")
  # Twelve bytes a line keeps the generated file readable.
  string(REGEX REPLACE "(('[^']*',){12})" "\\1\n    " bytes "${bytes}")
  set(${out_var}
      "const char ${name}[] = {\n    ${bytes}'\\0'};\nconst size_t ${name}_len = sizeof(${name});\n"
      PARENT_SCOPE)
endfunction()

pem_array(dm_crt_pem ${DM_CRT} dm_text)
pem_array(ca_crt_pem ${CA_CRT} ca_text)
file(WRITE ${OUTPUT}.tmp
     "// Generated from ${DM_CRT} and ${CA_CRT}; do not edit.\n#include \"trust_texts.h\"\n\n${dm_text}\n${ca_text}")
file(RENAME ${OUTPUT}.tmp ${OUTPUT})
