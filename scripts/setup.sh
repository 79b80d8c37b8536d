#!/usr/bin/env bash
# Installs every Debian package the build, the player and the test suite need,
# for both the 64-bit and the 32-bit build. With the argument "x64" it
# installs only the 64-bit set (what the 64-bit player and its sample need).
# Idempotent: when everything is present it only checks and returns.
#
# A package mirror can lag: one of its indexes (often the 32-bit index of the
# security suite) may fail to download for a while. That is a warning here,
# and the install goes on with the indexes apt has. If the install then cannot
# be resolved, because the two architectures' copies of a multiarch package
# would come from different indexes, it is tried once more with the release's
# own suite as the target for both architectures.
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

case "${1:-}" in
  "") with_i386=1 ;;
  x64) with_i386=0 ;;
  *) echo "usage: $0 [x64]   (x64: only the packages the 64-bit build needs)" >&2; exit 2 ;;
esac

wanted=("${PKGS_NATIVE[@]}")
if [ "$with_i386" = 1 ]; then wanted+=("${PKGS_I386[@]}"); fi

missing=()
if [ "$with_i386" = 1 ] && ! dpkg --print-foreign-architectures | grep -qx i386; then
  missing+=(__arch__)
fi
for p in "${wanted[@]}"; do
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
log=$(mktemp)
trap 'rm -f "$log"' EXIT

if [ "$with_i386" = 1 ]; then $SUDO dpkg --add-architecture i386; fi

