#!/usr/bin/env bash
# Installs the systemd component into a temporary prefix and checks its
# units, with the game root moved to a temporary directory that holds the
# real starter and the check's starter-verify the build's:
#   - `systemd-analyze verify` accepts an instance of each unit (verify
#     prints what it cannot parse and still succeeds, so any output fails
#     the test too), and refuses the server's when its starter is missing;
#   - `systemd-analyze security --offline=yes` rates the server, the check
#     and the staging at most 2.5, the staging no worse than the check;
#   - the check's command lines, run as the unit runs them (its ExecStart,
#     then its ExecStopPost with the status systemd hands it) against a
#     release served on 127.0.0.1, end with the line of each answer: no
#     update pending, update pending, cannot tell; and the staging's, with
#     the user, directory and environment file of the server, end with its
#     answers: no release waiting, release waiting (the files in the game
#     directory's staging area), could not stage.
# A plain install leaves the units out.
# Usage: systemd_unit_test.sh <build-dir> <configured-game-root> <starter>
#          <starter-verify> <starter-checksums> <starter-stage>
#          [<private key signing lists>]
# Exits 77 (skipped) when systemd-analyze is not installed.
set -euo pipefail
build_dir=$1
game_root=$2
starter=$3
verify_tool=$4
checksums=$5
stage_tool=$6
sign_key=${7:-}
source "$(dirname "$0")/../../scripts/lib/demo_release.sh"
command -v systemd-analyze > /dev/null ||
  { echo "systemd-analyze not installed"; exit 77; }
work=$(mktemp -d)
server_pid=
trap 'kill "${server_pid:-}" 2>/dev/null || true; rm -rf "$work"' EXIT
server=brackmoor-server@.service
check=brackmoor-update-check@.service
timer=brackmoor-update-check@.timer
stage=brackmoor-stage@.service
stage_timer=brackmoor-stage@.timer
fail() { echo "$*"; exit 1; }

cmake --install "$build_dir" --component systemd --prefix "$work/prefix" \
  > "$work/install.log"
mkdir -p "$work/units"
for unit in "$server" "$check" "$timer" "$stage" "$stage_timer"; do
  installed=$work/prefix/lib/systemd/system/$unit
  [ -f "$installed" ] || fail "not installed: $installed"
  # The instances under a game root that exists here.
  sed -e "s|$game_root/|$work/root/|g" \
      -e "s|^ExecStart=[^ ]*/starter-verify |ExecStart=$verify_tool |" \
      -e "s|^ExecStart=[^ ]*/starter-stage |ExecStart=$stage_tool |" \
      "$installed" > "$work/units/$unit"
done
for unit in "$server" "$check" "$stage"; do
  grep -q "^WorkingDirectory=$game_root/%i\$" \
    "$work/prefix/lib/systemd/system/$unit" ||
    fail "$unit does not use the configured game root"
done
cmake --install "$build_dir" --prefix "$work/all" > "$work/install-all.log"
for unit in "$server" "$check" "$timer" "$stage" "$stage_timer"; do
  [ ! -e "$work/all/lib/systemd/system/$unit" ] ||
    fail "a plain install installed $unit"
done

mkdir -p "$work/root/test"
cp "$starter" "$work/root/test/DUdavi"
grep -q "^ExecStart=$work/root/%i/DUdavi" "$work/units/$server" ||
  fail "ExecStart is not the starter in the game directory: $(grep ExecStart "$work/units/$server")"
grep -q "^ExecStart=$verify_tool --server --quiet $work/root/%i\$" \
    "$work/units/$check" ||
  fail "the check does not ask starter-verify --server --quiet about the game directory: $(grep ExecStart "$work/units/$check")"
grep -q "^ExecStart=$stage_tool --quiet $work/root/%i\$" "$work/units/$stage" ||
  fail "the staging does not run starter-stage --quiet on the game directory: $(grep ExecStart "$work/units/$stage")"
for key in User Group WorkingDirectory EnvironmentFile; do
  for unit in "$check" "$stage"; do
    [ "$(grep "^$key=" "$work/units/$server")" = \
      "$(grep "^$key=" "$work/units/$unit")" ] ||
      fail "the $key of $unit differs from the server's"
  done
done
# The staging's sandbox is the check's, with Downloads/ writable besides.
diff <(sed -n '/^NoNewPrivileges=/,$p' "$work/units/$check") \
     <(sed -n '/^NoNewPrivileges=/,$p' "$work/units/$stage" |
       grep -v "^ReadWritePaths=-$work/root/%i/Downloads\$") ||
  fail "the staging's sandbox is not the check's with Downloads/ writable"

# The manual pages the units name are not installed here: verify leaves
# them out, and each must have its source in docs/man instead.
for page in $(sed -n 's/^Documentation=//p' "$work/units/"* | tr ' ' '\n' |
              sed -n 's/^man:\(.*\)(\(.*\))$/\1.\2/p'); do
  [ -f "$(dirname "$0")/../../docs/man/$page.scd" ] ||
    fail "a unit names the manual page $page, which docs/man does not hold"
