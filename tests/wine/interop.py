"""The Linux morvane-client against the Windows morvane-server under Wine:
an application on the client's virtual port talks to the device at the
other end of the server's COM1 and changes the baud rate.

  interop.py SERVER_PORT CLIENT_PROGRAM WINE_END DEVICE_END FOLDER
"""

import os
import select
import signal
import subprocess
import sys
import termios

import serial  # Debian's python3-serial

from serial_peer import LIMIT, check, read_device as read_fd, wait_for_speed


def main():
    server_port, client_program, wine_end, device_end, folder = sys.argv[1:6]
    os.makedirs(folder, exist_ok=True)
    virtual_port = os.path.join(folder, "com7")
    with open(os.path.join(folder, "morvane.ini"), "w") as settings:
        settings.write(f"[CLIENT]\nhost=127.0.0.1\nport={server_port}\ncom=7\ndevice={virtual_port}\n")
    device = os.open(device_end, os.O_RDWR | os.O_NOCTTY)
    termios.tcflush(device, termios.TCIOFLUSH)
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
            check(read_fd(device, len(sent)) == sent, "200 bytes from the application reach the device")
            reply = b"device answers " * 10
            os.write(device, reply)
            check(application.read(len(reply)) == reply, "150 bytes from the device reach the application")
            application.baudrate = 19200
            check(wait_for_speed(wine_end, termios.B19200), "the change to 19200 bit/s shows too")
            application.write(b"after the change")
            check(read_fd(device, 16) == b"after the change", "data still flows after the change")
        client.send_signal(signal.SIGTERM)
        check(client.wait(timeout=LIMIT) == 0, "the Linux client ends with status 0 on SIGTERM")
    finally:
        if client.poll() is None:
            client.kill()
            client.wait()
        os.close(device)


if __name__ == "__main__":
    main()
