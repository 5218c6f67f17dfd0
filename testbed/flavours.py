"""The two flavours of the Windows programs, and which of them this host can run under Wine.

win32 is the product: PE32 for x86, run by Debian's 32-bit Wine loader.  win64 is the same
sources as PE32+ for x86-64, run by the 64-bit loader.  Some hosts cannot execute 32-bit x86
code at all (the kernel's 32-bit emulation is switched off: every i386 program fails with
"Exec format error"), so which flavours run is found out by trying each loader once.
WINE_FLAVOURS (for example "win64", or "win32,win64") forces the set.  Where a flavour's
loader is missing, scripts/install-deps.sh may have left a note saying why it did not install
it (build/install-notes/<flavour>): that note is the reason given.

    python3 -m testbed.flavours     prints the decision as one line on stderr and, on stdout,
                                    the ctest label expression of the flavours not to run
"""
import errno
import os
import subprocess
import sys
from dataclasses import dataclass

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
INSTALL_NOTES = os.path.join(ROOT, "build", "install-notes")


@dataclass(frozen=True)
class Flavour:
    name: str
    loader: str          # the Wine loader, called by its own path
    wine_arch: str       # WINEARCH of its prefixes
    msi_arch: str        # wixl's -a for its installer packages
    pe_machine: int      # IMAGE_FILE_HEADER.Machine
    pe_magic: int        # optional header magic: PE32 or PE32+
    description: str

    @property
    def bin_dir(self):
        return os.environ.get("WIN_BIN_DIR") or os.path.join(ROOT, "build", self.name, "bin")


FLAVOURS = {
    "win32": Flavour("win32", "/usr/lib/wine/wine", "win32", "x86", 0x14C, 0x10B,
                     "PE32 for x86"),
    "win64": Flavour("win64", "/usr/lib/wine/wine64", "win64", "x64", 0x8664, 0x20B,
                     "PE32+ for x86-64"),
}


def install_note(flavour):
    """Why the install step did not install the flavour's Wine, or None."""
    try:
        with open(os.path.join(INSTALL_NOTES, flavour.name)) as f:
            return f.read().strip() or None
    except OSError:
        return None


def why_not_runnable(flavour):
    """None when the flavour's loader runs here, else what failed and the likely cause."""
    command = f"{flavour.loader} --version"
    try:
        result = subprocess.run([flavour.loader, "--version"], capture_output=True,
                                timeout=60, stdin=subprocess.DEVNULL)
    except FileNotFoundError:
        return install_note(flavour) or \
            f"{command}: no such file (Wine's {flavour.name} loader is not installed; " \
            "scripts/install-deps.sh installs it)"
    except OSError as error:
        if error.errno == errno.ENOEXEC:
            return f"{command}: Exec format error (this kernel does not run 32-bit x86 " \
                   "programs: its 32-bit emulation is switched off)"
        return f"{command}: {error}"
    except subprocess.TimeoutExpired:
        return f"{command}: no answer within 60 s"
    if result.returncode != 0:
        tail = result.stderr.decode(errors="replace").strip().splitlines()[-1:]
        return f"{command}: exit {result.returncode}" + (f" ({tail[0]})" if tail else "")
    return None


def choose():
    """(names of the flavours to run, why: "" when every flavour runs here unforced)."""
    forced = os.environ.get("WINE_FLAVOURS", "").replace(",", " ").split()
    if forced:
        unknown = [name for name in forced if name not in FLAVOURS]
        if unknown:
            raise SystemExit(f"WINE_FLAVOURS names unknown flavours {unknown}; known: "
                             f"{', '.join(FLAVOURS)}")
        names = [name for name in FLAVOURS if name in forced]
        return names, "forced by WINE_FLAVOURS"
    names, reasons = [], []
    for flavour in FLAVOURS.values():
        reason = why_not_runnable(flavour)
        if reason is None:
            names.append(flavour.name)
        else:
            reasons.append(f"{flavour.name} cannot run here: {reason}")
    return names, "; ".join(reasons)


def current():
    """The flavour of this process: WINE_FLAVOUR, else the first that this host runs."""
    name = os.environ.get("WINE_FLAVOUR")
    if not name:
        names, why = choose()
        if not names:
            raise RuntimeError(f"no Wine flavour runs here: {why}")
        name = names[0]
    if name not in FLAVOURS:
        raise RuntimeError(f"WINE_FLAVOUR={name} is not one of {', '.join(FLAVOURS)}")
    return FLAVOURS[name]


def main():
    names, why = choose()
    ran = " and ".join(names) or "no flavour"
    why = why.rstrip(".")
    if len(names) == len(FLAVOURS):
        line = f"Wine tests run for {ran}: {why or 'both Wine loaders run here'}."
    else:
        line = f"Wine tests run for {ran} only: {why}." + \
            (" The PE files of both flavours are still checked statically." if names else "")
    print(line, file=sys.stderr, flush=True)
    skipped = [name for name in FLAVOURS if name not in names]
    print("^(" + "|".join(skipped) + ")$" if skipped else "")
    return 0 if names else 1


if __name__ == "__main__":
    sys.exit(main())
