#!/usr/bin/env bash
# Origin bytes per release against fleet size: game directories updating all
# at once (real starters, update-only runs) through an nginx edge cache in
# front of an origin nginx, each in Debian's stock layout with its shipped
# file of packaging/nginx/ in conf.d/ (tests/e2e/nginx_fleet_config.py). For each
# fleet size, release A (a first install) and then release B (CHANGED of its
# files changed) are published by an atomic switch of the served directory;
# every directory must reach each release in one run. The origin's access
# log gives what left the origin for each release: file bodies (the aim: one
# release's bytes whatever the fleet size), the lists with their signatures
# and release statements (fetched from the origin by every run) and the
# release's file table (cached by the edge under its release, like a file);
# the edge's log gives the requests each run made.
#
# Usage: bench/fleet_bench.sh BUILD_DIR [FILES] [SIZE] [CHANGED]
# FLEET_SIZES (default "1 4 16 64") picks the fleet sizes; SIGN_KEY, a
# private key, signs the lists (with their release statements and file
# tables) and gives the starters that key: a starter built without one gets
# it in its key slot from starter-publish, as a packaged starter would.
set -euo pipefail
source "$(dirname "$0")/bench_lib.sh"

build=${1:?usage: $0 BUILD_DIR [FILES] [SIZE] [CHANGED]}
files=${2:-64}
size=${3:-65536}
changed=${4:-16}
sizes=${FLEET_SIZES:-1 4 16 64}
build=$(cd "$build" && pwd)
source_dir=$(cd "$(dirname "$0")/.." && pwd)
starter=$build/src/DUdavi
checksums=$build/tools/starter-checksums
publish_tool=$build/tools/starter-publish
nginx_bin=$(command -v nginx || echo /usr/sbin/nginx)
[ -x "$nginx_bin" ] || { echo "nginx not found: run scripts/install-deps.sh" >&2; exit 1; }

work=$(mktemp -d /tmp/fleet-bench-XXXXXX)
chmod 755 "$work"  # run as root, nginx's workers (www-data) read it
pids=()
stop_nginx() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
  pids=()
}
cleanup() {
  stop_nginx
  [ -n "${KEEP_WORK:-}" ] || rm -rf "$work"
}
trap cleanup EXIT

# With SIGN_KEY, the starters trust its key: the starter published in a
# release signed with it, which fills an empty key slot.
if [ -n "${SIGN_KEY:-}" ]; then
  mkdir -p "$work/keyed/tree"
  cp "$starter" "$work/keyed/tree/DUdavi"
  "$publish_tool" --sign "$SIGN_KEY" "$work/keyed/tree" "$work/keyed/served" >/dev/null
  starter=$work/keyed/served/DUdavi
fi

# publish DIR: the release tree DIR (with its list) becomes the served
# release in one rename of the link that the origin serves.
publish() {
  local served=$root/origin/10/linux32-dedicated-demo
  ln -sfn "$1" "$served.next"
  mv -T "$served.next" "$served"
}

# write_list DIR: the release's checksum list (signed with SIGN_KEY if set).
write_list() {
  "$checksums" ${SIGN_KEY:+--sign "$SIGN_KEY"} "$1" "$1/App/version.txt" >/dev/null
}

# update_fleet COUNT LIST: runs the starter in every game directory at once
# and checks that each installed LIST.
update_fleet() {
  local run=()
  for i in $(seq "$1"); do
    (cd "$root/games/$i" && STARTER_UPDATE_URL="http://127.0.0.1:$edge_port/10/" \
       ./DUdavi onlyautoupdate >/dev/null 2>&1) &
    run+=($!)
  done
  for pid in "${run[@]}"; do wait "$pid"; done
  for i in $(seq "$1"); do
    cmp -s "$root/games/$i/App/version.txt" "$2" ||
      { echo "game $i did not reach the release in one run" >&2; exit 1; }
  done
}

