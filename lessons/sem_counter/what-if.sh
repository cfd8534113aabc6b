# shellcheck shell=bash
# sem_counter's what-if, run by scripts/what_if.sh (lessons/README.md):
# ThreadSanitizer's report, and the totals of a build without optimisation.
builds() { echo thread unoptimised; }
conditions() { counter_conditions "$2/sem_counter.cpp" "$3"; }
conditions_said() { counter_conditions_said; }
run_starts-at-2() { counter_race "$1" "$2" 3; }
