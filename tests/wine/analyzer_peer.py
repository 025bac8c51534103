#!/usr/bin/env python3
"""A scripted analyzer on a pseudo-terminal, for the Windows clients under Wine (Wine maps the
terminal to a COM port). It identifies itself as M1/v2 and MAG, reports 25.1 and 30.0 degrees,
acknowledges settings, stores uploaded program code, runs a program in 20 ms and serves after
run k the samples 100+k, 200+k, 1000+k (real channel; imaginary 0 in the quadrature layout),
in the layout the last detector setting asks for. It prints the terminal's name, and writes the
program it holds to a file after every upload.

Usage: analyzer_peer.py <program file> <seconds to live>
"""
import os
import pty
import select
import sys
import time
import tty


def crc16_x25(data):
    reg = 0xFFFF
    for b in data:
        reg ^= b
        for _ in range(8):
            reg = (reg >> 1) ^ 0x8408 if reg & 1 else reg >> 1
    return reg


def encode(content):
    fcs = crc16_x25(content) ^ 0xFFFF
    out = bytearray([0xC0])
    for b in bytes(content) + bytes([fcs & 0xFF, fcs >> 8]):
        if b in (0x7D, 0xC0, 0xC1):
            out += bytes([0x7D, b ^ 0x20])
        else:
            out.append(b)
    out.append(0xC1)
    return bytes(out)


class Receiver:
    """Cuts the byte stream into frames whose check holds."""

    def __init__(self):
        self.frame = None
        self.escape = False

    def feed(self, data):
        frames = []
        for b in data:
            if b == 0xC0:
                self.frame, self.escape = bytearray(), False
            elif b == 0xC1:
                if self.frame is not None and len(self.frame) > 2 and \
                        crc16_x25(self.frame) == 0xF0B8:
                    frames.append(bytes(self.frame[:-2]))
                self.frame = None
            elif b == 0x7D:
                self.escape = True
            elif self.frame is not None:
                self.frame.append(b ^ 0x20 if self.escape else b)
                self.escape = False
        return frames


def block(run, amplitude):
    values = [100 + run, 200 + run, 1000 + run]
    out = bytearray()
    if amplitude:
        for i in range(0, len(values), 2):
            a = values[i]
            b = values[i + 1] if i + 1 < len(values) else 0
            out += bytes([a & 0xFF, ((a >> 8) & 0x0F) | ((b >> 4) & 0xF0)])
            if i + 1 < len(values):
                out.append(b & 0xFF)
    else:
        for v in values:
            out += bytes([v & 0xFF, (v >> 8) & 0x0F, 0])
    return bytes(out)


class Analyzer:
    def __init__(self, program_path):
        self.program_path = program_path
        self.program = bytearray()
        self.runs = 0
        self.amplitude = False

    def answer(self, f):
        code = f[0]
        if code == 0x02 and len(f) > 1 and f[1] == 0x01:
            return [(0, bytes([0x02, 0x02]))]
        if code == 0x02:
            self.runs += 1
            return [(0, bytes([0x02, 0x02])), (0.02, bytes([0x02, 0x04]))]
        if code == 0x00:
            return [(0, b"\x04M1\x00v2\x00\x00")]
        if code == 0x80:
            return [(0, b"\x80MAG\x00\x00")]
        fixed = {0x81: b"\x81\x00\xFB", 0x82: b"\x82\x01\x2C",
                 0x83: b"\x83\x2A\x10\x00\x20\x00\x30\x00", 0x84: b"\x84\x00\x07"}
        if code in fixed:
            return [(0, fixed[code])]
        if code == 0x04:
            self.amplitude = len(f) > 1 and (f[1] & 0x08) != 0
            return [(0, bytes([0x02, 0x00]))]
        if code in (0x92, 0x93):
            return [(0, b"\x90")]
        if code == 0x01 and len(f) >= 3:
            offset = (f[1] << 8) | f[2]
            if offset == 0:
                self.program = bytearray()
            self.program[offset:offset + len(f) - 3] = f[3:]
            with open(self.program_path, "wb") as out:
                out.write(self.program)
            return [(0, bytes([0x00, f[1], f[2]]))]
        if code == 0x03:
            data = block(self.runs, self.amplitude)
            replies = [(0, bytes([0x03, 0, 0]) + data)]
            return replies + [(0, bytes([0x00, len(data) >> 8, len(data) & 0xFF]))]
        return []


def main():
    program_path, seconds = sys.argv[1], float(sys.argv[2])
    master, slave = pty.openpty()
    tty.setraw(master)
    print(os.ttyname(slave), flush=True)
    analyzer, receiver = Analyzer(program_path), Receiver()
    end = time.time() + seconds
    while time.time() < end:
        ready, _, _ = select.select([master], [], [], 0.1)
        if not ready:
            continue
        try:
            data = os.read(master, 4096)
        except OSError:
            break
        for frame in receiver.feed(data):
            for delay, content in analyzer.answer(frame):
                if delay:
                    time.sleep(delay)
                os.write(master, encode(content))


if __name__ == "__main__":
    main()
