"""A tiny serial device for the demonstration: one end of a pty pair is its
line; it answers every line it receives, saying at what baud rate the line
(the other end, which morvane-server holds) is set.

Usage: /usr/bin/python3 device_simulator.py FILE   (writes the tty's path to FILE)
"""

import fcntl
import os
import signal
import struct
import sys

master, slave = os.openpty()  # the slave stays open here: no hang-up while unused
path = os.ttyname(slave)
with open(sys.argv[1] + ".new", "w") as file:
    file.write(path + "\n")
os.rename(sys.argv[1] + ".new", sys.argv[1])
signal.signal(signal.SIGTERM, lambda *_: sys.exit(0))

# termios2 (x86-64): its c_ospeed holds any rate, also one set as BOTHER.
TCGETS2 = 0x802C542A
TERMIOS2 = struct.Struct("<IIIIB19sII")


def line_speed():
    return TERMIOS2.unpack(fcntl.ioctl(master, TCGETS2, bytes(TERMIOS2.size)))[7]


pending = b""
while True:
    pending += os.read(master, 4096)
    while b"\n" in pending:
        line, pending = pending.split(b"\n", 1)
        speed = line_speed()
        text = line.decode("ascii", "replace").strip()
        reply = "device: got %r, my line runs at %s baud" % (text, speed)
        print("  [device on %s] %s" % (path, reply), flush=True)
        os.write(master, reply.encode() + b"\r\n")
