#!/usr/bin/env python3
"""Writes the smallest 32-bit x86 Linux program (it exits with status 0) to the given path, so a
script can find out whether this kernel runs 32-bit programs at all (some virtual machines'
kernels do not, and 32-bit Wine cannot work there)."""
import struct
import sys

CODE = bytes([0x31, 0xDB,                    # xor ebx, ebx
              0xB8, 0x01, 0x00, 0x00, 0x00,  # mov eax, 1 (exit)
              0xCD, 0x80])                   # int 0x80
BASE = 0x08048000
SIZE = 52 + 32 + len(CODE)
header = b"\x7fELF\x01\x01\x01\x00" + bytes(8) + struct.pack(
    "<HHIIIIIHHHHHH", 2, 3, 1, BASE + 84, 52, 0, 0, 52, 32, 1, 0, 0, 0)
program = struct.pack("<IIIIIIII", 1, 0, BASE, BASE, SIZE, SIZE, 5, 0x1000)
with open(sys.argv[1], "wb") as out:
    out.write(header + program + CODE)
