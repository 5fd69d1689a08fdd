#!/bin/bash
# Times each program against a reference command on the same files, interleaved, and
# prints for each the median and fastest wall time and the median user and system
# processor time, the ratio of the medians against the target, the ratio of the fastest
# runs, the speedup of all cores over one (the same program under taskset -c 0) and each
# program's peak resident memory and the 2 MiB folios its output gained per GB of text.
# Gather also runs against bench/gather_floor, the least a program pays for the same copy
# (always native), interleaved with it and dd: its rows give gather's ratio to that floor
# too, in wall time and in processor time (user plus system), and the floor's own rows
# its ratio to dd.
#   bench/run_bench.sh [BUILD_DIR=build/release] [SIZE_BYTES=1000000000] [RUNS=3]
# Environment:
#   CASES     which texts, states and provenances, each SHAPE:STATE[:PROVENANCE] (default
#             "enwik:back-to-back enwik:settled short:back-to-back", each ordinary, then
#             the same three aligned). Shapes: enwik (about 248,000 articles per GB,
#             median 3 KB) and short (mean 40 bytes, about 25,000,000 records per GB).
#             States: back-to-back (each command straight after the previous one) and
#             settled (a pause of SETTLE_SECONDS, default 3, before each, so that the
#             memory freed before it has gone back to the host). Provenances: how the
#             text came into the page cache: ordinary (written in unaligned writes of
#             1,000,000 bytes, as most tools and decompressors write; the page cache
#             keeps it in small folios) or aligned (written in 4 MiB blocks: 2 MiB
#             folios). Indexes and gathered texts are always as the suite writes them.
#   WORK_DIR  where the files go; a new temporary folder if unset.
#   ART_LAUNCHER, ART_PROGRAM_SUFFIX, ART_PROGRAM_DIR  run other builds of the programs
#             (a Windows build: ART_LAUNCHER=wine ART_PROGRAM_SUFFIX=.exe), against the
#             same native references. With a wine launcher the script keeps one wine
#             server up for the whole run (in WINEPREFIX, if set) and judges the Windows
#             targets. Processor times are those of the launched process and its
#             children: a wine server's share is not counted.
set -euo pipefail
build=$(cd "${1:-build/release}" && pwd)
size=${2:-1000000000}
runs=${3:-3}
cases=${CASES:-enwik:back-to-back enwik:settled short:back-to-back enwik:back-to-back:aligned enwik:settled:aligned short:back-to-back:aligned}
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

# prepare SHAPE PROVENANCE: in SHAPE-PROVENANCE, the text of that shape written that
# way, the builder's index, a reordered copy of it and the gathered text of each.
prepare() {
    local dir=$1-$2 text=$1-$2/builder/enwik_text2_vok block
    case $2 in
    ordinary) block=1000000 ;;
    aligned) block=4M ;;
    *) echo "unknown provenance $2" >&2; exit 2 ;;
    esac
    mkdir -p "$dir/builder" "$dir/reordered"
    if [ ! -f "$1.gen" ] || [ "$(stat -c %s "$1.gen")" != "$size" ]; then
        "$tools/gen_text" "$1.gen" "$size" 1 "$1"
    fi
    rm -f "$text"
    dd if="$1.gen" of="$text" bs=$block status=none
    ln -f "$text" "$dir/reordered/enwik_text2_vok"
    (cd "$dir/builder" && "$tools/build_art_idx" >/dev/null)
    "$tools/reorder_index" "$dir/builder/enwik_art_idx" "$dir/reordered/enwik_art_idx" 2
    # The floor does the same copy as the program: the same bytes out.
    local d
    for d in "$dir/builder" "$dir/reordered"; do
        (cd "$d" && "$tools/gather_floor" && mv enwik_text2_vok_r floor_r && "$tools/gather_arts" >/dev/null &&
            cmp floor_r enwik_text2_vok_r && rm floor_r)
    done
}

