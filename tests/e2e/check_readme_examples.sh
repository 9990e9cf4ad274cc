#!/usr/bin/env bash
# Compiles each C block of the README (```c ... ```) as a file of its own
# against the installed headers, warnings as errors: the README's examples
# compile as they stand (gnu11: libpcap's header needs the BSD type names).
# Usage: check_readme_examples.sh <README.md> <C compiler> <install prefix>
set -euo pipefail
readme=$1
cc=$2
prefix=$3
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
awk -v dir="$work" '
    /^```c$/ { n++; file = sprintf("%s/block%d.c", dir, n); inside = 1; next }
    /^```/   { inside = 0; next }
    inside   { print > file }
' "$readme"
blocks=("$work"/block*.c)
if [[ ! -e ${blocks[0]} ]]; then
    echo "no C blocks in $readme"
    exit 1
fi
include=$(find "$prefix" -name spweth.h -printf '%h\n' | head -1)
status=0
for block in "${blocks[@]}"; do
    if ! "$cc" -std=gnu11 -Wall -Wextra -Werror -I"$include" -c "$block" -o "$block.o"; then
        echo "README C block $(basename "$block" .c) does not compile:"
        cat -n "$block"
        status=1
    fi
done
echo "${#blocks[@]} README C blocks compiled"
exit $status
