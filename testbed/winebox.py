"""Wine prefixes whose wineserver runs inside one of our network namespaces.

Wine creates sockets in the namespace of the wineserver, so each namespace gets its own
prefix, and the prefix's wineserver is started inside that namespace before any program.
Prefixes are copied from one template per flavour, made once per build tree (creating one
takes 5-10 s).  The flavour (win32 or win64, see flavours.py) decides the Wine loader, which
is always called by its own path: Debian's `wine` wrapper, and `wineboot` or `msiexec`
through it, pick the 32-bit loader whenever it is installed.
"""
import fcntl
import os
import shutil
import subprocess

from . import flavours, netns, workspace

FLAVOUR = flavours.current()
BIN = FLAVOUR.bin_dir
WORK = workspace.WORK
TEMPLATE = os.path.join(WORK, f"wine-template-{FLAVOUR.name}")

BASE_ENV = {
    "WINEDEBUG": "-all",
    "WINEDLLOVERRIDES": "mscoree,mshtml=",
    "WINEARCH": FLAVOUR.wine_arch,
    "WINELOADER": FLAVOUR.loader,
}


class WineStartError(RuntimeError):
    """Wine itself could not start: says what failed and the likely cause."""


def _env(prefix, extra=None):
    env = dict(os.environ)
    env.update(BASE_ENV)
    env["WINEPREFIX"] = prefix
    env.pop("DISPLAY", None)
    if extra:
        env.update(extra)
    return env


def _start_failure(argv, detail):
    reason = flavours.why_not_runnable(FLAVOUR)
    cause = (f"likely cause: {reason}; WINE_FLAVOURS=win64 runs the 64-bit flavour alone"
             if reason else "the Wine loader itself runs here; see Wine's own output above")
    return WineStartError(f"Wine ({FLAVOUR.name}, {FLAVOUR.description}) could not start: "
                          f"{' '.join(argv)} {detail}; {cause}")


def ensure_template():
    """Create the flavour's template prefix once (inside a loopback-only namespace)."""
    os.makedirs(WORK, exist_ok=True)
    with open(os.path.join(WORK, f"template-{FLAVOUR.name}.lock"), "w") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)
        if os.path.exists(os.path.join(TEMPLATE, ".ready")):
            return TEMPLATE
        shutil.rmtree(TEMPLATE, ignore_errors=True)
        ns = netns.Namespace("tpl")
        argv = [FLAVOUR.loader, "wineboot", "-i"]
        try:
            env = _env(TEMPLATE)
            try:
                made = subprocess.run(ns.command(argv), env=env, stdin=subprocess.DEVNULL,
                                      stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
                                      timeout=300)
            except subprocess.TimeoutExpired:
                raise _start_failure(argv, "gave no answer within 300 s") from None
            if made.returncode != 0:
                tail = made.stderr.decode(errors="replace").strip()[-400:]
                raise _start_failure(argv, f"ended with exit status {made.returncode}"
                                     + (f" ({tail})" if tail else ""))
            subprocess.run(ns.command(["wineserver", "-w"]), env=env, check=False, timeout=120)
        finally:
            ns.delete()
        open(os.path.join(TEMPLATE, ".ready"), "w").close()
        return TEMPLATE


class WineBox:
    """A private Wine prefix whose wineserver lives in namespace `ns`."""

    def __init__(self, ns, extra_env=None):
        self.ns = ns
        self.flavour = FLAVOUR
        ensure_template()
        self.prefix = workspace.work_dir(f"prefix-{FLAVOUR.name}")
        subprocess.run(["cp", "-a", "--reflink=auto", TEMPLATE + "/.", self.prefix], check=True)
        self.extra_env = dict(extra_env or {})
        self.server = ns.popen(["wineserver", "-f", "-p", "60"], env=self.env(),
                               stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                               stderr=subprocess.DEVNULL)
        # Start Wine's own background processes now, detached from any pipe of ours: a
        # program run later would otherwise hand them its stdout, and a reader of that pipe
        # would wait for them to end.
        self.wine(["wineboot"], timeout=120, stdout=subprocess.DEVNULL,
                  stderr=subprocess.DEVNULL)

    def env(self, extra=None):
        merged = dict(self.extra_env)
        if extra:
            merged.update(extra)
        return _env(self.prefix, merged)

    def windows_path(self, unix_path):
        """Wine maps / to Z:."""
        return "Z:" + os.path.abspath(unix_path).replace("/", "\\")

    def argv(self, exe, args=()):
        exe_path = exe if os.path.isabs(exe) else os.path.join(BIN, exe)
        return [FLAVOUR.loader, exe_path, *args]

    def run(self, exe, args=(), timeout=120, env=None, **kw):
        kw.setdefault("capture_output", True)
        return subprocess.run(self.ns.command(self.argv(exe, args)), env=self.env(env),
                              timeout=timeout, **kw)

    def popen(self, exe, args=(), env=None, **kw):
        return subprocess.Popen(self.ns.command(self.argv(exe, args)), env=self.env(env), **kw)

    def wine(self, argv, timeout=180, env=None, **kw):
        """One of Wine's own programs (msiexec, reg, wineboot) in this prefix."""
        kw.setdefault("stdin", subprocess.DEVNULL)
        return subprocess.run(self.ns.command([FLAVOUR.loader, *argv]), env=self.env(env),
                              timeout=timeout, **kw)

    def close(self):
        subprocess.run(self.ns.command(["wineserver", "-k"]), env=self.env(), check=False,
                       capture_output=True)
        try:
            self.server.wait(timeout=20)
        except subprocess.TimeoutExpired:
            self.server.kill()
        shutil.rmtree(self.prefix, ignore_errors=True)
