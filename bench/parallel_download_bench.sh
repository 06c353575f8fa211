#!/usr/bin/env bash
# Overlapping downloads beside curl: the whole update-only run of the real
# starter in an empty game directory, fetching FILES files of SIZE bytes from
# a local server that delays every answer by DELAY_MS (a nearby server),
# with 4 transfers in flight and with 1, against one curl process fetching
# the same URLs with --parallel --parallel-max 4. Runs are paired; prints
# the medians and their ratios to curl.
#
# Usage: bench/parallel_download_bench.sh BUILD_DIR [FILES] [SIZE] [DELAY_MS] [ROUNDS]
set -euo pipefail
source "$(dirname "$0")/bench_lib.sh"

build=${1:?usage: $0 BUILD_DIR [FILES] [SIZE] [DELAY_MS] [ROUNDS]}
files=${2:-300}
size=${3:-16384}
delay_ms=${4:-20}
rounds=${5:-3}
build=$(cd "$build" && pwd)

work=$(mktemp -d /tmp/parallel-download-bench-XXXXXX)
release=$work/server/10/linux32-dedicated-demo
server_pid=
cleanup() {
  [ -n "$server_pid" ] && kill "$server_pid" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

make_release "$release" "$files" "$size" "$build/tools/starter-checksums"

# A threaded static server (HTTP/1.1, keep-alive) that waits DELAY_MS before
# every answer.
port=$(free_port)
python3 - "$work/server" "$port" "$delay_ms" >/dev/null 2>&1 <<'EOF' &
import functools, http.server, sys, time
root, port, delay = sys.argv[1], int(sys.argv[2]), int(sys.argv[3]) / 1000
class Delayed(http.server.SimpleHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    # Head and body leave at once, not after the client's delayed ACK.
    disable_nagle_algorithm = True
    def do_GET(self):
        time.sleep(delay)
        super().do_GET()
    def log_message(self, *args):
        pass
server = http.server.ThreadingHTTPServer(
    ("127.0.0.1", port), functools.partial(Delayed, directory=root))
server.serve_forever()
EOF
server_pid=$!
base=http://127.0.0.1:$port/10/linux32-dedicated-demo/
wait_for_url "${base}App/version.txt"

curl_config "$release" "$base" "$work/curl" > "$work/curl.config"


run_curl() {
  rm -rf "$work/curl" && mkdir -p "$work/curl"
  time_ms curl -s --fail --create-dirs --parallel --parallel-max 4 \
    --config "$work/curl.config"
}

four_ms=()
one_ms=()
curl_ms=()
for round in $(seq "$rounds"); do
  four_ms+=("$(first_install_ms "$build/src/DUdavi" "$work/game" \
    "http://127.0.0.1:$port/10/" "$release" STARTER_DOWNLOADS=4)")
  curl_ms+=("$(run_curl)")
  one_ms+=("$(first_install_ms "$build/src/DUdavi" "$work/game" \
    "http://127.0.0.1:$port/10/" "$release" STARTER_DOWNLOADS=1)")
  echo "round $round: starter N=4 ${four_ms[-1]} ms, curl ${curl_ms[-1]} ms," \
       "starter N=1 ${one_ms[-1]} ms" >&2
done
diff -r -q "$work/curl/Base" "$release/Base" >/dev/null ||
  { echo "curl did not fetch the release" >&2; exit 1; }

report "$files files x $size bytes, every answer delayed by $delay_ms ms, $rounds paired rounds" \
  "curl --parallel --parallel-max 4" "${curl_ms[*]}" \
  "starter onlyautoupdate, N=4" "${four_ms[*]}" \
  "starter onlyautoupdate, N=1" "${one_ms[*]}"
