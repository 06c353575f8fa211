#!/usr/bin/env bash
# Installs the build into a temporary prefix and builds a game module against
# the installed package with find_package(EngineStarter).
# Usage: install_package_test.sh <build-dir> <consumer-source-dir>
set -euo pipefail
build_dir=$1
consumer=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

cmake --install "$build_dir" --prefix "$work/prefix" > "$work/install.log"
for f in include/engine_starter/module.h include/engine_starter/application.h \
         lib/cmake/EngineStarter/EngineStarterConfig.cmake \
         lib/cmake/EngineStarter/EngineStarterConfigVersion.cmake \
         bin/DUdavi bin/starter-verify; do
  [ -e "$work/prefix/$f" ] || { echo "not installed: $f"; exit 1; }
done

generator=()
command -v ninja > /dev/null && generator=(-G Ninja)
cmake -S "$consumer" -B "$work/build" "${generator[@]}" \
  -DCMAKE_PREFIX_PATH="$work/prefix" > "$work/configure.log" ||
  { cat "$work/configure.log"; exit 1; }
found=$(grep '^EngineStarter_DIR:' "$work/build/CMakeCache.txt" | cut -d= -f2)
[ "$found" = "$work/prefix/lib/cmake/EngineStarter" ] ||
  { echo "found the package elsewhere: $found"; exit 1; }
cmake --build "$work/build" > "$work/build.log" ||
  { cat "$work/build.log"; exit 1; }

module=$work/build/libconsumer_module.so
nm -D --defined-only "$module" | grep -qw GameDLLInit ||
  { echo "GameDLLInit not exported"; exit 1; }
echo "module built against the installed package: OK"
