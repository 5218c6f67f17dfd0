#!/usr/bin/env bash
# Installs the Debian 12 packages that the build and the test bed need, when any is missing.
# Run as root.  Safe to run again: it does nothing when everything is there.
#
# Two install steps.  First everything the host needs apart from 32-bit Wine; its failure is
# fatal.  Then, only where this kernel runs 32-bit x86 code (found out by running a tiny i386
# program from build/i386-probe, which needs no package) and WINE_FLAVOURS does not leave
# win32 out, wine32:i386 alone, which may not remove any installed package; its failure is not
# fatal: the tests and the main job then run the win64 flavour.
# Why win32 is not available is left in build/install-notes/win32, which testbed/flavours.py
# prints in its flavour line.  A failed `apt-get update` (a mirror mid-sync, one source that
# cannot be reached) is retried, then the lists that did arrive are used: what decides is
# whether the packages install.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
notes="$here/../build/install-notes"
win32_note="$notes/win32"
probe_dir="$(cd "$here/.." && pwd)/build/i386-probe"
# Seams for the script's own tests: the pause between attempts, the guard's path and the
# program that tells whether 32-bit code runs.
pause=${INSTALL_DEPS_PAUSE:-3}
policy=${INSTALL_DEPS_POLICY:-/usr/sbin/policy-rc.d}
probe_override=${INSTALL_DEPS_I386_PROBE:-}

packages=(
  cmake ninja-build clang libclang-rt-14-dev libgtest-dev googletest python3
  g++-mingw-w64-i686-win32 binutils-mingw-w64-i686
  g++-mingw-w64-x86-64-win32 binutils-mingw-w64-x86-64
  wine wine64 xvfb xauth x11-apps imagemagick
  miniupnpd-nftables miniupnpc nftables iproute2 procps
  wixl msitools
)
wine32=wine32:i386

say() { echo "install-deps: $*"; }

installed() {
  dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "install ok installed"
}