done
verify() {
  SYSTEMD_UNIT_PATH="$work/units:" systemd-analyze verify --man=no "$@" \
    > "$work/verify.log" 2>&1
}
if ! verify brackmoor-server@test.service brackmoor-update-check@test.service \
       brackmoor-update-check@test.timer brackmoor-stage@test.service \
       brackmoor-stage@test.timer || [ -s "$work/verify.log" ]; then
  echo "systemd-analyze verify does not accept the units:"
  cat "$work/verify.log"
  exit 1
fi

# Each service's exposure, on systemd's scale of 0 to 10 (the threshold is
# on its scale of 0 to 100).
declare -A exposure
for instance in brackmoor-server@test.service brackmoor-update-check@test.service \
                brackmoor-stage@test.service; do
  status=0
  SYSTEMD_UNIT_PATH="$work/units:" systemd-analyze security --offline=yes \
    --threshold=25 --no-pager "$instance" > "$work/security.log" 2>&1 ||
    status=$?
  figure=$(sed -n 's/.*Overall exposure level for [^:]*: \([0-9.]*\) .*/\1/p' \
    "$work/security.log")
  [ -n "$figure" ] || { cat "$work/security.log"; fail "$instance: no exposure figure"; }
  echo "$instance: exposure $figure"
  [ "$status" -eq 0 ] ||
    { grep '✗' "$work/security.log"; fail "$instance: exposure $figure is above 2.5"; }
  exposure[$instance]=$figure
done
awk -v stage="${exposure[brackmoor-stage@test.service]}" \
    -v check="${exposure[brackmoor-update-check@test.service]}" \
    'BEGIN { exit !(stage <= check) }' ||
  fail "the staging's exposure is worse than the check's"

# The check's answers: its ExecStart as the unit has it, with the update URL
# its environment file would give, then its ExecStopPost with systemd's
# EXIT_CODE and EXIT_STATUS of that run. Prints what both printed; returns
# the ExecStart's status.
unit_line() {
  sed -n "s/^$1=//p" "$work/units/${3:-$check}" |
    sed -e "s/%i/$2/g" -e 's/\$\$/$/g'
}
run_check() {
  local name=$1 status=0 unit=${3:-$check}
  (export STARTER_UPDATE_URL=$2; eval "$(unit_line ExecStart "$name" "$unit")") \
    > "$work/$name.out" 2>&1 || status=$?
  EXIT_CODE=exited EXIT_STATUS=$status \
    bash -c "$(unit_line ExecStopPost "$name" "$unit")" >> "$work/$name.out" 2>&1
  return "$status"
}
# expect_check INSTANCE UPDATE_URL STATUS LAST_LINE [UNIT]
expect_check() {
  local name=$1 status=$3 line=$4 got=0
  run_check "$name" "$2" "${5:-$check}" || got=$?
  cat "$work/$name.out"
  [ "$got" -eq "$status" ] || fail "$name: ${5:-$check} exited $got, not $status"
  [ "$(tail -n 1 "$work/$name.out")" = "$line" ] ||
    fail "$name: the check's last line is not: $line"
}
release=$work/server/10/linux32-dedicated-demo
mkdir -p "$release/Base" "$release/App"
echo "Welcome" > "$release/Base/motd.txt"
"$checksums" ${sign_key:+--sign "$sign_key"} "$release" "$release/App/version.txt" > /dev/null
serve_on_loopback "$work/server" 0 "$work/http-server.log"
url=http://127.0.0.1:$served_port/10/
mkdir -p "$work/root/current/App" "$work/root/outdated/App"
cp "$release/App/version.txt" "$work/root/current/App/version.txt"
cp -r "$release/Base" "$work/root/current/"
"$checksums" "$work/root/outdated" "$work/root/outdated/App/version.txt" > /dev/null
expect_check current "$url" 0 \
  "current: no update pending (a start would change nothing)"
expect_check outdated "$url" 1 \
  "outdated: update pending: the next start of brackmoor-server@outdated updates its game directory"
# Port 1 on 127.0.0.1: nothing listens there.
cp -r "$work/root/current" "$work/root/unreachable"
expect_check unreachable http://127.0.0.1:1/10/ 2 \
  "unreachable: cannot tell whether an update is pending (starter-verify exited 2)"

# The staging's answers, on copies of the same game directories.
for name in current outdated unreachable; do
  cp -r "$work/root/$name" "$work/root/stage-$name"
  mkdir -p "$work/root/stage-$name/Downloads"
done
expect_check stage-current "$url" 1 \
  "stage-current: no release waiting (the installation is current)" "$stage"
expect_check stage-outdated "$url" 0 \
  "stage-outdated: release waiting: staged for the next start of brackmoor-server@stage-outdated" \
  "$stage"
list_md5=$(md5sum < "$release/App/version.txt" | cut -d' ' -f1)
cmp "$release/Base/motd.txt" \
    "$work/root/stage-outdated/Downloads/staged/$list_md5/Base/motd.txt" ||
  fail "the staging did not stage Base/motd.txt"
expect_check stage-unreachable http://127.0.0.1:1/10/ 2 \
  "stage-unreachable: could not stage (starter-stage exited 2)" "$stage"

# The same verify fails when the instance's game directory has no starter.
rm "$work/root/test/DUdavi"
if verify brackmoor-server@test.service; then
  fail "verify accepted a unit whose starter is missing"
fi
echo "systemd units installed, verified and rated; the check and the staging answer: OK"
