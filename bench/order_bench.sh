#!/bin/bash
# What order_art_idx gains, and what it costs.
#
# Quality, for each corpus, from three starts: its natural order (the builder's index of
# the corpus as written), its shuffled text (its articles written in a random order,
# with the builder's index of that text, so that its text order is no help) and its
# shuffled index (the natural text, its builder's index shuffled): for each start and
# the order made from it, the zstd -19 and xz -6 sizes of the gathered text, the xz -9
# size of the index, the nets (gathered + index) against the start's, and the share of
# the shuffled start's excess over the natural order, net, that is recovered. Corpora:
#   a        corpus A, this machine's manual pages, C headers and /usr/share/doc files,
#            one article each, every third file in path order (bench/order_corpus.py)
#   short    the same documents, every ninth, cut into pieces of 40 to 300 bytes, in
#            document order
#   c        corpus C, the kernel source of Debian's linux-source-6.1 (apt-get install
#            linux-source-6.1), every file an article in path order, up to 1 GB
#            (bench/tree_corpus.py); C_STARTS chooses its starts
#   heldout  every fortune of Debian's fortunes packages in several languages, in file
#            order (bench/fortune_corpus.py): short articles never tuned on
# With REFERENCE=1, a row more: the shuffled text sorted by leading bytes alone.
#
# Speed: the ordering's wall and processor time against `zstd -3 -T0` of the same text,
# interleaved, medians of RUNS runs (SHORT_RUNS for the short text, default 1), and its
# peak memory (resident, and anonymous: without the mapped inputs, sampled every 50 ms
# in a run of its own), on the generated enwik-shaped and short texts of SIZE_BYTES and
# on corpora A, C and the held-out one. The bound on the working memory is 64 MiB + 64
# bytes per record + 11 MiB per thread (the judge's zstd state at level 3, window 8 MiB)
# + the program's output, 8 bytes per record.
#
#   bench/order_bench.sh [BUILD_DIR=build/release] [SIZE_BYTES=1000000000]
# Environment:
#   RUNS, SHORT_RUNS  timed runs per text (3, and 1 for the short text)
#   PARTS     which parts: any of "a short c heldout variants speed" (default all);
#             variants orders the short articles' shuffled text with variants of the
#             method
#   WORK_DIR  where the files go; a new temporary folder if unset.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=$(cd "${1:-build/release}" && pwd)
size=${2:-1000000000}
parts=${PARTS:-a short c heldout variants speed}
bin=$build/bin
work=${WORK_DIR:-$(mktemp -d "${TMPDIR:-/tmp}/order_bench.XXXXXX")}
[ -n "${WORK_DIR:-}" ] || trap 'rm -rf "$work"' EXIT
mkdir -p "$work"
cd "$work"

# by_size INDEX OUTPUT: the records by their length, the last one last (stable).
by_size() {
    python3 - "$1" "$2" <<'EOF'
import struct, sys
data = open(sys.argv[1], "rb").read()
records = [data[i:i + 8] for i in range(0, len(data) - len(data) % 8, 8)]
def length(r):
    s, e = struct.unpack("<II", r)
    return e - s
body = sorted(records[:-1], key=length) if records else []
open(sys.argv[2], "wb").write(b"".join(body + records[-1:]))
EOF
}

# sizes DIR: "zstd19 xz6 index_xz9" of the text gathered by DIR's index.
sizes() {
    (cd "$1" && "$bin/gather_arts" >/dev/null)
    zstd -19 -q -c "$1/enwik_text2_vok_r" | wc -c >"$1/zstd" &
    xz -6 -c "$1/enwik_text2_vok_r" | wc -c >"$1/xz" &
    xz -9 -c "$1/enwik_art_idx" | wc -c >"$1/idx"
    wait
    rm -f "$1/enwik_text2_vok_r"
    echo "$(cat "$1/zstd") $(cat "$1/xz") $(cat "$1/idx")"
}

# shuffled_text TEXT BUILT_INDEX OUTPUT: TEXT's articles written in a random order
# (reorder_index, seed 7, the last article last), as a text of its own.
shuffled_text() {
    local d
    d=$(mktemp -d "$work/shuffle.XXXXXX")
    ln -f "$1" "$d/enwik_text2_vok"
    "$bin/reorder_index" "$2" "$d/enwik_art_idx" 7
    (cd "$d" && "$bin/gather_arts" >/dev/null)
    mv "$d/enwik_text2_vok_r" "$3"
    rm -rf "$d"
}

