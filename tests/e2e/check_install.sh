#!/usr/bin/env bash
# Installs the build into a scratch prefix and builds a small C program against
# it twice: found through pkg-config, and through find_package(spweth).
# Usage: check_install.sh <build dir> <C compiler>
set -euo pipefail
build=$1
cc=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
prefix=$work/prefix

cmake --install "$build" --prefix "$prefix" >/dev/null
pc_file=$(find "$prefix" -name spweth.pc -print -quit)
[[ -n $pc_file ]] || { echo "spweth.pc was not installed"; exit 1; }
libdir=$(dirname "$(dirname "$pc_file")")

mkdir "$work/app"
cat >"$work/app/app.c" <<'C'
#include <spweth.h>
#include <stdio.h>

int main(void) {
    const unsigned char *bridge = get_current_dest_mac_address();
    if (get_bridge_credits() != 8 || bridge[5] != 0x05) return 1;
    puts("spweth found");
    return 0;
}
C

echo "-- pkg-config"
export PKG_CONFIG_PATH=$libdir/pkgconfig
# shellcheck disable=SC2046
"$cc" "$work/app/app.c" -o "$work/app/by_pkg_config" $(pkg-config --cflags --libs spweth)
LD_LIBRARY_PATH=$libdir "$work/app/by_pkg_config"

echo "-- find_package"
cat >"$work/app/CMakeLists.txt" <<'CMAKE'
cmake_minimum_required(VERSION 3.25)
project(spweth_consumer LANGUAGES C)
find_package(spweth 3 REQUIRED)
add_executable(by_find_package app.c)
target_link_libraries(by_find_package PRIVATE spweth::spweth)
CMAKE
cmake -S "$work/app" -B "$work/app/build" -DCMAKE_PREFIX_PATH="$prefix" \
    -DCMAKE_C_COMPILER="$cc" >/dev/null
cmake --build "$work/app/build" >/dev/null
"$work/app/build/by_find_package"   # found through the build's RPATH
