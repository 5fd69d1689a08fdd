#!/bin/bash
# Times each program against a reference command on the same files, interleaved, and
# prints the median of each, their ratio, the ratio of the fastest runs and each
# program's peak resident memory.
#   bench/run_bench.sh [BUILD_DIR=build/release] [SIZE_BYTES=1000000000] [RUNS=5]
# WORK_DIR (environment) chooses where the files go; it is a new temporary folder if unset.
# SETTLE_SECONDS (default 3) is the pause before each timed command.
set -euo pipefail
build=$(cd "${1:-build/release}" && pwd)
size=${2:-1000000000}
runs=${3:-5}
bin=$build/bin
work=${WORK_DIR:-$(mktemp -d "${TMPDIR:-/tmp}/art_bench.XXXXXX")}
mkdir -p "$work/builder" "$work/reordered"
[ -n "${WORK_DIR:-}" ] || trap 'rm -rf "$work"' EXIT
cd "$work"

text=builder/enwik_text2_vok
if [ ! -f "$text" ] || [ "$(stat -c %s "$text")" != "$size" ]; then
    "$bin/gen_text" "$text" "$size" 1
fi
ln -f "$text" reordered/enwik_text2_vok
(cd builder && "$bin/build_art_idx" >/dev/null && "$bin/gather_arts" >/dev/null)
"$bin/reorder_index" builder/enwik_art_idx reordered/enwik_art_idx 2
(cd reordered && "$bin/gather_arts" >/dev/null)
records=$(( $(stat -c %s builder/enwik_art_idx) / 8 ))
echo "text: $size bytes, $records articles; $runs runs after a warm-up, page cache warm"

# time_run NAME DIR OUTPUT COMMAND...: removes OUTPUT, runs COMMAND in DIR, and appends
# "seconds peak_kib" to NAME.times.
time_run() {
    local name=$1 dir=$2 output=$3
    shift 3
    rm -f "$dir/$output"
    # Every command starts with no dirty pages of an earlier one to write back, and after
    # the memory freed by the removal has settled (this VM hands freed memory back to its
    # host a moment later, and memory taken back costs more to fill).
    sync
    sleep "${SETTLE_SECONDS:-3}"
    local t0 t1
    t0=$(date +%s%N)
    (cd "$dir" && /usr/bin/time -f %M -o "$work/$name.mem" "$@" >"$work/$name.stdout")
    t1=$(date +%s%N)
    echo "$(( (t1 - t0) / 1000 )) $(cat "$work/$name.mem")" >>"$work/$name.times"
}

one_round() {
    time_run wc builder none wc -l enwik_text2_vok
    time_run build builder enwik_art_idx.new sh -c "exec '$bin/build_art_idx'"
    time_run dd_text builder copy dd if=enwik_text2_vok of=copy bs=1M status=none
    time_run gather_b builder enwik_text2_vok_r "$bin/gather_arts"
    time_run gather_r reordered enwik_text2_vok_r "$bin/gather_arts"
    time_run dd_gathered reordered copy dd if=enwik_text2_vok_r of=copy bs=1M status=none
    time_run scatter_b builder enwik_text2_vok_u "$bin/scatter_arts"
    time_run scatter_r reordered enwik_text2_vok_u "$bin/scatter_arts"
}

rm -f ./*.times
one_round
rm -f ./*.times
for _ in $(seq "$runs"); do one_round; done
cmp builder/enwik_text2_vok builder/enwik_text2_vok_u
cmp builder/enwik_text2_vok reordered/enwik_text2_vok_u

median() { sort -n | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
seconds() { cut -d' ' -f1 "$1.times" | median; }
peak_mib() { cut -d' ' -f2 "$1.times" | sort -n | tail -1 | awk '{ printf "%.1f", $1 / 1024 }'; }

printf '%-14s %-10s %-8s %9s %9s %7s %7s %9s %9s\n' program index reference "median s" "ref s" ratio target "min ratio" "peak MiB"
row() {  # row PROGRAM INDEX NAME REFERENCE_LABEL REFERENCE_NAME TARGET
    local p r pmin rmin
    p=$(seconds "$3")
    r=$(seconds "$5")
    pmin=$(cut -d' ' -f1 "$3.times" | sort -n | head -1)
    rmin=$(cut -d' ' -f1 "$5.times" | sort -n | head -1)
    awk -v p="$p" -v r="$r" -v a="$1" -v b="$2" -v c="$4" -v t="$6" -v m="$(peak_mib "$3")" \
        -v pm="$pmin" -v rm="$rmin" \
        'BEGIN { printf "%-14s %-10s %-8s %9.3f %9.3f %7.2f %7s %9.2f %9s\n", a, b, c, p / 1e6, r / 1e6, p / r, "<=" t, pm / rm, m }'
}
row build_art_idx - build "wc -l" wc 1.0
row gather_arts builder gather_b dd dd_text 1.1
row gather_arts reordered gather_r dd dd_text 1.2
row scatter_arts builder scatter_b dd dd_gathered 1.1
row scatter_arts reordered scatter_r dd dd_gathered 1.2
