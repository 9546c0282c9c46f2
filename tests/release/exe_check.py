#!/usr/bin/env python3
"""usage: exe_check.py EXE VERSION_FILE LICENSE_FILE

Reads the version resource and the manifest out of the built fpflash.exe and checks their
values: what Explorer shows in the file's properties (the version, the licence's copyright
holder and notice), and what Windows reads before the program starts (no elevation, the
supported systems, terminal-server awareness)."""
import re
import struct
import sys
import xml.etree.ElementTree as ET

SKIP = 77
RT_VERSION = 16
RT_MANIFEST = 24
VS_FIXEDFILEINFO_SIGNATURE = 0xFEEF04BD
VOS_NT_WINDOWS32 = 0x00040004
VFT_APP = 1
TERMINAL_SERVER_AWARE = 0x8000
US_ENGLISH_UNICODE = "040904B0"

# Windows 7, 8, 8.1 and 10 (which 11 shares); Vista's is left out on purpose.
SUPPORTED_OS = {
    "{35138b9a-5d96-4fbd-8e2d-a2440225f93a}",
    "{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}",
    "{1f676c76-80e1-4239-95bb-83d0f6d0da78}",
    "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}",
}
ASM_V1 = "{urn:schemas-microsoft-com:asm.v1}"
ASM_V3 = "{urn:schemas-microsoft-com:asm.v3}"
COMPAT = "{urn:schemas-microsoft-com:compatibility.v1}"
# Words that make Windows' installer detection ask for elevation when no level is declared.
INSTALLER_WORDS = re.compile(r"install|setup|update|patch", re.IGNORECASE)


class PE:
    """Just enough of a PE image to find its resources; every offset is checked."""

    def __init__(self, data):
        self.data = data
        if data[:2] != b"MZ":
            raise ValueError("no MZ header")
        pe = self.u32(0x3C)
        if data[pe : pe + 4] != b"PE\0\0":
            raise ValueError("no PE signature")
        sections, opt_size = self.u16(pe + 6), self.u16(pe + 20)
        opt = pe + 24
        magic = self.u16(opt)
        if magic not in (0x10B, 0x20B):
            raise ValueError("unknown optional header magic 0x%x" % magic)
        self.dll_characteristics = self.u16(opt + 70)
        dirs = opt + (96 if magic == 0x10B else 112)
        self.rsrc_rva, self.rsrc_size = self.u32(dirs + 2 * 8), self.u32(dirs + 2 * 8 + 4)
        self.sections = []
        at = opt + opt_size
        for _ in range(sections):
            vsize, rva, raw_size, raw = struct.unpack_from("<4I", self.bytes(at + 8, 16))
            self.sections.append((rva, max(vsize, raw_size), raw, raw_size))
            at += 40

    def bytes(self, off, n):
        if off < 0 or n < 0 or off + n > len(self.data):
            raise ValueError("read of %d bytes at 0x%x past the end of the file" % (n, off))
        return self.data[off : off + n]

    def u16(self, off):
        return struct.unpack("<H", self.bytes(off, 2))[0]

    def u32(self, off):
        return struct.unpack("<I", self.bytes(off, 4))[0]

    def at_rva(self, rva, n):
        for start, size, raw, raw_size in self.sections:
            if start <= rva and rva + n <= start + size and rva - start + n <= raw_size:
                return self.bytes(raw + rva - start, n)
        raise ValueError("RVA 0x%x (%d bytes) is in no section" % (rva, n))

    def resources(self):
        """Every resource as (type, name, language, bytes); names given as strings are kept
        as strings."""
        if self.rsrc_rva == 0:
            return []
        found = []

        def directory(off, path):
            if len(path) > 2:
                raise ValueError("resource tree deeper than type/name/language")
            head = self.at_rva(self.rsrc_rva + off, 16)
            count = sum(struct.unpack_from("<HH", head, 12))
            for i in range(count):
                ident, target = struct.unpack(
                    "<II", self.at_rva(self.rsrc_rva + off + 16 + 8 * i, 8))
                key = ident if ident & 0x80000000 == 0 else self.name(ident & 0x7FFFFFFF)
                if target & 0x80000000:
                    directory(target & 0x7FFFFFFF, path + [key])
                elif len(path) == 2:
                    rva, size = struct.unpack("<II", self.at_rva(self.rsrc_rva + target, 8))
                    found.append((path[0], path[1], key, self.at_rva(rva, size)))
                else:
                    raise ValueError("resource data entry above the language level")

        directory(0, [])
        return found

    def name(self, off):
        n = struct.unpack("<H", self.at_rva(self.rsrc_rva + off, 2))[0]
        return self.at_rva(self.rsrc_rva + off + 2, 2 * n).decode("utf-16-le")


