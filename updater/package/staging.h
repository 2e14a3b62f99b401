// Staging of the package and the signature verifier, and the verifier's run.
#pragma once

#include "platform/kernel32.h"

// Writes the package and the verifier (resource 104) into a fresh folder of
// their own under the user's temporary folder, keeps both files locked against
// writing, renaming and deleting until the verifier has ended, runs the
// verifier on the package in the same console and waits for it. Returns true
// only when the verifier ran and exited with status 0. The folder and both
// files are gone again on every path. Writes nothing of its own.
bool VerifyFirmwarePackage(const BYTE *pPackage, DWORD size);
