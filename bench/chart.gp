# Draws the benchmark's CSV files as one SVG chart: whole derivations of the
# library and of each peer per factor set (left), and ns per Salsa20/8 core of
# each mixing form against the scalar floor (right), titled with the
# processor.  The files come from `scrypt_bench --csv DIR forms derivations`;
# the CMake target bench-chart runs both steps:
#   gnuplot -e "dir='DIR'; out='docs/performance.svg'" bench/chart.gp
if (!exists("dir")) dir = "."
if (!exists("out")) out = "performance.svg"

processor = system(sprintf("cat '%s/processor.txt'", dir))
derivations = dir . "/derivations.csv"
forms = dir . "/forms.csv"

# SVG, or PNG for an output name ending in .png.
if (out[strlen(out) - 3:] eq ".png") {
    set terminal pngcairo size 1200,520 enhanced font "Helvetica,11" background rgb "white"
} else {
    set terminal svg size 1200,520 dynamic enhanced font "Helvetica,12" background rgb "white"
}
set output out
set datafile separator comma
set datafile columnheaders
set encoding utf8
set multiplot layout 1,2 title sprintf("scrypt-vornik on %s", processor) font ",14"

# Left: one cluster per factor set, one bar per contender.
stats derivations using 2 nooutput
columns = STATS_columns
set title "Whole derivation (lower is faster)"
set style data histogram
set style histogram clustered gap 1
set style fill solid 0.85 border -1
set boxwidth 0.9
set logscale y
set format y "%g"
set ylabel "ms per derivation (log scale)"
set xlabel "factors (N, r, p as base-2 logarithms)"
set key top left
set grid ytics
plot for [i = 2:columns] derivations using i:xtic(1) title columnhead(i)

# Right: one bar per form the processor runs, the selected one in orange,
# and the scalar floor in grey and as a dashed line across.
reset
set datafile separator comma
set datafile columnheaders
stats forms using ($4 == 0 ? $2 : NaN) nooutput
floor_ns = STATS_min
stats forms using 2 nooutput
top = STATS_max
bars = STATS_records
color(kind) = kind == 0 ? 0x999999 : (kind == 2 ? 0xe66101 : 0x5e3c99)
set title "One Salsa20/8 core inside ChunkMix (r = 8, with xor input)"
set ylabel "ns per core (bar labels: against the floor)"
set xlabel "mixing form (orange: the one the library runs here)"
set yrange [0:top * 1.3]
set xrange [-0.6:bars - 0.4]
set style fill solid 0.85 border -1
set boxwidth 0.6
set grid ytics
set key top right
set xtics scale 0
plot forms using 0:2:(color($4)):xtic(1) with boxes lc rgb variable notitle, \
     forms using 0:2:(sprintf("%.1f ns, %.2fx", $2, $2 / floor_ns)) \
         with labels offset 0,0.8 notitle, \
     floor_ns with lines dt 2 lc rgb "#555555" title "scalar latency floor (bare cores)"

unset multiplot
