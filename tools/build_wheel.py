#!/usr/bin/env python3
"""Builds keelbox's platform wheel from a built executable and its manual page.

    python3 tools/build_wheel.py --exe build/release/src/keelbox \\
        --manpage build/release/keelbox.1 --version 0.10.4 --out-dir build/release/wheel \\
        --deps-prefix /var/cache/keelbox/deps/linux/prefix

writes keelbox-<version>-py3-none-manylinux_<major>_<minor>_x86_64.whl:

    keelbox-<v>.data/scripts/keelbox                  -> <env>/bin/keelbox
    keelbox-<v>.data/data/share/man/man1/keelbox.1    -> <env>/share/man/man1/
    keelbox-<v>.dist-info/DEPENDENCIES                the libraries linked in
    keelbox-<v>.dist-info/{METADATA,WHEEL,RECORD,licenses/...}

The executable links its libraries (libcurl, libarchive, SQLite, OpenSSL,
zlib) statically, so the wheel holds no shared library: the executable may
need only the base set that every glibc system has (glibc itself, libgcc_s
and libstdc++), and an executable that needs anything else is refused.
DEPENDENCIES, copied from the prefix scripts/deps.sh built, names the Debian
source package and version of every library linked in, so that a security
advisory can be checked against an installed keelbox; licenses/ holds their
Debian copyright files.

The platform tag names the highest GLIBC_x.y symbol version that the
executable requires (read from its .gnu.version_r section).

Given a Windows executable (keelbox.exe of the mingw-w64 cross build), it
writes keelbox-<version>-py3-none-win_amd64.whl with
keelbox-<v>.data/scripts/keelbox.exe (-> <env>\\Scripts) and the same
dist-info; it refuses an executable that imports a DLL Windows does not ship.

Only Python's standard library is used; nothing is fetched.
"""
from __future__ import annotations

import argparse
import base64
import hashlib
import io
import os
import re
import struct
import sys
import time
import zipfile
from dataclasses import dataclass, field
from pathlib import Path

NAME = "keelbox"
SUMMARY = "Manage the ZVK software modules your account is entitled to"
DEPENDENCIES_FILE = "DEPENDENCIES"

# Libraries every glibc-based Linux system has (a minimal Debian or Ubuntu root
# included): the C library's own parts, the GCC runtime and the C++ library.
# The executable may need no other.
GLIBC_LIBRARIES = frozenset({
    "linux-vdso.so.1", "ld-linux-x86-64.so.2",
    "libc.so.6", "libm.so.6", "libdl.so.2", "librt.so.1", "libpthread.so.0",
    "libresolv.so.2", "libutil.so.1", "libanl.so.1",
})
BASE_LIBRARIES = GLIBC_LIBRARIES | {"libgcc_s.so.1", "libstdc++.so.6"}

_GLIBC_VERSION = re.compile(r"GLIBC_(\d+)\.(\d+)(?:\.\d+)?")


class WheelError(Exception):
    """A problem that stops the wheel from being built (shown as one line)."""


# ---------------------------------------------------------------- ELF reading

@dataclass
class ElfInfo:
    needed: list[str] = field(default_factory=list)
    soname: str | None = None
    runpath: str | None = None
    # Version references: file (e.g. libc.so.6) -> versions (e.g. GLIBC_2.34).
    version_needs: dict[str, set[str]] = field(default_factory=dict)


def _cstr(table: bytes, offset: int) -> str:
    end = table.find(b"\0", offset)
    if offset >= len(table) or end < 0:
        raise WheelError(f"string offset {offset} out of range")
    return table[offset:end].decode("utf-8", "replace")


