// The updater's resources as they are linked into the simulated builds: the
// same bytes the Windows build carries as resources 101 and 104.
#pragma once

#include <stddef.h>

// Hands both resources to the simulated machine (sim::SetResource).
void InstallLinkedResources();

// The carried firmware package and the verifier program, as linked.
const unsigned char *LinkedPackage();
size_t LinkedPackageSize();
const unsigned char *LinkedVerifier();
size_t LinkedVerifierSize();
