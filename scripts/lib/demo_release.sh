# The demo release of the Brackmoor dedicated server and a loopback update
# server for it; sourced by scripts/demo.sh and scripts/package.sh.

# publish_demo_release RELEASE MODULE EXECUTABLE CHECKSUM_TOOL [PRIVATE_KEY]
# Lays out a small release in RELEASE (the directory the update URL's
# linux32-dedicated-demo/ names): the game module MODULE, the game's
# executable OKUdedi (a copy of EXECUTABLE: any small program serves),
# dedicatedserver.sh and a Base tree; then writes its checksum list with
# CHECKSUM_TOOL, signed with PRIVATE_KEY when one is given.
publish_demo_release() {
  local release=$1 module=$2 executable=$3 checksums=$4 key=${5:-}
  mkdir -p "$release/Base/maps" "$release/App"
  cp "$module" "$release/libVelmora_dedi.so"
  cp "$executable" "$release/OKUdedi"
  cat > "$release/dedicatedserver.sh" <<'SCRIPT'
#!/bin/sh
# Starts the Brackmoor dedicated server from its game directory.
cd "$(dirname "$0")" && exec ./DUdavi "$@"
SCRIPT
  chmod 755 "$release/dedicatedserver.sh"
  echo "Welcome to the Brackmoor demo server - published $(date -u '+%Y-%m-%d %H:%M UTC')" \
    > "$release/Base/motd.txt"
  printf 'Brackmoor demo server\nport=7777\nmaxplayers=16\n' > "$release/Base/server.cfg"
  printf 'arena 64x48\n' > "$release/Base/maps/arena.txt"
  if [ -n "$key" ]; then
    "$checksums" --sign "$key" "$release" "$release/App/version.txt"
  else
    "$checksums" "$release" "$release/App/version.txt"
  fi
}

# seed_outdated_installation GAME
# Gives the game directory GAME an older installation: an outdated
# executable (the update replaces it and restarts) and a file the release no
# longer lists (the update moves it aside into old/).
seed_outdated_installation() {
  local game=$1
  mkdir -p "$game/Base"
  printf '#!/bin/sh\necho "old OKUdedi"\n' > "$game/OKUdedi"
  chmod 755 "$game/OKUdedi"
  echo "Last season's news" > "$game/Base/news.txt"
}

# serve_on_loopback DIR PORT LOG
# Serves DIR over HTTP on 127.0.0.1:PORT (0: a free port) in the background,
# its output in LOG. Sets server_pid, and served_port once it listens.
# Returns 1, with the server's output on standard error, when it could not
# start.
serve_on_loopback() {
  local dir=$1 port=$2 log=$3
  # There before the server's first line: the loop below reads it at once.
  : > "$log"
  python3 -u -m http.server "$port" --bind 127.0.0.1 --directory "$dir" \
    > "$log" 2>&1 &
  server_pid=$!
  served_port=
  for _ in $(seq 100); do
    served_port=$(sed -n 's/^Serving HTTP on .* port \([0-9]*\) .*/\1/p' "$log")
    [ -n "$served_port" ] && return 0
    kill -0 "$server_pid" 2>/dev/null || break
    sleep 0.1
  done
  cat "$log" >&2
  return 1
}