# quality NAME TEXT NATURAL [STARTS]: the table for one corpus. Starts: NATURAL (TEXT with the
# builder's index), "shuffled-text" (TEXT's articles written in a random order, with the
# builder's index of that text: its text order is no help) and "shuffled-index" (TEXT
# with its builder's index shuffled); each start, then order_art_idx's order of it.
# Where the order made is the start's, its sizes are the start's. With REFERENCE=1, the
# row "shuffled-text leading" is the shuffled text sorted by leading bytes alone
# (bench/order_index kinds=2 margin=-1). "gap": the share of the shuffled start's excess
# over NATURAL, net, that is recovered (for the shuffled index, over its own start).
quality() {
    local name=$1 text=$2 natural=$3 starts=${4:-$3 shuffled-text shuffled-index}
    mkdir -p "$name/built"
    : >"$name/sizes"
    ln -f "$text" "$name/built/enwik_text2_vok"
    (cd "$name/built" && "$bin/build_art_idx" >/dev/null)
    [ -f "$name/shuffled.txt" ] || shuffled_text "$text" "$name/built/enwik_art_idx" "$name/shuffled.txt"
    echo "$name: $(( $(stat -c %s "$name/built/enwik_art_idx") / 8 )) articles, $(stat -c %s "$text") bytes"
    local start
    for start in $starts; do
        local d=$name/$start source=$text
        [ "$start" = shuffled-text ] && source=$name/shuffled.txt
        mkdir -p "$d"
        ln -f "$source" "$d/enwik_text2_vok"
        case $start in
        shuffled-index) "$bin/reorder_index" "$name/built/enwik_art_idx" "$d/enwik_art_idx" 7 ;;
        *) (cd "$d" && "$bin/build_art_idx" >/dev/null) ;;
        esac
        cp "$d/enwik_art_idx" "$d/start_idx"
        local started
        started=$(sizes "$d")
        echo "$start start $started" >>"$name/sizes"
        local t0 t1
        t0=$(date +%s%N)
        (cd "$d" && "$bin/order_art_idx" | tail -1 >said)
        t1=$(date +%s%N)
        (cd "$d" && "$bin/check_art_idx" >/dev/null)
        local ordered=$started
        cmp -s "$d/enwik_art_idx" "$d/start_idx" || ordered=$(sizes "$d")
        echo "$start ordered $ordered $(( (t1 - t0) / 1000000 )) $(tr ' ' '_' <"$d/said")" >>"$name/sizes"
        if [ "$start" = shuffled-text ] && [ "${REFERENCE:-0}" = 1 ]; then
            local c=$name/leading
            mkdir -p "$c"
            ln -f "$source" "$c/enwik_text2_vok"
            t0=$(date +%s%N)
            "$bin/order_index" "$c/enwik_text2_vok" "$d/start_idx" "$c/enwik_art_idx" kinds=2 margin=-1 >"$c/said"
            t1=$(date +%s%N)
            (cd "$c" && "$bin/check_art_idx" >/dev/null)
            echo "shuffled-text leading $(sizes "$c") $(( (t1 - t0) / 1000000 )) $(tr ' ' '_' <"$c/said")" >>"$name/sizes"
        fi
    done
    awk -v g="$natural" '
        { kind[NR] = $1 " " $2; z[NR] = $3; x[NR] = $4; i[NR] = $5; ms[NR] = $6; said[NR] = $7
          if ($2 == "start") { sz[$1] = $3; sx[$1] = $4; si[$1] = $5 } }
        END {
            gz = sz[g] + si[g]; gx = sx[g] + si[g]
            printf "%-22s %11s %11s %9s %11s %11s %8s %8s %8s %8s %7s\n", "order", "zstd -19", "xz -6", "index xz", \
                   "net zstd", "net xz", "vs start", "vs start", "gap zstd", "gap xz", "time s"
            for (k = 1; k <= NR; ++k) {
                split(kind[k], p, " ")
                s = p[1]; nz = z[k] + i[k]; nx = x[k] + i[k]
                rz = sz[s] + si[s]; rx = sx[s] + si[s]
                printf "%-22s %11d %11d %9d %11d %11d %8.4f %8.4f %7s %7s %7s\n", kind[k], z[k], x[k], i[k], nz, nx,
                       nz / rz, nx / rx,
                       (s == g || rz == gz) ? "-" : sprintf("%.1f%%", 100 * (rz - nz) / (rz - gz)),
                       (s == g || rx == gx) ? "-" : sprintf("%.1f%%", 100 * (rx - nx) / (rx - gx)),
                       ms[k] == "" ? "-" : sprintf("%.2f", ms[k] / 1000)
            }
        }' "$name/sizes"
    awk '$2 != "start" { print "  " $1 " " $2 ": " $7 }' "$name/sizes" | tr '_' ' '
}

