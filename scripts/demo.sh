#!/usr/bin/env bash
# Installs what the build needs, builds the library and the nivex tool, and
# runs the main job: 30 frames from a simulated EPC camera looking at a scene
# with some depth in it (the tool preloads the simulator: no camera needed),
# written as a colour-mapped depth image, an amplitude image and a point cloud,
# with the frame rate and the distance at the image centre printed.
#   scripts/demo.sh [output folder]        (default demo-output)
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
cmake --preset default >/dev/null
cmake --build --preset default
out="${1:-demo-output}"
build/bin/nivex capture --sim -n 30 -o "$out" --depth-png --amplitude-png --ply
