"""Wine prefixes whose wineserver runs inside one of our network namespaces.

Wine creates sockets in the namespace of the wineserver, so each namespace gets its own
prefix, and the prefix's wineserver is started inside that namespace before any program.
Prefixes are copied from one template made once per build tree (creating one takes ~5 s).
"""
import fcntl
import os
import shutil
import subprocess
import tempfile

from . import netns

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
BIN = os.environ.get("WIN32_BIN_DIR", os.path.join(ROOT, "build", "win32", "bin"))
WORK = os.environ.get("TESTBED_WORK", os.path.join(ROOT, "build", "testbed"))
TEMPLATE = os.path.join(WORK, "wine-template")

BASE_ENV = {
    "WINEDEBUG": "-all",
    "WINEDLLOVERRIDES": "mscoree,mshtml=",
    "WINEARCH": "win32",
}


def _env(prefix, extra=None):
    env = dict(os.environ)
    env.update(BASE_ENV)
    env["WINEPREFIX"] = prefix
    env.pop("DISPLAY", None)
    if extra:
        env.update(extra)
    return env


def ensure_template():
    """Create the template prefix once (inside a loopback-only namespace)."""
    os.makedirs(WORK, exist_ok=True)
    with open(os.path.join(WORK, "template.lock"), "w") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)
        if os.path.exists(os.path.join(TEMPLATE, ".ready")):
            return TEMPLATE
        shutil.rmtree(TEMPLATE, ignore_errors=True)
        ns = netns.Namespace("tpl")
        try:
            env = _env(TEMPLATE)
            subprocess.run(ns.command(["wineboot", "-i"]), env=env, check=True,
                           stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                           stderr=subprocess.DEVNULL, timeout=300)
            subprocess.run(ns.command(["wineserver", "-w"]), env=env, check=False, timeout=120)
        finally:
            ns.delete()
        open(os.path.join(TEMPLATE, ".ready"), "w").close()
        return TEMPLATE


class WineBox:
    """A private Wine prefix whose wineserver lives in namespace `ns`."""

    def __init__(self, ns, extra_env=None):
        self.ns = ns
        ensure_template()
        self.prefix = tempfile.mkdtemp(prefix="prefix-", dir=WORK)
        subprocess.run(["cp", "-a", "--reflink=auto", TEMPLATE + "/.", self.prefix], check=True)
        self.extra_env = dict(extra_env or {})
        self.server = ns.popen(["wineserver", "-f", "-p", "60"], env=self.env(),
                               stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                               stderr=subprocess.DEVNULL)
        # Start Wine's own background processes now, detached from any pipe of ours: a
        # program run later would otherwise hand them its stdout, and a reader of that pipe
        # would wait for them to end.
        subprocess.run(ns.command(["wineboot"]), env=self.env(), stdin=subprocess.DEVNULL,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=120)

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
        return ["wine", exe_path, *args]

    def run(self, exe, args=(), timeout=120, env=None, **kw):
        kw.setdefault("capture_output", True)
        return subprocess.run(self.ns.command(self.argv(exe, args)), env=self.env(env),
                              timeout=timeout, **kw)

    def popen(self, exe, args=(), env=None, **kw):
        return subprocess.Popen(self.ns.command(self.argv(exe, args)), env=self.env(env), **kw)

    def close(self):
        subprocess.run(self.ns.command(["wineserver", "-k"]), env=self.env(), check=False,
                       capture_output=True)
        try:
            self.server.wait(timeout=20)
        except subprocess.TimeoutExpired:
            self.server.kill()
        shutil.rmtree(self.prefix, ignore_errors=True)
