#!/usr/bin/env bash
# First install beside curl: the whole update-only run of the real starter in
# an empty game directory, fetching a release of FILES files of SIZE bytes
# from nginx on 127.0.0.1, against one curl process fetching the same URLs
# over one connection, and against the same curl followed by what the
# starter does beyond the transfer (md5sum of every file, a sync of the file
# system). Runs are paired (starter, curl, curl checked, ROUNDS times);
# prints the medians and their ratios to curl's. Then one more run of each under
# `strace -f -c` (when strace is there) gives their system calls per file.
#
# Usage: bench/first_install_bench.sh BUILD_DIR [FILES] [SIZE] [ROUNDS]
# STARTER_DOWNLOADS (the number of transfers in flight) is passed through
# when set.
set -euo pipefail
source "$(dirname "$0")/bench_lib.sh"

build=${1:?usage: $0 BUILD_DIR [FILES] [SIZE] [ROUNDS]}
files=${2:-1000}
size=${3:-16384}
rounds=${4:-7}
build=$(cd "$build" && pwd)
starter=$build/src/DUdavi
checksums=$build/tools/starter-checksums

if ! command -v nginx >/dev/null; then
  echo "installing nginx" >&2
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq && apt-get install -y -qq nginx-light >/dev/null
fi
nginx_bin=$(command -v nginx || echo /usr/sbin/nginx)

work=$(mktemp -d /tmp/first-install-bench-XXXXXX)
chmod 755 "$work"  # nginx workers read it as another user
release=$work/server/10/linux32-dedicated-demo
cleanup() {
  [ -f "$work/nginx.pid" ] && kill "$(cat "$work/nginx.pid")" 2>/dev/null || true
  mountpoint -q "$work/fs" 2>/dev/null && umount "$work/fs"
  [ -n "${KEEP_WORK:-}" ] || rm -rf "$work"
}
trap cleanup EXIT

# The runs write into a new ext4 file system of their own (as root, where
# mkfs.ext4 is there): how fast ext4 makes a file depends on how many files
# were deleted near it in the last minutes, so on a file system with a past
# the two tools would be timed for what ran before them.
runs=$work
if [ "$(id -u)" = 0 ] && command -v mkfs.ext4 >/dev/null; then
  truncate -s 4G "$work/fs.img"
  mkfs.ext4 -q -F "$work/fs.img"
  mkdir -p "$work/fs"
  mount -o loop "$work/fs.img" "$work/fs"
  runs=$work/fs
  echo "runs on a new ext4 file system (loop device)" >&2
fi

make_release "$release" "$files" "$size" "$checksums"

port=$(free_port)
write_nginx_conf "$work" "$port"
"$nginx_bin" -c "$work/nginx.conf" -p "$work" -e "$work/nginx-error.log"
base=http://127.0.0.1:$port/10/linux32-dedicated-demo/
wait_for_url "${base}App/version.txt"

# Every run writes into directories of its own, removed only after the
# last: ext4 makes a new file slowly while many files near it were deleted
# moments before, so a run right after the removal of the last one's tree
# would be timed for that removal.
# curl's configuration: every listed file, in list order, one connection.
for round in $(seq 0 "$rounds"); do
  curl_config "$release" "$base" "$runs/curl.$round" > "$work/curl.$round.config"
done

run_curl() {
  mkdir -p "$runs/curl.$1"
  sync
  time_ms curl -s --fail --create-dirs --config "$work/curl.$1.config"
}

# What the starter does beyond the transfer, done the same way after curl:
# the MD5 of every file fetched, then a sync of the file system, before
# which the starter installs no list.
checked_curl() {
  curl -s --fail --create-dirs --config "$work/curl.c$1.config" &&
    find "$runs/curl.c$1" -type f -print0 | xargs -0 md5sum >/dev/null &&
    sync -f "$runs/curl.c$1"
}
run_checked_curl() {
  mkdir -p "$runs/curl.c$1"
  curl_config "$release" "$base" "$runs/curl.c$1" > "$work/curl.c$1.config"
  time_ms checked_curl "$1"
}

starter_ms=()
curl_ms=()
checked_ms=()
for round in $(seq "$rounds"); do
  starter_ms+=("$(first_install_ms "$starter" "$runs/game.$round" \
    "http://127.0.0.1:$port/10/" "$release" ${STARTER_DOWNLOADS:+STARTER_DOWNLOADS=$STARTER_DOWNLOADS})")
  curl_ms+=("$(run_curl "$round")")
  checked_ms+=("$(run_checked_curl "$round")")
  echo "round $round: starter ${starter_ms[-1]} ms, curl ${curl_ms[-1]} ms, curl+md5sum+sync ${checked_ms[-1]} ms" >&2
done
diff -r -q "$runs/curl.1/Base" "$release/Base" >/dev/null ||
  { echo "curl did not fetch the release" >&2; exit 1; }

report "first install of $files files x $size bytes from nginx on 127.0.0.1, $rounds paired rounds" \
  "curl --config, one process" "${curl_ms[*]}" \
  "starter onlyautoupdate run" "${starter_ms[*]}" \
  "curl, then md5sum and sync -f" "${checked_ms[*]}"

if command -v strace >/dev/null; then
  STARTER_WRAP="strace -f -c -o $work/starter.strace" first_install_ms \
    "$starter" "$runs/game.0" "http://127.0.0.1:$port/10/" "$release" \
    ${STARTER_DOWNLOADS:+STARTER_DOWNLOADS=$STARTER_DOWNLOADS} >/dev/null
  mkdir -p "$runs/curl.0"
  strace -f -c -o "$work/curl.strace" \
    curl -s --fail --create-dirs --config "$work/curl.0.config" >/dev/null 2>&1
  syscall_table "$files" "starter" "$work/starter.strace" \
    "curl" "$work/curl.strace"
else
  echo "strace not installed: no system call counts" >&2
fi
