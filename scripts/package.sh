#!/usr/bin/env bash
# Builds the Debian packages of the Engine Starter (debian/, one optimised
# build through dpkg-buildpackage and debhelper's CMake support) and checks
# them:
#   - lintian: no error and no warning (an override carries its reason);
#   - the contents: every tool of tools/CMakeLists.txt on the PATH with its
#     manual page, a rendered page for every source in docs/man, the starter
#     where a game directory takes its copy, the systemd units, the sysusers
#     entry, the docs; the headers, the CMake package and the sample module;
#   - unpacked into a temporary root (dpkg-deb -x): every tool answers
#     --help, every manual page renders without warnings, the sysusers entry
#     makes the user in a scratch root, the sample module builds from the -dev
#     package against its CMake package, and a game directory set up with the
#     unpacked starter updates from a demo release published with the
#     unpacked tools on 127.0.0.1, restarts after the executable update,
#     loads that module, and checks out intact with starter-verify.
# The sources are built from a copy in build-deb/ (ignored by git), where the
# packages, the .changes, the .buildinfo and lintian's report land too.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/lib/demo_release.sh

out=$PWD/build-deb
heading() { printf '\n======== %s ========\n\n' "$*"; }

heading "Setting up"
bash scripts/install-deps.sh lintian man-db
if ! dpkg-checkbuilddeps debian/control 2> /dev/null; then
  echo "package: installing the build dependencies of debian/control"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get build-dep -y -qq --no-install-recommends ./
fi

heading "Building the packages in $out"
rm -rf "$out"
source_copy=$out/engine-starter
mkdir -p "$source_copy"
# The files git knows or would add, as they are in the work tree.
git ls-files -z --cached --others --exclude-standard |
  while IFS= read -r -d '' file; do
    if [ -e "$file" ]; then printf '%s\0' "$file"; fi
  done |
  tar --null -T - -cf - | tar -xf - -C "$source_copy"
(cd "$source_copy" &&
   DEB_BUILD_OPTIONS="parallel=$(nproc) ${DEB_BUILD_OPTIONS:-}" \
   dpkg-buildpackage -b -us -uc)

version=$(dpkg-parsechangelog -l debian/changelog -S Version)
arch=$(dpkg-architecture -qDEB_HOST_ARCH)
main_deb=$out/engine-starter_${version}_${arch}.deb
dev_deb=$out/engine-starter-dev_${version}_all.deb
changes=$out/engine-starter_${version}_${arch}.changes

work=$(mktemp -d)
server_pid=
trap 'kill "${server_pid:-}" 2>/dev/null || true; rm -rf "$work"' EXIT
passed=0
failed=0
# check NAME COMMAND...: runs one check and counts it; a failure shows the
# check's output and the run goes on.
check() {
  local name=$1
  shift
  if "$@" > "$work/check.log" 2>&1; then
    passed=$((passed + 1))
    echo "ok      $name"
  else
    failed=$((failed + 1))
    echo "FAILED  $name"
    sed 's/^/        /' "$work/check.log"
  fi
}

heading "lintian"
# --fail-on: an error or a warning that no override explains fails.
lintian_status=0
lintian --display-info --show-overrides --fail-on error,warning "$changes" \
  > "$out/lintian.txt" 2>&1 || lintian_status=$?
cat "$out/lintian.txt"
check "lintian reports no error and no warning" test "$lintian_status" -eq 0

heading "Contents"
for deb in "$main_deb" "$dev_deb"; do
  echo "$(basename "$deb"): $(stat -c %s "$deb") bytes," \
    "Installed-Size $(dpkg-deb -f "$deb" Installed-Size) KiB"
  dpkg-deb -c "$deb" | tee "$work/$(basename "$deb").contents" | awk '{print "    " $6}'
done
main_contents=$work/$(basename "$main_deb").contents
dev_contents=$work/$(basename "$dev_deb").contents
# holds CONTENTS PATH...: every PATH is in the package.
holds() {
  local contents=$1 path
  shift
  for path in "$@"; do
    grep -q " \./$path\$" "$contents" || { echo "missing: $path"; return 1; }
  done
}
tools=$(sed -n 's/^add_executable(\([A-Za-z0-9_-]*\).*/\1/p' tools/CMakeLists.txt)
for tool in $tools; do
  check "$tool on the PATH with its manual page" holds "$main_contents" \
    "usr/bin/$tool" "usr/share/man/man1/$tool.1.gz"
