"""The Windows client under Wine, in whole sessions, through the suite's test
port driver (COM3 for the client, COM13 for applications: port_driver.c).
The script plays the serial device and starts the programs.

  windows_client.py linux-server WINDOWS_BUILD LINUX_BUILD WORK
      against the Linux server with a pty as its device: settings, 1 MiB
      each way, a purge, an empty read, a backlog, a failing control-wait.
  windows_client.py server-restart WINDOWS_BUILD LINUX_BUILD WORK
      the Linux server killed: reconnect=0 ends the client, reconnect=1
      keeps COM13 open across a restart.
  windows_client.py windows-server WINDOWS_BUILD WORK DEVICE_END
      against the Windows server, whose COM1 is the other end of the pty
      pair DEVICE_END (serial-wine beside it): settings, 1 MiB each way.
"""

import fcntl
import os
import select
import signal
import subprocess
import sys
import termios
import threading
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))

import morvane_support as support  # noqa: E402

LIMIT = 60.0  # seconds: a safety net, never a synchronisation
EXCHANGE = 1 << 20
BACKLOG = 20000  # far more than the driver holds for applications
CLIENT_TITLE = "WIN morvane Client"
TIOCPKT = 0x5420
TIOCPKT_FLUSH = 0x01 | 0x02  # FLUSHREAD | FLUSHWRITE
SETTINGS_SEEN = (termios.CSTOPB | termios.CRTSCTS, 115200)


def check(condition, what):
    print(("ok: " if condition else "FAILED: ") + what, flush=True)
    if not condition:
        sys.exit(1)


def stream(seed, size):
    """The bytes the port application computes for the same seed (xorshift32)."""
    out = bytearray(size)
    x = seed
    for i in range(size):
        x ^= (x << 13) & 0xFFFFFFFF
        x ^= x >> 17
        x ^= (x << 5) & 0xFFFFFFFF
        out[i] = x & 0xFF
    return bytes(out)


def listening(port):
    """Whether a socket listens on `port` (Wine's are Linux sockets too)."""
    with open("/proc/net/tcp") as table:
        rows = [line.split() for line in table.readlines()[1:]]
    return any(row[3] == "0A" and int(row[1].split(":")[1], 16) == port for row in rows)


class Harness:
    """Starts the programs; each ends through its EXIT button, or by its PID."""

    def __init__(self, windows_build, work, linux_build=None):
        self.windows_build, self.work, self.linux_build = windows_build, work, linux_build

    def folder(self, name, section, **keys):
        folder = os.path.join(self.work, name)
        os.makedirs(folder, exist_ok=True)
        support.write_settings(folder, section, **keys)
        return folder

    def wine(self, program, *arguments, folder=None, output=None, stdin=subprocess.DEVNULL):
        if folder is not None:
            output = open(os.path.join(folder, "output.log"), "w")
        return subprocess.Popen(["wine", os.path.join(self.windows_build, program), *arguments], cwd=folder,
                                stdin=stdin, stdout=output, stderr=subprocess.STDOUT, text=True)

    def linux_server(self, name, **keys):
        """The Linux server; pass the `port` of an earlier run to restart it there."""
        settings = dict(com=0, port=0, client=support.LOOPBACK)
        settings.update(keys)
        folder = self.folder(name, "SERVER", **settings)
        return support.ServerProgram(os.path.join(self.linux_build, "server", "morvane-server"), folder).start_listening()

    def windows_server(self, name, port, **keys):
        folder = self.folder(name, "SERVER", port=port, **keys)
        server = self.wine("server/morvane-server.exe", folder=folder)
        check(support.eventually(lambda: listening(port), LIMIT), "the Windows server listens on %d" % port)
        return server

    def windows_client(self, name, port, **keys):
        """The Windows client on COM3 against 127.0.0.1:`port`; more settings
        (e.g. reconnect=1) in `keys`."""
        settings = dict(host=support.LOOPBACK, port=port, com=3)
        settings.update(keys)
        return self.wine("client/morvane-client.exe", folder=self.folder(name, "CLIENT", **settings))

    def test_program(self, program, *arguments, stdin=subprocess.DEVNULL):
        """Starts one of our test programs; `finish` collects its checks."""
        return self.wine("tests/wine/" + program, *arguments, output=subprocess.PIPE, stdin=stdin)

    def printed(self, program, text):
        """Whether `program` prints `text` (within LIMIT); what it printed is shown."""
        output, deadline = b"", time.monotonic() + LIMIT
        while text.encode() not in output:
            if not select.select([program.stdout], [], [], max(0, deadline - time.monotonic()))[0]:
                break
            chunk = os.read(program.stdout.fileno(), 4096)
            if not chunk:
                break
            output += chunk
        for line in output.decode(errors="replace").splitlines():
            print("  " + line, flush=True)
        return text.encode() in output

    def finish(self, program):
        try:
            output, _ = program.communicate(timeout=2 * LIMIT)
        finally:
            if program.poll() is None:
                program.kill()
                program.wait()
        for line in output.splitlines():
            print("  " + line, flush=True)
        return program.returncode

    def application(self, command, *arguments):
        return self.finish(self.test_program("morvane-port-app.exe", command, "COM13", *arguments))

    def gui(self, *arguments):
        return self.finish(self.test_program("morvane-driver.exe", *arguments))

    def end(self, *programs):
        for program in programs:
            if program.poll() is None:
                program.kill()
                program.wait()