def version_nodes(data, off=0, end=None):
    """The tree of a VS_VERSIONINFO block: (key, value, children) per node."""
    end = len(data) if end is None else end
    nodes = []
    while off + 6 <= end:
        length, value_len, kind = struct.unpack_from("<HHH", data, off)
        if length < 6 or off + length > end:
            raise ValueError("version block of %d bytes at %d overruns its parent" % (length, off))
        key_end = off + 6
        while data[key_end : key_end + 2] != b"\0\0":
            key_end += 2
            if key_end >= off + length:
                raise ValueError("unterminated key in the version resource")
        key = data[off + 6 : key_end].decode("utf-16-le")
        value_at = (key_end + 2 + 3) & ~3
        # Text values count their characters, binary ones their bytes.
        value_bytes = value_len * 2 if kind == 1 else value_len
        value = data[value_at : value_at + value_bytes]
        if kind == 1:
            value = value.decode("utf-16-le").rstrip("\0")
        children = version_nodes(data, (value_at + value_bytes + 3) & ~3, off + length)
        nodes.append((key, value, children))
        off = (off + length + 3) & ~3
    return nodes


def licence_notice(path):
    """The licence's name (its first line) and its copyright line."""
    with open(path) as f:
        lines = [line.strip() for line in f]
    copyright = [line for line in lines if line.startswith("Copyright (c) ")]
    if not lines or not copyright:
        raise ValueError("%s has no licence name or copyright line" % path)
    return lines[0], copyright[0]