done
for source in docs/man/*.scd; do
  page=$(basename "$source" .scd)
  check "manual page $page installed" holds "$main_contents" \
    "usr/share/man/man${page##*.}/$page.gz"
done
starter_beside_the_tools() {
  holds "$main_contents" usr/lib/engine-starter/DUdavi &&
    ! grep " \./usr/bin/DUdavi\$" "$main_contents"
}
check "the starter where a game directory takes its copy, not on the PATH" \
  starter_beside_the_tools
check "the systemd units, the system user, the docs, the nginx examples" holds "$main_contents" \
  'lib/systemd/system/brackmoor-server@.service' \
  'lib/systemd/system/brackmoor-update-check@.service' \
  'lib/systemd/system/brackmoor-update-check@.timer' \
  'lib/systemd/system/brackmoor-stage@.service' \
  'lib/systemd/system/brackmoor-stage@.timer' \
  usr/lib/sysusers.d/engine-starter.conf etc/brackmoor/ \
  usr/share/doc/engine-starter/README.md.gz \
  usr/share/doc/engine-starter/operating.md.gz \
  usr/share/doc/engine-starter/fleet.md.gz \
  usr/share/doc/engine-starter/examples/edge.conf \
  usr/share/doc/engine-starter/examples/origin.conf \
  usr/share/doc/engine-starter/copyright
headers=()
for header in include/engine_starter/*.h; do headers+=("usr/$header"); done
check "the public headers in -dev" holds "$dev_contents" "${headers[@]}"
check "the CMake package and the sample module in -dev" holds "$dev_contents" \
  usr/lib/cmake/EngineStarter/EngineStarterConfig.cmake \
  usr/lib/cmake/EngineStarter/EngineStarterConfigVersion.cmake \
  usr/lib/cmake/EngineStarter/EngineStarterTargets.cmake \
  usr/share/doc/engine-starter-dev/examples/velmora_dedi.cc \
  usr/share/doc/engine-starter-dev/examples/CMakeLists.txt

heading "The packages unpacked into $work/root"
root=$work/root
dpkg-deb -x "$main_deb" "$root"
dpkg-deb -x "$dev_deb" "$root"

# answers_help TOOL: --help prints a usage to standard output and exits 0.
answers_help() {
  "$root/usr/bin/$1" --help > "$work/help.txt" || return 1
  cat "$work/help.txt"
  grep -qi usage "$work/help.txt"
}
for tool in $tools; do
  check "$tool --help" answers_help "$tool"
done

# renders PAGE: man -l renders it, and groff has no warning of any kind
# about it.
renders() {
  LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings=w -E UTF-8 -l "$1" \
    > "$work/page.txt" 2> "$work/page.err" || return 1
  cat "$work/page.err"
  [ ! -s "$work/page.err" ] && grep -q '^NAME' "$work/page.txt"
}
for page in "$root"/usr/share/man/man*/*; do
  check "man -l $(basename "$page") without warnings" renders "$page"
done

# makes_the_user: the sysusers entry, applied to a scratch root.
makes_the_user() {
  local sysroot=$work/sysroot
  mkdir -p "$sysroot/etc"
  systemd-sysusers --root="$sysroot" - \
    < "$root/usr/lib/sysusers.d/engine-starter.conf" || return 1
  grep -E '^brackmoor:x:[0-9]+:[0-9]+:[^:]*:/srv/brackmoor:/usr/sbin/nologin$' \
    "$sysroot/etc/passwd" && grep -q '^brackmoor:' "$sysroot/etc/group"
}
check "the sysusers entry makes the system user brackmoor" makes_the_user
for unit in brackmoor-server@.service brackmoor-update-check@.service \
            brackmoor-update-check@.timer brackmoor-stage@.service \
            brackmoor-stage@.timer; do
  check "the packaged $unit is the one of packaging/systemd" \
    cmp "packaging/systemd/$unit" "$root/lib/systemd/system/$unit"
done

# builds_the_sample_module: the -dev package's example, built against the
# CMake package of the unpacked root.
module=$work/module/libVelmora_dedi.so
builds_the_sample_module() {
  cmake -S "$root/usr/share/doc/engine-starter-dev/examples" -B "$work/module" \
    -G Ninja -DCMAKE_PREFIX_PATH="$root/usr" || return 1
  grep -Fx "EngineStarter_DIR:PATH=$root/usr/lib/cmake/EngineStarter" \
    "$work/module/CMakeCache.txt" || return 1
  cmake --build "$work/module" && nm -D --defined-only "$module" | grep -w GameDLLInit
}
check "the sample module builds from -dev with find_package(EngineStarter)" \
  builds_the_sample_module

heading "A game directory set up from the unpacked packages"
release=$work/server/10/linux32-dedicated-demo
game=$work/game
if [ -f "$module" ] &&
   publish_demo_release "$release" "$module" "$root/usr/bin/starter-untar" \
     "$root/usr/bin/starter-checksums" &&
   serve_on_loopback "$work/server" 0 "$work/http-server.log"; then
  export STARTER_UPDATE_URL=http://127.0.0.1:$served_port/10/
  echo "update server: $STARTER_UPDATE_URL"
  mkdir -p "$game"
  install -m 0755 "$root/usr/lib/engine-starter/DUdavi" "$game/"
  seed_outdated_installation "$game"
  # updates_and_loads_the_module: the update replaces the executable, the
  # starter restarts, and the restarted one loads the released module.
  updates_and_loads_the_module() {
    (cd "$game" && VELMORA_SERVER_SECONDS=0 timeout 300 ./DUdavi) \
      > "$work/run.txt" 2>&1 || { cat "$work/run.txt"; return 1; }
    cat "$work/run.txt"
    local line
    for line in "Comparing checksums" "UPDATED EXECUTABLE" "RESTARTING" \
                "APP GameDLLInit" "Velmora: message of the day: Welcome" \
                "Velmora: server finished, module ends"; do
      grep -qF "$line" "$work/run.txt" || { echo "no line: $line"; return 1; }
    done
    ! grep -F "autoupdate->error" "$work/run.txt" &&
      cmp "$module" "$game/libVelmora_dedi.so" &&
      [ -f "$game/old/Base/news.txt" ]
  }
  check "the unpacked starter updates from the demo release and loads the sample module" \
    updates_and_loads_the_module
  check "starter-verify finds the game directory intact" \
    "$root/usr/bin/starter-verify" "$game"
  check "starter-verify --server finds nothing to do" \
    "$root/usr/bin/starter-verify" --server "$game"
else
  failed=$((failed + 1))
  echo "FAILED  the demo release could not be published or served"
fi

heading "Done"
ls -l "$out"/*.deb "$out"/*.changes
echo "package: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
