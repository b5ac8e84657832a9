#!/usr/bin/env python3
"""Builds the Windows Installer package from a Windows build, reproducibly.

    scripts/msi.py [--build build/windows] [--out FILE]     prints the package's path

The package is cmake/msi/vbxmorvel.wxs built with wixl from VBxMorvel.exe and
VBxPakketServer.exe of the build folder and the README. Its version is the one the build
folder was built as; the product code is derived from the version (a name-based UUID), the
package code from the package's content, so that a package with other content always has
another package code, as Windows Installer requires, and the same content the same one.

The same sources give the same bytes, wherever and whenever they are built: the files go
into the cabinet with the time SOURCE_DATE_EPOCH (else the last commit's time), and the
summary information, where wixl writes the time of the build and a random package code,
gets that time and the derived code instead.

Needs wixl, msibuild and msiinfo (Debian packages wixl and msitools).
"""
import argparse
import hashlib
import os
import pathlib
import re
import shutil
import struct
import subprocess
import sys
import tempfile
import uuid
import xml.etree.ElementTree as ET

ROOT = pathlib.Path(__file__).resolve().parent.parent
WXS = ROOT / "cmake" / "msi" / "vbxmorvel.wxs"
FILES = ("VBxMorvel.exe", "VBxPakketServer.exe")

# Fixed: the names below derive every product and package code from it.
CODE_NAMESPACE = uuid.UUID("06317BAD-F650-4092-AA69-8DB637EF1D97")

# Custom action types (msidbCustomActionType*): an executable from the File table (18) or
# one run in a directory (34), its exit status ignored (0x40), run from the script (0x400)
# only when the installation is rolled back (0x100) or commits (0x200), as the local system
# account (0x800). wixl writes rollback and commit actions as immediate ones, and a
# command run in a directory only as a property's value (51, same Source and Target).
IN_SCRIPT_AS_SYSTEM = 0x400 | 0x800
ROLLBACK_EXE_TYPE = 18 | 0x40 | 0x100 | IN_SCRIPT_AS_SYSTEM
ACTION_TYPES = {
    "RegisterServiceRollback": ROLLBACK_EXE_TYPE,
    "UnregisterServiceRollback": ROLLBACK_EXE_TYPE,
    "NoteWrittenFiles": 34 | IN_SCRIPT_AS_SYSTEM,
    "RemoveWrittenFilesRollback": 34 | 0x40 | 0x100 | IN_SCRIPT_AS_SYSTEM,
    "RestoreManualRollback": 34 | 0x40 | 0x100 | IN_SCRIPT_AS_SYSTEM,
    "RestoreDisabledRollback": 34 | 0x40 | 0x100 | IN_SCRIPT_AS_SYSTEM,
    "DeleteNotesCommit": 34 | 0x40 | 0x200 | IN_SCRIPT_AS_SYSTEM,
}
# msidbComponentAttributes64bit (wixl's Win64) and Transitive: the condition is evaluated
# again on every reinstall, so a repair does not start a service that no longer starts
# automatically.
TRANSITIVE_64BIT = 0x100 | 0x40
# What wixl cannot write into its tables, applied with msibuild after it.
TABLE_FIXES = (
    "UPDATE `Component` SET `Condition` = 'NOT SERVICESTARTTYPE OR SERVICESTARTTYPE = \"#2\"', "
    f"`Attributes` = {TRANSITIVE_64BIT} WHERE `Component` = 'StartService'",
    # An upgrade removes the older version with REMOVE=Complete (its one feature) rather
    # than REMOVE=ALL: /UNINSTALL runs only for REMOVE=ALL, so the registration stays.
    "UPDATE `Upgrade` SET `Remove` = 'Complete' WHERE `ActionProperty` = 'WIX_UPGRADE_DETECTED'",
    # EXISTINGCONFIGURATION: the file VBxMorvelClient.xml in the folder the registry search
    # ConfigurationFolder finds (a directory search whose parent is that search; wixl
    # writes no file search under a registry search).
    "DELETE FROM `AppSearch` WHERE `Property` = 'EXISTINGCONFIGURATION'",
    "INSERT INTO `AppSearch` (`Property`, `Signature_`) VALUES ('EXISTINGCONFIGURATION', 'ConfigurationFile')",
    "CREATE TABLE `DrLocator` (`Signature_` CHAR(72) NOT NULL, `Parent` CHAR(72), `Path` CHAR(255), "
    "`Depth` SHORT PRIMARY KEY `Signature_`, `Parent`, `Path`)",
    "INSERT INTO `DrLocator` (`Signature_`, `Parent`, `Depth`) VALUES ('ConfigurationFile', 'ConfigurationFolder', 0)",
    "INSERT INTO `Signature` (`Signature`, `FileName`) VALUES ('ConfigurationFile', 'VBxMorvelClient.xml')",
) + tuple(f"UPDATE `CustomAction` SET `Type` = {t} WHERE `Action` = '{a}'" for a, t in ACTION_TYPES.items())
WIX_NS = "{http://schemas.microsoft.com/wix/2006/wi}"


