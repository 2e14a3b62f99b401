// The verifier's trust anchors as PEM texts, generated at build time from the
// anchors folder's dm.crt and ca.crt.
#pragma once

#include <cstddef>

// The signing certificate: its EC public key checks package signatures.
extern const char dm_crt_pem[];
// Length of dm_crt_pem plus its terminating zero byte (the parser needs it).
extern const size_t dm_crt_pem_len;
// The root certificate, the verifier's only trust anchor.
extern const char ca_crt_pem[];
// Length of ca_crt_pem plus its terminating zero byte.
extern const size_t ca_crt_pem_len;
