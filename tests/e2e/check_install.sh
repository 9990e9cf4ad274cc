#!/usr/bin/env bash
# Installs the build into a scratch prefix and builds a small C program against
# it (check_consumer.sh), compiles the README's C blocks against its headers
# (check_readme_examples.sh), and finds a manual page for every exported name.
# Usage: check_install.sh <build dir> <C compiler> [README.md]
set -euo pipefail
build=$1
cc=$2
readme=${3:-}
here=$(dirname "$0")
prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT
cmake --install "$build" --prefix "$prefix" >/dev/null
"$here/check_consumer.sh" "$cc" "$prefix"
if [[ -n $readme ]]; then
    "$here/check_readme_examples.sh" "$readme" "$cc" "$prefix"
fi

# Every function of the public headers opens its page: spweth_rmap(3) for the
# RMAP calls, spweth(3) for the others.
mandir=$(find "$prefix" -type d -name man3 -print -quit)
[[ -n $mandir ]] || { echo "no man3 folder installed"; exit 1; }
include=$(find "$prefix" -name spweth.h -printf '%h\n' | head -1)
missing=0
for header in spweth.h spweth_rmap.h; do
    page=${header%.h}.3
    for name in $(sed -nE 's/^SPWETH_API[^(]*[^A-Za-z0-9_(]([A-Za-z_][A-Za-z0-9_]*)\(.*/\1/p' \
                      "$include/$header" | sort -u); do
        link="$mandir/$name.3.gz"
        if [[ ! -e $link ]] || [[ $(zcat "$link") != ".so man3/$page" ]]; then
            echo "no page for $name (expected $link: .so man3/$page)"
            missing=1
        fi
    done
done
[[ -e $mandir/spweth_rmap.3.gz ]] || { echo "no spweth_rmap(3)"; missing=1; }
if command -v man >/dev/null; then
    for name in SpW_Recv_Packet SpW_RMAP_Read spweth_rmap; do
        MANPATH=$(dirname "$mandir") man -w "$name" >/dev/null || { echo "man -w $name finds nothing"; missing=1; }
    done
fi
echo "manual pages: every exported name has one"
exit $missing