def exchange(harness, send, receive):
    """1 MiB each way at once between the port application and the device."""
    application = harness.test_program("morvane-port-app.exe", "exchange", "COM13", str(EXCHANGE))
    threading.Thread(target=send, args=(stream(2, EXCHANGE),), daemon=True).start()
    received, wanted = receive(EXCHANGE), stream(1, EXCHANGE)
    if received != wanted:
        harness.end(application)
    check(received == wanted, "1 MiB from the application reaches the device intact (%d bytes)" % len(received))
    check(harness.finish(application) == 0, "1 MiB from the device reaches the application intact")


def linux_server(windows_build, linux_build, work):
    harness = Harness(windows_build, work, linux_build)
    pty = support.PtyPair()
    server = harness.linux_server("linux-server", device=pty.slave_path)
    client = harness.windows_client("client-linux-server", server.port)
    try:
        def settings_seen():
            now = pty.settings()
            return now.cflag & SETTINGS_SEEN[0], now.ospeed

        check(harness.application("settings") == 0, "the application sets 115200 7E2 RTS/CTS and reads them back")
        check(support.eventually(lambda: settings_seen() == SETTINGS_SEEN, LIMIT),
              "115200 bit/s, two stop bits and RTS/CTS show on the server's tty")
        exchange(harness, pty.send, pty.receive)

        # A master in packet mode hears of the tty's flushes.
        fcntl.ioctl(pty.master, TIOCPKT, b"\x01\x00\x00\x00")
        check(harness.application("purge") == 0, "the application purges the port")
        readable, _, _ = select.select([pty.master], [], [], LIMIT)
        packet = os.read(pty.master, 64) if readable else b"\x00"
        check(packet[0] & TIOCPKT_FLUSH != 0, "the purge reaches the server's tty (packet %r)" % packet[:1])
        fcntl.ioctl(pty.master, TIOCPKT, b"\x00\x00\x00\x00")

        text = "after an empty read"
        check(harness.application("empty-read", text) == 0, "the client's read completes with 0 bytes")
        check(pty.receive(len(text)) == text.encode(), "the bytes after it flow")

        pty.send(stream(3, BACKLOG))
        check(harness.application("backlog", str(BACKLOG)) == 0,
              "%d bytes waiting reach the driver in order, in writes of at most 64 bytes" % BACKLOG)

        check(harness.application("fail-wait") == 0, "the driver fails the client's control-wait")
        check(harness.gui("box", CLIENT_TITLE, "ctrl event error", "warning") == 0, "\"ctrl event error\" in a warning box")
        check(client.wait(timeout=LIMIT) == 1, "the Windows client ends with status 1")
    finally:
        harness.end(client)
        server.stop()
        pty.close()


