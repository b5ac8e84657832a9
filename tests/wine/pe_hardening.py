#!/usr/bin/env python3
"""The hardening of the Windows executables given, read from their files (no Wine needed):
a 64-bit image with ASLR (high entropy), DEP and its relocations (without them the loader
cannot move it); the stack protector's and the checked functions' run-time parts linked in;
imports from Windows' own DLLs only, so none of the compiler's run-time DLLs is needed.
"""
import os
import struct
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
sys.dont_write_bytecode = True   # nothing written into the source tree
from vbxtest import check, read, run_one  # noqa: E402

FLAGS = ((0x0040, "DYNAMIC_BASE"), (0x0020, "HIGH_ENTROPY_VA"), (0x0100, "NX_COMPAT"))
PE32_PLUS = 0x20B
# Failure texts of GCC's libssp: the stack protector's, and the checked functions' of
# _FORTIFY_SOURCE.
SSP_TEXTS = (b"*** stack smashing detected ***", b"*** buffer overflow detected ***")
WINDOWS_DLLS = {"advapi32.dll", "kernel32.dll", "msvcrt.dll", "ole32.dll", "user32.dll"}


class Image:
    def __init__(self, data):
        self.data = data
        if data[:2] != b"MZ":
            raise ValueError("no MZ header")
        pe = struct.unpack_from("<I", data, 0x3C)[0]
        if data[pe:pe + 4] != b"PE\0\0":
            raise ValueError("no PE signature")
        sections, optional_size = struct.unpack_from("<H12xH", data, pe + 6)
        self.optional = pe + 24
        self.magic, self.dll_characteristics = struct.unpack_from("<H68xH", data, self.optional)
        rows = (struct.unpack_from("<8xIIII", data, self.optional + optional_size + 40 * i) for i in range(sections))
        self.sections = [(vaddr, max(vsize, rsize), raddr) for vsize, vaddr, rsize, raddr in rows]

    def directory(self, index):
        """(RVA, size) of a data directory of a PE32+ image."""
        return struct.unpack_from("<II", self.data, self.optional + 112 + 8 * index)

    def offset(self, rva):
        for vaddr, size, raddr in self.sections:
            if vaddr <= rva < vaddr + size:
                return rva - vaddr + raddr
        raise ValueError(f"RVA {rva:#x} in no section")

    def imported_dlls(self):
        """The DLL names of the import directory's descriptors (20 bytes each, the name's
        RVA at 12; a zero one ends the table)."""
        names, at = [], self.offset(self.directory(1)[0])
        while name := struct.unpack_from("<I", self.data, at + 12)[0]:
            start = self.offset(name)
            names.append(self.data[start:self.data.index(b"\0", start)].decode("ascii"))
            at += 20
        return names


def check_image(path):
    """Every problem of the image is reported, not only the first."""
    image = Image(read(path))
    check(image.magic == PE32_PLUS, f"not a 64-bit image (magic {image.magic:#x})")
    foreign = [dll for dll in image.imported_dlls() if dll.lower() not in WINDOWS_DLLS]
    rules = [(image.dll_characteristics & flag, f"{name} missing from DllCharacteristics "
              f"{image.dll_characteristics:#06x}") for flag, name in FLAGS]
    rules += [(text in image.data, f"no {text.decode()!r}: the protection's run-time part is not linked in")
              for text in SSP_TEXTS]
    rules += [(image.directory(5)[1] != 0, "no base relocations: the image cannot be moved"),
              (not foreign, f"imports beyond Windows' own DLLs: {foreign}")]
    check(all(held for held, _ in rules), "\n".join(problem for held, problem in rules if not held))


def main():
    statuses = [run_one(path, check_image, path) for path in sys.argv[1:]]
    return 1 if 1 in statuses or not statuses else 0


if __name__ == "__main__":
    sys.exit(main())
