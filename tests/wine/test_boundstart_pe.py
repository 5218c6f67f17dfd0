"""Boundstart.exe as a file: PE32 console program, its two exported data symbols, msi.dll
bound by ordinal 90, and the embedded application manifest.

Nothing is run here, so no namespace or Wine prefix is needed.
"""
import os
import struct
import unittest
import xml.etree.ElementTree as ET

BIN = os.environ.get("WIN32_BIN_DIR", os.path.join(os.path.dirname(__file__), "..", "..",
                                                    "build", "win32", "bin"))
LAUNCHER = os.path.join(BIN, "Boundstart.exe")

RT_MANIFEST = 24
SUPPORTED_OS = {
    "{e2011457-1546-43c5-a5fe-008deee3d3f0}",  # Vista
    "{35138b9a-5d96-4fbd-8e2d-a2440225f93a}",  # 7
    "{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}",  # 8
    "{1f676c76-80e1-4239-95bb-83d0f6d0da78}",  # 8.1
    "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}",  # 10
}


class PeFile:
    """Just enough of a PE32 reader for exports, imports and resources."""

    def __init__(self, path):
        with open(path, "rb") as f:
            self.data = f.read()
        d = self.data
        assert d[:2] == b"MZ"
        pe = struct.unpack_from("<I", d, 0x3C)[0]
        assert d[pe:pe + 4] == b"PE\0\0"
        self.machine, sections, _, _, _, opt_size, _ = struct.unpack_from("<HHIIIHH", d, pe + 4)
        opt = pe + 24
        self.magic = struct.unpack_from("<H", d, opt)[0]
        self.subsystem = struct.unpack_from("<H", d, opt + 68)[0]
        count = struct.unpack_from("<I", d, opt + 92)[0]
        self.dirs = [struct.unpack_from("<II", d, opt + 96 + 8 * i) for i in range(count)]
        self.sections = []
        table = opt + opt_size
        for i in range(sections):
            vsize, va, rsize, raw = struct.unpack_from("<IIII", d, table + 40 * i + 8)
            self.sections.append((va, max(vsize, rsize), raw))

    def offset(self, rva):
        for va, size, raw in self.sections:
            if va <= rva < va + size:
                return raw + rva - va
        raise ValueError("rva %#x outside every section" % rva)

    def u32(self, rva):
        return struct.unpack_from("<I", self.data, self.offset(rva))[0]

    def cstr(self, rva):
        start = self.offset(rva)
        return self.data[start:self.data.index(b"\0", start)].decode("ascii")

    def exports(self):
        """{name: rva}"""
        rva, _ = self.dirs[0]
        if not rva:
            return {}
        names, functions, name_table, ordinals = (self.u32(rva + 24), self.u32(rva + 28),
                                                  self.u32(rva + 32), self.u32(rva + 36))
        out = {}
        for i in range(names):
            ordinal = struct.unpack_from("<H", self.data, self.offset(ordinals + 2 * i))[0]
            out[self.cstr(self.u32(name_table + 4 * i))] = self.u32(functions + 4 * ordinal)
        return out

    def imports(self):
        """{dll name (lower case): [function name or ordinal number]}"""
        rva, _ = self.dirs[1]
        out = {}
        while True:
            lookup, _, _, name, first = struct.unpack_from("<IIIII", self.data, self.offset(rva))
            if not name:
                return out
            entries = []
            thunk = lookup or first
            while True:
                value = self.u32(thunk)
                if not value:
                    break
                entries.append(value & 0xFFFF if value & 0x80000000 else self.cstr(value + 2))
                thunk += 4
            out[self.cstr(name).lower()] = entries
            rva += 20

    def resource(self, type_id, name_id):
        """Bytes of the first language of resource (type_id, name_id)."""
        base, _ = self.dirs[2]

        def entries(rva):
            named, ids = struct.unpack_from("<HH", self.data, self.offset(rva) + 12)
            for i in range(named + ids):
                ident, target = struct.unpack_from("<II", self.data, self.offset(rva) + 16 + 8 * i)
                yield ident, target

        def child(rva, ident):
            for key, target in entries(rva):
                if key == ident and target & 0x80000000:
                    return base + (target & 0x7FFFFFFF)
            return None

        names = child(base, type_id)
        langs = names and child(names, name_id)
        if not langs:
            return None
        _, leaf = next(entries(langs))
        data_rva, size = struct.unpack_from("<II", self.data, self.offset(base + leaf))
        start = self.offset(data_rva)
        return self.data[start:start + size]


class BoundstartPeTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.pe = PeFile(LAUNCHER)

    def test_pe32_console_program_for_x86(self):
        self.assertEqual(self.pe.machine, 0x14C)   # IMAGE_FILE_MACHINE_I386
        self.assertEqual(self.pe.magic, 0x10B)     # PE32
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