# An index that fails to download is named and passed over: apt keeps the
# copy it has, if any, and the install below tells whether that is enough.
if ! $SUDO apt-get update -q >"$log" 2>&1; then
  failed=$(sed -n -E 's/^E: Failed to fetch ([^ ]+) +(.*)$/\1|\2/p' "$log")
  if [ -n "$failed" ]; then
    while IFS='|' read -r url why; do
      why=${why%% \[IP:*}
      echo "setup: warning: could not fetch the package index $url ($why); going on with the indexes apt has"
    done <<<"$failed"
  else
    echo "setup: warning: apt-get update failed; going on with the indexes apt has:"
    grep -E '^(E|W): ' "$log" | sed 's/^/  /' || true
  fi
fi

# Prints apt's own reasons for a failed dry run, one per line: the unmet
# dependencies it lists, and its errors but the generic last one.
reasons() {
  sed -n -E '/^ *([^ ]+ : )?(Depends|Pre-Depends|Conflicts|Breaks): /{s/^ +//;p}; /^E: /{/held broken packages/!{s/^E: //;p}}' "$log"
}

# For the retry from the release's own suite: finds the 32-bit packages the
# 32-bit set needs there (apt's choice on a machine with nothing installed)
# whose 64-bit copy is installed as a multiarch "same" package at another
# version, which the two copies must share. Fills two lists:
#  - twins: "pkg:i386=version" where an index offers the installed version
#    for i386 too (a copy taken from the updates suite, say);
#  - lowered: "pkg" where no 32-bit index offers it and it is above the
#    release's version: the kernel headers a machine image carries, or a
#    library the 64-bit set took from a security update whose 32-bit index
#    could not be fetched. These are taken at the release's version on both.
# (A 64-bit copy below the release's version is simply upgraded by apt.)
twins=()
lowered=()
find_twinless() {
  local codename=$1 empty n arch st v ma
  local -A release32=() have64=() have32=() offered=()
  local -a odd=()
  empty=$(mktemp)
  while read -r n v; do release32[$n]=$v; done < <(
    apt-get -s -o Dir::State::status="$empty" -t "$codename" install --no-install-recommends \
        "${PKGS_I386[@]}" 2>/dev/null | sed -n -E 's/^Inst ([^ ]+):i386 \(([^ ]+) .*/\1 \2/p')
  rm -f "$empty"
  while read -r n arch st v ma; do
    if [ "$st" != installed ] || [ "$ma" != same ] || [ -z "${release32[$n]:-}" ]; then continue; fi
    if [ "$arch" = amd64 ]; then have64[$n]=$v; elif [ "$arch" = i386 ]; then have32[$n]=$v; fi
  done < <(dpkg-query -W -f='${Package} ${Architecture} ${db:Status-Status} ${Version} ${Multi-Arch}\n')
  # The 64-bit copies that neither the release's 32-bit version nor an
  # installed 32-bit copy matches.
  for n in $(printf '%s\n' "${!have64[@]}" | sort); do
    v=${have64[$n]}
    if [ "${have32[$n]:-}" != "$v" ] && [ "${release32[$n]}" != "$v" ]; then odd+=("$n"); fi
  done
  if [ ${#odd[@]} -eq 0 ]; then return 0; fi
  while IFS='|' read -r n v _; do
    n=${n// /}; n=${n%:i386}; v=${v// /}
    if [ "$v" = "${have64[$n]}" ]; then offered[$n]=1; fi
  done < <(apt-cache madison "${odd[@]/%/:i386}" 2>/dev/null)
  for n in "${odd[@]}"; do
    v=${have64[$n]}
    if [ -n "${offered[$n]:-}" ]; then
      twins+=("$n:i386=$v")
    elif dpkg --compare-versions "$v" gt "${release32[$n]}"; then
      lowered+=("$n")
    fi
  done
}

# Every install, dry or real, leaves out recommends and never removes.
apt_install=(apt-get install --no-install-recommends --no-remove)
dry_run() { $SUDO "${apt_install[@]}" -s "$@" >"$log" 2>&1; }
run_install() {
  if ! $SUDO "${apt_install[@]}" -y -qq "$@"; then
    echo "setup: apt-get could not install the packages (its errors are above); check the network and the mirror, then run this script again." >&2
    exit 1
  fi
}

# First way: the packages' newest versions from every index apt has.
if dry_run "${wanted[@]}"; then
  run_install "${wanted[@]}"
  echo "setup: packages installed at their newest versions from every index apt has"
  exit 0
fi
first=$(reasons | head -n 1)
first=${first:-apt could not resolve them}

# Second way: the release's own suite as the target, so that both
# architectures' copies of a multiarch package come from one index.
codename=""
if [ -r /etc/os-release ]; then codename=$(. /etc/os-release && echo "${VERSION_CODENAME:-}"); fi
if [ -n "$codename" ]; then
  retry=(-t "$codename")
  named=()
  if [ "$with_i386" = 1 ]; then find_twinless "$codename"; fi
  named+=("${twins[@]}")
  if [ ${#lowered[@]} -ne 0 ]; then
    # Only the packages named here can go down: the target release's
    # priority never makes apt pick a lower version of any other. Their
    # 32-bit copies follow at the same version.
    retry+=(--allow-downgrades)
    for p in "${lowered[@]}"; do named+=("$p/$codename"); done
  fi
  if dry_run "${retry[@]}" "${wanted[@]}" "${named[@]}"; then
    run_install "${retry[@]}" "${wanted[@]}" "${named[@]}"
    how="setup: packages installed from $codename's own suite, because the newest versions could not be installed together ($first)"
    if [ ${#lowered[@]} -ne 0 ]; then how="$how; taken at $codename's version for both architectures, as no 32-bit index offers their installed version: ${lowered[*]}"; fi
    echo "$how"
    exit 0
  fi
fi

echo "setup: could not install the packages the build needs." >&2
if [ -n "$codename" ]; then
  echo "setup: apt could not resolve them from this machine's package indexes, neither at their newest versions nor from $codename's own suite:" >&2
else
  echo "setup: apt could not resolve them from this machine's package indexes:" >&2
fi
reasons | sed 's/^/  /' >&2
echo "setup: a package mirror that is still syncing serves indexes out of step with each other; run 'apt-get update' later and this script again, or point /etc/apt/sources.list.d at another mirror." >&2
exit 1
