#!/usr/bin/env bash
# Runs the fuzz targets one after another and prints executions and coverage.
#
#   bash fuzz/run.sh [SECONDS] [TARGET...]     each target for SECONDS (default 600)
#   bash fuzz/run.sh --runs N [TARGET...]      each target for N inputs (the test suite's run)
#   --build-dir DIR                            use the targets already built in DIR
#
# Without --build-dir the targets are built with clang in build-fuzz/. Targets
# are the names of fuzz/*_fuzz.cpp without the suffix (default: all built).
# New inputs go to DIR/fuzz/corpus/TARGET, the checked-in seeds in
# fuzz/corpus/TARGET are only read; a finding is written to DIR/fuzz/artifacts/.
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
root="$(dirname "$here")"

seconds=600
runs=""
build_dir=""
targets=()
while (($#)); do
    case "$1" in
        --runs) runs="$2"; shift 2 ;;
        --build-dir) build_dir="$2"; shift 2 ;;
        -h|--help) sed -n '2,12p' "$0"; exit 0 ;;
        [0-9]*) seconds="$1"; shift ;;
        *) targets+=("$1"); shift ;;
    esac
done

if [[ -z "$build_dir" ]]; then
    build_dir="$root/build-fuzz"
    CC=clang CXX=clang++ cmake -S "$root" -B "$build_dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DSPWETH_BUILD_FUZZ=ON -DSPWETH_BUILD_TESTS=OFF -DSPWETH_BUILD_TOOLS=OFF \
        -DSPWETH_BUILD_BENCH=OFF >/dev/null
    cmake --build "$build_dir" -j2
fi
bin_dir="$build_dir/fuzz"

if ((${#targets[@]} == 0)); then
    for exe in "$bin_dir"/*_fuzz; do
        [[ -x "$exe" ]] && targets+=("$(basename "$exe" _fuzz)")
    done
fi
((${#targets[@]})) || { echo "no fuzz targets built in $bin_dir" >&2; exit 1; }

status=0
for target in "${targets[@]}"; do
    exe="$bin_dir/${target}_fuzz"
    corpus="$bin_dir/corpus/$target"
    mkdir -p "$corpus" "$bin_dir/artifacts" "$bin_dir/logs"
    log="$bin_dir/logs/$target.log"
    limit=(-max_total_time="$seconds")
    [[ -n "$runs" ]] && limit=(-runs="$runs" -seed=1)
    seeds=()
    [[ -d "$here/corpus/$target" ]] && seeds=("$here/corpus/$target")
    if "$exe" "${limit[@]}" -max_len=16384 -timeout=20 -rss_limit_mb=2048 \
        -print_final_stats=1 -artifact_prefix="$bin_dir/artifacts/$target-" \
        "$corpus" "${seeds[@]}" >"$log" 2>&1; then
        result="ok"
    else
        result="FAILED (see $log)"
        status=1
    fi
    execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1 || true)
    coverage=$(grep -o 'cov: [0-9]* ft: [0-9]*' "$log" | tail -1 || true)
    corpus_size=$(find "$corpus" -type f | wc -l)
    echo "fuzz $target: $result, ${execs:-?} execs, ${coverage:-no coverage line}, corpus $corpus_size"
    [[ "$result" == ok ]] || tail -40 "$log"
done
exit $status
