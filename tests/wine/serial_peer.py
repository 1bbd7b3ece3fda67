# Peers of the Windows programs under Wine, one scenario per run:
#   serial_peer.py SCENARIO WORK WINDOWS_BUILD LINUX_BUILD [ARGUMENTS]
# The script plays the serial device: WORK/serial-device, the far end of the
# pseudo-terminal pair behind Wine's COM1, or a pty of the Linux server. The
# Windows client runs on the suite's test port driver (port_driver.c): COM3,
# and COM13 for the port application (port_application.cpp).

import concurrent.futures
import contextlib
import fcntl
import os
import select
import signal
import socket
import subprocess
import sys
import termios
import threading

import serial  # Debian's python3-serial

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))

import morvane_support as support  # noqa: E402

LIMIT = 60.0  # seconds: a safety net, never a synchronisation
BULK = 4 << 20  # more than TCP holds while the line is stopped
EXCHANGE = 1 << 20
BACKLOG = 20000  # far more than the driver holds for applications
CLIENT_TITLE = "WIN morvane Client"
PORT_APPLICATION = "tests/wine/morvane-port-app.exe"


def check(condition, what):
    print(("ok: " if condition else "FAILED: ") + what, flush=True)
    if not condition:
        sys.exit(1)


def open_device(end="serial-device"):
    device = serial.Serial(os.path.join(WORK, end), timeout=LIMIT)
    termios.tcflush(device.fd, termios.TCIOFLUSH)  # nothing from earlier runs
    return device


