# The end-to-end latency distribution: a histogram, and the share of messages
# at least that slow, both against the goals.
# gnuplot -e "dir='DATA'; out='latency.png'" bench/latency.gp
wire = 3125.0           # one six-byte message at 19200 baud, 10 bits a byte
goal_median = wire / 100
goal_p99 = 3 * wire / 100

stats dir.'/latency_samples.txt' using 1 nooutput
n = STATS_records
median = STATS_median
stats dir.'/latency_hist.txt' using 1 nooutput
xmin = 10 ** floor(log10(STATS_min))
xmax = wire * 3
stats dir.'/latency_samples.txt' using 1 nooutput
if (STATS_max > xmax) xmax = 10 ** ceil(log10(STATS_max))

set terminal pngcairo size 1000,900 font 'sans,11'
set output out
set multiplot layout 2,1 title sprintf("notchkey end to end: mascon-sim's write to the driver's packet line, %d messages one at a time", n)

set logscale x
set xrange [xmin:xmax]
set format x '%g'
set grid xtics mxtics ytics lc rgb '#dddddd'
unset key
set style fill solid 0.6 border rgb '#1f4e79'

set arrow 1 from goal_median, graph 0 to goal_median, graph 1 nohead lc rgb '#2e7d32' dt 2 lw 2
set arrow 2 from goal_p99, graph 0 to goal_p99, graph 1 nohead lc rgb '#ef6c00' dt 2 lw 2
set arrow 3 from wire, graph 0 to wire, graph 1 nohead lc rgb '#c62828' lw 2
set label 1 'median goal 1 %' at goal_median, graph 0.95 left offset 0.5,0 tc rgb '#2e7d32'
set label 2 'p99 goal 3 %' at goal_p99, graph 0.85 left offset 0.5,0 tc rgb '#ef6c00'
set label 3 'one message on the wire (3.125 ms)' at wire, graph 0.3 right offset -0.5,0 tc rgb '#c62828'

set title sprintf('histogram (bins of 1/20 decade); median %.1f us', median)
set ylabel 'messages'
set logscale y
set yrange [0.8:*]
plot dir.'/latency_hist.txt' using (sqrt($1*$2)):3:1:2:(0.8):3 with boxxyerror lc rgb '#5b9bd5' notitle

set title 'share of messages at least this slow: a goal is met when the curve passes below its dot'
set xlabel 'latency (us, log scale)'
set ylabel 'share'
set yrange [1.0/n/2:1.2]
set format y '10^{%T}'
unset label 1
unset label 2
set label 4 'median goal' at goal_median, 0.5 left offset 0.8,0.6 tc rgb '#2e7d32'
set label 5 'p99 goal' at goal_p99, 0.01 left offset 0.8,0.6 tc rgb '#ef6c00'
plot dir.'/latency_tail.txt' using 1:2 with steps lw 2 lc rgb '#1f4e79' title 'measured', \
     '+' using (goal_median):(0.5) every ::0::0 with points pt 7 ps 1.6 lc rgb '#2e7d32' notitle, \
     '+' using (goal_p99):(0.01) every ::0::0 with points pt 7 ps 1.6 lc rgb '#ef6c00' notitle
unset multiplot
