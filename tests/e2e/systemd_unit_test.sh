#!/usr/bin/env bash
# Installs the systemd component into a temporary prefix and has
# `systemd-analyze verify` check an instance of the unit, with the game root
# moved to a temporary directory that holds the real starter. Verify prints
# what it cannot parse and still succeeds, so any output fails the test too.
# A plain install leaves the unit out.
# Usage: systemd_unit_test.sh <build-dir> <configured-game-root> <starter>
# Exits 77 (skipped) when systemd-analyze is not installed.
set -euo pipefail
build_dir=$1
game_root=$2
starter=$3
command -v systemd-analyze > /dev/null ||
  { echo "systemd-analyze not installed"; exit 77; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
unit_name=brackmoor-server@.service

cmake --install "$build_dir" --component systemd --prefix "$work/prefix" \
  > "$work/install.log"
installed=$work/prefix/lib/systemd/system/$unit_name
[ -f "$installed" ] || { echo "not installed: $installed"; exit 1; }
grep -q "^WorkingDirectory=$game_root/%i\$" "$installed" ||
  { echo "the installed unit does not use the configured game root"; exit 1; }

cmake --install "$build_dir" --prefix "$work/all" > "$work/install-all.log"
[ ! -e "$work/all/lib/systemd/system/$unit_name" ] ||
  { echo "a plain install installed the unit"; exit 1; }

# The instance "test" under a game root that exists here.
mkdir -p "$work/units" "$work/root/test"
cp "$starter" "$work/root/test/DUdavi"
sed "s|$game_root/|$work/root/|g" "$installed" > "$work/units/$unit_name"
grep -q "^ExecStart=$work/root/%i/DUdavi" "$work/units/$unit_name" ||
  { echo "ExecStart is not the starter in the game directory:"; \
    grep ExecStart "$work/units/$unit_name"; exit 1; }

verify() {
  SYSTEMD_UNIT_PATH="$work/units:" systemd-analyze verify \
    brackmoor-server@test.service > "$work/verify.log" 2>&1
}
if ! verify || [ -s "$work/verify.log" ]; then
  echo "systemd-analyze verify does not accept the unit:"
  cat "$work/verify.log"
  exit 1
fi

# The same check fails when the instance's game directory has no starter.
rm "$work/root/test/DUdavi"
if verify; then
  echo "verify accepted a unit whose starter is missing"
  exit 1
fi
echo "systemd unit installed and verified: OK"
