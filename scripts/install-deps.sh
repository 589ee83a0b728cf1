#!/usr/bin/env bash
# Installs, with apt-get on Debian 12, every package that the build, the
# tests, the PowerPC cross build and the checks need; does nothing when all
# are present. Needs root (or sudo) only when something is missing.
set -euo pipefail
export DEBIAN_FRONTEND=noninteractive

packages=(
  cmake make git pkg-config g++ googletest libgtest-dev libbenchmark-dev libspdlog-dev
  g++-powerpc-linux-gnu qemu-user
  clang clang-tidy clang-format libclang-rt-14-dev
  valgrind tzdata
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "${p}" 2>/dev/null | grep -q 'install ok installed' ||
    missing+=("${p}")
done
if ((${#missing[@]} == 0)); then
  echo "all ${#packages[@]} packages present"
  exit 0
fi

sudo=()
if (($(id -u) != 0)); then
  sudo=(sudo)
fi
echo "installing: ${missing[*]}"
"${sudo[@]}" apt-get update -q
"${sudo[@]}" apt-get install -y -q --no-install-recommends "${missing[@]}"
