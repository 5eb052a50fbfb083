#!/usr/bin/env python3
"""Writes the placeholder firmware blocks that are compiled into the tool (resources/firmware).

These are not instrument firmware. They have the layout the tool interprets, so detection,
updates and the tests run against the emulated instrument; a vendor replaces them with the
real images (see README.md, "Firmware blocks").

Driver image, 4096 bytes (numbers little-endian):
  0     16  tag: "TALVEK-FLASHDRV" + detection number "1".."4" for the detection drivers,
            "TALVEK-IOSTATE01" for the special driver
  16     4  geometry entry: sector size in KiB (u16), sector count (u16)
  20     4  terminating entry: 00 00 00 00
  24    16  MCU name "ZKT828", padded with FFh
  40    16  flash name, padded with FFh
  56     -  body: an ASCII banner ending in 00h, then filler bytes (i * 37 + seed) & FFh
            where i is the byte offset and seed the low byte of the tag's last character
  4092   4  CRC-32 (zlib) of bytes 0..4091

Parameter-area image, 65536 bytes: 02 00 5D, the tag "TALVEK-PARAMAREA" at offset 16,
a banner at offset 32, FFh everywhere else.

Zero block: 4096 bytes of 00h.

Running it twice gives identical files. Usage: make-firmware.py [output directory]
"""

import hashlib
import os
import struct
import sys
import zlib

DRIVER_SIZE = 4096
PARAM_SIZE = 0x10000
ZERO_SIZE = 0x1000
MCU_NAME = "ZKT828"

# File name, tag, flash name, sector size in KiB, sector count; detection drivers in the
# order in which the tool tries them.
DRIVERS = [
    ("driver_s29gl256_s.bin", "TALVEK-FLASHDRV1", "S29GL256_S", 128, 256),
    ("driver_s29gl02gs_est.bin", "TALVEK-FLASHDRV2", "S29GL02GS_EST", 128, 2048),
    ("driver_s29gl512_s.bin", "TALVEK-FLASHDRV3", "S29GL512_S", 128, 512),
    ("driver_s29gl01g_s.bin", "TALVEK-FLASHDRV4", "S29GL01G_S", 128, 1024),
    ("driver_special.bin", "TALVEK-IOSTATE01", "S29GL512_S", 128, 512),
]


def padded(text, size, fill):
    raw = text.encode("ascii")
    assert len(raw) <= size
    return raw + bytes([fill]) * (size - len(raw))


def driver_image(tag, flash_name, sector_kib, sector_count):
    head = bytearray()
    head += padded(tag, 16, 0x00)
    head += struct.pack("<HH", sector_kib, sector_count)
    head += struct.pack("<HH", 0, 0)
    head += padded(MCU_NAME, 16, 0xFF)
    head += padded(flash_name, 16, 0xFF)
    purpose = "I/O state saver" if tag.startswith("TALVEK-IOSTATE") else "flash driver"
    banner = ("TALVEK placeholder %s for %s %s, %d x %d KiB sectors. "
              "Not device code: replace with the vendor image.\0"
              % (purpose, MCU_NAME, flash_name, sector_count, sector_kib)).encode("ascii")
    image = bytearray(head + banner)
    seed = ord(tag[-1])
    image += bytes(((i * 37 + seed) & 0xFF) for i in range(len(image), DRIVER_SIZE - 4))
    image += struct.pack("<I", zlib.crc32(bytes(image)) & 0xFFFFFFFF)
    assert len(image) == DRIVER_SIZE
    return bytes(image)


def param_area():
    image = bytearray([0xFF]) * PARAM_SIZE
    image[0:3] = bytes([0x02, 0x00, 0x5D])
    image[16:32] = padded("TALVEK-PARAMAREA", 16, 0x00)
    banner = b"TALVEK placeholder parameter area. Not device code: replace with the vendor image.\0"
    image[32:32 + len(banner)] = banner
    return bytes(image)


def main():
    root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    out = sys.argv[1] if len(sys.argv) > 1 else os.path.join(root, "resources", "firmware")
    os.makedirs(out, exist_ok=True)
    blocks = [(name, driver_image(tag, flash, kib, count)) for name, tag, flash, kib, count in DRIVERS]
    blocks.append(("param_area.bin", param_area()))
    blocks.append(("zero_block.bin", bytes(ZERO_SIZE)))
    for name, data in blocks:
        with open(os.path.join(out, name), "wb") as f:
            f.write(data)
        print("%-26s %6d bytes  sha256 %s" % (name, len(data), hashlib.sha256(data).hexdigest()))


if __name__ == "__main__":
    main()
