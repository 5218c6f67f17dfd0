"""What the built PE files say about themselves: format and machine of the flavour, imported
DLLs, portlink's imports from the runtime and its exports."""
import unittest

from tests.pe.pe_file import FLAVOUR, PeFile

SYSTEM_DLLS = {"kernel32.dll", "user32.dll", "ws2_32.dll", "shlwapi.dll", "shell32.dll",
               "msi.dll", "msvcrt.dll", "advapi32.dll", "iphlpapi.dll"}
DELIVERABLES = ["portlink.dll", "chordwatch.exe", "Boundstart.exe"]
# MSVC's decorated name of CPortlink::operator=, which differs between x86 and x86-64.
ASSIGN_MSVC = {"win32": "??4CPortlink@@QAEAAV0@ABV0@@Z",
               "win64": "??4CPortlink@@QEAAAEAV0@AEBV0@@Z"}


class PeLayout(unittest.TestCase):
    def test_every_deliverable_is_of_the_flavours_format_and_machine(self):
        for name in DELIVERABLES:
            with self.subTest(name=name):
                pe = PeFile(name)
                self.assertEqual((pe.machine, pe.magic), (FLAVOUR.pe_machine, FLAVOUR.pe_magic))

    def test_only_system_dlls_are_imported(self):
        # The C++ and GCC runtimes are linked in: no libgcc, libstdc++ or winpthread DLL.
        for name in DELIVERABLES:
            with self.subTest(name=name):
                dlls = set(PeFile(name).imports())
                allowed = SYSTEM_DLLS | ({"verimon tessel.dll"} if name == "portlink.dll" else set())
                api_sets = {d for d in dlls if d.startswith("api-ms-win-crt-")}
                self.assertLessEqual(dlls - api_sets, allowed, name)

    def test_portlink_imports_the_three_runtime_calls(self):
        self.assertEqual(sorted(PeFile("portlink.dll").imports()["verimon tessel.dll"]),
                         ["VnxGetObjectAsInt32", "VnxNewObjectFromBool", "VnxNewObjectFromUTF8"])

    def test_portlink_exports(self):
        self.assertEqual(sorted(PeFile("portlink.dll").exports()), sorted([
            "UpnpExtInitializer", "UpnpExtFinalizer", "removeNATPortMapping",
            "addNATPortMapping", "getLocalIP", "isSearchEnd", "isSearchSucces", "isLANIP",
            "startSearch",
            # the class member, under both toolchains' decorated names
            "_ZN9CPortlinkaSERKS_", ASSIGN_MSVC[FLAVOUR.name]]))


if __name__ == "__main__":
    unittest.main()