# timed DIR COMMAND: runs COMMAND in DIR; prints "wall_s cpu_s peak_rss_mib".
timed() {
    local t0 t1 u s m
    t0=$(date +%s%N)
    (cd "$1" && /usr/bin/time -f "%U %S %M" -o "$work/time.out" sh -c "exec $2" >"$work/run.out")
    t1=$(date +%s%N)
    read -r u s m <"$work/time.out"
    awk -v w=$(( (t1 - t0) / 1000 )) -v u="$u" -v s="$s" -v m="$m" 'BEGIN { printf "%.2f %.2f %.1f\n", w / 1e6, u + s, m / 1024 }'
}

# peak_anon DIR PROGRAM: runs PROGRAM in DIR, its anonymous memory (without the mapped
# inputs) read every 50 ms by shell builtins only; prints the peak in MiB.
peak_anon() {
    local pid peak=0 key value _
    (cd "$1" && exec "$2" >"$work/run.out") &
    pid=$!
    while [ -r "/proc/$pid/status" ]; do
        while read -r key value _; do
            [ "$key" = RssAnon: ] && [ "$value" -gt "$peak" ] && peak=$value
        done <"/proc/$pid/status" 2>/dev/null || true
        sleep 0.05
    done
    wait "$pid"
    awk -v a="$peak" 'BEGIN { printf "%.1f\n", a / 1024 }'
}

median() { sort -n | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

# speed NAME TEXT RUNS: the ordering of TEXT's builder index against zstd -3 -T0 of TEXT,
# interleaved, RUNS times each (medians), then once more for its anonymous memory.
speed() {
    local d=speed-$1 n k
    mkdir -p "$d"
    ln -f "$2" "$d/enwik_text2_vok"
    (cd "$d" && "$bin/build_art_idx" >/dev/null && cp enwik_art_idx built_idx)
    n=$(( $(stat -c %s "$d/built_idx") / 8 ))
    cat "$d/enwik_text2_vok" >/dev/null
    : >"$d/zstd.times"
    : >"$d/order.times"
    for k in $(seq "$3"); do
        timed "$d" "zstd -3 -T0 -q -c enwik_text2_vok >/dev/null" >>"$d/zstd.times"
        cp "$d/built_idx" "$d/enwik_art_idx"
        timed "$d" "'$bin/order_art_idx'" >>"$d/order.times"
    done
    tail -1 "$work/run.out" >"$d/said"
    cp "$d/built_idx" "$d/enwik_art_idx"
    local anon
    anon=$(peak_anon "$d" "$bin/order_art_idx")
    awk -v name="$1" -v n="$n" -v b="$(stat -c %s "$2")" -v runs="$3" \
        -v zw="$(cut -d' ' -f1 "$d/zstd.times" | median)" -v zc="$(cut -d' ' -f2 "$d/zstd.times" | median)" \
        -v ow="$(cut -d' ' -f1 "$d/order.times" | median)" -v oc="$(cut -d' ' -f2 "$d/order.times" | median)" \
        -v rss="$(cut -d' ' -f3 "$d/order.times" | sort -n | tail -1)" -v anon="$anon" -v threads="$(nproc)" 'BEGIN {
            bound = 64 + 72 * n / 1048576 + 11 * threads
            printf "%-9s %10d %11d %4d %8.2f %8.2f %8.2f %8.2f %6.2f %6.2f %9.1f %9.1f %9.1f %s\n", name, n, b, runs, ow, oc, zw, zc,
                   ow / zw, oc / zc, rss, anon, bound, anon <= bound ? "yes" : "NO" }'
    sed 's/^/    /' "$d/said"
}

corpus_a=$work/corpus_a.txt
if [[ $parts == *a* || $parts == *speed* ]]; then
    [ -f "$corpus_a" ] || python3 "$here/order_corpus.py" "$corpus_a" whole 3
fi
if [[ " $parts " == *" a "* ]]; then
    echo "== Corpus A"
    quality corpus_a "$corpus_a" path