# time_run NAME DIR OUTPUT COMMAND: removes OUTPUT, runs COMMAND in DIR with standard
# output to a file, and appends "microseconds peak_kib user_seconds system_seconds
# huge_folios" to NAME.times, the last being how many 2 MiB folios the page cache gained
# for files during the command (its output's, where it writes them).
time_run() {
    local name=$1 dir=$2 output=$3 command=$4
    rm -f "$dir/$output"
    # No dirty pages of an earlier command left to write back.
    sync
    sleep "$settle"
    local t0 t1 f0 f1
    f0=$(huge_folios)
    t0=$(date +%s%N)
    (cd "$dir" && /usr/bin/time -f "%M %U %S" -o "$work/$name.mem" sh -c "exec $command" >"$work/$name.stdout")
    t1=$(date +%s%N)
    f1=$(huge_folios)
    echo "$(( (t1 - t0) / 1000 )) $(cat "$work/$name.mem") $(( f1 - f0 ))" >>"$work/$name.times"
}

huge_folios() { awk '$1 == "nr_file_hugepages" { print $2 }' /proc/vmstat; }

one_round() {
    local b=$1/builder r=$1/reordered one="taskset -c 0" floor="'$tools/gather_floor'"
    time_run wc "$b" none "wc -l enwik_text2_vok"
    time_run build "$b" enwik_art_idx.new "$(program build_art_idx)"
    time_run build1 "$b" enwik_art_idx.new "$one $(program build_art_idx)"
    time_run dd_text "$b" copy "dd if=enwik_text2_vok of=copy bs=1M status=none"
    time_run floor_b "$b" enwik_text2_vok_r "$floor"
    time_run gather_b "$b" enwik_text2_vok_r "$(program gather_arts)"
    time_run gather_b1 "$b" enwik_text2_vok_r "$one $(program gather_arts)"
    time_run floor_r "$r" enwik_text2_vok_r "$floor"
    time_run gather_r "$r" enwik_text2_vok_r "$(program gather_arts)"
    time_run gather_r1 "$r" enwik_text2_vok_r "$one $(program gather_arts)"
    time_run dd_gathered "$r" copy "dd if=enwik_text2_vok_r of=copy bs=1M status=none"
    time_run scatter_b "$b" enwik_text2_vok_u "$(program scatter_arts)"
    time_run scatter_b1 "$b" enwik_text2_vok_u "$one $(program scatter_arts)"
    time_run scatter_r "$r" enwik_text2_vok_u "$(program scatter_arts)"
    time_run scatter_r1 "$r" enwik_text2_vok_u "$one $(program scatter_arts)"
    # The gathered text of the reordered index, as the suite writes it, is the input of
    # the scatter above: gather it again for the next round.
    (cd "$r" && eval "$(program gather_arts)" >/dev/null)
}

median() { sort -n | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
seconds() { cut -d' ' -f1 "$1.times" | median; }
user_s() { cut -d' ' -f3 "$1.times" | median; }
system_s() { cut -d' ' -f4 "$1.times" | median; }
fastest() { cut -d' ' -f1 "$1.times" | sort -n | head -1; }
peak_mib() { cut -d' ' -f2 "$1.times" | sort -n | tail -1 | awk '{ printf "%.1f", $1 / 1024 }'; }
# The median of the 2 MiB folios gained, per GB of the text.
folios_per_gb() { cut -d' ' -f5 "$1.times" | median | awk -v size="$size" '{ printf "%.0f", $1 * 1e9 / size }'; }

# row PROGRAM INDEX NAME REFERENCE_LABEL REFERENCE_NAME TARGET [SPEEDUP_TARGET [FLOOR_NAME]]:
# the speedup is over NAME1, the same program on one core, where it was timed; the floor
# ratio is the median of NAME over that of FLOOR_NAME, where one is given.
row() {
    local one=- floor=- floor_cpu=-
    [ -f "$work/${3}1.times" ] && one=$(seconds "${3}1")
    [ "${8:--}" != - ] && floor=$(seconds "$8") && floor_cpu=$(awk -v u="$(user_s "$8")" -v s="$(system_s "$8")" 'BEGIN { print u + s }')
    awk -v p="$(seconds "$3")" -v r="$(seconds "$5")" -v pm="$(fastest "$3")" -v rm="$(fastest "$5")" \
        -v pu="$(user_s "$3")" -v ps="$(system_s "$3")" -v ru="$(user_s "$5")" -v rs="$(system_s "$5")" \
        -v a="$1" -v b="$2" -v c="$4" -v t="$6" -v m="$(peak_mib "$3")" -v s="$shape" -v st="$state" \
        -v pv="$provenance" -v one="$one" -v su="${7:--}" -v f="$floor" -v hf="$(folios_per_gb "$3")" -v fc="$floor_cpu" \
        'BEGIN { ratio = p / r; met = t == "-" ? "" : (ratio <= t ? "yes" : "NO")
                 speed = one == "-" ? "-" : sprintf("%.2f", one / p)
                 smet = su == "-" || one == "-" ? "" : (one / p >= su ? "yes" : "NO")
                 fr = f == "-" ? "-" : sprintf("%.2f", p / f)
                 fcr = fc == "-" || fc == 0 ? "-" : sprintf("%.2f", (pu + ps) / fc)
                 printf "%-6s %-12s %-9s %-14s %-9s %-6s %7.3f %7.3f %6.2f %6.2f %7.3f %7.3f %6.2f %6.2f %6.2f %6s %-4s %7.2f %6s %6s %7s %-4s %8s %6s\n",
                        s, st, pv, a, b, c, p / 1e6, pm / 1e6, pu, ps, r / 1e6, rm / 1e6, ru, rs, ratio, "<=" t, met,
                        pm / rm, fr, fcr, speed, smet, m, hf }'
}

