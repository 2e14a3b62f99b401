#!/usr/bin/env bash
# Builds the updater for the simulated machine and runs one whole update on
# the simulated drive, on this console, in real time. Arguments go to the
# program: a preset name or a scenario file (see tools/simulated_update.cpp).
set -euo pipefail
cd "$(dirname "$0")/.."
tools/setup-debian.sh
cmake --preset linux >/dev/null
cmake --build --preset linux -j"${JOBS:-2}" --target simulated-update >/dev/null
exec build/linux/simulated-update "$@"
