#!/bin/bash
# What writing a gigabyte in 2 MiB folios costs where the benchmark runs each program:
# right after a file of small folios was freed.
#   bench/folio_cost.sh DIR ROUNDS [BUILD_DIR=build/release]
# In DIR (a folder of run_bench.sh's work folder, with a text and its index), each round
# runs gather_floor (which writes enwik_text2_vok_r in unaligned blocks), removes its
# output, then times each of gather_arts, dd bs=2M (aligned 2 MiB writes: 2 MiB folios)
# and dd bs=1M writing enwik_text2_vok_r, the order rotated per round. Prints per command
# "NAME seconds user system folios_gained".
set -eu
T=$(cd "${3:-build/release}" && pwd)/bin
cd "$1"
cmds=("'$T/gather_arts'" "dd if=enwik_text2_vok of=enwik_text2_vok_r bs=2M status=none" "dd if=enwik_text2_vok of=enwik_text2_vok_r bs=1M status=none")
names=(gather dd_2M dd_1M)
out=$(mktemp)
trap 'rm -f "$out"' EXIT
for r in $(seq "$2"); do
  for k in 0 1 2; do
    i=$(( (k + r) % 3 ))
    rm -f enwik_text2_vok_r; "$T/gather_floor"; rm -f enwik_text2_vok_r; sync
    f0=$(awk '$1=="nr_file_hugepages"{print $2}' /proc/vmstat)
    /usr/bin/time -f "${names[$i]} %e %U %S" -o "$out" sh -c "${cmds[$i]} >/dev/null"
    f1=$(awk '$1=="nr_file_hugepages"{print $2}' /proc/vmstat)
    echo "$(cat "$out") $((f1 - f0))"
  done
done
