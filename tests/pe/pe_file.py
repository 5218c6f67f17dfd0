"""Just enough of a PE reader (PE32 and PE32+) for machine, exports, imports and resources,
and the flavour whose files a static check reads (WINE_FLAVOUR, default win32).  Nothing is
run: these checks need no Wine, so the files of every flavour are checked on every host."""
import os
import struct

from testbed import flavours

FLAVOUR = flavours.FLAVOURS[os.environ.get("WINE_FLAVOUR", "win32")]
BIN = FLAVOUR.bin_dir


class PeFile:
    def __init__(self, name):
        with open(os.path.join(BIN, name), "rb") as f:
            self.data = f.read()
        d = self.data
        assert d[:2] == b"MZ", name
        pe = struct.unpack_from("<I", d, 0x3C)[0]
        assert d[pe:pe + 4] == b"PE\0\0", name
        self.machine, sections, _, _, _, opt_size, _ = struct.unpack_from("<HHIIIHH", d, pe + 4)
        opt = pe + 24
        self.magic = struct.unpack_from("<H", d, opt)[0]
        self.plus = self.magic == 0x20B
        self.subsystem = struct.unpack_from("<H", d, opt + 68)[0]
        dirs = opt + (112 if self.plus else 96)
        count = struct.unpack_from("<I", d, dirs - 4)[0]
        self.dirs = [struct.unpack_from("<II", d, dirs + 8 * i) for i in range(count)]
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
        size, by_ordinal = (8, 1 << 63) if self.plus else (4, 1 << 31)
        out = {}
        while rva:
            lookup, _, _, name, first = struct.unpack_from("<IIIII", self.data, self.offset(rva))
            if not name:
                break
            entries = []
            thunk = lookup or first
            while True:
                value = int.from_bytes(self.data[self.offset(thunk):self.offset(thunk) + size],
                                       "little")
                if not value:
                    break
                entries.append(value & 0xFFFF if value & by_ordinal else self.cstr(value + 2))
                thunk += size
            out[self.cstr(name).lower()] = entries
            rva += 20
        return out

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
