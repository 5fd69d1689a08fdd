#!/bin/bash
# Times each program against a reference command on the same files, interleaved, and
# prints the median of each, their ratio against the target, the ratio of the fastest
# runs and each program's peak resident memory.
#   bench/run_bench.sh [BUILD_DIR=build/release] [SIZE_BYTES=1000000000] [RUNS=3]
# Environment:
#   CASES     which texts and states, each SHAPE:STATE (default
#             "enwik:back-to-back enwik:settled short:back-to-back"). Shapes: enwik
#             (about 248,000 articles per GB, median 3 KB) and short (mean 40 bytes, about
#             25,000,000 records per GB). States: back-to-back (each command straight
#             after the previous one) and settled (a pause of SETTLE_SECONDS, default 3,
#             before each, so that the memory freed before it has gone back to the host).
#   WORK_DIR  where the files go; a new temporary folder if unset.
#   ART_LAUNCHER, ART_PROGRAM_SUFFIX, ART_PROGRAM_DIR  run other builds of the programs
#             (a Windows build: ART_LAUNCHER=wine ART_PROGRAM_SUFFIX=.exe), against the
#             same native references. With a wine launcher the script keeps one wine
#             server up for the whole run (in WINEPREFIX, if set) and judges the Windows
#             targets.
set -euo pipefail
build=$(cd "${1:-build/release}" && pwd)
size=${2:-1000000000}
runs=${3:-3}
cases=${CASES:-enwik:back-to-back enwik:settled short:back-to-back}
tools=$build/bin
programs=$(cd "${ART_PROGRAM_DIR:-$tools}" && pwd)
suffix=${ART_PROGRAM_SUFFIX:-}
launcher=${ART_LAUNCHER:-}
work=${WORK_DIR:-$(mktemp -d "${TMPDIR:-/tmp}/art_bench.XXXXXX")}
[ -n "${WORK_DIR:-}" ] || trap 'rm -rf "$work"' EXIT
mkdir -p "$work"
cd "$work"

program() { echo "$launcher '$programs/$1$suffix'"; }

platform=native
if [[ $launcher == *wine* ]]; then
    platform=windows
    export WINEDEBUG=-all WINEPREFIX=${WINEPREFIX:-$HOME/.wine}
    mkdir -p "$WINEPREFIX"
    # One server for every run: a program that started its own would pay for it each time.
    wineserver -p
    trap 'wineserver -k 2>/dev/null || true; [ -n "${WORK_DIR:-}" ] || rm -rf "$work"' EXIT
    wineboot --init >/dev/null 2>&1
    sleep 2
fi

# prepare SHAPE: the text of that shape, the builder's index, a reordered copy of it and
# the gathered text of each.
prepare() {
    local shape=$1 text=$1/builder/enwik_text2_vok
    mkdir -p "$shape/builder" "$shape/reordered"
    if [ ! -f "$text" ] || [ "$(stat -c %s "$text")" != "$size" ]; then
        "$tools/gen_text" "$text" "$size" 1 "$shape"
    fi
    ln -f "$text" "$shape/reordered/enwik_text2_vok"
    (cd "$shape/builder" && "$tools/build_art_idx" >/dev/null && "$tools/gather_arts" >/dev/null)
    "$tools/reorder_index" "$shape/builder/enwik_art_idx" "$shape/reordered/enwik_art_idx" 2
    (cd "$shape/reordered" && "$tools/gather_arts" >/dev/null)
}

# time_run NAME DIR OUTPUT COMMAND: removes OUTPUT, runs COMMAND in DIR with standard
# output to a file, and appends "seconds peak_kib" to NAME.times.
time_run() {
    local name=$1 dir=$2 output=$3 command=$4
    rm -f "$dir/$output"
    # No dirty pages of an earlier command left to write back.
    sync
    sleep "$settle"
    local t0 t1
    t0=$(date +%s%N)
    (cd "$dir" && /usr/bin/time -f %M -o "$work/$name.mem" sh -c "exec $command" >"$work/$name.stdout")
    t1=$(date +%s%N)
    echo "$(( (t1 - t0) / 1000 )) $(cat "$work/$name.mem")" >>"$work/$name.times"
}

