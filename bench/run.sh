#!/usr/bin/env bash
# Benchmarks the library against raw libpcap (throughput, latency, waiting)
# and counts its own instructions per frame. Writes bench/results.md (also
# printed), bench/throughput.png and bench/latency.png. Its last section sets
# the Python package's loopback against the demo's (bench/python_loopback.py).
#
#   bash bench/run.sh            (as root: it makes a network namespace)
#   bash bench/run.sh --python   (that last section alone, rewritten in place)
#
# The network part runs in a namespace of its own (unshare -n) that holds only
# its loopback and the veth pair it creates; no other adapter is opened.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
build=$root/build-bench
out=$build/bench-out
host_if=spwb-host
peer_if=spwb-peer
sizes=(1 64 1495 1496 65536 1048576)

# --- Inside the namespace: the veth pair and the network benchmark ----------
if [[ ${1:-} == --in-namespace ]]; then
    part=${2:-all}
    source "$root/bench/veth-pair.sh"
    veth_pair run.sh "$host_if" "$peer_if"
    emulator=()
    if [[ -x $build/tools/bridge-emu/spweth-bridge-emu ]]; then
        emulator=(--emulator "$build/tools/bridge-emu/spweth-bridge-emu")
    fi
    if [[ $part == all ]]; then
        # The throughput rounds run their threads at real-time priority
        # (SPWETH_BENCH_REALTIME=0 turns that off); see bench/net_bench.cpp.
        "$build/bench/spweth_net_bench" --host "$host_if" --peer "$peer_if" "${emulator[@]}" \
            --realtime "${SPWETH_BENCH_REALTIME:-1}" \
            --markdown "$out/net.md" --plot-data "$out/throughput.dat" \
            --latency-data "$out/latency.dat" --targets "$out/targets.md" >"$out/net.log"
    fi
    python3 "$root/bench/python_loopback.py" "$build/tools/demo/spweth-demo" \
        "$build/tools/bridge-emu/spweth-bridge-emu" "$build/libspweth.so.3" "$host_if" "$peer_if" \
        >"$out/python.md"
    exit 0
fi

if [[ $(id -u) -ne 0 ]]; then
    echo "run.sh: run as root (it makes a network namespace and a veth pair)" >&2
    exit 1
fi
started=$SECONDS
load_before=$(cut -d' ' -f1-3 /proc/loadavg)
bash scripts/install-deps.sh
echo "== build ($build)"
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DSPWETH_BUILD_BENCH=ON \
    -DSPWETH_BUILD_TESTS=OFF >/dev/null
targets=(spweth_net_bench spweth_cost_driver spweth spweth-demo spweth-bridge-emu)
[[ ${1:-} == --python ]] && targets=(spweth spweth-demo spweth-bridge-emu)
cmake --build "$build" -j 2 --target "${targets[@]}" >/dev/null
rm -rf "$out" && mkdir -p "$out"

# The Python package's loopback against the demo's: the last section of
# bench/results.md, from its heading on, replaced by a new measurement.
python_heading='### Python package against spweth-demo'
if [[ ${1:-} == --python ]]; then
    echo "== python -m spweth loopback against spweth-demo (unshare -n)"
    unshare -n -- bash "$root/bench/run.sh" --in-namespace python
    # What comes before the heading, less its trailing blank lines
    awk -v h="$python_heading" 'index($0, h) == 1 {exit}
        /^$/ {blank = blank "\n"; next} {printf "%s%s\n", blank, $0; blank = ""}' \
        bench/results.md >"$out/results.kept"
    { cat "$out/results.kept"; echo; cat "$out/python.md"; } >bench/results.md
    cat "$out/python.md"
    exit 0
fi

# --- 1-7: throughput, latency and waiting in the namespace ----------------------
echo "== throughput, latency and waiting over a veth pair (unshare -n)"
unshare -n -- bash "$root/bench/run.sh" --in-namespace

# --- 8: instructions per frame under callgrind, over the pcap test double ------
echo "== instructions per frame (callgrind)"
cost_rows=()
for path in send recv; do
    [[ $path == send ]] && entry=SpW_Send_Packet || entry=SpW_Recv_Packet
    for size in "${sizes[@]}"; do
        profile=$out/callgrind.$path.$size
        valgrind --tool=callgrind --toggle-collect="$entry" --compress-strings=no \
            --compress-pos=no --callgrind-out-file="$profile" --log-file="$profile.log" \
            "$build/bench/spweth_cost_driver" "$path" "$size" 3000 >/dev/null 2>"$profile.frames"
        frames=$(awk '/^frames/ {print $2}' "$profile.frames")
        awk -v frames="$frames" -f bench/callgrind_split.awk "$profile" >"$profile.split"
    done
done

load_after=$(cut -d' ' -f1-3 /proc/loadavg)

