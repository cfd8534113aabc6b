# shellcheck shell=bash
# median: the median of the numbers on standard input, one a line (the mean
# of the middle two when they are even in number). Sourced by the benchmarks.
median() { sort -n | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
