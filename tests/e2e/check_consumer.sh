#!/usr/bin/env bash
# Builds a small C program against an installed spweth and runs it, twice:
# found through pkg-config, and through find_package(spweth).
# Usage: check_consumer.sh <C compiler> [prefix]
# With a prefix (a `cmake --install --prefix` copy), the library is looked for
# there only; without one, where the system keeps it (the Debian packages).
set -euo pipefail
cc=$1
prefix=${2:-}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cmake_args=()
if [[ -n $prefix ]]; then
    pc_file=$(find "$prefix" -name spweth.pc -print -quit)
    [[ -n $pc_file ]] || { echo "spweth.pc was not installed"; exit 1; }
    libdir=$(dirname "$(dirname "$pc_file")")
    export PKG_CONFIG_PATH=$libdir/pkgconfig LD_LIBRARY_PATH=$libdir
    cmake_args=(-DCMAKE_PREFIX_PATH="$prefix")
fi

cat >"$work/app.c" <<'C'
#include <spweth.h>
#include <spweth_rmap.h>
#include <stdio.h>

int main(void) {
    const unsigned char *bridge = get_current_dest_mac_address();
    if (get_bridge_credits() != 8 || bridge[5] != 0x05) return 1;
    puts("spweth found");
    return 0;
}
C

echo "-- pkg-config"
# shellcheck disable=SC2046
"$cc" "$work/app.c" -o "$work/by_pkg_config" $(pkg-config --cflags --libs spweth)
"$work/by_pkg_config"

echo "-- find_package"
cat >"$work/CMakeLists.txt" <<'CMAKE'
cmake_minimum_required(VERSION 3.25)
project(spweth_consumer LANGUAGES C)
find_package(spweth 3 REQUIRED)
add_executable(by_find_package app.c)
target_link_libraries(by_find_package PRIVATE spweth::spweth)
CMAKE
cmake -S "$work" -B "$work/build" "${cmake_args[@]}" -DCMAKE_C_COMPILER="$cc" >/dev/null
cmake --build "$work/build" >/dev/null
"$work/build/by_find_package"   # a prefix copy is found through the build's RPATH
