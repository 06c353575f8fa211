#!/usr/bin/env bash
# Installs, as root on Debian 12, every package the build, the tests, the demo,
# the benchmarks and the fuzzers need. Packages already present are skipped.
set -euo pipefail

packages=(
  build-essential g++ cmake ninja-build pkg-config
  libcurl4-openssl-dev zlib1g-dev libutfcpp-dev libssl-dev libzstd-dev
  libgtest-dev libcpp-httplib-dev
  clang libclang-rt-dev
  python3 curl tar gzip coreutils procps openssl systemd time strace
  nginx  # the edge cache and origin of the fleet test and benchmarks
  zstd   # the reference tool beside the patch codec's tests and benchmark
)
# A script that needs more names it: bash scripts/install-deps.sh lintian
packages+=("$@")

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  echo "install-deps: all packages present"
  exit 0
fi

if [ "$(id -u)" -ne 0 ]; then
  echo "install-deps: missing ${missing[*]}; run as root to install them" >&2
  exit 1
fi

echo "install-deps: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -qq --no-install-recommends "${missing[@]}"
