# Shared pieces of the benchmark scripts (sourced): wall-clock timing, a free
# port on 127.0.0.1, and the report of paired runs.

# Seconds since the epoch, with nanoseconds.
now() { date +%s.%N; }

# Milliseconds from $1 to $2 (two values of now), one decimal.
elapsed_ms() { python3 -c "import sys; print(f'{(float(sys.argv[2]) - float(sys.argv[1])) * 1000:.1f}')" "$1" "$2"; }

# A TCP port on 127.0.0.1 that nothing listens on.
free_port() {
  python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'
}

# Times one command (its output discarded), after writing back what earlier
# runs left dirty; prints the milliseconds.
time_ms() {
  local start end
  sync
  start=$(now)
  "$@" >/dev/null 2>&1
  end=$(now)
  elapsed_ms "$start" "$end"
}

# report TITLE REFERENCE_LABEL "REFERENCE_TIMES" [LABEL "TIMES"]...
# Prints the median and minimum of every series (times in ms, separated by
# spaces) and the ratio of each median to the reference's median.
report() {
  python3 - "$@" <<'PY'
import statistics, sys
title, args = sys.argv[1], sys.argv[2:]
series = [(args[i], [float(x) for x in args[i + 1].split()])
          for i in range(0, len(args), 2)]
reference = statistics.median(series[0][1])
print(title)
for label, times in series:
    median = statistics.median(times)
    ratio = "" if label == series[0][0] else f"  ratio {median / reference:.2f}"
    print(f"  {label:<36} median {median:9.1f} ms  min {min(times):9.1f} ms{ratio}")
PY
}

# random_files DIR COUNT SIZE SEED: writes DIR/f00000.bin and on, COUNT
# files of SIZE random bytes drawn from SEED (the same for the same SEED).
random_files() {
  mkdir -p "$1"
  python3 - "$@" <<'PY'
import os, random, sys
root, count, size = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
rng = random.Random(int(sys.argv[4]))
for i in range(count):
    with open(os.path.join(root, "f%05d.bin" % i), "wb") as f:
        f.write(rng.randbytes(size))
PY
}

# make_release RELEASE_DIR FILES SIZE CHECKSUM_TOOL: FILES files of SIZE
# random bytes (the same on every call) below RELEASE_DIR/Base/data, and
# their checksum list as RELEASE_DIR/App/version.txt.
make_release() {
  mkdir -p "$1/App"
  random_files "$1/Base/data" "$2" "$3" 42
  "$4" "$1" "$1/App/version.txt" >/dev/null
}

# curl_config RELEASE_DIR BASE_URL OUT_DIR: a curl configuration that fetches
# every file the release's list names from BASE_URL into OUT_DIR.
curl_config() {
  tail -n +2 "$1/App/version.txt" | while read -r path _; do
    printf 'url = "%s%s"\noutput = "%s/%s"\n' "$2" "${path#./}" "$3" "${path#./}"
  done
}

# write_nginx_conf WORK PORT [LOG_FORMAT] [SERVER_LINES]: writes
# WORK/nginx.conf, one worker serving WORK/server on 127.0.0.1:PORT over
# kept-alive connections, its pid and error log in WORK; with LOG_FORMAT (an
# nginx log_format string) each request is logged to WORK/access.log so,
# else nothing is; SERVER_LINES go into the server block as they are.
write_nginx_conf() {
  local work=$1 port=$2 format=${3:-} extra=${4:-} access="access_log off;"
  if [ -n "$format" ]; then
    access="log_format bench '$format';
  access_log $work/access.log bench;"
  fi
  cat > "$work/nginx.conf" <<EOF
worker_processes 1;
daemon on;
pid $work/nginx.pid;
error_log $work/nginx-error.log;
events { worker_connections 64; }
http {
  $access
  sendfile on;
  tcp_nodelay on;
  keepalive_requests 1000000;
  keepalive_timeout 60;
  server {
    listen 127.0.0.1:$port;
    root $work/server;
    $extra
  }
}
EOF
}

# wait_for_url URL: waits up to 5 s until URL answers.
wait_for_url() {
  for _ in $(seq 50); do
    curl -fs -o /dev/null "$1" && return 0
    sleep 0.1
  done
  echo "no answer from $1" >&2
  return 1
}

# first_install_ms STARTER GAME_DIR SERVER_BASE RELEASE_DIR [VAR=VALUE...]:
# runs the starter "onlyautoupdate" in a new, empty GAME_DIR against the
# update server at SERVER_BASE (ending in /10/), with the extra environment
# given (and STARTER_WRAP, a command to run it under, when set); checks that
# the release was installed and prints the milliseconds the run took.
first_install_ms() {
  local starter=$1 game=$2 server=$3 release=$4 start end
  shift 4
  rm -rf "$game" && mkdir -p "$game" && cp "$starter" "$game/DUdavi"
  # What earlier runs left to write back is not this run's to sync.
  sync
  start=$(now)
  (cd "$game" && env STARTER_UPDATE_URL="$server" "$@" ${STARTER_WRAP:-} \
     ./DUdavi onlyautoupdate >/dev/null 2>&1)
  end=$(now)
  cmp -s "$game/App/version.txt" "$release/App/version.txt" ||
    { echo "starter run did not complete the install" >&2; return 1; }
  elapsed_ms "$start" "$end"
}

# syscall_table FILES LABEL STRACE_OUTPUT [LABEL STRACE_OUTPUT]...: the
# system calls of each traced run (strace -f -c -o), per file of the FILES
# a run fetched: calls and failed calls of every kind either run makes at
# least once per 100 files, and the total, side by side.
syscall_table() {
  python3 - "$@" <<'PY'
import sys
files, args = int(sys.argv[1]), sys.argv[2:]
runs = []
for i in range(0, len(args), 2):
    counts = {}
    for line in open(args[i + 1]):
        parts = line.split()
        # "% time seconds usecs/call calls [errors] syscall"
        if len(parts) < 5 or not parts[3].isdigit() or parts[-1] == "total":
            continue
        errors = int(parts[4]) if len(parts) == 6 else 0
        counts[parts[-1]] = (int(parts[3]), errors)
    runs.append((args[i], counts))
kinds = sorted({k for _, c in runs for k, (n, _) in c.items() if n * 100 >= files},
               key=lambda k: -max(c.get(k, (0, 0))[0] for _, c in runs))
print(f"system calls per file ({files} files; calls, failed in brackets)")
print("  " + f"{'':<18}" + "".join(f"{label:>22}" for label, _ in runs))
for kind in kinds:
    cells = []
    for _, c in runs:
        n, e = c.get(kind, (0, 0))
        cells.append(f"{n / files:.2f}" + (f" ({e / files:.2f})" if e else ""))
    print("  " + f"{kind:<18}" + "".join(f"{cell:>22}" for cell in cells))
totals = [sum(n for n, _ in c.values()) / files for _, c in runs]
print("  " + f"{'all':<18}" + "".join(f"{t:>22.2f}" for t in totals))
PY
}
