# Payload throughput against packet size, SDK beside raw libpcap (top), and
# the ratios that the targets are set on (bottom).
#   gnuplot -e "data='throughput.dat'; output='throughput.png'" throughput.gp
set terminal pngcairo size 1000,900 font ",11"
set output output
set multiplot layout 2,1 title "spweth against raw libpcap over a veth pair (payload, median of rounds)"

set lmargin 12
set xlabel "SpaceWire packet size (bytes)"
set logscale x
set format x "10^{%L}"
set xrange [0.7:2e6]
set grid xtics ytics mxtics mytics lc rgb "#dddddd"

set ylabel "payload MB/s (10^6 bytes/s)"
set logscale y
set key left top
plot data index 0 using 1:2 with linespoints dt 2 lw 2 pt 6 ps 1.5 lc rgb "#1f77b4" title "send: raw pcap\\_sendpacket", \
     data index 0 using 1:3 with linespoints lw 2 pt 7 lc rgb "#1f77b4" title "send: SpW\\_Send\\_Packet", \
     data index 0 using 1:4 with linespoints dt 2 lw 2 pt 4 ps 1.5 lc rgb "#d62728" title "receive: raw pcap\\_next\\_ex", \
     data index 0 using 1:5 with linespoints lw 2 pt 5 lc rgb "#d62728" title "receive: SpW\\_Recv\\_Packet", \
     data index 1 using 1:($2 > 0 ? $2 : NaN) with linespoints lw 2 pt 9 lc rgb "#2ca02c" title "round trip via emulator, crediting off", \
     data index 1 using 1:($3 > 0 ? $3 : NaN) with linespoints dt 3 lw 2 pt 8 ps 1.5 lc rgb "#2ca02c" title "round trip via emulator, crediting on"

set ylabel "ratio"
unset logscale y
set yrange [0.5:1.15]
set key left bottom
plot data index 0 using 1:($3 / $2) with linespoints lw 2 pt 7 lc rgb "#1f77b4" title "send: SDK / raw", \
     data index 0 using 1:($5 / $4) with linespoints lw 2 pt 5 lc rgb "#d62728" title "receive: SDK / raw", \
     data index 1 using 1:($2 > 0 && $3 > 0 ? $3 / $2 : NaN) with linespoints lw 2 pt 9 lc rgb "#2ca02c" title "round trip: crediting on / off", \
     data index 1 using 1:($2 > 0 && $3 > 0 ? NaN : 0.53) with points pt 2 ps 2.5 lw 3 lc rgb "#000000" title "round trip failed (packet not back intact)", \
     0.95 with lines dt 2 lc rgb "#555555" title "target 0.95 (send, receive)", \
     0.8 with lines dt 3 lc rgb "#2ca02c" title "target 0.8 (round trip)"
unset multiplot
