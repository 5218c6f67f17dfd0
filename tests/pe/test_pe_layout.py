"""What the built PE files say about themselves: format, imported DLLs, portlink's exports."""
import os
import re
import subprocess
import unittest

from testbed import winebox

OBJDUMP = "i686-w64-mingw32-objdump"
SYSTEM_DLLS = {"kernel32.dll", "user32.dll", "ws2_32.dll", "shlwapi.dll", "shell32.dll",
               "msi.dll", "msvcrt.dll", "advapi32.dll"}
DELIVERABLES = ["portlink.dll", "chordwatch.exe", "Boundstart.exe"]


def dump(name):
    return subprocess.run([OBJDUMP, "-p", os.path.join(winebox.BIN, name)], check=True,
                          capture_output=True, text=True).stdout


def imported_dlls(text):
    return [m.lower() for m in re.findall(r"DLL Name: (.+)", text)]


def exported_names(text):
    block = text.split("[Ordinal/Name Pointer] Table", 1)[1]
    return re.findall(r"^\s+\[\s*\d+\] (\S+)$", block.split("\n\n", 1)[0], re.M)


class PeLayout(unittest.TestCase):
    def test_every_deliverable_is_pe32_for_i386(self):
        for name in DELIVERABLES:
            with self.subTest(name=name):
                self.assertIn("file format pei-i386", dump(name))

    def test_only_system_dlls_are_imported(self):
        # The C++ and GCC runtimes are linked in: no libgcc, libstdc++ or winpthread DLL.
        for name in DELIVERABLES:
            with self.subTest(name=name):
                dlls = set(imported_dlls(dump(name)))
                allowed = SYSTEM_DLLS | ({"verimon tessel.dll"} if name == "portlink.dll" else set())
                api_sets = {d for d in dlls if d.startswith("api-ms-win-crt-")}
                self.assertLessEqual(dlls - api_sets, allowed, name)

    def test_portlink_imports_the_three_runtime_calls(self):
        text = dump("portlink.dll")
        section = text.split("DLL Name: Verimon Tessel.dll", 1)[1].split("DLL Name:", 1)[0]
        names = set(re.findall(r"\b(Vnx\w+)", section))
        self.assertEqual(names, {"VnxGetObjectAsInt32", "VnxNewObjectFromBool",
                                 "VnxNewObjectFromUTF8"})

    def test_portlink_exports(self):
        names = exported_names(dump("portlink.dll"))
        self.assertEqual(sorted(names), sorted([
            "UpnpExtInitializer", "UpnpExtFinalizer", "removeNATPortMapping",
            "addNATPortMapping", "getLocalIP", "isSearchEnd", "isSearchSucces", "isLANIP",
            "startSearch",
            # the class member, under both toolchains' decorated names
            "_ZN9CPortlinkaSERKS_", "??4CPortlink@@QAEAAV0@ABV0@@Z"]))


if __name__ == "__main__":
    unittest.main()
