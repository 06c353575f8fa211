#!/usr/bin/env bash
# A start with a staged release beside one without: the time from the start
# of the real starter to "APP GameDLLInit" (the sample module's entry) in a
# game directory holding a release of FILES files of SIZE bytes, when the
# server publishes the next release, in which every file changed, at RATE
# bytes a second (nginx limit_rate, one transfer at a time). Three kinds of
# start, paired in every round:
#   not staged      the start downloads every file;
#   staged          starter-stage ran before the start (not timed): the start
#                   takes every file from Downloads/staged/, renaming each
#                   copy its record holds into place without reading it, and
#                   keeping each file it replaces for starter-stage to free;
#   key differs     the files are already the new release's, only the list's
#                   key differs: the start hashes them all and fetches none;
# and, beside them, md5sum over the new release's files (what hashing them
# takes) and curl fetching them all over one connection from the same server
# (what the transfer takes). Also prints the bytes the server sent for each
# kind of start (its access log): a staged start should fetch only the list
# (and the sample module asks for its message of the day, which the release
# does not hold).
#
# Usage: bench/stage_bench.sh BUILD_DIR [FILES] [SIZE] [RATE] [ROUNDS]
# (defaults: 100 files of 4 MiB, 400 MiB in all, at 100 MiB/s, 3 rounds).
set -euo pipefail
source "$(dirname "$0")/bench_lib.sh"

build=${1:?usage: $0 BUILD_DIR [FILES] [SIZE] [RATE] [ROUNDS]}
files=${2:-100}
size=${3:-4194304}
rate=${4:-104857600}
rounds=${5:-3}
build=$(cd "$build" && pwd)
starter=$build/src/DUdavi
stage_tool=$build/tools/starter-stage
checksums=$build/tools/starter-checksums
module=$build/examples/libVelmora_dedi.so
for program in "$starter" "$stage_tool" "$checksums" "$module"; do
  [ -e "$program" ] || { echo "build $program first" >&2; exit 1; }
done
nginx_bin=$(command -v nginx || echo /usr/sbin/nginx)
[ -x "$nginx_bin" ] || { echo "nginx is needed (apt-get install nginx-light)" >&2; exit 1; }

work=$(mktemp -d /tmp/stage-bench-XXXXXX)
chmod 755 "$work"  # nginx workers read it as another user
release=$work/server/10/linux32-dedicated-demo
cleanup() {
  [ -f "$work/nginx.pid" ] && kill "$(cat "$work/nginx.pid")" 2>/dev/null || true
  [ -n "${KEEP_WORK:-}" ] || rm -rf "$work"
}
trap cleanup EXIT

# The installed release (seed 41) and the published one (seed 42), same paths.
random_files "$work/old/Base/data" "$files" "$size" 41
mkdir -p "$work/old/App"
"$checksums" "$work/old" "$work/old/App/version.txt" >/dev/null
make_release "$release" "$files" "$size" "$checksums"

port=$(free_port)
write_nginx_conf "$work" "$port" '$request_method $uri $bytes_sent' \
  "limit_rate $rate;"
"$nginx_bin" -c "$work/nginx.conf" -p "$work" -e "$work/nginx-error.log"
server=http://127.0.0.1:$port/10/
wait_for_url "${server}linux32-dedicated-demo/App/version.txt"

game=$work/game
# reset_game KIND: the game directory as the start of KIND finds it.
reset_game() {
  rm -rf "$game"
  mkdir -p "$game"
  cp "$starter" "$game/DUdavi"
  cp "$module" "$game/libVelmora_dedi.so"
  if [ "$1" = current ]; then
    cp -r "$release/Base" "$game/Base"
    mkdir -p "$game/App"
    # The new release's list under another key.
    { echo "version_file 1000"; tail -n +2 "$release/App/version.txt"; } \
      > "$game/App/version.txt"
  else
    cp -r "$work/old/Base" "$work/old/App" "$game/"
  fi
  if [ "$1" = staged ]; then
    STARTER_UPDATE_URL=$server "$stage_tool" --quiet "$game" > "$work/stage.out"
    grep -q '^summary: staged' "$work/stage.out" ||
      { cat "$work/stage.out" >&2; exit 1; }
  fi
  sync
}
# start_ms: runs the starter in the game directory and prints the
# milliseconds until it printed "APP GameDLLInit"; checks the install.
start_ms() {
  : > "$work/access.log"
  kill -USR1 "$(cat "$work/nginx.pid")"  # reopen the emptied log
  (cd "$game" && STARTER_UPDATE_URL=$server STARTER_DOWNLOADS=1 \
     VELMORA_SERVER_SECONDS=0 python3 - ./DUdavi <<'PY'
import subprocess, sys, time
start = time.monotonic()
child = subprocess.Popen(sys.argv[1:], stdout=subprocess.PIPE,
                         stderr=subprocess.DEVNULL)
seen = None
for line in child.stdout:
    if seen is None and b"APP GameDLLInit" in line:
        seen = time.monotonic()
child.wait()
if seen is None:
    sys.exit("no GameDLLInit")
print(f"{(seen - start) * 1000:.1f}")
PY
  )
  cmp -s "$game/App/version.txt" "$release/App/version.txt" ||
    { echo "the start did not install the release" >&2; return 1; }
}
# bytes_sent: what the server sent during the last start, by kind of request.
bytes_sent() {
  sleep 0.2  # nginx writes its log line once a request is done
  awk '{ if ($2 ~ /App\/version\.txt/) list += $3
         else if ($2 ~ /Base\/data\//) body += $3
         else other += $3 }
       END { printf "list and metadata %d B, listed file bodies %d B, " \
                    "the module'"'"'s own requests %d B", list, body, other }' \
    "$work/access.log"
}

declare -A times sent
for kind in plain staged current md5sum curl; do times[$kind]=""; done
curl_config "$release" "${server}linux32-dedicated-demo/" "$work/curl-out" \
  > "$work/curl.cfg"
for round in $(seq "$rounds"); do
  for kind in plain staged current; do
    reset_game "$kind"
    times[$kind]+=" $(start_ms)"
    sent[$kind]=$(bytes_sent)
  done
  times[md5sum]+=" $(time_ms md5sum "$release"/Base/data/*)"
  rm -rf "$work/curl-out"
  times[curl]+=" $(time_ms curl -s --create-dirs -K "$work/curl.cfg")"
done

total=$((files * size))
report "Start to GameDLLInit, $files changed files of $size B ($((total >> 20)) MiB) at $((rate >> 20)) MiB/s" \
  "key differs, files current" "${times[current]}" \
  "staged (starter-stage before)" "${times[staged]}" \
  "not staged" "${times[plain]}" \
  "md5sum of the new files" "${times[md5sum]}" \
  "curl of the new files" "${times[curl]}"
echo "Bytes the server sent during one start:"
echo "  not staged:                 ${sent[plain]}"
echo "  staged:                     ${sent[staged]}"
echo "  key differs, files current: ${sent[current]}"