def check(exe, version, licence):
    faults = []
    major, minor, patch = (int(x) for x in version.split("."))
    with open(exe, "rb") as f:
        pe = PE(f.read())
    if pe.dll_characteristics & TERMINAL_SERVER_AWARE:
        print("terminal-server aware")
    else:
        # Else Windows gives it a terminal server's compatibility shims in a Remote Desktop.
        faults.append("not linked terminal-server aware (-Wl,--tsaware)")
    res = pe.resources()
    kinds = sorted(str(r[0]) for r in res)
    print("resources (type, name, language, size):",
          [(r[0], r[1], r[2], len(r[3])) for r in res])

    versions = [r for r in res if r[0] == RT_VERSION]
    if len(versions) != 1:
        return ["%d version resources, want 1 (resource types %s)" % (len(versions), kinds)]
    root = version_nodes(versions[0][3])
    if len(root) != 1 or root[0][0] != "VS_VERSION_INFO":
        return ["version resource is not one VS_VERSION_INFO block"]
    _, fixed, blocks = root[0]
    if len(fixed) != 52:
        return ["VS_FIXEDFILEINFO is %d bytes, want 52" % len(fixed)]
    (sig, _, file_ms, file_ls, prod_ms, prod_ls, _, flags, os_, ftype, _, _, _) = struct.unpack(
        "<13I", fixed)
    want_ms, want_ls = major << 16 | minor, patch << 16
    if sig != VS_FIXEDFILEINFO_SIGNATURE:
        faults.append("VS_FIXEDFILEINFO signature 0x%08x" % sig)
    for what, ms, ls in (("file", file_ms, file_ls), ("product", prod_ms, prod_ls)):
        got = "%d.%d.%d.%d" % (ms >> 16, ms & 0xFFFF, ls >> 16, ls & 0xFFFF)
        if (ms, ls) != (want_ms, want_ls):
            faults.append("fixed %s version %s, want %s.0" % (what, got, version))
        else:
            print("fixed %s version %s" % (what, got))
    if flags != 0:
        faults.append("file flags 0x%x: a release is neither debug nor pre-release" % flags)
    if os_ != VOS_NT_WINDOWS32 or ftype != VFT_APP:
        faults.append("file OS 0x%x / type %d, want 0x%x / %d" % (os_, ftype, VOS_NT_WINDOWS32,
                                                                    VFT_APP))

    tables = {t[0]: t[2] for b in blocks if b[0] == "StringFileInfo" for t in b[2]}
    if list(tables) != [US_ENGLISH_UNICODE]:
        faults.append("string tables %s, want only %s" % (list(tables), US_ENGLISH_UNICODE))
    strings = {k: v for k, v, _ in tables.get(US_ENGLISH_UNICODE, [])}
    print("strings:", strings)
    name, copyright = licence
    want = {
        "CompanyName": re.sub(r"^Copyright \(c\) [0-9]+ ", "", copyright),
        "LegalCopyright": "%s; %s" % (copyright, name),
        "FileVersion": version,
        "ProductVersion": version,
        "OriginalFilename": "fpflash.exe",
        "InternalName": "fpflash",
        "ProductName": "fpflash",
    }
    for key, value in want.items():
        if strings.get(key) != value:
            faults.append("%s is %r, want %r" % (key, strings.get(key), value))
    description = strings.get("FileDescription", "")
    if not description:
        faults.append("no FileDescription")
    for key, value in strings.items():
        if INSTALLER_WORDS.search(value) and key != "OriginalFilename":
            faults.append("%s %r has a word installer detection looks for" % (key, value))
    translations = [v for b in blocks if b[0] == "VarFileInfo" for k, v, _ in b[2]
                    if k == "Translation"]
    if translations != [struct.pack("<HH", 0x409, 1200)]:
        faults.append("Translation %r does not name the string table 040904B0" % translations)

    manifests = [r for r in res if r[0] == RT_MANIFEST]
    if [(r[0], r[1]) for r in manifests] != [(RT_MANIFEST, 1)]:
        return faults + ["manifests %s, want one with ID 1 (a program's own)" %
                         [(r[1], r[2]) for r in manifests]]
    text = manifests[0][3]
    if not text.startswith(b"<?xml") or b'encoding="UTF-8"' not in text.split(b"?>")[0]:
        faults.append("manifest does not start with a UTF-8 XML declaration")
    doc = ET.fromstring(text)
    if doc.tag != ASM_V1 + "assembly" or doc.get("manifestVersion") != "1.0":
        faults.append("manifest root is %s, want an asm.v1 assembly, version 1.0" % doc.tag)
    levels = doc.findall("./%strustInfo/%ssecurity/%srequestedPrivileges/%srequestedExecutionLevel"
                         % (ASM_V3, ASM_V3, ASM_V3, ASM_V3))
    if [(e.get("level"), e.get("uiAccess")) for e in levels] != [("asInvoker", "false")]:
        faults.append("requested execution levels %s, want one asInvoker with uiAccess false" %
                      [e.attrib for e in levels])
    else:
        print("requestedExecutionLevel asInvoker, uiAccess false")
    oses = [e.get("Id", "").lower() for e in
            doc.findall("./%scompatibility/%sapplication/%ssupportedOS" % (COMPAT, COMPAT, COMPAT))]
    if sorted(oses) != sorted(SUPPORTED_OS):
        faults.append("supportedOS %s, want exactly %s" % (oses, sorted(SUPPORTED_OS)))
    else:
        print("supportedOS: Windows 7, 8, 8.1, 10/11")
    return faults


def main():
    if len(sys.argv) != 4:
        print(__doc__)
        return 2
    exe, version_file, licence_file = sys.argv[1:]
    try:
        open(exe, "rb").close()
    except OSError:
        print("SKIPPED: %s is not built ('make win32' builds it with MinGW-w64)" % exe)
        return SKIP
    with open(version_file) as f:
        version = f.readline().strip()
    try:
        faults = check(exe, version, licence_notice(licence_file))
    except (ValueError, struct.error, ET.ParseError) as e:
        faults = ["cannot read the resources: %s" % e]
    for fault in faults:
        print("FAIL:", fault)
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main())
