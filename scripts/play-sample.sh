#!/usr/bin/env bash
# Sets up, builds the 64-bit player and plays a short sample movie made by the
# test movie writer, then the built-in movie (as the player does after its
# last file). Extra arguments are passed to the player (e.g. -a, -u, -l).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh x64
cmake -S . -B build/x64 -G Ninja >/dev/null
cmake --build build/x64 -j "$(nproc)"
if [ ! -x build/x64/VoshPlayer64 ]; then
  echo "The player is not built yet: the library and its tests are."
  exit 0
fi
build/x64/tests/vosh_make_sample build/x64/sample.vsh
exec build/x64/VoshPlayer64 build/x64/sample.vsh "$@"
