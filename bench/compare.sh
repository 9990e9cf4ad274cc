#!/usr/bin/env bash
# This tree's library against the library of an earlier revision, side by side
# in one process (bench/builds_bench.cpp): drains of queued bursts and sends,
# on a veth pair in a network namespace of its own (unshare -n: only its
# loopback and that pair). A is the revision, B this tree; B/A above 1 is a gain.
#
#   bash bench/compare.sh REV [--sizes A,B,..] [--rounds N]   (as root)
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
build=$root/build-bench
out=$build/compare
if [[ ${1:-} == --in-namespace ]]; then
    shift
    source "$root/bench/veth-pair.sh"
    veth_pair compare.sh spwc-host spwc-peer
    "$build/bench/spweth_builds_bench" --host spwc-host --peer spwc-peer \
        --a "$out/libspweth-a.so" --b "$out/libspweth-b.so" --markdown "$out/compare.md" "$@" \
        >/dev/null
    exit 0
fi
if [[ $# -lt 1 || $1 == -* ]]; then
    echo "usage: bash bench/compare.sh REV [--sizes A,B,..] [--rounds N]" >&2
    exit 1
fi
if [[ $(id -u) -ne 0 ]]; then
    echo "compare.sh: run as root (it makes a network namespace and a veth pair)" >&2
    exit 1
fi
rev=$(git rev-parse --verify "$1^{commit}")
shift
bash scripts/install-deps.sh
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DSPWETH_BUILD_BENCH=ON \
    -DSPWETH_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" -j 2 --target spweth spweth_builds_bench >/dev/null
rm -rf "$out" && mkdir -p "$out"
# The revision's library, built the same way from a detached work tree.
tree=$out/tree
git worktree add --detach "$tree" "$rev" >/dev/null 2>&1
trap 'git worktree remove --force "$tree"' EXIT
cmake -S "$tree" -B "$out/build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DSPWETH_BUILD_TESTS=OFF \
    >/dev/null
cmake --build "$out/build" -j 2 --target spweth >/dev/null
cp "$(readlink -f "$out/build/libspweth.so")" "$out/libspweth-a.so"
cp "$(readlink -f "$build/libspweth.so")" "$out/libspweth-b.so"
unshare -n -- bash "$root/bench/compare.sh" --in-namespace "$@"
{
    echo "A: $(git log -1 --format='%h %s' "$rev" | cut -c1-80)"
    echo "B: this tree ($(git describe --always --dirty))"
    echo
    cat "$out/compare.md"
} | tee "$out/compare.txt"
