"""Peers of the Windows server under Wine, whose COM1 is one end of a
pseudo-terminal pair; the script also plays the device at the other end.

  serial_peer.py sessions PORT WINE_END DEVICE_END
      two sessions in turn: data both ways (more than 64 bytes at once),
      baud-rate records seen on the port, bytes from the device between the
      sessions reaching the second client.
  serial_peer.py bad-request PORT
      one session whose control request the port refuses.
  serial_peer.py piece PORT DEVICE_END SIZE ARRIVES
      SIZE bytes from the device at once: ARRIVES 1 if they must reach the
      client within half a second, 0 if they must still be held then.
  serial_peer.py interop PORT CLIENT_PROGRAM WINE_END DEVICE_END FOLDER
      the Linux morvane-client against the server: an application on its
      virtual port talks to the device and changes the baud rate.
  serial_peer.py rfc2217 PORT WINE_END DEVICE_END
      pyserial's RFC 2217 client against the server's RFC 2217 port: the
      baud rate, and bytes with IAC (0xFF) both ways.
"""

import os
import select
import signal
import socket
import subprocess
import sys
import termios
import time

import serial  # Debian's python3-serial

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))

import morvane_support as support  # noqa: E402

LIMIT = 15.0  # seconds: a safety net, never a synchronisation
SET_TIMEOUTS = 0x001B001C
REFUSED_CODE = 0x001B2000  # not a serial request: the port refuses it


def open_session(port):
    """The control and data connections of one session; the server may still be starting."""
    listener = socket.create_server(("127.0.0.1", 0))
    listener.settimeout(LIMIT)
    deadline = time.monotonic() + LIMIT
    while True:
        try:
            control = socket.create_connection(("127.0.0.1", int(port)), timeout=LIMIT)
            break
        except ConnectionRefusedError:
            if time.monotonic() > deadline:
                raise
            time.sleep(0.1)
    control.sendall(support.handshake(listener.getsockname()[1]))
    data, _ = listener.accept()
    data.settimeout(LIMIT)
    listener.close()
    return control, data


def read_device(fd, count):
    return support.read_exactly(fd, count, LIMIT)


def open_device(path):
    device = os.open(path, os.O_RDWR | os.O_NOCTTY)
    termios.tcflush(device, termios.TCIOFLUSH)  # nothing from earlier runs
    return device


def check(condition, what):
    print(("ok: " if condition else "FAILED: ") + what, flush=True)
    if not condition:
        sys.exit(1)


