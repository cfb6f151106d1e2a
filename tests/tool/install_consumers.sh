#!/usr/bin/env bash
# install_consumers.sh BUILD_DIR PREFIX CONSUMER_DIR VERSION
# Installs BUILD_DIR into PREFIX and checks what consumers and users of the
# installed tree rely on: the versioned library, a consumer built with
# find_package and one built with pkg-config, the udev rule, and the
# installed tool finding its simulator.
set -euo pipefail
build="$1" prefix="$2" consumer="$3" version="$4"
rm -rf "$prefix" "$prefix.work"
mkdir -p "$prefix.work"
cmake --install "$build" --prefix "$prefix" >/dev/null

lib="$(find "$prefix" -name "libnivex.so.$version" -type f)"
[ -n "$lib" ] || { echo "no libnivex.so.$version installed"; exit 1; }
soname="$(objdump -p "$lib" | awk '/SONAME/ { print $2 }')"
[ "$soname" = "libnivex.so.${version%%.*}" ] || { echo "SONAME is '$soname'"; exit 1; }
grep -q 'ATTR{idVendor}=="111b", ATTR{idProduct}=="1238", TAG+="uaccess"' \
    "$prefix/lib/udev/rules.d/60-nivex.rules"

cmake -S "$consumer" -B "$prefix.work/cmake" -G Ninja -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build "$prefix.work/cmake" >/dev/null
"$prefix.work/cmake/consumer"

pc_dir="$(dirname "$(find "$prefix" -name nivex.pc)")"
[ "$(PKG_CONFIG_PATH="$pc_dir" pkg-config --modversion nivex)" = "$version" ]
libdir="$(PKG_CONFIG_PATH="$pc_dir" pkg-config --variable=libdir nivex)"
# shellcheck disable=SC2046
cc -o "$prefix.work/pc_consumer" "$consumer/consumer.c" \
    $(PKG_CONFIG_PATH="$pc_dir" pkg-config --cflags --libs nivex) -Wl,-rpath,"$libdir"
"$prefix.work/pc_consumer"

cd "$prefix.work"
XDG_CACHE_HOME="$prefix.work/cache" "$prefix/bin/nivex" list --sim=product=NVX-T0-1.0 |
    grep -q 'NVX-T0-1.0'
echo "installed tree: library, package, pkg-config, udev rule and tool in place"
