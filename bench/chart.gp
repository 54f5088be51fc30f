# Draws bench/results/latest.png from latest.dat: time and peak RSS of every workload under every
# allocator as ratios to glibc (log scale: 2x slower and 2x faster stand equally far from 1), and
# the malloc/free size sweep. Called by run.sh with `data` and `output` set.
set terminal pngcairo size 1500,1400 font ",11" noenhanced
set output output
set multiplot layout 3,1
set style data histograms
set style histogram clustered gap 1
set style fill solid 0.85 border -1
set boxwidth 0.9
set grid ytics
set key outside right top autotitle columnheader
set logscale y 2
set yrange [0.125:16]
set xtics rotate by -20
set ylabel "time / glibc"
set title "Time, as a ratio to glibc (lower is better)"
plot for [column=2:7] data index 0 using column:xtic(1)
set ylabel "peak RSS / glibc"
set title "Peak RSS, as a ratio to glibc (lower is better)"
set yrange [0.25:4]
plot for [column=2:7] data index 1 using column:xtic(1)
set style data linespoints
set logscale xy 2
set xrange [*:*]
set yrange [*:*]
set xtics norotate ("8 B" 8, "64 B" 64, "512 B" 512, "4 KiB" 4096, "32 KiB" 32768, \
  "256 KiB" 262144, "2 MiB" 2097152, "16 MiB" 16777216, "64 MiB" 67108864)
set xlabel "request size"
set ylabel "ns per pair"
set title "One malloc and one free, by size (touching the first and last byte)"
plot for [column=2:7] data index 2 using 1:column with linespoints lw 2 title columnheader
unset multiplot
