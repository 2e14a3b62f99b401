// For tests: the drive access state of a fresh process.
#pragma once

// Empties both device caches (without closing their handles), zeros
// g_DriveLetters and g_SenseData, sets g_TargetDrive to -1 and restores the
// default g_EndProcess.
void ResetDriveState();
