#include "verifier.h"
#include "trust_texts.h"

#include <mbedtls/x509_crt.h>

int VerifyCertificateChain() {
  mbedtls_x509_crt clicert;
  mbedtls_x509_crt cacert;
  uint32_t flags = 0;

  mbedtls_x509_crt_init(&clicert);
  mbedtls_x509_crt_init(&cacert);

  int ret = mbedtls_x509_crt_parse(&clicert, reinterpret_cast<const unsigned char *>(dm_crt_pem),
                                   dm_crt_pem_len);
  if (ret == 0) {
    ret = mbedtls_x509_crt_parse(&cacert, reinterpret_cast<const unsigned char *>(ca_crt_pem),
                                 ca_crt_pem_len);
  }
  if (ret == 0) {
    // The root is trusted by being in the list; its self-signature is not checked.
    ret = mbedtls_x509_crt_verify(&clicert, &cacert, nullptr, nullptr, &flags, nullptr, nullptr);
  }

  mbedtls_x509_crt_free(&cacert);
  mbedtls_x509_crt_free(&clicert);
  return ret;
}
