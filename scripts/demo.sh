#!/usr/bin/env bash
# Installs what the build needs, builds the library and runs its main job: a
# capture of 100 frames from a camera, here the simulated camera preloaded in
# front of libusb (no camera needs to be attached).
#   NIVEX_SIM="cameras=1,product=NVX-T0-1.0" scripts/demo.sh [frames]
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
cmake --preset default >/dev/null
cmake --build --preset default
cd build
export NIVEX_SIM="${NIVEX_SIM:-cameras=1,product=NVX-T0-1.0}"
LD_PRELOAD="$PWD/sim/libnivex_camsim.so" ./examples/capture "${1:-100}"