def read_elf(path: Path) -> ElfInfo:
    """The dynamic section and version references of a 64-bit little-endian ELF file."""
    data = path.read_bytes()
    if data[:4] != b"\x7fELF" or data[4] != 2 or data[5] != 1:
        raise WheelError(f"{path}: not a 64-bit little-endian ELF file")
    shoff, = struct.unpack_from("<Q", data, 0x28)
    shentsize, shnum = struct.unpack_from("<HH", data, 0x3A)
    sections = []
    for i in range(shnum):
        off = shoff + i * shentsize
        if off + 64 > len(data):
            raise WheelError(f"{path}: truncated section headers")
        (_name, sh_type, _flags, _addr, sh_offset, sh_size, sh_link, sh_info,
         _align, _entsize) = struct.unpack_from("<IIQQQQIIQQ", data, off)
        sections.append((sh_type, sh_offset, sh_size, sh_link, sh_info))

    def strtab(index: int) -> bytes:
        _t, offset, size, _l, _i = sections[index]
        return data[offset:offset + size]

    info = ElfInfo()
    for sh_type, offset, size, link, count in sections:
        if sh_type == 6:  # SHT_DYNAMIC
            names = strtab(link)
            for pos in range(offset, offset + size - 15, 16):
                tag, value = struct.unpack_from("<qQ", data, pos)
                if tag == 0:
                    break
                if tag == 1:
                    info.needed.append(_cstr(names, value))
                elif tag == 14:
                    info.soname = _cstr(names, value)
                elif tag in (15, 29) and (tag == 29 or info.runpath is None):
                    info.runpath = _cstr(names, value)   # DT_RUNPATH wins over DT_RPATH
        elif sh_type == 0x6FFFFFFE:  # SHT_GNU_verneed
            names = strtab(link)
            pos = offset
            for _ in range(count):
                _ver, cnt, file_off, aux, nxt = struct.unpack_from("<HHIII", data, pos)
                versions = info.version_needs.setdefault(_cstr(names, file_off), set())
                apos = pos + aux
                for _ in range(cnt):
                    _hash, _flags, _other, name_off, anext = struct.unpack_from("<IHHII", data, apos)
                    versions.add(_cstr(names, name_off))
                    apos += anext
                if nxt == 0:
                    break
                pos += nxt
    return info


def glibc_requirement(infos) -> tuple[int, int]:
    """The highest GLIBC_x.y version the given ELF files require."""
    best = (2, 17)  # the oldest glibc any manylinux tag names
    for info in infos:
        for versions in info.version_needs.values():
            for version in versions:
                m = _GLIBC_VERSION.fullmatch(version)
                if m:
                    best = max(best, (int(m.group(1)), int(m.group(2))))
    return best


# ------------------------------------------------------------- PE reading

# DLLs every 64-bit Windows has; a Windows executable may import only these.
WINDOWS_SYSTEM_DLLS = frozenset({
    "kernel32.dll", "advapi32.dll", "user32.dll", "shell32.dll", "ole32.dll", "oleaut32.dll",
    "msvcrt.dll", "ws2_32.dll", "crypt32.dll", "bcrypt.dll", "secur32.dll", "winmm.dll",
    "iphlpapi.dll", "normaliz.dll", "userenv.dll", "shlwapi.dll", "ntdll.dll", "wldap32.dll",
})


def is_pe(path: Path) -> bool:
    with open(path, "rb") as f:
        head = f.read(4096)
    if head[:2] != b"MZ" or len(head) < 0x40:
        return False
    pe, = struct.unpack_from("<I", head, 0x3C)
    return pe + 6 <= len(head) and head[pe:pe + 4] == b"PE\0\0"