fi
if [[ " $parts " == *" short "* ]]; then
    echo "== Short articles"
    [ -f short.txt ] || python3 "$here/order_corpus.py" short.txt pieces 9
    quality short short.txt grouped
fi
corpus_c=$work/corpus_c.txt
if [[ " $parts " == *" c "* || " $parts " == *" speed "* ]]; then
    if [ ! -f "$corpus_c" ]; then
        tarball=/usr/src/linux-source-6.1.tar.xz
        [ -f "$tarball" ] || { echo "corpus C needs $tarball: apt-get install linux-source-6.1" >&2; exit 1; }
        mkdir -p kernel
        tar -xf "$tarball" -C kernel
        python3 "$here/tree_corpus.py" "$corpus_c" kernel 1000000000
        rm -rf kernel
    fi
fi
if [[ " $parts " == *" c "* ]]; then
    echo "== Corpus C"
    quality corpus_c "$corpus_c" path "${C_STARTS:-path shuffled-text shuffled-index}"
fi
heldout=$work/heldout.txt
if [[ " $parts " == *" heldout "* || " $parts " == *" speed "* ]]; then
    [ -f "$heldout" ] || python3 "$here/fortune_corpus.py" "$heldout"
fi
if [[ " $parts " == *" heldout "* ]]; then
    echo "== Held out: fortunes in several languages (never tuned on)"
    quality heldout "$heldout" file
fi
if [[ " $parts " == *" variants "* ]]; then
    echo "== Variants of the method on the short articles' shuffled text (bench/order_index)"
    [ -f short.txt ] || python3 "$here/order_corpus.py" short.txt pieces 9
    mkdir -p variants/built variants/shuffled
    ln -f short.txt variants/built/enwik_text2_vok
    (cd variants/built && "$bin/build_art_idx" >/dev/null)
    [ -f variants/shuffled.txt ] || shuffled_text short.txt variants/built/enwik_art_idx variants/shuffled.txt
    ln -f variants/shuffled.txt variants/shuffled/enwik_text2_vok
    (cd variants/shuffled && "$bin/build_art_idx" >/dev/null)
    printf "%-40s %-38s %11s %9s %11s %7s\n" options "order kept" "zstd -19" "index xz" "net zstd" "time s"
    for options in "" "shingle=4" "shingle=5" "slots=16" "window=8" "level=1" "level=9" "window_log=21" "sample=8388608"; do
        d=variants/v
        rm -rf "$d"
        mkdir -p "$d"
        ln -f variants/shuffled.txt "$d/enwik_text2_vok"
        t0=$(date +%s%N)
        # shellcheck disable=SC2086
        said=$("$bin/order_index" "$d/enwik_text2_vok" variants/shuffled/enwik_art_idx "$d/enwik_art_idx" $options)
        t1=$(date +%s%N)
        (cd "$d" && "$bin/gather_arts" >/dev/null)
        z=$(zstd -19 -q -c "$d/enwik_text2_vok_r" | wc -c)
        x=$(xz -9 -c "$d/enwik_art_idx" | wc -c)
        printf "%-40s %-38s %11d %9d %11d %7.2f\n" "${options:-(defaults)}" "$(echo "$said" | sed 's/^[^,]*, \(.*\), judged.*/\1/')" \
            "$z" "$x" $((z + x)) "$(echo "($t1 - $t0) / 1000000000" | bc -l)"
    done
fi
if [[ " $parts " == *" speed "* ]]; then
    echo "== Speed (wall and processor seconds; memory in MiB: peak resident, peak anonymous, the bound)"
    printf "%-9s %10s %11s %4s %8s %8s %8s %8s %6s %6s %9s %9s %9s %s\n" text records bytes runs "order s" "cpu s" \
        "zstd s" "cpu s" wall cpu "rss" "anon" bound met
    for shape in enwik short; do
        [ -f "$shape.gen" ] && [ "$(stat -c %s "$shape.gen")" = "$size" ] || "$bin/gen_text" "$shape.gen" "$size" 1 "$shape"
        speed "$shape" "$shape.gen" "$([ "$shape" = short ] && echo "${SHORT_RUNS:-1}" || echo "${RUNS:-3}")"
    done
    speed corpus_a "$corpus_a" "${RUNS:-3}"
    speed corpus_c "$corpus_c" "${RUNS:-3}"
    speed heldout "$heldout" "${RUNS:-3}"
fi
