"""Reads what matters of a Windows program without running it: the machine
type, the subsystem version and the imported functions (what the Windows
loader checks before it starts the program), and from the resource section
the version resource (VS_FIXEDFILEINFO numbers and the string tables) and
the embedded application manifest. Python 3 standard library only.

    python3 pe.py FILE.exe     prints its version information

Used by scripts/release (the version in the folder's name), by the test that
compares the built programs' version with the project's, and by
tests/pe/check_exe.py (imports and subsystem version).
"""

import struct
import sys
import xml.etree.ElementTree as ElementTree

MACHINES = {0x014C: "i686", 0x8664: "x86_64"}
IMPORT_DIRECTORY = 1
RESOURCE_DIRECTORY = 2
DELAY_IMPORT_DIRECTORY = 13
RT_VERSION = 16
RT_MANIFEST = 24
FIXED_FILE_INFO_SIGNATURE = 0xFEEF04BD
ASM_V1 = "{urn:schemas-microsoft-com:asm.v1}"
ASM_V3 = "{urn:schemas-microsoft-com:asm.v3}"


class PeError(ValueError):
    """The file is not a PE image, or its resources are not as expected."""


def _unpack(fmt, data, offset):
    size = struct.calcsize(fmt)
    if offset < 0 or offset + size > len(data):
        raise PeError("truncated file: %d bytes wanted at offset %d" % (size, offset))
    return struct.unpack_from(fmt, data, offset)


