# Round-trip latency through the bridge emulator: the CDF of the round trips
# (top) and its tail, the share of round trips slower than x (bottom), for
# 16-byte (left) and 1 KiB packets (right); SDK beside raw libpcap, idle wait
# off and on. Blocks of the data file, per packet size: SDK off, raw off, SDK
# on, raw on.
#   gnuplot -e "data='latency.dat'; output='latency.png'" latency.gp
set terminal pngcairo size 1200,900 font ",11"
set output output
set multiplot layout 2,2 title "Round trip of one packet through spweth-bridge-emu: SDK against raw libpcap"

set logscale x
set xrange [3:200]
set grid xtics ytics mxtics mytics lc rgb "#dddddd"
set xlabel "round trip (µs)"
sdk_off = "lw 2 lc rgb '#1f77b4'"
raw_off = "lw 2 dt 2 lc rgb '#1f77b4'"
sdk_on = "lw 2 lc rgb '#d62728'"
raw_on = "lw 2 dt 2 lc rgb '#d62728'"

do for [panel = 0:1] {
    base = 4 * panel
    set title (panel == 0 ? "16-byte packets" : "1 KiB packets")
    set ylabel "share of round trips at most x"
    unset logscale y
    set yrange [0:1]
    set key right bottom
    plot data index base + 0 using 1:2 with lines @sdk_off title "SDK, idle wait off", \
         data index base + 1 using 1:2 with lines @raw_off title "raw, spinning", \
         data index base + 2 using 1:2 with lines @sdk_on title "SDK, idle wait on", \
         data index base + 3 using 1:2 with lines @raw_on title "raw, poll()"
}
do for [panel = 0:1] {
    base = 4 * panel
    set title (panel == 0 ? "16-byte packets: the tail" : "1 KiB packets: the tail")
    set ylabel "share of round trips slower than x"
    set logscale y
    set yrange [1e-4:1]
    set key right top
    plot data index base + 0 using 1:(1 - $2) with lines @sdk_off title "SDK, idle wait off", \
         data index base + 1 using 1:(1 - $2) with lines @raw_off title "raw, spinning", \
         data index base + 2 using 1:(1 - $2) with lines @sdk_on title "SDK, idle wait on", \
         data index base + 3 using 1:(1 - $2) with lines @raw_on title "raw, poll()"
}
unset multiplot
