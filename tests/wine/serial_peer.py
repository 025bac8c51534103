#!/usr/bin/env python3
"""The far end of the serial line for transport_probe.exe under Wine: a pseudo-terminal that
echoes every byte it receives. It prints the name of the terminal, then, after each read, records
the line settings that the Windows side made (Wine maps them onto the terminal) in a file.

Usage: serial_peer.py <settings file> <seconds to live>
"""
import os
import pty
import select
import sys
import termios
import time
import tty


def describe(fd):
    iflag, oflag, cflag, lflag, ispeed, ospeed, _ = termios.tcgetattr(fd)
    speeds = {getattr(termios, n): n[1:] for n in dir(termios) if n[0] == "B" and n[1:].isdigit()}
    words = [
        "speed=%s/%s" % (speeds.get(ispeed, ispeed), speeds.get(ospeed, ospeed)),
        "cs8=%d" % ((cflag & termios.CSIZE) == termios.CS8),
        "parenb=%d" % bool(cflag & termios.PARENB),
        "cstopb=%d" % bool(cflag & termios.CSTOPB),
        "crtscts=%d" % bool(cflag & termios.CRTSCTS),
        "ixon=%d" % bool(iflag & termios.IXON),
        "ixoff=%d" % bool(iflag & termios.IXOFF),
        "icanon=%d" % bool(lflag & termios.ICANON),
        "echo=%d" % bool(lflag & termios.ECHO),
        "opost=%d" % bool(oflag & termios.OPOST),
        "icrnl=%d" % bool(iflag & termios.ICRNL),
    ]
    return " ".join(words)


def main():
    settings_path, seconds = sys.argv[1], float(sys.argv[2])
    master, slave = pty.openpty()
    tty.setraw(master)
    print(os.ttyname(slave), flush=True)
    end = time.time() + seconds
    while time.time() < end:
        ready, _, _ = select.select([master], [], [], 0.1)
        if not ready:
            continue
        try:
            data = os.read(master, 4096)
        except OSError:
            break
        with open(settings_path, "w") as out:
            out.write(describe(slave) + "\n")
        os.write(master, data)


if __name__ == "__main__":
    main()
