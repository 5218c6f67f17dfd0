"""Boundstart.exe as a file: console program, its two exported data symbols, no import of
msi.dll, and the embedded application manifest.
"""
import unittest
import xml.etree.ElementTree as ET

from tests.pe.pe_file import PeFile

RT_MANIFEST = 24
SUPPORTED_OS = {
    "{e2011457-1546-43c5-a5fe-008deee3d3f0}",  # Vista
    "{35138b9a-5d96-4fbd-8e2d-a2440225f93a}",  # 7
    "{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}",  # 8
    "{1f676c76-80e1-4239-95bb-83d0f6d0da78}",  # 8.1
    "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}",  # 10
}


class BoundstartPeTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.pe = PeFile("Boundstart.exe")

    def test_console_program(self):
        self.assertEqual(self.pe.subsystem, 3)     # IMAGE_SUBSYSTEM_WINDOWS_CUI

    def test_exports_two_32_bit_data_symbols_holding_one(self):
        exports = self.pe.exports()
        self.assertEqual(set(exports), {"AmdPowerXpressRequestBetterBatteryLife",
                                        "NvOptimusDisablement"})
        for name, rva in exports.items():
            self.assertEqual(self.pe.u32(rva), 1, name)

    def test_msi_not_imported(self):
        imports = self.pe.imports()
        # Loaded from the system folder only when Windows Installer is asked.
        self.assertNotIn("msi.dll", imports)
        # Looked up at run time, so the launcher starts where it does not exist.
        self.assertNotIn("SetDllDirectoryA", imports.get("kernel32.dll", []))
        self.assertIn("MessageBoxExW", imports.get("user32.dll", []))
        self.assertIn("PathAppendW", imports.get("shlwapi.dll", []))
        self.assertIn("PathRemoveFileSpecW", imports.get("shlwapi.dll", []))
        self.assertIn("CommandLineToArgvW", imports.get("shell32.dll", []))
        # The runtime is loaded at run time, never linked.
        self.assertFalse([dll for dll in imports if "verimon" in dll])

    def test_manifest_as_invoker_and_supported_systems(self):
        manifest = self.pe.resource(RT_MANIFEST, 1)
        self.assertIsNotNone(manifest)
        root = ET.fromstring(manifest)
        levels = [e for e in root.iter() if e.tag.endswith("}requestedExecutionLevel")]
        self.assertEqual(len(levels), 1)
        self.assertEqual(levels[0].get("level"), "asInvoker")
        self.assertEqual(levels[0].get("uiAccess"), "false")
        ids = {e.get("Id").lower() for e in root.iter() if e.tag.endswith("}supportedOS")}
        self.assertEqual(ids, SUPPORTED_OS)


if __name__ == "__main__":
    unittest.main()
