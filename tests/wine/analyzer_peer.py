#!/usr/bin/env python3
"""A scripted analyzer on a pseudo-terminal that Wine maps to a COM port: M1/v2 and MAG at 25.1 and
30.0 degrees; it writes uploaded code to the program file, runs a program in 20 ms and serves
after run k the samples 100+k, 200+k, 1000+k in the layout of the last detector setting.
Usage: analyzer_peer.py <program file> <seconds to live>"""
import os
import pty
import re
import select
import sys
import time
import tty

FIXED = {0x00: b'\x04M1\x00v2\x00\x00', 0x80: b'\x80MAG\x00\x00', 0x81: b'\x81\x00\xFB',
         0x82: b'\x82\x01\x2C', 0x83: b'\x83\x2A\x10\x00\x20\x00\x30\x00', 0x84: b'\x84\x00\x07',
         0x92: b'\x90', 0x93: b'\x90'}


def crc16_x25(data):
    reg = 0xFFFF
    for b in data:
        reg ^= b
        for _ in range(8):
            reg = (reg >> 1) ^ 0x8408 if reg & 1 else reg >> 1
    return reg


def encode(content):
    fcs = crc16_x25(content) ^ 0xFFFF
    body = bytes(content) + bytes([fcs & 0xFF, fcs >> 8])
    return b'\xC0' + re.sub(rb'[\x7D\xC0\xC1]', lambda m: bytes([0x7D, m[0][0] ^ 0x20]),
                          body) + b'\xC1'


class Receiver:
    """Cuts the byte stream into the contents of the frames whose check holds."""
    pending = b''

    def feed(self, data):
        *frames, self.pending = (self.pending + data).split(b'\xC1')
        for frame in frames:
            body = re.sub(rb'\x7D(.)', lambda m: bytes([m[1][0] ^ 0x20]),
                          frame.rpartition(b'\xC0')[2], flags=re.S)
            if b'\xC0' in frame and len(body) > 2 and crc16_x25(body) == 0xF0B8:
                yield body[:-2]


def block(run, amplitude):
    a, b, c = 100 + run, 200 + run, 1000 + run
    if amplitude:  # 12-bit values, two in three bytes, the odd one out in two
        return bytes([a & 0xFF, (a >> 8) & 0x0F | (b >> 4) & 0xF0, b & 0xFF, c & 0xFF, c >> 8])
    return b''.join(bytes([v & 0xFF, v >> 8, 0]) for v in (a, b, c))


class Analyzer:
    program, runs, amplitude = b'', 0, False

    def answer(self, f):
        """The replies to one frame, each with the seconds to wait before it."""
        if f[0] == 0x02 and f[1:2] != b'\x01':
            self.runs += 1
            return [(0, b'\x02\x02'), (0.02, b'\x02\x04')]
        if f[0] == 0x02:
            return [(0, b'\x02\x02')]
        if f[0] in FIXED:
            return [(0, FIXED[f[0]])]
        if f[0] == 0x04:
            self.amplitude = len(f) > 1 and (f[1] & 0x08) != 0
            return [(0, b'\x02\x00')]
        if f[0] == 0x01 and len(f) >= 3:
            offset = (f[1] << 8) | f[2]
            self.program = (self.program[:offset] if offset else b'') + f[3:]
            with open(sys.argv[1], 'wb') as out:
                out.write(self.program)
            return [(0, bytes([0x00, f[1], f[2]]))]
        if f[0] == 0x03:
            data = block(self.runs, self.amplitude)
            return [(0, b'\x03\x00\x00' + data), (0, bytes([0, len(data) >> 8, len(data) & 0xFF]))]
        return []


def serve(seconds, answer):
    """Names a new pseudo-terminal, then answers what arrives until the time is up or a hang-up."""
    master, slave = pty.openpty()
    tty.setraw(master)
    print(os.ttyname(slave), flush=True)
    end = time.time() + seconds
    while time.time() < end:
        if not select.select([master], [], [], 0.1)[0]:
            continue
        try:
            data = os.read(master, 4096)
        except OSError:
            break
        for delay, reply in answer(slave, data):
            time.sleep(delay)
            os.write(master, reply)


if __name__ == '__main__':
    analyzer, receiver = Analyzer(), Receiver()
    serve(float(sys.argv[2]), lambda _, data: [(delay, encode(reply)) for f in receiver.feed(data)
                                               for delay, reply in analyzer.answer(f)])