# origin_bytes FROM_LINE: "FILE_BYTES FILE_BODIES LIST_BYTES STATEMENT_BYTES
# TABLE_BYTES" from the origin's access log, from line FROM_LINE on.
origin_bytes() {
  tail -n +"$1" "$root/conf/origin/access.log" | awk '
    $1 ~ /\/App\/version\.txt(\.sig)?$/ { list += $3; next }
    $1 ~ /\/App\/version\.txt\.release$/ { statement += $3; next }
    $1 ~ /\/App\/version\.txt\.files$/ { table += $3; next }
    $2 == 200 { bytes += $3; bodies += 1 }
    END { printf "%d %d %d %d %d\n", bytes, bodies, list, statement, table }'
}

# run_requests FROM_LINE FLEET: "LIST_REQUESTS OTHER_REQUESTS" per run, from
# the edge's access log from line FROM_LINE on: the list, its signature and
# its statement; the table and the files.
run_requests() {
  tail -n +"$1" "$root/conf/edge/access.log" | awk -v fleet="$2" '
    $1 ~ /\/App\/version\.txt(\.sig|\.release)?$/ { lists += 1; next }
    { other += 1 }
    END { printf "%.1f %.1f\n", lists / fleet, other / fleet }'
}

log_lines() { wc -l < "$root/conf/$1/access.log"; }

# measure FLEET NAME RELEASE_DIR RELEASE_BYTES: updates the fleet to the
# served release RELEASE_DIR and prints what left the origin for it.
measure() {
  local from edge_from bytes bodies lists statements tables list_requests other
  from=$(( $(log_lines origin) + 1 ))
  edge_from=$(( $(log_lines edge) + 1 ))
  update_fleet "$1" "$3/App/version.txt"
  read -r bytes bodies lists statements tables < <(origin_bytes "$from")
  read -r list_requests other < <(run_requests "$edge_from" "$1")
  printf '%-6s %-8s %18d %12d %18d %16d %12d %14d %14s %9s\n' "$1" "$2" \
    "$bytes" "$bodies" "$lists" "$statements" "$tables" "$4" \
    "$list_requests" "$other"
}

# release_bytes: the bytes of the files that release changed (all of A);
# list_requests and other_requests: what each run asked the edge for (the
# list, its signature and statement; the file table and the files).
printf '%-6s %-8s %18s %12s %18s %16s %12s %14s %14s %9s\n' fleet release \
  origin_file_bytes file_bodies origin_list_bytes origin_statements \
  origin_table release_bytes list_requests others
for n in $sizes; do
  root=$work/fleet-$n
  mkdir -p "$root/origin/10" "$root/games"
  python3 "$source_dir/tests/e2e/nginx_fleet_config.py" \
    "$source_dir/packaging/nginx" "$root/conf" "$root/origin"
  edge_port=$(awk '$1 == "edge" { print $2 }' "$root/conf/ports")
  origin_port=$(awk '$1 == "origin" { print $2 }' "$root/conf/ports")
  for i in $(seq "$n"); do
    mkdir -p "$root/games/$i" && cp "$starter" "$root/games/$i/DUdavi"
  done

  # Release A: FILES files of SIZE bytes.
  make_release "$root/releases/a" "$files" "$size" "$checksums"
  write_list "$root/releases/a"
  publish "$root/releases/a"
  for side in origin edge; do
    "$nginx_bin" -p "$root/conf/$side/" -c "$root/conf/$side/etc/nginx/nginx.conf" \
      -e "$root/conf/$side/var/log/nginx/error.log" -g "daemon off;" &
    pids+=($!)
  done
  for port in "$origin_port" "$edge_port"; do
    wait_for_url "http://127.0.0.1:$port/10/linux32-dedicated-demo/App/version.txt"
  done
  measure "$n" A "$root/releases/a" $(( files * size ))
  if [ -n "${SIGN_KEY:-}" ]; then
    # A keyed run on the key-match path asks for the list, its signature
    # and its statement, and nothing else.
    measure "$n" A-again "$root/releases/a" 0
  fi

  # Release B, published the moment A's runs ended: CHANGED files changed.
  cp -a "$root/releases/a" "$root/releases/b"
  random_files "$root/releases/b/Base/data" "$changed" "$size" 43
  write_list "$root/releases/b"
  publish "$root/releases/b"
  measure "$n" B "$root/releases/b" $(( changed * size ))
  stop_nginx
done
