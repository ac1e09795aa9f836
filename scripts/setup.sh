#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, and those named as arguments. Runs
# apt-get update only when something is missing, so a prepared machine is not touched.
set -euo pipefail
packages=(wine64 g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 mingw-w64-tools cmake ninja-build googletest "$@")
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  sudo_cmd=()
  [ "$(id -u)" -ne 0 ] && sudo_cmd=(sudo)
  "${sudo_cmd[@]}" apt-get update -qq
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq "${missing[@]}"
fi