def project_version(build_dir):
    """The version the executables in `build_dir` were built as (the project's own, or the
    one a build set with VBX_VERSION_OVERRIDE), from the folder's CMake cache."""
    cache = pathlib.Path(build_dir, "CMakeCache.txt")
    if not cache.is_file():
        raise SystemExit(f"{cache} is missing: build the windows preset first")
    m = re.search(r"^CMAKE_PROJECT_VERSION:STATIC=([0-9]+(?:\.[0-9]+){1,2})$",
                  cache.read_text(encoding="utf-8", errors="replace"), re.M)
    if not m:
        raise SystemExit(f"no project version in {cache}")
    return m.group(1)


def product_code(version):
    """The product code of a version, as Windows Installer writes it."""
    return "{" + str(uuid.uuid5(CODE_NAMESPACE, f"VBxMorvel product {version}")).upper() + "}"


def package_code(content):
    """The package code of a package whose bytes (with a zero package code) are `content`."""
    digest = hashlib.sha256(content).hexdigest()
    return "{" + str(uuid.uuid5(CODE_NAMESPACE, f"VBxMorvel package {digest}")).upper() + "}"


def secure_source(wxs_text):
    """The package source without wixl's unknown Secure attributes, and the properties they
    mark secure (those a search or the UI sets and the installation's execution reads)."""
    ET.register_namespace("", WIX_NS[1:-1])
    root = ET.fromstring(wxs_text)
    names = []
    for prop in root.iter(WIX_NS + "Property"):
        if prop.attrib.pop("Secure", "no") == "yes":
            names.append(prop.get("Id"))
    return ET.tostring(root, encoding="unicode"), names


def source_date_epoch(root=ROOT):
    if os.environ.get("SOURCE_DATE_EPOCH", "").strip():
        return int(os.environ["SOURCE_DATE_EPOCH"])
    try:
        out = subprocess.run(["git", "-C", str(root), "log", "-1", "--format=%ct"], check=True,
                             capture_output=True, text=True).stdout.strip()
        return int(out)
    except (OSError, subprocess.CalledProcessError, ValueError):
        raise SystemExit("set SOURCE_DATE_EPOCH: no git commit to take the package's time from")


# ---- the summary information stream of a compound file ---------------------------------

SUMMARY_STREAM = "\x05SummaryInformation"
PID_REVNUMBER, PID_LASTPRINTED, PID_CREATE_DTM, PID_LASTSAVE_DTM = 9, 11, 12, 13
VT_LPSTR, VT_FILETIME = 30, 64
END_OF_CHAIN = 0xFFFFFFFE