def pe_imports(path: Path) -> list[str]:
    """The DLL names a 64-bit PE executable imports (its import directory)."""
    data = path.read_bytes()
    pe, = struct.unpack_from("<I", data, 0x3C)
    machine, nsections, _t, _s, _n, opt_size = struct.unpack_from("<HHIIIH", data, pe + 4)
    opt = pe + 24
    if machine != 0x8664 or struct.unpack_from("<H", data, opt)[0] != 0x20B:
        raise WheelError(f"{path}: not a 64-bit (x86-64) Windows executable")
    import_rva, = struct.unpack_from("<I", data, opt + 112 + 8)  # data directory 1
    sections = []
    for i in range(nsections):
        off = opt + opt_size + 40 * i
        vsize, vaddr, raw_size, raw_ptr = struct.unpack_from("<IIII", data, off + 8)
        sections.append((vaddr, max(vsize, raw_size), raw_ptr))

    def offset(rva: int) -> int:
        for vaddr, size, raw_ptr in sections:
            if vaddr <= rva < vaddr + size:
                return raw_ptr + rva - vaddr
        raise WheelError(f"{path}: address {rva:#x} outside every section")

    names = []
    pos = offset(import_rva) if import_rva else -1
    while pos >= 0:
        if pos + 20 > len(data):
            raise WheelError(f"{path}: truncated import directory")
        _lookup, _time, _chain, name_rva, thunk = struct.unpack_from("<IIIII", data, pos)
        if name_rva == 0 and thunk == 0:
            break
        start = offset(name_rva)
        names.append(data[start:data.index(b"\0", start)].decode("ascii", "replace"))
        pos += 20
    return names


# ------------------------------------------------------------------ the wheel

def record_hash(data: bytes) -> str:
    return "sha256=" + base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode()


def _date_time() -> tuple:
    epoch = int(os.environ.get("SOURCE_DATE_EPOCH", "315532800"))  # 1980-01-01
    return time.gmtime(max(epoch, 315532800))[:6]


def _metadata(version: str) -> str:
    return (
        "Metadata-Version: 2.1\n"
        f"Name: {NAME}\n"
        f"Version: {version}\n"
        f"Summary: {SUMMARY}\n"
        "Author: ZVK Numerics GmbH\n"
        "Requires-Python: >=3.10\n"
        "Requires-Dist: uv\n"
        "Description-Content-Type: text/plain\n"
        "\n"
        "keelbox lists the ZVK software modules your account is entitled to, installs\n"
        "their Python packages into your environment with uv, and downloads their\n"
        "examples. It is a native program that lives in the environment it is\n"
        "installed into, beside that environment's python and uv.\n")


def write_wheel(entries: list[tuple[str, bytes, bool]], version: str, tag: str, out_dir: Path) -> Path:
    """Writes the wheel of `entries` (name, bytes, executable?) with its dist-info."""
    info_dir = f"{NAME}-{version}.dist-info"
    entries = list(entries)
    entries.append((f"{info_dir}/METADATA", _metadata(version).encode(), False))
    wheel_text = (f"Wheel-Version: 1.0\nGenerator: keelbox build_wheel.py ({version})\n"
                  f"Root-Is-Purelib: false\nTag: {tag}\n")
    entries.append((f"{info_dir}/WHEEL", wheel_text.encode(), False))
    record = io.StringIO()
    for name, data, _x in entries:
        record.write(f"{name},{record_hash(data)},{len(data)}\n")
    record.write(f"{info_dir}/RECORD,,\n")
    entries.append((f"{info_dir}/RECORD", record.getvalue().encode(), False))

    out_dir.mkdir(parents=True, exist_ok=True)
    for old in out_dir.glob(f"{NAME}-*.whl"):
        old.unlink()
    wheel = out_dir / f"{NAME}-{version}-{tag}.whl"
    partial = wheel.with_suffix(".whl.part")
    stamp = _date_time()
    with zipfile.ZipFile(partial, "w", compression=zipfile.ZIP_DEFLATED, compresslevel=6) as zf:
        for name, data, executable in entries:
            zi = zipfile.ZipInfo(name, date_time=stamp)
            zi.compress_type = zipfile.ZIP_DEFLATED
            zi.external_attr = ((0o100755 if executable else 0o100644) << 16)
            zf.writestr(zi, data)
    partial.replace(wheel)
    return wheel


