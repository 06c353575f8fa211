#!/usr/bin/env bash
# Re-hashing an installed tree beside md5sum: the whole update-only run of
# the real starter in a game directory that already holds the release, when
# the server's list carries a new key (so every listed file is hashed and
# nothing is downloaded), against one md5sum process over the same files;
# the publishing tool starter-checksums, the check starter-verify (which
# hashes every listed file of the installed version file) and "md5sum -c"
# over the same tree. Warm page cache; runs are paired (starter, md5sum,
# tool, verify, md5sum -c; ROUNDS times); prints the medians and the ratios
# to md5sum. With BASE_DIR, the starter of another build (BASE_DIR/src/DUdavi)
# runs too, in the same rounds, for a comparison before and after a change.
#
# Usage: bench/rehash_bench.sh BUILD_DIR [FILES] [TOTAL_MIB] [ROUNDS] [BASE_DIR]
set -euo pipefail
source "$(dirname "$0")/bench_lib.sh"

build=$(cd "${1:?usage: $0 BUILD_DIR [FILES] [TOTAL_MIB] [ROUNDS] [BASE_DIR]}" && pwd)
files=${2:-3000}
total_mib=${3:-400}
rounds=${4:-7}
base=${5:+$(cd "$5" && pwd)}

work=$(mktemp -d /tmp/rehash-bench-XXXXXX)
release=$work/server/10/linux32-dedicated-demo
game=$work/game
server_pid=
cleanup() {
  [ -n "$server_pid" ] && kill "$server_pid" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

# The installed release: FILES files of varied sizes, TOTAL_MIB in all.
mkdir -p "$release/App" "$game/Base"
python3 - "$game/Base" "$files" "$total_mib" <<'EOF'
import os, random, sys
root, count, total = sys.argv[1], int(sys.argv[2]), int(sys.argv[3]) << 20
rng = random.Random(7)
weights = [rng.uniform(0.2, 1.8) for _ in range(count)]
scale = total / sum(weights)
chunk = rng.randbytes(1 << 20)
for i, w in enumerate(weights):
    size = int(w * scale)
    sub = os.path.join(root, "d%02d" % (i % 30))
    os.makedirs(sub, exist_ok=True)
    with open(os.path.join(sub, "f%05d.bin" % i), "wb") as f:
        f.write(os.urandom(64))
        left = size - 64
        while left > 0:
            f.write(chunk[: min(left, len(chunk))])
            left -= len(chunk)
EOF
cp "$build/src/DUdavi" "$game/DUdavi"
"$build/tools/starter-checksums" "$game" "$release/App/version.txt" >/dev/null
# The installed version file: the same entries under an older key.
sed '1s/.*/version_file 1000/' "$release/App/version.txt" > "$work/installed.txt"
tail -n +2 "$release/App/version.txt" | cut -d' ' -f1 | sed "s|^\./|$game/|" \
  > "$work/names.txt"
# The same entries as md5sum -c reads them, relative to the game directory.
tail -n +2 "$release/App/version.txt" | awk '{ print $2 "  " substr($1, 3) }' \
  > "$work/md5sums.txt"

port=$(free_port)
python3 -m http.server "$port" --bind 127.0.0.1 --directory "$work/server" \
  >/dev/null 2>&1 &
server_pid=$!
wait_for_url "http://127.0.0.1:$port/10/linux32-dedicated-demo/App/version.txt"

# run_starter [STARTER]: runs STARTER (by default the game's own DUdavi).
run_starter() {
  mkdir -p "$game/App" && cp "$work/installed.txt" "$game/App/version.txt"
  local start end
  sync
  start=$(now)
  (cd "$game" && STARTER_UPDATE_URL="http://127.0.0.1:$port/10/" ${STARTER_WRAP:-} \
     "${1:-./DUdavi}" onlyautoupdate >/dev/null 2>&1)
  end=$(now)
  cmp -s "$game/App/version.txt" "$release/App/version.txt" ||
    { echo "the starter run did not complete" >&2; exit 1; }
  grep -q "Downloading http.*Base" "$game/Logs/app.txt" &&
    { echo "the starter run downloaded files" >&2; exit 1; }
  elapsed_ms "$start" "$end"
}

run_md5sum() { time_ms xargs -a "$work/names.txt" -d '\n' md5sum; }

run_tool() { time_ms "$build/tools/starter-checksums" "$game" "$work/tool-list.txt"; }

# The installed version file lists every file with its right hash, so the
# check hashes them all and finds the tree intact.
run_verify() {
  mkdir -p "$game/App" && cp "$work/installed.txt" "$game/App/version.txt"
  time_ms "$build/tools/starter-verify" --quiet "$game"
}

run_md5sum_check() {
  time_ms bash -c 'cd "$1" && md5sum -c --quiet "$2"' _ "$game" "$work/md5sums.txt"
}

run_starter >/dev/null  # warms the page cache
run_md5sum >/dev/null
# Both checks find the tree intact before they are timed.
cp "$work/installed.txt" "$game/App/version.txt"
"$build/tools/starter-verify" --quiet "$game" >&2 ||
  { echo "starter-verify did not find the tree intact" >&2; exit 1; }
(cd "$game" && md5sum -c --quiet "$work/md5sums.txt") ||
  { echo "md5sum -c failed" >&2; exit 1; }
starter_ms=() md5_ms=() tool_ms=() verify_ms=() check_ms=() base_ms=()
for round in $(seq "$rounds"); do
  [ -z "$base" ] || base_ms+=("$(run_starter "$base/src/DUdavi")")
  starter_ms+=("$(run_starter)")
  md5_ms+=("$(run_md5sum)")
  tool_ms+=("$(run_tool)")
  verify_ms+=("$(run_verify)")
  check_ms+=("$(run_md5sum_check)")
  echo "round $round: starter ${starter_ms[-1]} ms, md5sum ${md5_ms[-1]} ms," \
       "tool ${tool_ms[-1]} ms, verify ${verify_ms[-1]} ms," \
       "md5sum -c ${check_ms[-1]} ms${base:+, base starter ${base_ms[-1]} ms}" >&2
done

report "re-hash of $files files, $total_mib MiB, warm cache, $rounds paired rounds" \
  "md5sum, one process" "${md5_ms[*]}" \
  "starter onlyautoupdate run" "${starter_ms[*]}" \
  "starter-checksums" "${tool_ms[*]}" \
  "starter-verify" "${verify_ms[*]}" \
  "md5sum -c" "${check_ms[*]}" ${base:+"starter of BASE_DIR" "${base_ms[*]}"}
report "the check beside the update run's own re-hash" \
  "starter onlyautoupdate run" "${starter_ms[*]}" \
  "starter-verify" "${verify_ms[*]}"