class CompoundFile:
    """Just enough of the compound file format to find one stream's bytes in the file, so
    that they can be overwritten in place (same length, nothing moves)."""

    def __init__(self, data):
        self.data = data
        if data[:8] != bytes.fromhex("D0CF11E0A1B11AE1"):
            raise ValueError("not a compound file")
        self.sector = 1 << struct.unpack_from("<H", data, 0x1E)[0]
        self.mini_sector = 1 << struct.unpack_from("<H", data, 0x20)[0]
        (fat_count, self.dir_start, self.mini_cutoff, self.minifat_start, minifat_count, difat_start,
         difat_count) = struct.unpack_from("<I I 4x I I I I I", data, 0x2C)
        fat_sectors = list(struct.unpack_from("<109I", data, 0x4C))
        while difat_start < END_OF_CHAIN and difat_count > 0:
            entries = struct.unpack_from(f"<{self.sector // 4}I", data, self.offset(difat_start))
            fat_sectors += entries[:-1]
            difat_start, difat_count = entries[-1], difat_count - 1
        self.fat = []
        for s in fat_sectors[:fat_count]:
            self.fat += struct.unpack_from(f"<{self.sector // 4}I", data, self.offset(s))
        self.minifat = []
        for s in self.chain(self.minifat_start):
            self.minifat += struct.unpack_from(f"<{self.sector // 4}I", data, self.offset(s))
        self.entries = {}
        for s in self.chain(self.dir_start):
            for i in range(self.sector // 128):
                e = self.offset(s) + i * 128
                name_len = struct.unpack_from("<H", data, e + 64)[0]
                name = data[e:e + max(name_len - 2, 0)].decode("utf-16-le")
                start, size = struct.unpack_from("<I Q", data, e + 116)
                self.entries.setdefault(name, (data[e + 66], start, size))
        root_type, root_start, _ = next(v for v in self.entries.values() if v[0] == 5)
        self.mini_stream = [self.offset(s) for s in self.chain(root_start)]

    def offset(self, sector):
        return (sector + 1) * self.sector

    def chain(self, start):
        out, s = [], start
        while s < END_OF_CHAIN:
            out.append(s)
            s = self.fat[s]
        return out

    def stream_offsets(self, name):
        """The file offset of every byte of a stream."""
        _, start, size = self.entries[name]
        offsets = []
        if size < self.mini_cutoff:
            s = start
            while s < END_OF_CHAIN and len(offsets) < size:
                pos = s * self.mini_sector
                base = self.mini_stream[pos // self.sector] + pos % self.sector
                offsets += range(base, base + self.mini_sector)
                s = self.minifat[s]
        else:
            for s in self.chain(start):
                offsets += range(self.offset(s), self.offset(s) + self.sector)
        return offsets[:size]


def filetime(epoch):
    return (epoch + 11644473600) * 10_000_000


def set_summary(path, package_code, epoch):
    """Writes the package code and the time `epoch` into the package's summary information,
    in place. Every time property there (created, last saved, last printed) gets the time."""
    data = bytearray(pathlib.Path(path).read_bytes())
    cf = CompoundFile(bytes(data))
    offsets = cf.stream_offsets(SUMMARY_STREAM)
    stream = bytearray(data[o] for o in offsets)
    section = struct.unpack_from("<I", stream, 44)[0]   # after the header and the one FMTID
    count = struct.unpack_from("<I", stream, section + 4)[0]
    seen = set()
    for i in range(count):
        pid, where = struct.unpack_from("<II", stream, section + 8 + 8 * i)
        at = section + where
        vtype = struct.unpack_from("<I", stream, at)[0]
        if pid == PID_REVNUMBER and vtype == VT_LPSTR:
            length = struct.unpack_from("<I", stream, at + 4)[0]
            value = package_code.encode("ascii") + b"\0"
            if len(value) != length:
                raise ValueError(f"package code of {length - 1} characters expected")
            stream[at + 8:at + 8 + length] = value
            seen.add(pid)
        elif pid in (PID_LASTPRINTED, PID_CREATE_DTM, PID_LASTSAVE_DTM) and vtype == VT_FILETIME:
            struct.pack_into("<Q", stream, at + 4, filetime(epoch))
            seen.add(pid)
    if PID_REVNUMBER not in seen:
        raise ValueError("no package code in the summary information")
    for o, b in zip(offsets, stream):
        data[o] = b
    pathlib.Path(path).write_bytes(bytes(data))


def msi_query(path, query):
    subprocess.run(["msibuild", str(path), "-q", query], check=True)


def build(build_dir, out, epoch=None, version=None):
    """Builds the package from the executables in `build_dir` into `out`; returns `out`."""
    version = version or project_version(build_dir)
    epoch = source_date_epoch() if epoch is None else epoch
    for tool in ("wixl", "msibuild", "msiinfo"):
        if shutil.which(tool) is None:
            raise SystemExit(f"{tool} is missing (Debian packages wixl and msitools)")
    source, secure = secure_source(WXS.read_text(encoding="utf-8"))
    with tempfile.TemporaryDirectory(prefix="vbx-msi.") as tmp:
        stage = pathlib.Path(tmp, "files")
        stage.mkdir()
        sources = [pathlib.Path(build_dir, f) for f in FILES] + [ROOT / "README.md"]
        for src in sources:
            if not src.is_file():
                raise SystemExit(f"{src} is missing: build the windows preset first")
            shutil.copyfile(src, stage / src.name)
            # The cabinet keeps each file's time.
            os.utime(stage / src.name, (epoch, epoch))
        wxs = pathlib.Path(tmp, WXS.name)
        wxs.write_text(source, encoding="utf-8")
        msi = pathlib.Path(tmp, "package.msi")
        # wixl takes the files' paths relative to its working folder.
        subprocess.run(["wixl", "-a", "x64", "-D", f"Version={version}", "-D",
                        f"ProductCode={product_code(version)[1:-1]}", "-D", "SourceDir=files", "-o", str(msi),
                        str(wxs)], check=True, cwd=tmp)
        for query in TABLE_FIXES:
            msi_query(msi, query)
        add_secure_properties(msi, secure)
        set_summary(msi, "{" + "0" * 36 + "}", epoch)
        set_summary(msi, package_code(msi.read_bytes()), epoch)
        pathlib.Path(out).parent.mkdir(parents=True, exist_ok=True)
        shutil.copyfile(msi, out)
    return out


def add_secure_properties(msi, names):
    """Appends `names` to the SecureCustomProperties that wixl wrote (its upgrade properties)."""
    export = subprocess.run(["msiinfo", "export", str(msi), "Property"], check=True, capture_output=True,
                            text=True).stdout
    current = [line.split("\t", 1)[1] for line in export.splitlines() if line.startswith("SecureCustomProperties\t")]
    listed = current[0].split(";") if current else []
    value = ";".join(listed + sorted(set(names) - set(listed)))
    msi_query(msi, f"UPDATE `Property` SET `Value` = '{value}' WHERE `Property` = 'SecureCustomProperties'"
              if current else
              f"INSERT INTO `Property` (`Property`, `Value`) VALUES ('SecureCustomProperties', '{value}')")


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--build", default=str(ROOT / "build" / "windows"), help="the Windows build folder")
    parser.add_argument("--out", help="the package (default: <build>/vbxmorvel_<version>_x64.msi)")
    args = parser.parse_args()
    version = project_version(args.build)
    out = args.out or os.path.join(args.build, f"vbxmorvel_{version}_x64.msi")
    print(os.path.abspath(build(args.build, out, version=version)))
    return 0


if __name__ == "__main__":
    sys.exit(main())
