#include "updater/linked_resources.h"

#include "platform/sim/sim.h"

// The bytes come in unchanged through the assembler, as a resource compiler
// would take them; UPDATER_PACKAGE and UPDATER_VERIFIER name the files.
__asm__(".section .rodata\n"
        ".balign 16\n"
        "linked_package_begin:\n"
        ".incbin \"" UPDATER_PACKAGE "\"\n"
        "linked_package_end:\n"
        ".balign 16\n"
        "linked_verifier_begin:\n"
        ".incbin \"" UPDATER_VERIFIER "\"\n"
        "linked_verifier_end:\n"
        ".previous\n");

extern "C" const unsigned char linked_package_begin[], linked_package_end[];
extern "C" const unsigned char linked_verifier_begin[], linked_verifier_end[];

const unsigned char* LinkedPackage() { return linked_package_begin; }
size_t LinkedPackageSize() { return (size_t)(linked_package_end - linked_package_begin); }
const unsigned char* LinkedVerifier() { return linked_verifier_begin; }
size_t LinkedVerifierSize() { return (size_t)(linked_verifier_end - linked_verifier_begin); }

void InstallLinkedResources() {
  sim::SetResource(101, LinkedPackage(), LinkedPackageSize());
  sim::SetResource(104, LinkedVerifier(), LinkedVerifierSize());
}