def dependency_record(deps_prefix: Path | None, info_dir: str) -> list[tuple[str, bytes, bool]]:
    """The dist-info entries that record the libraries linked in: DEPENDENCIES
    and their licenses, from the prefix scripts/deps.sh built."""
    if deps_prefix is None:
        return []
    record = deps_prefix / DEPENDENCIES_FILE
    if not record.is_file():
        raise WheelError(f"{record} is missing (scripts/deps.sh writes it)")
    entries = [(f"{info_dir}/{DEPENDENCIES_FILE}", record.read_bytes(), False)]
    for license_file in sorted((deps_prefix / "licenses").glob("*.copyright")):
        entries.append((f"{info_dir}/licenses/{license_file.name}", license_file.read_bytes(), False))
    return entries


def build_windows_wheel(exe: Path, version: str, out_dir: Path, deps_prefix: Path | None) -> Path:
    """The win_amd64 wheel: keelbox.exe alone, as it links every library statically."""
    foreign = [name for name in pe_imports(exe) if name.lower() not in WINDOWS_SYSTEM_DLLS]
    if foreign:
        raise WheelError(f"{exe.name} needs DLLs Windows does not ship: {', '.join(foreign)}")
    entries = [(f"{NAME}-{version}.data/scripts/{NAME}.exe", exe.read_bytes(), True)]
    entries += dependency_record(deps_prefix, f"{NAME}-{version}.dist-info")
    wheel = write_wheel(entries, version, "py3-none-win_amd64", out_dir)
    print(f"build_wheel: {wheel.name} ({wheel.stat().st_size / 1e6:.1f} MB), no bundled libraries")
    return wheel


def build_wheel(exe: Path, manpage: Path | None, version: str, out_dir: Path,
                deps_prefix: Path | None = None) -> Path:
    if is_pe(exe):
        return build_windows_wheel(exe, version, out_dir, deps_prefix)
    info = read_elf(exe)
    foreign = [name for name in info.needed if name not in BASE_LIBRARIES]
    if foreign:
        raise WheelError(f"{exe.name} needs shared libraries a base system may lack: {', '.join(foreign)}"
                         " (every library but glibc and the C++ runtime is linked statically)")
    major, minor = glibc_requirement([info])
    tag = f"py3-none-manylinux_{major}_{minor}_x86_64"
    data_dir = f"{NAME}-{version}.data"
    # (name in the wheel, bytes, executable?)
    entries: list[tuple[str, bytes, bool]] = [(f"{data_dir}/scripts/{NAME}", exe.read_bytes(), True)]
    if manpage is not None:
        entries.append((f"{data_dir}/data/share/man/man1/{NAME}.1", manpage.read_bytes(), False))
    entries += dependency_record(deps_prefix, f"{NAME}-{version}.dist-info")
    wheel = write_wheel(entries, version, tag, out_dir)
    beyond_glibc = sorted(set(info.needed) - GLIBC_LIBRARIES)
    print(f"build_wheel: {wheel.name} ({wheel.stat().st_size / 1e6:.1f} MB), no bundled libraries; "
          f"needs glibc {major}.{minor}" + (f" and {', '.join(beyond_glibc)}" if beyond_glibc else ""))
    return wheel


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--exe", required=True, type=Path, help="the built keelbox executable")
    parser.add_argument("--manpage", type=Path, help="the manual page keelbox.1")
    parser.add_argument("--version", required=True, help="the version, e.g. 0.10.4")
    parser.add_argument("--out-dir", required=True, type=Path, help="where the wheel is written")
    parser.add_argument("--deps-prefix", type=Path,
                        help="the prefix of the static libraries (its DEPENDENCIES and licenses/)")
    parser.add_argument("--stamp", type=Path, help="a file touched when done (for build systems)")
    args = parser.parse_args(argv)
    try:
        build_wheel(args.exe, args.manpage, args.version, args.out_dir, args.deps_prefix)
    except (WheelError, OSError) as e:
        print(f"build_wheel: {e}", file=sys.stderr)
        return 1
    if args.stamp:
        args.stamp.touch()
    return 0


if __name__ == "__main__":
    sys.exit(main())
