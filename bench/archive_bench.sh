#!/usr/bin/env bash
# Extraction speed of starter-untar beside GNU tar, on the same archives.
#
#   bench/archive_bench.sh PATH/TO/starter-untar [FILES] [MIB] [RUNS]
#
# Makes a tree of FILES files (default 3000) of about MIB MiB in total
# (default 300), sizes from a few hundred bytes to several MiB, filled with
# compressible-ish random data; packs it as .tar and .tar.gz with GNU tar; then
# extracts each archive RUNS times (default 5) with GNU tar and with
# starter-untar, alternating, into fresh directories under one temporary
# directory. Prints best and median wall times and the ratios ours/GNU, and
# checks that both extractions agree byte for byte.
set -euo pipefail

tool=$(readlink -f "${1:?usage: $0 PATH/TO/starter-untar [FILES] [MIB] [RUNS]}")
files=${2:-3000}
mib=${3:-300}
runs=${4:-5}

work=$(mktemp -d "${TMPDIR:-/tmp}/archive-bench.XXXXXX")
trap 'rm -rf "$work"' EXIT

echo "== making $files files, about $mib MiB, in $work"
python3 - "$work/tree" "$files" "$mib" <<'PY'
import base64, os, random, sys
root, count, mib = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
rng = random.Random(1234)
# Sizes: mostly small and medium files, a few large ones, scaled to the total.
raw = [rng.choice([rng.randint(200, 8000), rng.randint(8000, 200000),
                   rng.randint(200000, 4000000)] if i % 10 else
                  [rng.randint(100, 2000)]) for i in range(count)]
scale = mib * 1024 * 1024 / sum(raw)
words = [base64.b64encode(os.urandom(rng.randint(3, 9))) for _ in range(4000)]
for i, size in enumerate(raw):
    size = max(0, int(size * scale))
    path = os.path.join(root, "d%02d" % (i % 37), "s%d" % (i % 5), "f%05d.dat" % i)
    os.makedirs(os.path.dirname(path), exist_ok=True)
    # Random bytes and text of repeated words: compresses to about 60%.
    parts, have = [], 0
    while have < size:
        chunk = os.urandom(4096) if rng.random() < 0.3 else \
            b" ".join(rng.choices(words, k=700))[:4096]
        parts.append(chunk)
        have += len(chunk)
    with open(path, "wb") as f:
        f.write(b"".join(parts)[:size])
PY
tar -cf "$work/a.tar" -C "$work/tree" .
gzip -c -6 "$work/a.tar" > "$work/a.tar.gz"
du -sh "$work/tree" "$work/a.tar" "$work/a.tar.gz" | sed 's/^/   /'
rm -rf "$work/tree"

now() { date +%s.%N; }
# time_one OUTFILE COMMAND...: runs COMMAND in a fresh "out" directory, appends
# the wall time in seconds to OUTFILE.
time_one() {
  local out=$1; shift
  rm -rf "$work/out"; mkdir "$work/out"; sync
  local t0 t1; t0=$(now)
  "$@" >/dev/null
  t1=$(now)
  echo "$t1 - $t0" | bc -l >> "$out"
}
stats() { sort -n "$1" | awk '{a[NR]=$1} END {printf "%.3f %.3f\n", a[1], a[int((NR+1)/2)]}'; }

bench_pair() {
  local label=$1 archive=$2 tarflags=$3
  : > "$work/gnu.t"; : > "$work/ours.t"
  for ((i = 0; i < runs; i++)); do
    if ((i % 2 == 0)); then
      time_one "$work/gnu.t" tar "$tarflags" "$archive" -C "$work/out"
      time_one "$work/ours.t" "$tool" "$archive" "$work/out"
    else
      time_one "$work/ours.t" "$tool" "$archive" "$work/out"
      time_one "$work/gnu.t" tar "$tarflags" "$archive" -C "$work/out"
    fi
  done
  # Both extractions must give the same tree.
  rm -rf "$work/out" "$work/check"; mkdir "$work/out" "$work/check"
  tar "$tarflags" "$archive" -C "$work/check"
  "$tool" "$archive" "$work/out" >/dev/null
  diff -r "$work/check" "$work/out" >/dev/null || { echo "MISMATCH for $label"; exit 1; }
  local rss=""
  if [ -x /usr/bin/time ]; then
    # Peak resident memory of one more run of each, in KiB.
    rm -rf "$work/out"; mkdir "$work/out"
    local g o
    g=$(/usr/bin/time -f %M tar "$tarflags" "$archive" -C "$work/out" 2>&1 >/dev/null | tail -1)
    rm -rf "$work/out"; mkdir "$work/out"
    o=$(/usr/bin/time -f %M "$tool" "$archive" "$work/out" 2>&1 >/dev/null | tail -1)
    rss=" | peak RSS GNU tar ${g} KiB, starter-untar ${o} KiB"
  fi
  read -r gb gm < <(stats "$work/gnu.t")
  read -r ob om < <(stats "$work/ours.t")
  printf "%-8s GNU tar best %6.3fs median %6.3fs | starter-untar best %6.3fs median %6.3fs | ratio best %.2f median %.2f\n" \
    "$label" "$gb" "$gm" "$ob" "$om" "$(echo "$ob / $gb" | bc -l)" "$(echo "$om / $gm" | bc -l)"
  [ -z "$rss" ] || echo "        ${rss# | }"
}

echo "== $runs runs each, wall time"
bench_pair "tar.gz" "$work/a.tar.gz" -xzf
bench_pair "tar" "$work/a.tar" -xf
