// The update procedure.
#pragma once

// Updates the target drive (g_TargetDrive) to the carried firmware: identifies
// it, passes it through the revision and no-disc gates, has the package
// verified, downloads and commits the image, follows the drive's progress and
// shows its new identification. Every outcome is told on the console and ends
// with a key wait, except a failed revision read, which returns at once.
// Leaves g_SenseData as the last command left it.
void UpdateFirmware();