one_round() {
    local b=$1/builder r=$1/reordered
    time_run wc "$b" none "wc -l enwik_text2_vok"
    time_run build "$b" enwik_art_idx.new "$(program build_art_idx)"
    time_run dd_text "$b" copy "dd if=enwik_text2_vok of=copy bs=1M status=none"
    time_run gather_b "$b" enwik_text2_vok_r "$(program gather_arts)"
    time_run gather_r "$r" enwik_text2_vok_r "$(program gather_arts)"
    time_run dd_gathered "$r" copy "dd if=enwik_text2_vok_r of=copy bs=1M status=none"
    time_run scatter_b "$b" enwik_text2_vok_u "$(program scatter_arts)"
    time_run scatter_r "$r" enwik_text2_vok_u "$(program scatter_arts)"
}

median() { sort -n | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
seconds() { cut -d' ' -f1 "$1.times" | median; }
fastest() { cut -d' ' -f1 "$1.times" | sort -n | head -1; }
peak_mib() { cut -d' ' -f2 "$1.times" | sort -n | tail -1 | awk '{ printf "%.1f", $1 / 1024 }'; }

# row PROGRAM INDEX NAME REFERENCE_LABEL REFERENCE_NAME TARGET
row() {
    awk -v p="$(seconds "$3")" -v r="$(seconds "$5")" -v pm="$(fastest "$3")" -v rm="$(fastest "$5")" \
        -v a="$1" -v b="$2" -v c="$4" -v t="$6" -v m="$(peak_mib "$3")" -v s="$shape" -v st="$state" \
        'BEGIN { ratio = p / r; met = t == "-" ? "" : (ratio <= t ? "yes" : "NO")
                 printf "%-6s %-12s %-14s %-9s %-6s %8.3f %8.3f %6.2f %6s %-4s %8.2f %8s\n",
                        s, st, a, b, c, p / 1e6, r / 1e6, ratio, "<=" t, met, pm / rm, m }'
}

# The targets of each platform, shape and state: build, gather builder's and reordered,
# scatter builder's and reordered.
targets() {
    case $platform:$1 in
    native:enwik:*) echo "1.0 1.1 1.2 1.1 1.2" ;;
    native:short:back-to-back) echo "1.5 1.2 2.5 2.0 3.0" ;;
    windows:enwik:*) echo "2.0 2.0 2.0 2.0 2.0" ;;
    windows:short:back-to-back) echo "3.0 2.0 3.0 3.0 3.5" ;;
    *) echo "- - - - -" ;;
    esac
}

prepared=" "
report=$work/report.txt
: >"$report"
for c in $cases; do
    shape=${c%%:*} state=${c#*:}
    case $state in
    back-to-back) settle=0 ;;
    settled) settle=${SETTLE_SECONDS:-3} ;;
    *) echo "unknown state $state" >&2; exit 2 ;;
    esac
    if [[ $prepared != *" $shape "* ]]; then
        prepare "$shape"
        prepared="$prepared$shape "
    fi
    records=$(( $(stat -c %s "$shape/builder/enwik_art_idx") / 8 ))
    echo "$shape, $state, $platform programs: $size bytes, $records records; $runs runs after a warm-up, page cache warm"
    rm -f ./*.times
    one_round "$shape"
    rm -f ./*.times
    for _ in $(seq "$runs"); do one_round "$shape"; done
    cmp "$shape/builder/enwik_text2_vok" "$shape/builder/enwik_text2_vok_u"
    cmp "$shape/builder/enwik_text2_vok" "$shape/reordered/enwik_text2_vok_u"
    read -r t_build t_gb t_gr t_sb t_sr <<<"$(targets "$c")"
    {
        row build_art_idx - build "wc -l" wc "$t_build"
        row gather_arts builder gather_b dd dd_text "$t_gb"
        row gather_arts reordered gather_r dd dd_text "$t_gr"
        row scatter_arts builder scatter_b dd dd_gathered "$t_sb"
        row scatter_arts reordered scatter_r dd dd_gathered "$t_sr"
    } >>"$report"
done
printf '%-6s %-12s %-14s %-9s %-6s %8s %8s %6s %6s %-4s %8s %8s\n' text state program index ref \
    "median s" "ref s" ratio target met "min rat" "peak MiB"
cat "$report"
