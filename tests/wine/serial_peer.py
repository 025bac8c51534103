#!/usr/bin/env python3
"""The far end of the line for server_probe.exe --serial under Wine: echoes every byte and, after
each read, writes the line settings that the Windows side made (Wine maps them onto the terminal)
to the settings file. Usage: serial_peer.py <settings file> <seconds to live>"""
import sys
import termios

from analyzer_peer import serve

FLAGS = [('parenb', 2), ('cstopb', 2), ('crtscts', 2), ('ixon', 0), ('ixoff', 0), ('icanon', 3),
         ('echo', 3), ('opost', 1), ('icrnl', 0)]  # name, index of its word in tcgetattr


def echo(terminal, data):
    attrs = termios.tcgetattr(terminal)
    speeds = {getattr(termios, n): n[1:] for n in dir(termios) if n[0] == 'B' and n[1:].isdigit()}
    words = ['speed=%s/%s' % (speeds.get(attrs[4], attrs[4]), speeds.get(attrs[5], attrs[5])),
             'cs8=%d' % ((attrs[2] & termios.CSIZE) == termios.CS8)]
    words += ['%s=%d' % (name, bool(attrs[i] & getattr(termios, name.upper())))
              for name, i in FLAGS]
    with open(sys.argv[1], 'w') as out:
        out.write(' '.join(words) + '\n')
    return [(0, data)]


if __name__ == '__main__':
    serve(float(sys.argv[2]), echo)
