# shellcheck shell=sh
# sample: writes sample.txt, the file copyfile's tour stop and what-ifs copy:
# 400 numbered lines, 11 kB, so that the copy takes several reads of 1024.
sample() { seq -f 'line %g of the sample file' 1 400 >sample.txt; }
