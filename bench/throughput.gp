# Payload throughput against packet size, SDK beside raw libpcap.
#   gnuplot -e "data='throughput.dat'; output='throughput.png'" throughput.gp
set terminal pngcairo size 1000,620 font ",11"
set output output
set title "spweth against raw libpcap over a veth pair (payload, median of rounds)"
set xlabel "SpaceWire packet size (bytes)"
set ylabel "payload MB/s (10^6 bytes/s)"
set logscale xy
set format x "10^{%L}"
set xrange [0.7:2e6]
set grid xtics ytics mxtics mytics lc rgb "#dddddd"
set key left top
plot data index 0 using 1:2 with linespoints dt 2 lw 2 pt 6 lc rgb "#1f77b4" title "send: raw pcap\\_sendpacket", \
     data index 0 using 1:3 with linespoints lw 2 pt 7 lc rgb "#1f77b4" title "send: SpW\\_Send\\_Packet", \
     data index 0 using 1:4 with linespoints dt 2 lw 2 pt 4 lc rgb "#d62728" title "receive: raw pcap\\_next\\_ex", \
     data index 0 using 1:5 with linespoints lw 2 pt 5 lc rgb "#d62728" title "receive: SpW\\_Recv\\_Packet", \
     data index 1 using 1:2 with linespoints lw 2 pt 9 lc rgb "#2ca02c" title "round trip via emulator, crediting off", \
     data index 1 using 1:3 with linespoints dt 3 lw 2 pt 8 lc rgb "#2ca02c" title "round trip via emulator, crediting on"
