"""Plays a client of the Windows server running under Wine, whose COM1 is
one end of a pseudo-terminal pair, and the serial device at the other end.

  serial_peer.py sessions PORT WINE_END DEVICE_END
      two sessions one after the other: handshake, data both ways (more
      than 64 bytes at once), a baud-rate record seen on the port, bytes
      from the device between the sessions reaching the second client.
  serial_peer.py bad-request PORT
      one session whose control request the port refuses.
"""

import os
import select
import socket
import struct
import sys
import termios
import time

LIMIT = 15.0  # seconds: a safety net, never a synchronisation
SET_BAUD_RATE = 0x001B0004
REFUSED_CODE = 0x001B2000  # not a serial request: the port refuses it


def record(code, data):
    return struct.pack("<BBI", len(data), 0, code) + data


def connect_when_listening(port):
    deadline = time.monotonic() + LIMIT
    while True:
        try:
            return socket.create_connection(("127.0.0.1", port), timeout=LIMIT)
        except ConnectionRefusedError:
            if time.monotonic() > deadline:
                raise
            time.sleep(0.1)


def open_session(port):
    """The control connection and the data connection of one session."""
    listener = socket.socket()
    listener.bind(("127.0.0.1", 0))
    listener.listen(1)
    listener.settimeout(LIMIT)
    control = connect_when_listening(port)
    control.sendall(struct.pack(">H", listener.getsockname()[1]))
    data, _ = listener.accept()
    data.settimeout(LIMIT)
    listener.close()
    return control, data


def receive(sock, count):
    out = b""
    while len(out) < count:
        chunk = sock.recv(count - len(out))
        if not chunk:
            break
        out += chunk
    return out


def read_device(fd, count):
    out = b""
    deadline = time.monotonic() + LIMIT
    while len(out) < count and time.monotonic() < deadline:
        ready, _, _ = select.select([fd], [], [], 0.5)
        if ready:
            out += os.read(fd, count - len(out))
    return out


def check(condition, what):
    print(("ok: " if condition else "FAILED: ") + what, flush=True)
    if not condition:
        sys.exit(1)


def wait_for_speed(path, speed):
    """The port's speed as the Wine side set it, polled until it shows."""
    fd = os.open(path, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
    try:
        deadline = time.monotonic() + LIMIT
        while time.monotonic() < deadline:
            if termios.tcgetattr(fd)[5] == speed:
                return True
            time.sleep(0.05)
        return False
    finally:
        os.close(fd)


def sessions(port, wine_end, device_end):
    device = os.open(device_end, os.O_RDWR | os.O_NOCTTY)
    termios.tcflush(device, termios.TCIOFLUSH)

    control, data = open_session(port)
    check(True, "first client: handshake, the server connected back")
    from_device = bytes(range(200)) * 2  # 400 bytes written at once
    os.write(device, from_device)
    check(receive(data, len(from_device)) == from_device, "400 bytes from the device reach the client intact")
    from_client = bytes((i * 7) & 0xFF for i in range(300))
    data.sendall(from_client)
    check(read_device(device, len(from_client)) == from_client, "300 bytes from the client reach the device intact")
    control.sendall(record(SET_BAUD_RATE, struct.pack("<I", 19200)))
    check(wait_for_speed(wine_end, termios.B19200), "SET_BAUD_RATE 19200 shows on the port's termios")
    control.sendall(record(SET_BAUD_RATE, struct.pack("<I", 57600)))
    check(wait_for_speed(wine_end, termios.B57600), "a second SET_BAUD_RATE (57600) too")
    control.close()
    # The server shuts the data connection down when the control one ends.
    receive(data, 1 << 16)  # whatever the port still read, up to the close
    check(data.recv(1) == b"", "the session ends with the control connection")
    data.close()

    between = b"sent between two sessions"
    os.write(device, between)
    control, data = open_session(port)
    check(True, "second client served after the first ended")
    check(receive(data, len(between)) == between, "bytes from between the sessions reach the next client first")
    data.sendall(b"second")
    check(read_device(device, 6) == b"second", "the second client's bytes reach the device")
    control.sendall(record(SET_BAUD_RATE, struct.pack("<I", 9600)))
    check(wait_for_speed(wine_end, termios.B9600), "the second client's SET_BAUD_RATE (9600) shows")
    control.close()
    data.close()
    os.close(device)


def bad_request(port):
    control, data = open_session(port)
    # The record arrives before the close: the server replays it first.
    control.sendall(record(REFUSED_CODE, b""))
    control.close()
    data.close()


def main():
    command, port = sys.argv[1], int(sys.argv[2])
    if command == "sessions":
        sessions(port, sys.argv[3], sys.argv[4])
    elif command == "bad-request":
        bad_request(port)
    else:
        sys.exit(__doc__)


if __name__ == "__main__":
    main()