class PeImage:
    """The headers of a PE image: machine, subsystem version, sections and
    data directories, enough to find its imports and resources."""

    def __init__(self, data):
        self.data = data
        if data[:2] != b"MZ":
            raise PeError("no MZ header")
        (pe,) = _unpack("<I", data, 0x3C)
        if data[pe:pe + 4] != b"PE\0\0":
            raise PeError("no PE signature")
        self.machine, sections, self.time_stamp, _, _, optional_size, _ = _unpack("<HHIIIHH", data, pe + 4)
        self.machine_name = MACHINES.get(self.machine, "machine 0x%04X" % self.machine)
        optional = pe + 24
        (magic,) = _unpack("<H", data, optional)
        if magic == 0x10B:  # PE32
            count_at = optional + 92
        elif magic == 0x20B:  # PE32+
            count_at = optional + 108
        else:
            raise PeError("unknown optional header magic 0x%x" % magic)
        self.pe32_plus = magic == 0x20B
        self.subsystem_version = _unpack("<HH", data, optional + 48)
        (count,) = _unpack("<I", data, count_at)
        self.directories = [_unpack("<II", data, count_at + 4 + 8 * index) for index in range(min(count, 16))]
        self.resource_rva, self.resource_size = self.directory(RESOURCE_DIRECTORY)
        self.sections = []
        table = optional + optional_size
        for index in range(sections):
            name, virtual_size, rva, raw_size, raw_offset = _unpack("<8sIIII", data, table + 40 * index)
            self.sections.append((name.rstrip(b"\0").decode("latin-1"), rva, max(virtual_size, raw_size), raw_offset,
                                  raw_size))

    def directory(self, index):
        """(RVA, size) of a data directory; (0, 0) when it is absent."""
        return self.directories[index] if index < len(self.directories) else (0, 0)

    def imports(self):
        """{DLL name: [function names]} of the ordinary and the delay-loaded
        imports, in the file's order; a function imported by ordinal appears
        as "#N"."""
        found = {}
        # Import descriptors of 20 bytes: name lookup table, time, forwarder,
        # DLL name, address table; delay-load ones of 32 bytes: attributes,
        # DLL name, module handle, address table, name table, ...
        for index, size, name_field, table_fields in ((IMPORT_DIRECTORY, 20, 3, (0, 4)),
                                                      (DELAY_IMPORT_DIRECTORY, 32, 1, (4,))):
            rva, _ = self.directory(index)
            entry = self.offset(rva) if rva else None
            while entry is not None:
                fields = _unpack("<%dI" % (size // 4), self.data, entry)
                if not fields[name_field]:
                    break
                table = next((fields[i] for i in table_fields if fields[i]), 0)
                found.setdefault(self._string(fields[name_field]), []).extend(self._thunk_names(table))
                entry += size
        return found

    def _thunk_names(self, rva):
        size, ordinal_flag = (8, 1 << 63) if self.pe32_plus else (4, 1 << 31)
        names = []
        offset = self.offset(rva)
        while True:
            (thunk,) = _unpack("<Q" if size == 8 else "<I", self.data, offset)
            if not thunk:
                return names
            # By ordinal, or the RVA of a two-byte hint and the name.
            names.append("#%d" % (thunk & 0xFFFF) if thunk & ordinal_flag else self._string(thunk + 2))
            offset += size

    def _string(self, rva):
        start = self.offset(rva)
        end = self.data.find(b"\0", start)
        if end < 0:
            raise PeError("string at RVA 0x%x without end" % rva)
        return self.data[start:end].decode("ascii", "replace")

    def offset(self, rva):
        """The file offset of a relative virtual address."""
        for _, start, size, raw_offset, raw_size in self.sections:
            if start <= rva < start + size:
                if rva - start >= raw_size:
                    raise PeError("RVA 0x%x is not stored in the file" % rva)
                return raw_offset + rva - start
        raise PeError("RVA 0x%x is in no section" % rva)

    def resources(self):
        """Every resource as {(type, name, language): bytes}; each of the
        three is an int (an ID) or a str (a name)."""
        if not self.resource_rva:
            return {}
        base = self.offset(self.resource_rva)
        found = {}

        def walk(directory, path):
            _, _, _, _, named, ids = _unpack("<IIHHHH", self.data, base + directory)
            for index in range(named + ids):
                name, target = _unpack("<II", self.data, base + directory + 16 + 8 * index)
                if name & 0x80000000:
                    (length,) = _unpack("<H", self.data, base + (name & 0x7FFFFFFF))
                    start = base + (name & 0x7FFFFFFF) + 2
                    key = self.data[start:start + 2 * length].decode("utf-16-le")
                else:
                    key = name
                if target & 0x80000000:
                    if len(path) >= 2:
                        raise PeError("resource tree deeper than three levels")
                    walk(target & 0x7FFFFFFF, path + (key,))
                else:
                    if len(path) != 2:
                        raise PeError("resource data above the language level")
                    rva, size, _, _ = _unpack("<IIII", self.data, base + target)
                    start = self.offset(rva)
                    found[path + (key,)] = self.data[start:start + size]

        walk(0, ())
        return found


def _align4(offset):
    return (offset + 3) & ~3


def _version_node(block, offset):
    """One node of a VS_VERSIONINFO tree at OFFSET: (key, value, children,
    end). The value is bytes for binary nodes, str for text nodes."""
    length, value_length, kind = _unpack("<HHH", block, offset)
    end = offset + length
    if length < 6 or end > len(block):
        raise PeError("version resource node of bad length %d at %d" % (length, offset))
    key_end = offset + 6
    while block[key_end:key_end + 2] != b"\0\0":
        key_end += 2
        if key_end >= end:
            raise PeError("version resource key without end at %d" % offset)
    key = block[offset + 6:key_end].decode("utf-16-le")
    position = _align4(key_end + 2)
    if kind == 1:  # text: the length counts UTF-16 units, the final null included
        value = block[position:position + 2 * value_length].decode("utf-16-le").rstrip("\0")
        position += 2 * value_length
    else:
        value = block[position:position + value_length]
        position += value_length
    children = []
    position = _align4(position)
    while position < end:
        child = _version_node(block, position)
        children.append(child)
        position = _align4(child[3])
    return key, value, children, end


class VersionInfo:
    """What a program says its version is.

    file_version, product_version: the VS_FIXEDFILEINFO numbers, 4-tuples.
    strings: {table key ("040904b0"): {name: value}} from StringFileInfo.
    translations: [(language, code page)] from VarFileInfo.
    manifest: the embedded manifest's XML root, or None.
    manifest_version: its assemblyIdentity version, or None.
    """

    def __init__(self, path):
        with open(path, "rb") as f:
            image = PeImage(f.read())
        resources = image.resources()
        versions = [data for (kind, _, _), data in resources.items() if kind == RT_VERSION]
        manifests = [data for (kind, _, _), data in resources.items() if kind == RT_MANIFEST]
        self.manifest_ids = sorted(name for (kind, name, _) in resources if kind == RT_MANIFEST)
        if len(versions) != 1:
            raise PeError("%s: %d version resources, not one" % (path, len(versions)))
        key, fixed, children, _ = _version_node(versions[0], 0)
        if key != "VS_VERSION_INFO" or len(fixed) != 52:
            raise PeError("%s: no VS_VERSION_INFO with a fixed file information" % path)
        signature, _, file_ms, file_ls, product_ms, product_ls = struct.unpack_from("<6I", fixed)
        if signature != FIXED_FILE_INFO_SIGNATURE:
            raise PeError("%s: VS_FIXEDFILEINFO signature 0x%x" % (path, signature))
        self.file_version = (file_ms >> 16, file_ms & 0xFFFF, file_ls >> 16, file_ls & 0xFFFF)
        self.product_version = (product_ms >> 16, product_ms & 0xFFFF, product_ls >> 16, product_ls & 0xFFFF)
        self.strings = {}
        self.translations = []
        for child_key, _, grandchildren, _ in children:
            if child_key == "StringFileInfo":
                for table, _, entries, _ in grandchildren:
                    self.strings[table] = {name: value for name, value, _, _ in entries}
            elif child_key == "VarFileInfo":
                for name, value, _, _ in grandchildren:
                    if name == "Translation":
                        self.translations += list(struct.iter_unpack("<HH", value))
        self.manifest = None
        self.manifest_version = None
        if len(manifests) > 1:
            raise PeError("%s: %d manifests" % (path, len(manifests)))
        if manifests:
            self.manifest = ElementTree.fromstring(manifests[0])
            identity = self.manifest.find(ASM_V1 + "assemblyIdentity")
            if identity is not None:
                self.manifest_version = identity.get("version")

    def execution_level(self):
        """The manifest's requestedExecutionLevel, or None."""
        if self.manifest is None:
            return None
        element = self.manifest.find(".//%srequestedExecutionLevel" % ASM_V3)
        return None if element is None else element.get("level")


def dotted(numbers):
    return ".".join(str(n) for n in numbers)


def main(argv):
    if len(argv) != 1:
        print(__doc__, file=sys.stderr)
        return 2
    info = VersionInfo(argv[0])
    print("file version     %s" % dotted(info.file_version))
    print("product version  %s" % dotted(info.product_version))
    for table, entries in sorted(info.strings.items()):
        for name, value in sorted(entries.items()):
            print("string %s %s: %s" % (table, name, value))
    print("translations     %s" % " ".join("%04x/%d" % pair for pair in info.translations))
    print("manifest         %s (id %s, level %s)" % (info.manifest_version, info.manifest_ids, info.execution_level()))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
