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
        ".text\n");

// The assembler names are given as they are, without any platform prefix.
extern const unsigned char linked_package_begin[] __asm__("linked_package_begin");
extern const unsigned char linked_package_end[] __asm__("linked_package_end");
extern const unsigned char linked_verifier_begin[] __asm__("linked_verifier_begin");
extern const unsigned char linked_verifier_end[] __asm__("linked_verifier_end");

const unsigned char *LinkedPackage() {
  return linked_package_begin;
}
// Each end is a symbol of its own, not a position in one array: their
// distance is taken between the addresses.
size_t LinkedPackageSize() {
  return (uintptr_t)linked_package_end - (uintptr_t)linked_package_begin;
}
const unsigned char *LinkedVerifier() {
  return linked_verifier_begin;
}
size_t LinkedVerifierSize() {
  return (uintptr_t)linked_verifier_end - (uintptr_t)linked_verifier_begin;
}

void InstallLinkedResources() {
  sim::SetResource(101, LinkedPackage(), LinkedPackageSize());
  sim::SetResource(104, LinkedVerifier(), LinkedVerifierSize());
}
