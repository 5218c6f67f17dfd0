#!/usr/bin/env bash
# Installs the Debian 12 packages that the build and the test bed need, when any is missing.
# Run as root.  Safe to run again: it does nothing when everything is there.
set -euo pipefail

packages=(
  cmake ninja-build clang libclang-rt-14-dev libgtest-dev googletest python3
  g++-mingw-w64-i686-win32 binutils-mingw-w64-i686
  g++-mingw-w64-x86-64-win32 binutils-mingw-w64-x86-64
  wine wine32:i386 wine64 xvfb xauth x11-apps imagemagick
  miniupnpd-nftables miniupnpc nftables iproute2 procps
  wixl msitools
)

# No package may start its service here: a gateway daemon started in the machine's own
# network namespace would announce itself on the real network.  Tests start their own.
# The guard is a policy-rc.d that refuses every start; ours carries a marker with our
# process id, so one left behind by a run that was killed outright is removed here.
policy=/usr/sbin/policy-rc.d
marker="# installing guard of scripts/install-deps.sh, pid"
if [ -f "$policy" ] && owner=$(sed -n "s|^$marker \([0-9]*\)$|\1|p" "$policy") \
   && [ -n "$owner" ] && ! kill -0 "$owner" 2>/dev/null; then
  rm -f "$policy"
fi

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
if [ ! -e "$policy" ]; then
  printf '#!/bin/sh\n%s %s\nexit 101\n' "$marker" "$$" > "$policy"
  chmod +x "$policy"
  trap 'rm -f "$policy"' EXIT
  trap 'exit 129' HUP
  trap 'exit 130' INT
  trap 'exit 143' TERM
fi
apt-get update -q
apt-get install -y -q --no-install-recommends "${missing[@]}"
