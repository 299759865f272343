#!/usr/bin/env python3
# SPDX-License-Identifier: GPL-3.0-or-later
"""Compares two Windows SDK tarballs (kiverlo-win64-sdk.tar.xz), such as a
new build of scripts/windows-sdk.sh and the SDK it is to replace: the list
of files, and the version record of every Windows program and library
(.exe, .dll) in both, as Windows reads it (the fixed file and product
versions and the FileVersion and ProductVersion texts).

    compare-sdk.py <first tarball> <second tarball>

Prints what differs and exits non-zero when the lists of files or any
version differ. Files whose bytes differ are only counted: a build is not
expected to give the same bytes.
"""
import hashlib
import struct
import sys
import tarfile


def version_record(data):
    """(file version, product version, FileVersion text, ProductVersion
    text) of a PE file's version resource, or None when it has none."""
    key = "VS_VERSION_INFO".encode("utf-16-le")
    at = data.find(key)
    if at < 0:
        return None
    start = at - 6  # wLength, wValueLength, wType come before the key
    fixed = data.find(struct.pack("<I", 0xFEEF04BD), at)
    if fixed < 0:
        return None
    ms, ls, pms, pls = struct.unpack_from("<IIII", data, fixed + 8)

    def numbers(high, low):
        return "%d.%d.%d.%d" % (high >> 16, high & 0xFFFF, low >> 16, low & 0xFFFF)

    length = struct.unpack_from("<H", data, start)[0]
    record = data[start : start + length]

    def text(name):
        needle = (name + "\0").encode("utf-16-le")
        i = record.find(needle)
        if i < 0:
            return "(absent)"
        i += len(needle)
        i += (4 - (start + i) % 4) % 4  # the value is aligned on 4 bytes
        end = i
        while end + 1 < len(record) and record[end : end + 2] != b"\0\0":
            end += 2
        return record[i:end].decode("utf-16-le")

    return (numbers(ms, ls), numbers(pms, pls), text("FileVersion"), text("ProductVersion"))


def read(path):
    """{name: (kind, sha256, version record)} of the tarball's members."""
    files = {}
    with tarfile.open(path) as tar:
        for member in tar:
            if member.isdir():
                continue
            if member.issym() or member.islnk():
                files[member.name] = ("link", member.linkname, None)
                continue
            data = tar.extractfile(member).read()
            record = None
            if member.name.lower().endswith((".dll", ".exe")):
                record = version_record(data)
            files[member.name] = ("file", hashlib.sha256(data).hexdigest(), record)
    return files


def main():
    if len(sys.argv) != 3:
        print(__doc__.strip().split("\n\n")[1], file=sys.stderr)
        return 2
    first, second = read(sys.argv[1]), read(sys.argv[2])
    differ = False
    only_first = sorted(set(first) - set(second))
    only_second = sorted(set(second) - set(first))
    for name in only_first:
        print("only in the first:  %s" % name)
    for name in only_second:
        print("only in the second: %s" % name)
    differ |= bool(only_first or only_second)
    common = sorted(set(first) & set(second))
    same_bytes = sum(1 for n in common if first[n][1] == second[n][1])
    binaries = [n for n in common if n.lower().endswith((".dll", ".exe"))]
    for name in binaries:
        a, b = first[name][2], second[name][2]
        if a != b:
            differ = True
            print("version differs: %s: %s | %s" % (name, a, b))
        else:
            print("same version:    %s: %s" % (name, "no version record" if a is None else a[0]))
    print(
        "%d files in the first, %d in the second, %d in both; %d of those the same bytes; "
        "%d Windows programs and libraries compared by version"
        % (len(first), len(second), len(common), same_bytes, len(binaries))
    )
    print("the lists of files and the versions differ" if differ else "same files, same versions")
    return 1 if differ else 0


if __name__ == "__main__":
    sys.exit(main())
