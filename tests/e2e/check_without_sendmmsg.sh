#!/usr/bin/env bash
# The round trips against the emulator on a system whose sendmmsg always
# fails: the library must fall back to one send per frame, for good, after
# the first refusal of each socket.
# Usage: check_without_sendmmsg.sh SHIM TEST_PROGRAM [gtest args...]
set -euo pipefail
shim=$1
shift
refusals=$(mktemp)
trap 'rm -f "$refusals"' EXIT
LD_PRELOAD=$shim SPWETH_TEST_REFUSALS=$refusals "$@"
# The round trips send hundreds of batches; a library that fell back for
# good asked sendmmsg once per socket (one socket per test here).
calls=$(awk '{ total += $2 } END { print total + 0 }' "$refusals")
echo "sendmmsg called $calls times"
if [ "$calls" -lt 1 ]; then
    echo "the library never tried sendmmsg: nothing was checked"
    exit 1
fi
if [ "$calls" -gt 10 ]; then
    echo "the library kept trying sendmmsg after it was refused"
    exit 1
fi