work=$(mktemp -d)
guarded=no
cleanup() {
  if [ "$guarded" = yes ]; then rm -f "$policy"; fi
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 129' HUP
trap 'exit 130' INT
trap 'exit 143' TERM

# No package may start its service here: a gateway daemon started in the machine's own
# network namespace would announce itself on the real network.  Tests start their own.
# The guard is a policy-rc.d that refuses every start; ours carries a marker with our
# process id, so one left behind by a run that was killed outright is removed here.
marker="# installing guard of scripts/install-deps.sh, pid"
if [ -f "$policy" ] && owner=$(sed -n "s|^$marker \([0-9]*\)$|\1|p" "$policy") \
   && [ -n "$owner" ] && ! kill -0 "$owner" 2>/dev/null; then
  rm -f "$policy"
fi

# Whether this kernel runs 32-bit x86 code: sets probe_result to "runs", "refused" (the
# kernel's "Exec format error") or "unknown" (the probe could not be executed at all, for
# example from a noexec mount; probe_message then says why).  The program is an i386 ELF file
# of 93 bytes whose code is `mov eax, 1; xor ebx, ebx; int 0x80` (exit with status 0).  It runs
# from the repository's build/ folder, as the builds' own programs do: a temporary folder may
# sit on a mount that allows no program to run.  Both refusals give status 126 from the shell,
# so its message tells them apart.
probe_32bit() {
  local program=$probe_override status=0 errors="$work/i386-probe.err"
  if [ -z "$program" ]; then
    program="$probe_dir/i386-probe"
    if ! { mkdir -p "$probe_dir" && base64 -d > "$program" && chmod +x "$program"; } \
         2>"$errors" <<'ELF'
f0VMRgEBAQAAAAAAAAAAAAIAAwABAAAAVIAECDQAAAAAAAAAAAAAADQAIAABAAAAAAAAAAEAAAAAAAAA
AIAECACABAhdAAAAXQAAAAUAAAAAEAAAuAEAAAAx282A
ELF
    then
      probe_result=unknown
      probe_message="could not be written to $probe_dir ($(tail -n 1 "$errors"))"
      return
    fi
  fi
  "$program" >/dev/null 2>"$errors" || status=$?
  if [ "$status" -eq 0 ]; then
    probe_result=runs
  elif grep -q "Exec format error" "$errors"; then
    probe_result=refused
  else
    # The shell's own line reads "SCRIPT: line N: PROGRAM: REASON"; keep the reason.
    local reason
    reason=$(tail -n 1 "$errors")
    reason=${reason##*"$program: "}
    probe_result=unknown
    probe_message="could not be executed ($program: ${reason:-exit status $status})"
  fi
}

note_win32() {
  mkdir -p "$notes"
  printf '%s\n' "$1" > "$win32_note"
  say "win32 flavour not available: $1"
}

# Whether to ask for wine32:i386, and why not.
want_wine32=no
forced=${WINE_FLAVOURS:-}
if [ -n "$forced" ] && ! [[ ",${forced// /,}," == *,win32,* ]]; then
  :  # the flavour line says "forced by WINE_FLAVOURS"; nothing 32-bit is installed
else
  probe_32bit
  if [ "$probe_result" = refused ]; then
    note_win32 "this kernel does not run 32-bit x86 programs (a minimal i386 program failed: \
Exec format error), so $wine32 was not installed"
  elif installed "$wine32"; then
    rm -f "$win32_note"
  elif [ "$probe_result" = unknown ]; then
    # Not asking for 32-bit Wine is the safe side: neither the i386 architecture nor its
    # libraries are added for a loader that may never run, and win64 runs either way.
    note_win32 "whether this kernel runs 32-bit x86 programs is not known: the minimal i386 \
program that finds out $probe_message, so $wine32 was not installed"
  else
    want_wine32=yes
  fi
fi

missing=()
for p in "${packages[@]}"; do
  installed "$p" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && [ "$want_wine32" = no ] && exit 0

export DEBIAN_FRONTEND=noninteractive
if [ ! -e "$policy" ]; then
  printf '#!/bin/sh\n%s %s\nexit 101\n' "$marker" "$$" > "$policy"
  chmod +x "$policy"
  guarded=yes
fi

log="$work/apt.log"
# apt-get with its output shown and kept; afterwards $first_error and $last_error are its
# first and last error lines (for a failed update the first names the index that failed).
first_error=""
last_error=""
apt() {
  : > "$log"
  local status=0
  apt-get "$@" 2>&1 | tee "$log" || status=$?
  first_error=$(grep -E '^(E|W): ' "$log" | head -n 1 || true)
  last_error=$(grep -E '^(E|W): ' "$log" | tail -n 1 || true)
  if [ -z "$last_error" ]; then
    last_error=$(grep -v '^[[:space:]]*$' "$log" | tail -n 1 || true)
    first_error=$last_error
  fi
  return "$status"
}

update_lists() {
  local attempt
  for attempt in 1 2 3; do
    apt update -q && return 0
    say "apt-get update failed (attempt $attempt of 3): $first_error"
    [ "$attempt" -lt 3 ] && sleep "$pause"
  done
  say "going on with the package lists that did arrive"
  return 0
}

# Installs the packages; a second attempt follows a fresh update.
install_step() {
  apt install -y -q --no-install-recommends "$@" && return 0
  sleep "$pause"
  update_lists
  apt install -y -q --no-install-recommends "$@"
}

added_i386=no
if [ "$want_wine32" = yes ] && ! dpkg --print-foreign-architectures | grep -qx i386; then
  dpkg --add-architecture i386
  added_i386=yes
fi

[ ${#missing[@]} -gt 0 ] && say "installing: ${missing[*]}"
update_lists
if [ ${#missing[@]} -gt 0 ] && ! install_step "${missing[@]}"; then
  say "FAILED to install: ${missing[*]}: $last_error"
  exit 1
fi

if [ "$want_wine32" = yes ]; then
  say "installing: $wine32"
  # --no-remove: apt may not make room for 32-bit Wine by taking away what is installed.
  if install_step --no-remove "$wine32"; then
    rm -f "$win32_note"
  else
    note_win32 "$wine32 could not be installed: $last_error"
    # Leave the host as it was: without i386 packages, no i386 lists to fetch.
    if [ "$added_i386" = yes ] && ! dpkg-query -W -f='${Architecture}\n' 2>/dev/null \
         | grep -qx i386; then
      dpkg --remove-architecture i386 || true
    fi
  fi
fi
