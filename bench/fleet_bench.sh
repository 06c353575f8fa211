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
# the edge's log gives the requests each run made and the bytes it sent.
#
# The releases are published with starter-publish: the shipped origin
# answers a file request by the release it names, through the links the
# tool keeps. B's CHANGED files are replaced by random bytes (no patch is
# worth it), or with EDITED=1 edited (4 KiB overwritten in the middle), so
# that B has a patch for each; patch_bytes is what its patches hold (the
# file table's rows). A starter that fetches patches takes them from the
# edge instead of the files; one that does not fetches the whole files, and
# the origin and edge bytes are those of the files.
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

# publish DIR: starter-publish publishes the release tree DIR (signed with
# SIGN_KEY if set): the served directory switches to it in one rename.
publish() {
  "$publish_tool" ${SIGN_KEY:+--sign "$SIGN_KEY"} "$1" \
    "$root/origin/10/linux32-dedicated-demo" >/dev/null
}

# edit_files DIR COUNT: overwrites 4 KiB in the middle of the first COUNT
# files of DIR with bytes drawn from a fixed seed.
edit_files() {
  python3 - "$1" "$2" <<'PY'
import os, random, sys
root, count = sys.argv[1], int(sys.argv[2])
rng = random.Random(43)
for name in sorted(os.listdir(root))[:count]:
    path = os.path.join(root, name)
    data = bytearray(open(path, "rb").read())
    at = max(0, len(data) // 2 - 2048)
    data[at:at + 4096] = rng.randbytes(min(4096, len(data)))
    open(path, "wb").write(bytes(data))
PY
}

# patch_bytes: the bytes of the served release's patches, as its file table
# lists them (0 without a table).
patch_bytes() {
  local table=$root/origin/10/linux32-dedicated-demo/App/version.txt.files
  [ -f "$table" ] || { echo 0; return; }
  awk '$1 ~ /^\.\/\.patches\// { bytes += $2 } END { print bytes + 0 }' "$table"
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

# run_requests FROM_LINE FLEET: "LIST_REQUESTS OTHER_REQUESTS EDGE_BYTES"
# from the edge's access log from line FROM_LINE on: per run, the list, its
# signature and its statement; the table, the files and patches; and the
# body bytes the edge sent the whole fleet.
run_requests() {
  tail -n +"$1" "$root/conf/edge/access.log" | awk -v fleet="$2" '
    { bytes += $3 }
    $1 ~ /\/App\/version\.txt(\.sig|\.release)?$/ { lists += 1; next }
    { other += 1 }
    END { printf "%.1f %.1f %d\n", lists / fleet, other / fleet, bytes }'
}

log_lines() { wc -l < "$root/conf/$1/access.log"; }

# measure FLEET NAME RELEASE_DIR RELEASE_BYTES: updates the fleet to the
# served release RELEASE_DIR and prints what left the origin for it.
measure() {
  local from edge_from bytes bodies lists statements tables list_requests other
  local edge_bytes
  from=$(( $(log_lines origin) + 1 ))
  edge_from=$(( $(log_lines edge) + 1 ))
  update_fleet "$1" "$root/origin/10/linux32-dedicated-demo/App/version.txt"
  read -r bytes bodies lists statements tables < <(origin_bytes "$from")
  read -r list_requests other edge_bytes < <(run_requests "$edge_from" "$1")
  printf '%-6s %-8s %18d %12d %18d %16d %12d %14d %14s %9s %14d %12d\n' "$1" \
    "$2" "$bytes" "$bodies" "$lists" "$statements" "$tables" "$4" \
    "$list_requests" "$other" "$edge_bytes" "$(patch_bytes)"
}

# release_bytes: the bytes of the files that release changed (all of A);
# list_requests and other_requests: what each run asked the edge for (the
# list, its signature and statement; the file table and the files);
# edge_bytes: what the edge sent the fleet; patch_bytes: the patches of the
# release.
printf '%-6s %-8s %18s %12s %18s %16s %12s %14s %14s %9s %14s %12s\n' fleet \
  release origin_file_bytes file_bodies origin_list_bytes origin_statements \
  origin_table release_bytes list_requests others edge_bytes patch_bytes
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
  if [ -n "${EDITED:-}" ]; then
    edit_files "$root/releases/b/Base/data" "$changed"
  else
    random_files "$root/releases/b/Base/data" "$changed" "$size" 43
  fi
  publish "$root/releases/b"
  measure "$n" B "$root/releases/b" $(( changed * size ))
  stop_nginx
done
