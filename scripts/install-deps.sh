#!/usr/bin/env bash
# Installs the Debian 12 packages that the build and the test bed need, when any is missing.
# Run as root.  Safe to run again: it does nothing when everything is there.
set -euo pipefail

packages=(
  cmake ninja-build clang libclang-rt-14-dev libgtest-dev googletest python3
  g++-mingw-w64-i686-win32 binutils-mingw-w64-i686
  wine wine32:i386 xvfb xauth x11-apps imagemagick
  miniupnpd-nftables nftables iproute2 procps
  wixl msitools
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "installing: ${missing[*]}"
if ! dpkg --print-foreign-architectures | grep -qx i386; then
  dpkg --add-architecture i386
fi
export DEBIAN_FRONTEND=noninteractive
# No package may start its service here: a gateway daemon started in the machine's own
# network namespace would announce itself on the real network.  Tests start their own.
policy=/usr/sbin/policy-rc.d
had_policy=no
[ -e "$policy" ] && had_policy=yes
if [ "$had_policy" = no ]; then
  printf '#!/bin/sh\nexit 101\n' > "$policy"
  chmod +x "$policy"
  trap 'rm -f "$policy"' EXIT
fi
apt-get update -q
apt-get install -y -q --no-install-recommends "${missing[@]}"
pkill -x miniupnpd 2>/dev/null || true
