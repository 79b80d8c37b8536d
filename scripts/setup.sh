#!/usr/bin/env bash
# Installs every Debian package the build, the player and the test suite need,
# for both the 64-bit and the 32-bit build. Idempotent: when everything is
# present it only checks and returns.
set -euo pipefail

PKGS_NATIVE=(
  build-essential g++ g++-multilib clang cmake ninja-build pkg-config
  googletest libgtest-dev
  libsdl2-dev libopenal-dev libopenal1 libpulse-dev
  pulseaudio pulseaudio-utils
  xvfb x11-utils xdotool imagemagick x11-apps
  sox qemu-user
)
PKGS_I386=(
  libsdl2-dev:i386 libopenal1:i386 libopenal-dev:i386 libpulse0:i386 libpulse-dev:i386 libc6-dev:i386
)

missing=()
if ! dpkg --print-foreign-architectures | grep -qx i386; then
  missing+=(__arch__)
fi
for p in "${PKGS_NATIVE[@]}" "${PKGS_I386[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  echo "setup: all packages present"
  exit 0
fi

SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
export DEBIAN_FRONTEND=noninteractive
$SUDO dpkg --add-architecture i386
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${PKGS_NATIVE[@]}" "${PKGS_I386[@]}"
echo "setup: packages installed"
