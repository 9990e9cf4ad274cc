#!/usr/bin/env bash
# Installs the build into a scratch prefix and builds a small C program against
# it (check_consumer.sh).
# Usage: check_install.sh <build dir> <C compiler>
set -euo pipefail
build=$1
cc=$2
prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT
cmake --install "$build" --prefix "$prefix" >/dev/null
"$(dirname "$0")/check_consumer.sh" "$cc" "$prefix"
