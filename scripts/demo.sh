#!/usr/bin/env bash
# Installs what the build needs, builds the library and runs its main job.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
cmake --preset default >/dev/null
cmake --build --preset default
cd build
./examples/hello
