#!/usr/bin/env bash
# Builds and runs the whole test suite.
#   scripts/test.sh            default build (build/)
#   scripts/test.sh asan       AddressSanitizer + UndefinedBehaviorSanitizer (build-asan/)
#   scripts/test.sh tsan       ThreadSanitizer (build-tsan/)
# Further arguments go to ctest, e.g. scripts/test.sh default -L stream
#   or -LE soak to leave out the long soak tests.
set -euo pipefail
cd "$(dirname "$0")/.."
preset="${1:-default}"
shift || true
cmake --preset "$preset" >/dev/null
cmake --build --preset "$preset"
ctest --preset "$preset" "$@"