def server_restart(windows_build, linux_build, work):
    harness = Harness(windows_build, work, linux_build)
    pty = support.PtyPair()
    server = harness.linux_server("restart-server", device=pty.slave_path)
    port, client, application = server.port, None, None

    def kill_server():
        os.kill(server.process.pid, signal.SIGKILL)
        server.wait()

    try:
        client = harness.windows_client("client-once", port)
        check(harness.application("settings") == 0 and support.eventually(lambda: pty.settings().ospeed == 115200, LIMIT),
              "a session runs")
        kill_server()
        check(harness.gui("box", CLIENT_TITLE, "server closed the connection", "warning") == 0,
              "reconnect=0: the killed server's end in a warning box")
        check(client.wait(timeout=LIMIT) == 1, "the Windows client ends with status 1")

        server = harness.linux_server("restart-server", device=pty.slave_path, port=port)
        client = harness.windows_client("client-again", port, reconnect=1)
        application = harness.test_program("morvane-port-app.exe", "hold", "COM13", "57600", stdin=subprocess.PIPE)

        def ping(round_number, what):
            check(support.eventually(lambda: pty.settings().ospeed == 57600, LIMIT), what)
            application.stdin.write("go on\n")
            application.stdin.flush()
            check(pty.receive(6) == b"ping %d" % round_number, "the application's bytes reach the device")
            pty.send(b"pong %d" % round_number)

        ping(1, "the application's 57600 bit/s show on the device")
        check(harness.printed(application, "ok: read pong 1"), "and the device's reach the application")
        kill_server()
        # What the new session's device shows comes from the client alone.
        line = termios.tcgetattr(pty.master)
        line[4] = line[5] = termios.B9600
        termios.tcsetattr(pty.master, termios.TCSANOW, line)
        server = harness.linux_server("restart-server", device=pty.slave_path, port=port)
        ping(2, "reconnect=1: after the restart the client sets the new server's device to 57600 bit/s")
        check(harness.finish(application) == 0, "and back to it")
        pty.send(stream(3, BACKLOG))
        check(harness.application("backlog", str(BACKLOG)) == 0, "the new session's writes to the driver may wait")
        check(harness.gui("exit", CLIENT_TITLE) == 0 and client.wait(timeout=LIMIT) == 0, "EXIT ends the client")
    finally:
        harness.end(*[program for program in (application, client) if program is not None])
        server.stop()
        pty.close()


def windows_server(windows_build, work, device_end):
    harness = Harness(windows_build, work)
    device = os.open(device_end, os.O_RDWR | os.O_NOCTTY)
    termios.tcflush(device, termios.TCIOFLUSH)
    port = support.free_port()
    server = harness.windows_server("windows-server", port, com=1)
    client = harness.windows_client("client-windows-server", port)
    try:
        def send(data):
            data = memoryview(data)
            while data:
                data = data[os.write(device, data):]

        def receive(count):
            out = bytearray()
            while len(out) < count and select.select([device], [], [], LIMIT)[0]:
                out += os.read(device, count - len(out))
            return bytes(out)

        def wine_end_speed():
            wine_end = os.path.join(os.path.dirname(device_end), "serial-wine")
            line = os.open(wine_end, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
            try:
                return termios.tcgetattr(line)[5]
            finally:
                os.close(line)

        check(harness.application("settings") == 0, "the application sets 115200 7E2 RTS/CTS")
        check(support.eventually(lambda: wine_end_speed() == termios.B115200, LIMIT), "115200 bit/s show on the server's COM1")
        exchange(harness, send, receive)
        for title, program in (CLIENT_TITLE, client), ("WIN morvane Server", server):
            check(harness.gui("exit", title) == 0 and program.wait(timeout=LIMIT) == 0, "EXIT ends " + title)
    finally:
        harness.end(client, server)
        os.close(device)


if __name__ == "__main__":
    # A time-out of the suite ends the script through its clean-ups.
    signal.signal(signal.SIGTERM, lambda *_: sys.exit("ended by SIGTERM"))
    commands = {"linux-server": linux_server, "server-restart": server_restart, "windows-server": windows_server}
    if len(sys.argv) < 3 or sys.argv[1] not in commands:
        sys.exit(__doc__)
    commands[sys.argv[1]](*sys.argv[2:])