def wait_for_speed(path, speed):
    """Polls the port's speed as the Wine side set it."""
    fd = os.open(path, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
    try:
        return support.eventually(lambda: termios.tcgetattr(fd)[5] == speed, LIMIT)
    finally:
        os.close(fd)


def sessions(port, wine_end, device_end):
    device = open_device(device_end)

    control, data = open_session(port)
    check(True, "first client: handshake, the server connected back")
    from_device = bytes(range(200)) * 2  # 400 bytes written at once
    os.write(device, from_device)
    check(support.receive_exactly(data, len(from_device)) == from_device,
          "400 bytes from the device reach the client intact")
    from_client = bytes((i * 7) & 0xFF for i in range(300))
    data.sendall(from_client)
    check(read_device(device, len(from_client)) == from_client, "300 bytes from the client reach the device intact")
    # All-zero time-outs, were they applied, would stay on the port and hold a
    # short piece that arrives while a read waits (the interop run shows it).
    control.sendall(support.record(SET_TIMEOUTS, bytes(20)) + support.baud_record(19200))
    check(wait_for_speed(wine_end, termios.B19200), "SET_TIMEOUTS taken; SET_BAUD_RATE 19200 shows on the termios")
    control.close()
    support.receive_exactly(data, 1 << 16)  # whatever the port still read, up to the close
    check(data.recv(1) == b"", "the session ends with the control connection")
    data.close()

    between = b"sent between two sessions"
    os.write(device, between)
    control, data = open_session(port)
    check(True, "second client served after the first ended")
    check(support.receive_exactly(data, len(between)) == between,
          "bytes from between the sessions reach the next client first")
    data.sendall(b"second")
    check(read_device(device, 6) == b"second", "the second client's bytes reach the device")
    control.sendall(support.baud_record(9600))
    check(wait_for_speed(wine_end, termios.B9600), "the second client's SET_BAUD_RATE (9600) shows")
    control.close()
    data.close()
    os.close(device)


def bad_request(port):
    control, data = open_session(port)
    control.sendall(support.record(REFUSED_CODE))
    # Held open until the server goes: a session also ends when its data
    # connection closes, which could come before the record is read.
    control.settimeout(30)
    try:
        control.recv(1)
    except OSError:
        pass
    control.close()
    data.close()


def piece(port, device_end, size, arrives):
    device = open_device(device_end)
    control, data = open_session(port)
    sent = bytes(i & 0xFF for i in range(int(size)))
    os.write(device, sent)
    # Well inside the 1.14 s after which a 64-byte read ends by itself.
    readable, _, _ = select.select([data], [], [], 0.5)
    arrived = readable and support.receive_exactly(data, len(sent)) == sent
    if arrives == "1":
        check(arrived, f"{size} bytes from the device reach the client at once")
    else:
        check(not arrived, f"{size} bytes from the device are still held after half a second")
    control.close()
    data.close()
    os.close(device)


def interop(server_port, client_program, wine_end, device_end, folder):
    os.makedirs(folder, exist_ok=True)
    virtual_port = os.path.join(folder, "com7")
    with open(os.path.join(folder, "morvane.ini"), "w") as settings:
        settings.write(f"[CLIENT]\nhost=127.0.0.1\nport={server_port}\ncom=7\ndevice={virtual_port}\n")
    device = open_device(device_end)
    client = subprocess.Popen([client_program], cwd=folder, stderr=subprocess.PIPE, text=True)
    try:
        # The client says on standard error when its port is published.
        ready, _, _ = select.select([client.stderr], [], [], LIMIT)
        note = client.stderr.readline() if ready else ""
        check("virtual port" in note, "the Linux client runs: " + note.strip())
        with serial.Serial(virtual_port, 9600, timeout=LIMIT) as application:
            # pyserial flushes the port as it opens it, and that purge travels
            # apart from the data. Requests are replayed in order: once this
            # speed shows, the purge is behind us and cannot drop a reply.
            application.baudrate = 38400
            check(wait_for_speed(wine_end, termios.B38400), "the application's 38400 bit/s show on the Windows COM port")
            sent = bytes(range(256))[32:232]  # 200 bytes at once
            application.write(sent)
            check(read_device(device, len(sent)) == sent, "200 bytes from the application reach the device")
            reply = b"device answers " * 10
            os.write(device, reply)
            check(application.read(len(reply)) == reply, "150 bytes from the device reach the application")
            application.baudrate = 19200
            check(wait_for_speed(wine_end, termios.B19200), "the change to 19200 bit/s shows too")
            application.write(b"after the change")
            check(read_device(device, 16) == b"after the change", "data still flows after the change")
        client.send_signal(signal.SIGTERM)
        check(client.wait(timeout=LIMIT) == 0, "the Linux client ends with status 0 on SIGTERM")
    finally:
        if client.poll() is None:
            client.kill()
            client.wait()
        os.close(device)


def rfc2217(port, wine_end, device_end):
    device = open_device(device_end)
    # pyserial waits for the answers, which carry what GetCommState reports.
    app = serial.serial_for_url("rfc2217://127.0.0.1:%s" % port, baudrate=57600, timeout=LIMIT)
    check(wait_for_speed(wine_end, termios.B57600), "an RFC 2217 open at 57600 shows on the port's termios")
    app.write(b"\xff to the device \xff")
    check(read_device(device, 19) == b"\xff to the device \xff", "bytes with IAC reach the device")
    os.write(device, b"\xff\xff back")
    check(app.read(7) == b"\xff\xff back", "bytes with IAC reach the client")
    app.close()
    os.close(device)


if __name__ == "__main__":
    commands = {"sessions": sessions, "bad-request": bad_request, "piece": piece, "interop": interop,
                "rfc2217": rfc2217}
    if len(sys.argv) < 3 or sys.argv[1] not in commands:
        sys.exit(__doc__)
    commands[sys.argv[1]](*sys.argv[2:])
