#!/usr/bin/env python3
"""Prints the version resource of a Windows program (python3 standard library only).

    wrestool -x --raw --type=16 PROGRAM.exe | scripts/read-version-resource.py [--expect VERSION]

Prints the fixed file and product versions and every string of the resource, one "key: value"
per line. With --expect, ends with status 1 unless the fixed versions and the FileVersion and
ProductVersion strings all are VERSION (1.4 stands for 1.4.0.0).
"""

import struct
import sys


def align(offset):
    return (offset + 3) & ~3


def key_at(data, offset):
    end = offset
    while data[end:end + 2] != b"\0\0":
        end += 2
    return data[offset:end].decode("utf-16-le"), end + 2


def walk(data, offset, found):
    """One node: wLength, wValueLength, wType, key, value, children."""
    length, value_length, kind = struct.unpack_from("<HHH", data, offset)
    key, after_key = key_at(data, offset + 6)
    value_at = align(after_key)
    end = offset + length
    if key == "VS_VERSION_INFO" and value_length >= 52:
        fixed = struct.unpack_from("<13I", data, value_at)
        if fixed[0] != 0xFEEF04BD:
            raise ValueError("no VS_FIXEDFILEINFO")
        found["fixed FileVersion"] = "%d.%d.%d.%d" % (fixed[2] >> 16, fixed[2] & 0xFFFF, fixed[3] >> 16, fixed[3] & 0xFFFF)
        found["fixed ProductVersion"] = "%d.%d.%d.%d" % (fixed[4] >> 16, fixed[4] & 0xFFFF, fixed[5] >> 16, fixed[5] & 0xFFFF)
        children = align(value_at + value_length)
    elif kind == 1 and value_length > 0 and key not in ("StringFileInfo", "VarFileInfo"):
        # A string: its length counts UTF-16 units, the ending zero included.
        text = data[value_at:value_at + 2 * value_length].decode("utf-16-le").rstrip("\0")
        found[key] = text
        return end
    else:
        children = align(value_at + (value_length if kind == 0 else 2 * value_length))
    while children < end:
        children = align(walk(data, children, found))
    return end


def main():
    data = sys.stdin.buffer.read()
    if not data:
        print("read-version-resource: no version resource", file=sys.stderr)
        return 1
    found = {}
    walk(data, 0, found)
    for key, value in found.items():
        print("%s: %s" % (key, value))
    if len(sys.argv) == 3 and sys.argv[1] == "--expect":
        want = sys.argv[2]
        full = ".".join((want.split(".") + ["0"] * 4)[:4])
        checks = {"fixed FileVersion": full, "fixed ProductVersion": full,
                  "FileVersion": want, "ProductVersion": want}
        wrong = [k for k, v in checks.items() if found.get(k) not in (v, full)]
        if wrong:
            print("read-version-resource: not %s: %s" % (want, ", ".join(wrong)), file=sys.stderr)
            return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
