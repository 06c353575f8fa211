#!/usr/bin/env bash
# The demo: sets up the machine, makes a throwaway update key pair under
# demo-run/keys, builds a starter that requires that key's signature on
# checksum lists, publishes a small signed release of the dedicated server on
# a local update server (127.0.0.1:8090, the update URL compiled in by
# default) and runs the starter twice in a fresh game directory under
# demo-run/game:
#   1. first run: the update brings the installation up to date, replaces the
#      game's executable and restarts; the restarted starter loads the sample
#      game module, which runs its server loop for a few seconds;
#   2. second run: the release is unchanged (the keys match), so the module
#      starts at once.
# DEMO_BUILD_DIR selects another build directory (default: build-demo, kept
# apart from the test builds because the demo key is compiled into it).
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/lib/demo_release.sh

build=${DEMO_BUILD_DIR:-build-demo}
port=8090
run_dir=$PWD/demo-run
release=$run_dir/server/10/linux32-dedicated-demo
game=$run_dir/game
keys=$run_dir/keys

heading() { printf '\n======== %s ========\n\n' "$*"; }

heading "Setting up"
bash scripts/install-deps.sh
rm -rf "$run_dir/server" "$run_dir/game" "$run_dir/http-server.log"

# The key pair is kept between demo runs, so that a second run needs no
# rebuild. A real publisher keeps the private key off the update server.
heading "Update key pair in $keys"
if [ ! -s "$keys/update_key.pem" ] || [ ! -s "$keys/update_key.pub.pem" ]; then
  mkdir -p "$keys"
  openssl genpkey -algorithm ed25519 -out "$keys/update_key.pem"
  openssl pkey -in "$keys/update_key.pem" -pubout -out "$keys/update_key.pub.pem"
fi
cat "$keys/update_key.pub.pem"

heading "Building a starter that requires signed checksum lists"
cmake --preset release -B "$build" -DSTARTER_BUILD_TESTS=OFF \
  -DSTARTER_UPDATE_PUBLIC_KEY="$keys/update_key.pub.pem"
cmake --build "$build"

heading "Publishing the signed demo release in $release"
publish_demo_release "$release" "$build/examples/libVelmora_dedi.so" \
  "$build/tools/starter-untar" "$build/tools/starter-checksums" \
  "$keys/update_key.pem"

heading "Preparing the game directory $game"
mkdir -p "$game"
cp "$build/src/DUdavi" "$game/"
seed_outdated_installation "$game"

heading "Serving $run_dir/server on http://127.0.0.1:$port/"
trap 'kill "${server_pid:-}" 2>/dev/null || true' EXIT
if ! serve_on_loopback "$run_dir/server" "$port" "$run_dir/http-server.log"; then
  echo "demo: the update server could not start (is port $port in use?)" >&2
  exit 1
fi

heading "First run: signed list verified, update, restart after the executable update, game module"
(cd "$game" && ./DUdavi)

heading "Second run: signed list verified, the installation is current (key match), game module"
(cd "$game" && ./DUdavi)

heading "Done"
echo "Game directory: $game (log: $game/Logs/app.txt, moved files: $game/old)"
echo "Signature checks in the log of the last run:"
grep -i "signature" "$game/Logs/app.txt" || true
