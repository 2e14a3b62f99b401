// The signature verifier: checks its embedded certificate chain, then the
// ECDSA signature of a firmware package file.
#pragma once

#include <cstdint>

// Exit statuses of the verifier; 0 means the package is verified.
constexpr uint16_t status_verified = 0;
constexpr uint16_t status_no_fw_name = 0xF001;
constexpr uint16_t status_chain_failed = 0xF002;
constexpr uint16_t status_crt_parse_failed = 0xF003;
constexpr uint16_t status_open_failed = 0xF005;
constexpr uint16_t status_image_size = 0xF006;
constexpr uint16_t status_sig_size = 0xF007;
constexpr uint16_t status_sig_failed = 0xF008;

// Size of the path buffer: a combined path must leave room for the
// terminating zero byte.
constexpr unsigned fw_path_name_size = 512;

// Verifies the signing certificate `dm_crt_pem` under the root `ca_crt_pem`
// with mbed TLS's default profile at the current UTC time. Returns 0 when both
// texts parse and the chain verifies, else the first non-zero library result.
// Writes no output and keeps no state.
int VerifyCertificateChain();

// Verifies the package file named fw_path followed directly by fw_name
// (fw_path may be null; fw_name null yields 0xF001). Returns 0 when the chain
// check passes and the package's signature verifies over the SHA-256 digest of
// its image, else one of the statuses above, after writing that failure's
// diagnostic lines to standard output (flushed). Keeps no process-wide state.
uint16_t VerifyFirmwareFile(const char *fw_path, const char *fw_name);
