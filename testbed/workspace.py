"""Where the test bed keeps its files, and the removal of what killed runs left behind.

Every network namespace and work folder that the test bed makes carries the process id of
its maker in its name ("pl<pid>x..." for namespaces, "pl<pid>-..." for folders).  A run that
is killed (a ctest timeout) cannot clean up after itself, so each process, before it makes
its first namespace, removes what belongs to test bed processes that no longer exist: their
namespaces with every process still inside (gateway daemon, wineserver, Xvfb) and their
folders.  Names without that prefix, and everything of a live process, are never touched.
"""
import os
import re
import shutil
import signal
import subprocess
import tempfile

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
WORK = os.environ.get("TESTBED_WORK", os.path.join(ROOT, "build", "testbed"))
TAG = f"pl{os.getpid()}"
_OURS = re.compile(r"^pl(\d+)[x-]")
_swept = False


def work_dir(kind, parent=None):
    """A new folder of this process, named so that a later run can tell whose it was."""
    parent = parent or WORK
    os.makedirs(parent, exist_ok=True)
    return tempfile.mkdtemp(prefix=f"{TAG}-{kind}-", dir=parent)


def remove_namespace(name):
    """Ends every process inside the namespace (they keep it alive), then deletes it."""
    pids = subprocess.run(["ip", "netns", "pids", name], capture_output=True,
                          text=True).stdout.split()
    for pid in pids:
        try:
            os.kill(int(pid), signal.SIGKILL)
        except (ProcessLookupError, ValueError):
            pass
    subprocess.run(["ip", "netns", "del", name], capture_output=True, check=False)


def _owner_gone(name):
    match = _OURS.match(name)
    if not match:
        return False
    try:
        os.kill(int(match.group(1)), 0)
    except ProcessLookupError:
        return True
    except PermissionError:
        return False
    return False


def sweep():
    """Once per process: remove the namespaces and folders of test bed runs that are gone."""
    global _swept
    if _swept:
        return
    _swept = True
    listing = subprocess.run(["ip", "netns", "list"], capture_output=True, text=True).stdout
    for name in (line.split()[0] for line in listing.splitlines() if line.strip()):
        if _owner_gone(name):
            remove_namespace(name)
    for parent in (WORK, tempfile.gettempdir()):
        try:
            entries = os.listdir(parent)
        except FileNotFoundError:
            continue
        for entry in entries:
            path = os.path.join(parent, entry)
            if _owner_gone(entry) and os.path.isdir(path) and not os.path.islink(path):
                shutil.rmtree(path, ignore_errors=True)
