"""Builds the stand-in runtime's installer package with wixl.

The component code is read from boundstart/runtime_component.h, the one place that holds it.
"""
import os
import re
import shutil
import subprocess

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
HEADER = os.path.join(ROOT, "boundstart", "runtime_component.h")
TEMPLATE = os.path.join(HERE, "verimon_tessel_runtime.wxs.in")


def component_code():
    """The runtime component code, e.g. "{7AE3E5C1-...}" (braces included)."""
    with open(HEADER, encoding="utf-8") as f:
        match = re.search(r'#define\s+BOUNDSTART_RUNTIME_COMPONENT_CODE\s+"(\{[0-9A-F-]{36}\})"',
                          f.read())
    if not match:
        raise RuntimeError("no component code in " + HEADER)
    return match.group(1)


def product_code():
    """The package's product code, "{...}" (braces included)."""
    with open(TEMPLATE, encoding="utf-8") as f:
        match = re.search(r'<Product Id="([0-9A-F-]{36})"', f.read())
    return "{" + match.group(1) + "}"


def build_msi(library, work_dir, arch="x86"):
    """Writes work_dir/verimon_tessel_runtime.msi holding `library` for Windows Installer's
    architecture `arch` ("x86" or "x64"); returns its path.  Both install the runtime below
    "Program Files" of a prefix of their own architecture."""
    os.makedirs(work_dir, exist_ok=True)
    # wixl takes file sources relative to the folder it runs in.
    with open(os.path.join(work_dir, "runtime.key"), "w", encoding="ascii") as f:
        f.write("Verimon Tessel stand-in runtime 1.0\n")
    shutil.copyfile(library, os.path.join(work_dir, "Verimon Tessel.dll"))
    with open(TEMPLATE, encoding="utf-8") as f:
        source = f.read()
    source = (source.replace("@COMPONENT_CODE@", component_code().strip("{}"))
              .replace("@KEY_FILE@", "runtime.key")
              .replace("@LIBRARY@", "Verimon Tessel.dll")
              .replace("@PROGRAM_FILES@", "ProgramFiles64Folder" if arch == "x64"
                       else "ProgramFilesFolder"))
    wxs = os.path.join(work_dir, "verimon_tessel_runtime.wxs")
    with open(wxs, "w", encoding="utf-8") as f:
        f.write(source)
    msi = os.path.join(work_dir, "verimon_tessel_runtime.msi")
    subprocess.run(["wixl", "-a", arch, "-o", msi, wxs], check=True, capture_output=True,
                   cwd=work_dir)
    return msi
