#!/usr/bin/env bash
# Peak memory of an update run by the number of listed entries: a game
# directory of ENTRIES small files, all present and current, and a server list
# naming every one of them under a new key, so the update-only run of the
# real starter scans, hashes and compares every entry and downloads nothing.
# Measured with /usr/bin/time -v (maximum resident set size) at a small list
# (1,000 entries), at ENTRIES / 2 and at ENTRIES; prints each peak and the
# memory per entry, (peak(ENTRIES) - peak(small)) / (ENTRIES - small).
#
# Usage: bench/list_memory_bench.sh BUILD_DIR [ENTRIES]
set -euo pipefail
source "$(dirname "$0")/bench_lib.sh"

build=${1:?usage: $0 BUILD_DIR [ENTRIES]}
entries=${2:-200000}
small=1000
build=$(cd "$build" && pwd)

work=$(mktemp -d /tmp/list-memory-bench-XXXXXX)
server_pid=
cleanup() {
  [ -n "$server_pid" ] && kill "$server_pid" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

port=$(free_port)
python3 -m http.server "$port" --bind 127.0.0.1 --directory "$work/server" \
  >/dev/null 2>&1 &
server_pid=$!

# make_game COUNT: the game directory $work/game-COUNT with COUNT files of a
# few bytes below Base/, its version file under the key 1000, and the
# server's list of the same entries under the key 2000 at
# $work/server/COUNT/linux32-dedicated-demo/App/version.txt.
make_game() {
  local game=$work/game-$1 release=$work/server/$1/linux32-dedicated-demo
  mkdir -p "$game/App" "$release/App"
  python3 - "$game" "$1" "$release/App/version.txt" <<'EOF'
import hashlib, os, sys
game, count, listed = sys.argv[1], int(sys.argv[2]), sys.argv[3]
lines = []
for i in range(count):
    rel = "Base/data/d%03d/f%06d.bin" % (i % 500, i)
    path = os.path.join(game, rel)
    os.makedirs(os.path.dirname(path), exist_ok=True)
    data = b"entry %d\n" % i
    with open(path, "wb") as f:
        f.write(data)
    lines.append("./%s %s\n" % (rel, hashlib.md5(data).hexdigest()))
with open(os.path.join(game, "App", "version.txt"), "w") as f:
    f.write("version_file 1000\n" + "".join(lines))
with open(listed, "w") as f:
    f.write("version_file 2000\n" + "".join(lines))
EOF
  cp "$build/src/DUdavi" "$game/DUdavi"
}

# peak_kib COUNT: runs the starter "onlyautoupdate" in the game of COUNT
# entries under /usr/bin/time -v, checks that it hashed and installed the
# list without downloading a listed file, and prints its peak RSS in KiB.
peak_kib() {
  local game=$work/game-$1 release=$work/server/$1/linux32-dedicated-demo
  sed -i '1s/.*/version_file 1000/' "$game/App/version.txt"
  (cd "$game" &&
   STARTER_UPDATE_URL="http://127.0.0.1:$port/$1/" /usr/bin/time -v \
     ./DUdavi onlyautoupdate >/dev/null 2>"$work/time-$1.txt")
  cmp -s "$game/App/version.txt" "$release/App/version.txt" ||
    { echo "the starter run with $1 entries did not complete" >&2; exit 1; }
  grep -q "Downloading http.*Base" "$game/Logs/app.txt" &&
    { echo "the starter run with $1 entries downloaded files" >&2; exit 1; }
  sed -n 's/.*Maximum resident set size (kbytes): //p' "$work/time-$1.txt"
}

half=$((entries / 2))
for count in "$small" "$half" "$entries"; do make_game "$count"; done
wait_for_url "http://127.0.0.1:$port/$small/linux32-dedicated-demo/App/version.txt"

declare -A peak
for count in "$small" "$half" "$entries"; do
  peak[$count]=$(peak_kib "$count")
  echo "peak RSS with $count entries: ${peak[$count]} KiB" \
       "($((peak[$count] / 1024)) MiB)"
done
python3 - "$small" "${peak[$small]}" "$entries" "${peak[$entries]}" <<'EOF'
import sys
small, small_kib, count, count_kib = map(int, sys.argv[1:])
print("per entry: %.3f KiB ((peak(%d) - peak(%d)) / %d)"
      % ((count_kib - small_kib) / (count - small), count, small, count - small))
EOF