# --- Report ------------------------------------------------------------------
value() { awk -v k="$2" '$1 == k {print $2}' "$1"; }
{
    echo "# spweth performance"
    echo
    echo "Measured by \`bash bench/run.sh\` on $(date -u +%Y-%m-%d), $(nproc) cores, Linux $(uname -r),"
    echo "libpcap $(pkg-config --modversion libpcap), library built $(awk -F= '/^CMAKE_BUILD_TYPE:/ {print $2}' "$build/CMakeCache.txt"),"
    echo "load average before the run: $load_before, after it: $load_after (other work on the machine"
    echo "shows in the wall-clock figures)."
    echo "Throughput is payload (10^6 bytes/s); every figure is the median of several rounds, SDK and raw"
    echo "rounds interleaved; SDK/raw is the ratio of the medians."
    echo
    cat "$out/net.md"
    echo "### 8. The library's own instructions per frame (callgrind, pcap test double)"
    echo
    echo "Counted with \`valgrind --tool=callgrind --toggle-collect=SpW_Send_Packet\` (or SpW_Recv_Packet)"
    echo "around about 3000 frames of packets of each size. Excluded: the test double (the inclusive cost"
    echo "of every call from library code into \`pcap_*\`). *Copy* is the payload copy: calls from library"
    echo "code into \`memcpy\`/\`memmove\`, and instructions on library source lines that copy bytes (a copy"
    echo "the compiler inlined); *fill* the same for the zero fill of short frames (\`memset\`); *beyond copy*"
    echo "is everything else, fill included. Method in bench/callgrind_split.awk."
    echo
    echo "| path | packet | frames | library instr/frame | copy | fill | beyond copy |"
    echo "|---|---:|---:|---:|---:|---:|---:|"
    for path in send recv; do
        for size in "${sizes[@]}"; do
            s=$out/callgrind.$path.$size.split
            echo "| $path | $size B | $(value "$s" frames) | $(value "$s" library) | $(value "$s" copy) |" \
                "$(value "$s" fill) | $(awk '$1 == "library" {l=$2} $1 == "copy" {c=$2} END {printf "%.1f", l - c}' "$s") |"
        done
    done
    echo
    echo "Where the instructions go, 1495-byte packets (self instructions per frame, by function;"
    echo "the C library's share is the payload copy):"
    echo
    echo "| path | function | instr/frame |"
    echo "|---|---|---:|"
    for path in send recv; do
        awk -v p="$path" '$1 == "fn" && $2 > 0 {name = $0; sub(/^fn [^ ]+ /, "", name);
             gsub(/\(anonymous namespace\)::/, "", name); sub(/\(.*/, "", name); printf "| %s | `%s` | %s |\n", p, name, $2}' \
            "$out/callgrind.$path.1495.split" | sort -t'|' -k4 -rn
    done
    echo
    echo "### Targets"
    echo
    echo "| target | worst measured | met |"
    echo "|---|---:|:---:|"
    awk '
        function label(size) { return size >= 1048576 ? size / 1048576 " MiB" : size >= 65536 ? size / 1024 " KiB" : size " B" }
        /^#/ { block++; next }
        NF == 0 { next }
        block == 2 {
            if ($2 > 0 && $3 > 0) { r = $3 / $2; if (trip == "" || r < trip) trip = r }
            else failed = failed (failed == "" ? "" : ", ") label($1)
            have_trip = 1
        }
        END {
            if (have_trip)
                printf "| round trip crediting on/off >= 0.8 | %.3f%s | %s |\n", trip,
                    (failed == "" ? "" : "; failed at " failed), (trip >= 0.8 && failed == "" ? "yes" : "NO")
        }' "$out/throughput.dat"
    # Per frame in long packets (a frame among hundreds), and at every size (a
    # packet of one frame pays the whole call for its one frame).
    for path in send recv; do
        [[ $path == send ]] && limit=110 || limit=180
        worst=0 worst_long=0
        for size in "${sizes[@]}"; do
            b=$(awk '$1 == "library" {l=$2} $1 == "copy" {c=$2} END {printf "%.1f", l - c}' \
                "$out/callgrind.$path.$size.split")
            worst=$(awk -v a="$worst" -v b="$b" 'BEGIN {print (b > a) ? b : a}')
            ((size >= 65536)) && worst_long=$(awk -v a="$worst_long" -v b="$b" 'BEGIN {print (b > a) ? b : a}')
        done
        for row in "packets of 64 KiB and more:$worst_long" "every size:$worst"; do
            met=$(awk -v w="${row##*:}" -v l="$limit" 'BEGIN {print (w <= l) ? "yes" : "NO"}')
            echo "| $path: instructions per frame beyond the copy <= $limit, ${row%%:*} | ${row##*:} | $met |"
        done
    done
    cat "$out/targets.md"
    echo
    cat "$out/python.md"
} >bench/results.md

# --- Plot ----------------------------------------------------------------------
gnuplot -e "data='$out/throughput.dat'; output='bench/throughput.png'" bench/throughput.gp
gnuplot -e "data='$out/latency.dat'; output='bench/latency.png'" bench/latency.gp

cat bench/results.md
echo
echo "Wrote bench/results.md, bench/throughput.png and bench/latency.png in $((SECONDS - started)) s."
