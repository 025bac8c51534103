#!/usr/bin/env python3
"""The far end of the line for transport_probe.exe under Wine: echoes every byte and, after each
read, writes the line settings that the Windows side made (Wine maps them onto the terminal) to
the settings file.

Usage: serial_peer.py <settings file> <seconds to live>
"""
import sys
import termios

from analyzer_peer import serve


def describe(fd):
    iflag, oflag, cflag, lflag, ispeed, ospeed, _ = termios.tcgetattr(fd)
    speeds = {getattr(termios, n): n[1:] for n in dir(termios) if n[0] == 'B' and n[1:].isdigit()}
    words = ['speed=%s/%s' % (speeds.get(ispeed, ispeed), speeds.get(ospeed, ospeed)),
             'cs8=%d' % ((cflag & termios.CSIZE) == termios.CS8)]
    for name, flags, bit in [('parenb', cflag, termios.PARENB), ('cstopb', cflag, termios.CSTOPB),
                             ('crtscts', cflag, termios.CRTSCTS), ('ixon', iflag, termios.IXON),
                             ('ixoff', iflag, termios.IXOFF), ('icanon', lflag, termios.ICANON),
                             ('echo', lflag, termios.ECHO), ('opost', oflag, termios.OPOST),
                             ('icrnl', iflag, termios.ICRNL)]:
        words.append('%s=%d' % (name, bool(flags & bit)))
    return ' '.join(words)


def echo(terminal, data):
    with open(sys.argv[1], 'w') as out:
        out.write(describe(terminal) + '\n')
    return [(0, data)]


if __name__ == '__main__':
    serve(float(sys.argv[2]), echo)