# The targets of each platform, shape and state: build, gather builder's and reordered,
# scatter builder's and reordered.
targets() {
    case $1 in
    native:enwik:*:ordinary) echo "0.8 1.0 1.0 1.0 1.2" ;;
    native:short:back-to-back:ordinary) echo "1.3 1.2 3.0 2.0 3.5" ;;
    windows:enwik:*:ordinary) echo "1.2 1.2 1.5 1.2 1.5" ;;
    windows:short:*:ordinary) echo "2.0 1.5 4.0 2.0 6.0" ;;
    *) echo "- - - - -" ;;
    esac
}

prepared=" "
report=$work/report.txt
: >"$report"
for c in $cases; do
    IFS=: read -r shape state provenance <<<"$c"
    provenance=${provenance:-ordinary}
    case $state in
    back-to-back) settle=0 ;;
    settled) settle=${SETTLE_SECONDS:-3} ;;
    *) echo "unknown state $state" >&2; exit 2 ;;
    esac
    dir=$shape-$provenance
    if [[ $prepared != *" $dir "* ]]; then
        prepare "$shape" "$provenance"
        prepared="$prepared$dir "
    fi
    records=$(( $(stat -c %s "$dir/builder/enwik_art_idx") / 8 ))
    echo "$shape, $state, $provenance text, $platform programs: $size bytes, $records records; $runs runs after a warm-up, page cache warm"
    rm -f ./*.times
    one_round "$dir"
    rm -f ./*.times
    for _ in $(seq "$runs"); do one_round "$dir"; done
    cmp "$dir/builder/enwik_text2_vok" "$dir/builder/enwik_text2_vok_u"
    cmp "$dir/builder/enwik_text2_vok" "$dir/reordered/enwik_text2_vok_u"
    read -r t_build t_gb t_gr t_sb t_sr <<<"$(targets "$platform:$shape:$state:$provenance")"
    # The least speedup of all cores over one, where the text gives the cores work enough:
    # build, gather reordered, scatter reordered.
    s_b=- s_g=- s_s=-
    [ "$platform:$shape:$provenance" = native:short:ordinary ] && read -r s_b s_g s_s <<<"1.43 1.82 1.67"
    {
        row build_art_idx - build "wc -l" wc "$t_build" "$s_b"
        row gather_floor builder floor_b dd dd_text -
        row gather_arts builder gather_b dd dd_text "$t_gb" - floor_b
        row gather_floor reordered floor_r dd dd_text -
        row gather_arts reordered gather_r dd dd_text "$t_gr" "$s_g" floor_r
        row scatter_arts builder scatter_b dd dd_gathered "$t_sb"
        row scatter_arts reordered scatter_r dd dd_gathered "$t_sr" "$s_s"
    } >>"$report"
done
printf '%-6s %-12s %-9s %-14s %-9s %-6s %7s %7s %6s %6s %7s %7s %6s %6s %6s %6s %-4s %7s %6s %6s %7s %-4s %8s %6s\n' \
    text state written program index ref "med s" "min s" user sys "ref med" "ref min" "r user" "r sys" \
    ratio target met "min rat" floor "fl cpu" speedup met "peak MiB" "2M/GB"
cat "$report"
