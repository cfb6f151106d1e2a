#!/usr/bin/env bash
# Installs every Debian package that building, testing and running libnivex needs.
# Safe to run again: apt-get skips what is already there.
#   scripts/setup.sh          build, tests, tools, fuzzing, real-libusb test tier
#   scripts/setup.sh --bench  additionally the benchmark yardstick (OpenCV)
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config git
  libusb-1.0-0-dev libusb-1.0-doc libarchive-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  umockdev libumockdev-dev libglib2.0-dev
  clang libclang-rt-14-dev clang-format
  libpng-dev libcli11-dev
)
for arg in "$@"; do
  case "$arg" in
    --bench) packages+=(libopencv-dev) ;;
    *) echo "usage: $0 [--bench]" >&2; exit 2 ;;
  esac
done

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && { echo "setup: all packages present"; exit 0; }

sudo=""
[ "$(id -u)" -ne 0 ] && sudo="sudo"
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq
$sudo apt-get install -y --no-install-recommends "${missing[@]}"
