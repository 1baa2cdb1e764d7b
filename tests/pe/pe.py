"""Reads what the Windows loader looks at in a PE file: the machine type, the
subsystem version, and the imported functions by DLL (ordinary and delay
loaded). Python standard library only; the file is never run."""

import struct

MACHINES = {0x014C: "i686", 0x8664: "x86_64"}

_IMPORT_DIRECTORY = 1
_DELAY_IMPORT_DIRECTORY = 13


class PeError(Exception):
    pass


class PeFile:
    def __init__(self, path):
        with open(path, "rb") as f:
            self.data = f.read()
        if self.data[:2] != b"MZ":
            raise PeError("%s is not a PE file (no MZ header)" % path)
        pe = self._u32(0x3C)
        if self.data[pe:pe + 4] != b"PE\0\0":
            raise PeError("%s is not a PE file (no PE signature)" % path)
        machine, sections, _, _, _, optional_size, _ = struct.unpack_from("<HHIIIHH", self.data, pe + 4)
        self.machine = MACHINES.get(machine, "machine 0x%04X" % machine)
        optional = pe + 24
        magic = self._u16(optional)
        if magic not in (0x10B, 0x20B):
            raise PeError("%s: unknown optional header 0x%X" % (path, magic))
        self.pe32_plus = magic == 0x20B
        self.subsystem_version = (self._u16(optional + 48), self._u16(optional + 50))
        self.os_version = (self._u16(optional + 40), self._u16(optional + 42))
        directories = optional + (112 if self.pe32_plus else 96)
        count = self._u32(directories - 4)
        self._directories = [struct.unpack_from("<II", self.data, directories + 8 * i) for i in range(count)]
        table = optional + optional_size
        self._sections = []
        for i in range(sections):
            _, virtual_size, address, raw_size, raw_offset = struct.unpack_from("<8sIIII", self.data, table + 40 * i)
            self._sections.append((address, max(virtual_size, raw_size), raw_offset))

    def imports(self):
        """{DLL name: [function names]} in the file's order; a function
        imported by ordinal appears as "#N"."""
        found = {}
        address, _ = self._directory(_IMPORT_DIRECTORY)
        if address:
            entry = self._offset(address)
            while True:
                lookup, _, _, name, thunks = struct.unpack_from("<IIIII", self.data, entry)
                if not name:
                    break
                found.setdefault(self._string(name), []).extend(self._thunk_names(lookup or thunks))
                entry += 20
        address, _ = self._directory(_DELAY_IMPORT_DIRECTORY)
        if address:
            entry = self._offset(address)
            while True:
                _, name, _, _, names = struct.unpack_from("<IIIII", self.data, entry)
                if not name:
                    break
                found.setdefault(self._string(name), []).extend(self._thunk_names(names))
                entry += 32
        return found

    def _thunk_names(self, address):
        size, ordinal_flag = (8, 1 << 63) if self.pe32_plus else (4, 1 << 31)
        names = []
        offset = self._offset(address)
        while True:
            thunk = int.from_bytes(self.data[offset:offset + size], "little")
            if not thunk:
                return names
            if thunk & ordinal_flag:
                names.append("#%d" % (thunk & 0xFFFF))
            else:
                names.append(self._string(thunk + 2))  # after the two-byte hint
            offset += size

    def _directory(self, index):
        return self._directories[index] if index < len(self._directories) else (0, 0)

    def _offset(self, address):
        for start, size, raw in self._sections:
            if start <= address < start + size:
                return raw + address - start
        raise PeError("address 0x%X is in no section" % address)

    def _string(self, address):
        offset = self._offset(address)
        return self.data[offset:self.data.index(b"\0", offset)].decode("ascii", "replace")

    def _u16(self, offset):
        return struct.unpack_from("<H", self.data, offset)[0]

    def _u32(self, offset):
        return struct.unpack_from("<I", self.data, offset)[0]