# Whether the speed that the Windows server sets on COM1 comes to be `speed`.
def com1_shows(speed):
    line = os.open(os.path.join(WORK, "serial-wine"), os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
    try:
        return support.eventually(lambda: termios.tcgetattr(line)[5] == speed, LIMIT)
    finally:
        os.close(line)


# A session with the Windows server, which may still be starting.
def open_session(port):
    check(support.eventually(lambda: not support.port_is_free(int(port)), LIMIT), "the server listens")
    return support.FakeClient(int(port)).connect(LIMIT)


# Sends until the connection stays full for a second: the server then waits
# in a port write for the stopped line (a write that moves on drains the
# connection within milliseconds).
def back_up(session):
    bulk = support.pattern(BULK)
    session.data.setsockopt(socket.SOL_SOCKET, socket.SO_SNDBUF, 65536)  # loopback would take megabytes
    sent = 0
    while sent < BULK and select.select([], [session.data], [], 1.0)[1]:
        with contextlib.suppress(BlockingIOError):
            sent += session.data.send(bulk[sent:sent + 65536], socket.MSG_DONTWAIT)
    check(sent < BULK, "the line backs up (%d bytes sent)" % sent)


def sessions(port, rfc2217_port):
    device = open_device()
    # pyserial waits for the answers, which carry what GetCommState reports.
    application = serial.serial_for_url("rfc2217://127.0.0.1:%s" % rfc2217_port, baudrate=57600, timeout=LIMIT)
    check(com1_shows(termios.B57600), "an RFC 2217 open at 57600 shows on COM1")
    application.write(b"\xff to the device \xff")
    check(device.read(19) == b"\xff to the device \xff", "bytes with IAC reach the device")
    device.write(b"\xff\xff back")
    check(application.read(7) == b"\xff\xff back", "bytes with IAC reach the client")
    application.close()
    first = open_session(port)
    # All-zero time-outs, were they applied, would hold back the tail of
    # 150 bytes: the port's reads are of 64.
    first.send_record(0x001B001C, bytes(20))  # SET_TIMEOUTS
    # Records are replayed in order: the speed after them shows they were read.
    # Refused by the port: a code that returns data, one of no serial driver
    # (Wine's serial layer and its wineserver refuse each in its own way).
    for code, data in (0x001B0050, b""), (0xDEADBEEF, bytes(4)):
        first.send_record(code, data)
    first.control.sendall(support.baud_record(19200))
    check(com1_shows(termios.B19200), "SET_TIMEOUTS taken, refused requests skipped; SET_BAUD_RATE 19200 shows on COM1")
    device.write(support.pattern(150))
    check(first.receive(150) == support.pattern(150), "150 bytes from the device reach the client: time-outs kept")
    first.control.close()
    check(first.sees_end(first.data), "the session ends with its control connection")
    first.close()
    between = b"sent between two sessions"
    device.write(between)
    second = open_session(port)
    check(second.receive(len(between)) == between, "bytes from between the sessions reach the next client")
    second.data.sendall(b"second")
    check(device.read(6) == b"second", "the next client's bytes reach the device")
    # The line stopped at the tty (as by the device's XOFF; socat then relays
    # the other way still), a bulk write waits, and the character is refused.
    second.send_record(0x001B0038)  # SET_XOFF
    second.control.sendall(support.baud_record(38400))
    check(com1_shows(termios.B38400), "SET_XOFF stops COM1's output")
    back_up(second)
    # Refused, it leaves the session to go on; a speed change would now wait
    # behind the bulk write.
    second.send_record(0x001B0018, b"!")  # IMMEDIATE_CHAR
    second.close()
    # Seconds: a 4 KiB write to the stopped line would time out after 41.
    third = support.FakeClient(int(port)).connect(10)
    device.write(b"third")
    check(third.receive(5) == b"third", "the next client is served at once, not after the stopped write's time-out")
    third.close()
    device.close()


def piece(port, size, arrives):
    device = open_device()
    session = open_session(port)
    sent = support.pattern(int(size))
    device.write(sent)
    # Well inside the 1.14 s after which a 64-byte read ends by itself.
    arrived = bool(select.select([session.data], [], [], 0.5)[0]) and session.receive(len(sent)) == sent
    check(arrived == (arrives == "1"), size + (" bytes reach the client at once" if arrives == "1" else
                                               " bytes are still held after half a second"))
    session.close()
    device.close()


# What the device sends the port application: unlike what it gets back.
def from_device(size):
    return bytes(byte ^ 0xFF for byte in support.pattern(size))


# A Windows program; the product's output goes to FOLDER/output.log, ours is
# collected by `finish`.
def wine(program, *arguments, folder=None, stdin=subprocess.DEVNULL):
    output = open(os.path.join(folder, "output.log"), "w") if folder else subprocess.PIPE
    return subprocess.Popen(["wine", os.path.join(WINDOWS_BUILD, program), *arguments], cwd=folder,
                            stdin=stdin, stdout=output, stderr=subprocess.STDOUT, text=True)


def settings_folder(name, section, **keys):
    folder = os.path.join(WORK, name)
    os.makedirs(folder, exist_ok=True)
    support.write_settings(folder, section, **keys)
    return folder


# `port`: that of an earlier run, to restart the server there.
def linux_server(device, port=0):
    folder = settings_folder("linux-server", "SERVER", com=0, port=port, client=support.LOOPBACK, device=device)
    return support.ServerProgram(os.path.join(LINUX_BUILD, "server", "morvane-server"), folder).start().listening()


def windows_client(name, port, reconnect=0):
    keys = dict(host=support.LOOPBACK, port=port, com=3, reconnect=reconnect)
    return wine("client/morvane-client.exe", folder=settings_folder(name, "CLIENT", **keys))


def end(*programs):
    for program in filter(None, programs):
        program.kill()
        program.wait()


# The exit status of one of our test programs, its output shown.
def finish(program):
    try:
        output, _ = program.communicate(timeout=2 * LIMIT)
    finally:
        end(program)
    for line in output.splitlines():
        print("  " + line, flush=True)
    return program.returncode


def application(command, *arguments):
    return finish(wine(PORT_APPLICATION, command, *arguments))


def gui(*arguments):
    return finish(wine("tests/wine/morvane-driver.exe", *arguments))


# 1 MiB each way at once between the port application and the device.
def exchange(send, receive):
    program = wine(PORT_APPLICATION, "exchange", str(EXCHANGE))
    threading.Thread(target=send, args=(from_device(EXCHANGE),), daemon=True).start()
    received, wanted = receive(EXCHANGE), support.pattern(EXCHANGE)
    if received != wanted:
        end(program)
    check(received == wanted, "1 MiB from the application reaches the device intact (%d bytes)" % len(received))
    check(finish(program) == 0, "1 MiB from the device reaches the application intact")


def backlog(pty, what):
    pty.send(from_device(BACKLOG))
    check(application("backlog", str(BACKLOG)) == 0, what)


def with_linux_server():
    pty = support.PtyPair()
    server = linux_server(pty.slave_path)
    port, client, hold = server.port, windows_client("client-once", server.port), None

    def restart_server():
        os.kill(server.process.pid, signal.SIGKILL)
        server.wait()
        # What the new session's device shows comes from the client alone.
        line = termios.tcgetattr(pty.master)
        line[4] = line[5] = termios.B9600
        termios.tcsetattr(pty.master, termios.TCSANOW, line)
        return linux_server(pty.slave_path, port)

    try:
        check(application("settings", "115200") == 0, "the application sets 115200 7E2 RTS/CTS")
        wanted = (termios.CSTOPB | termios.CRTSCTS, 115200)
        check(support.eventually(lambda: (pty.settings().cflag & wanted[0], pty.settings().ospeed) == wanted, LIMIT),
              "115200 bit/s, two stop bits and RTS/CTS show on the server's tty")
        exchange(pty.send, pty.receive)

        # A master in packet mode hears of the tty's flushes.
        fcntl.ioctl(pty.master, termios.TIOCPKT, b"\x01\x00\x00\x00")
        check(application("purge") == 0, "the application purges the port")
        packet = support.read_exactly(pty.master, 1, LIMIT) or b"\x00"
        flushed = packet[0] & (termios.TIOCPKT_FLUSHREAD | termios.TIOCPKT_FLUSHWRITE)
        check(flushed != 0, "the purge reaches the server's tty (packet %r)" % packet[:1])
        fcntl.ioctl(pty.master, termios.TIOCPKT, b"\x00\x00\x00\x00")

        text = "after an empty read"
        check(application("empty-read", text) == 0, "the client's read completes with 0 bytes")
        check(pty.receive(len(text)) == text.encode(), "and sends nothing: the bytes after it come first")
        backlog(pty, "%d bytes waiting reach the driver in order, in writes of at most 64 bytes" % BACKLOG)

        server = restart_server()
        check(gui("box", CLIENT_TITLE, "server closed the connection", "warning") == 0,
              "reconnect=0: the killed server's end in a warning box")
        check(client.wait(timeout=LIMIT) == 1, "the Windows client ends with status 1")

        client = windows_client("client-again", port, reconnect=1)
        hold = wine(PORT_APPLICATION, "hold", "57600", stdin=subprocess.PIPE)
        for round_number in 1, 2:
            check(support.eventually(lambda: pty.settings().ospeed == 57600, LIMIT),
                  "the application's 57600 bit/s show on the session's device")
            print("go on", file=hold.stdin, flush=True)
            check(pty.receive(6) == b"ping %d" % round_number, "the application's bytes reach the device")
            pty.send(b"pong %d" % round_number)
            if round_number == 1:
                check(any("read pong 1" in line for line in hold.stdout), "and the device's reach the application")
                server = restart_server()
        check(finish(hold) == 0, "reconnect=1: the application kept COM13 open across the restart")
        backlog(pty, "the new session's writes to the driver may wait")

        check(application("fail-wait") == 0, "the driver fails the client's control-wait")
        check(gui("box", CLIENT_TITLE, "ctrl event error", "warning") == 0, "\"ctrl event error\" in a warning box")
        check(client.wait(timeout=LIMIT) == 1, "the Windows client ends with status 1")
    finally:
        end(hold, client)
        server.stop()
        pty.close()


def with_windows_server():
    device, device2 = open_device(), open_device("serial-device-2")
    port, port2 = support.free_port(), support.free_port()
    server = wine("server/morvane-server.exe", folder=settings_folder("windows-server", "SERVER", port=port, com=1))
    # A second server on COM2, the usual way to share two ports.
    server2 = wine("server/morvane-server.exe", folder=settings_folder("com2-server", "SERVER", port=port2, com=2))
    # Tries again until the server listens.
    client = windows_client("client-windows-server", port, reconnect=1)
    pool = concurrent.futures.ThreadPoolExecutor(4)
    try:
        check(application("settings", "115200") == 0, "the application sets 115200 7E2 RTS/CTS")
        check(com1_shows(termios.B115200), "115200 bit/s show on the server's COM1")
        second = open_session(port2)
        jobs = [pool.submit(*job) for job in ((device2.write, from_device(BACKLOG)), (second.receive, BACKLOG),
                                              (second.data.sendall, support.pattern(BACKLOG)), (device2.read, BACKLOG))]
        exchange(device.write, device.read)
        check([job.result() for job in jobs[1::2]] == [from_device(BACKLOG), support.pattern(BACKLOG)],
              "meanwhile the COM2 server moved %d bytes each way" % BACKLOG)
        for title, programs in (CLIENT_TITLE, [client]), ("WIN morvane Server", [server, server2]):
            check(all(gui("exit", title) == 0 for _ in programs) and all(p.wait(timeout=LIMIT) == 0 for p in programs),
                  "EXIT ends every " + title)
    finally:
        end(client, server, server2)
        device.close()
        device2.close()


if __name__ == "__main__":
    # A time-out of the suite ends the script through its clean-ups.
    signal.signal(signal.SIGTERM, lambda *_: sys.exit("ended by SIGTERM"))
    scenarios = {"sessions": sessions, "piece": piece, "linux-server": with_linux_server,
                 "windows-server": with_windows_server}
    WORK, WINDOWS_BUILD, LINUX_BUILD = sys.argv[2:5]
    scenarios[sys.argv[1]](*sys.argv[5:])
