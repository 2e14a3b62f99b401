// The simulated drives as the machine sees them. Internal to platform/sim.
#pragma once

#include "platform/sim/sim.h"

namespace sim {
namespace detail {

// A new drive at `letter` (replacing any drive there), its letter set to
// DRIVE_CDROM.
Drive &PlaceDrive(char letter);

// Numbers and records `command` (its number is set here), then answers it:
// the hook first, then the faults, then the drive model.
ScsiAnswer ExecuteCommand(Drive &drive, ScsiCommand command);

// Lets the drive notice the clock: a long write that has run its time ends
// and the downloaded image becomes the installed firmware.
void AdvanceDrive(Drive &drive);
// The same for every drive (after the clock moved).
void AdvanceDrives();

} // namespace detail
} // namespace sim
