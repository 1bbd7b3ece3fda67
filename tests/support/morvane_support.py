# Helpers for the end-to-end tests: settings files, pty pairs as serial
# ports, the programs as processes stopped by their own PID.

import contextlib
import ctypes
import errno
import fcntl
import os
import random
import re
import select
import signal
import socket
import stat
import struct
import subprocess
import tempfile
import termios
import time
import types
import unittest

LOOPBACK = "127.0.0.1"
SAFETY_SECONDS = 5.0

# Catalogue texts as the console front end shows them.
MESSAGE_NETWORK = "ネットワークのエラーが発生しました"
MESSAGE_SERIAL = "シリアルでエラーが発生しました"
MESSAGE_SETTINGS = "morvane.ini ファイルに誤りがあります"

# Windows serial I/O control codes.
SET_BAUD_RATE = 0x1B0004
SET_LINE_CONTROL = 0x1B000C
SET_CHARS = 0x1B005C
SET_HANDFLOW = 0x1B0064

# termios2 on x86-64: TCGETS2 = _IOR('T', 0x2A, struct termios2).
TCGETS2 = 0x802C542A
TERMIOS2 = struct.Struct("<IIIIB19sII")
TIOCGEXCL, EXTPROC = 0x80045440, 0o200000  # x86-64; not in Python's termios


def write_settings(directory, section, **keys):
    with open(os.path.join(directory, "morvane.ini"), "w", encoding="utf-8") as settings:
        settings.write("".join(["[%s]\n" % section] + ["%s=%s\n" % item for item in keys.items()]))


# A port below the kernel's ephemeral range, which the connections of tests
# running meanwhile draw from: none of them takes it before a program binds it.
def free_port():
    with open("/proc/sys/net/ipv4/ip_local_port_range") as ports:
        ephemeral = int(ports.read().split()[0])
    while True:
        port = random.randrange(1024, ephemeral)
        if port_is_free(port):
            return port


def port_is_free(port):
    with socket.socket() as probe:
        try:
            probe.bind(("0.0.0.0", port))
        except OSError:
            return False
        return True


def handshake(port):
    return struct.pack(">H", port)


def record(code, data=b""):
    # Length, a reserved byte, the little-endian code, the input.
    return bytes([len(data), 0x5A]) + struct.pack("<I", code) + bytes(data)


def baud_record(rate):
    return record(SET_BAUD_RATE, struct.pack("<I", rate))


def pattern(size):
    # Shows where a piece went missing or came twice.
    return bytes((i * 7 + i // 256) & 0xFF for i in range(size))


def eventually(condition, seconds=SAFETY_SECONDS):
    # For a tty setting another process changes: there is no event to wait on.
    end = time.monotonic() + seconds
    while not condition():
        if time.monotonic() > end:
            return False
        time.sleep(0.002)
    return True


def read_exactly(fd, count, seconds=SAFETY_SECONDS):
    # Waits for each piece: a port left with VMIN 0 (pyserial does) or a
    # non-blocking one reads nothing at once instead of blocking.
    data = b""
    while len(data) < count:
        readable, _, _ = select.select([fd], [], [], seconds)
        if not readable:
            break
        try:
            chunk = os.read(fd, count - len(data))
        except BlockingIOError:
            continue
        if not chunk:
            break
        data += chunk
    return data


def receive_exactly(sock, count):
    return read_exactly(sock.fileno(), count)


# Segments with data that `sock` has received (tcp_info's data_segs_in): how
# many pieces the peer sent, however the receives joined them.
def pieces_received(sock):
    return struct.unpack_from("I", sock.getsockopt(socket.IPPROTO_TCP, socket.TCP_INFO, 160), 152)[0]


# Whether `receiver`, a program's end of a connection (borrowed_socket), has
# read what `send` sent: what follows comes in a receive of its own.
def taken(receiver, send):
    before = pieces_received(receiver)
    send()
    # Nothing unread: FIONREAD gives four zero bytes.
    return eventually(lambda: fcntl.ioctl(receiver, termios.FIONREAD, bytes(4)) == bytes(4)
                      and pieces_received(receiver) > before)


def borrowed_socket(pid, peer):
    # The socket of process `pid` connected to `peer`, duplicated here
    # (pidfd_getfd). Close it soon: it keeps the connection open.
    libc = ctypes.CDLL(None, use_errno=True)
    pidfd = libc.syscall(434, pid, 0)  # SYS_pidfd_open

    def find():
        for name in os.listdir("/proc/%d/fd" % pid):
            fd = libc.syscall(438, pidfd, int(name), 0)  # SYS_pidfd_getfd; -1 once closed
            if fd >= 0 and stat.S_ISSOCK(os.fstat(fd).st_mode):
                with socket.socket(fileno=fd) as sock, contextlib.suppress(OSError):  # not connected
                    if sock.getpeername() == peer:
                        return sock.dup()
            elif fd >= 0:
                os.close(fd)

    found = []
    try:
        eventually(lambda: found.append(find()) or found[-1] is not None)
    finally:
        os.close(pidfd)
    return found[-1]


# A program opens `slave_path`, the test plays the line's far end on `master`.
# The slave stays open here too, so that the master never reads a hang-up
# while the program has it closed.
class PtyPair:
    def __init__(self):
        self.master, self._slave = os.openpty()
        self.slave_path = os.ttyname(self._slave)
        os.set_blocking(self.master, False)

    def close(self):
        os.close(self._slave)
        os.close(self.master)

    def send(self, data):
        view = memoryview(bytes(data))
        while view:
            _, writable, _ = select.select([], [self.master], [], SAFETY_SECONDS)
            if not writable:
                raise TimeoutError("pty stays full")
            try:
                view = view[os.write(self.master, view):]
            except BlockingIOError:
                continue

    def receive(self, count):
        return read_exactly(self.master, count)

    def settings(self):
        fields = TERMIOS2.unpack(fcntl.ioctl(self.master, TCGETS2, bytes(TERMIOS2.size)))
        return types.SimpleNamespace(iflag=fields[0], cflag=fields[2], cc=fields[5], ispeed=fields[6],
                                     ospeed=fields[7])


class Program:
    def __init__(self, binary, directory):
        self.binary, self.directory = binary, directory
        self.process, self.status, self.stderr = None, None, b""
        self.wrapper = []  # a command that runs the program, e.g. with fewer privileges

    def start(self):
        self.process = subprocess.Popen(self.wrapper + [self.binary], cwd=self.directory, stdin=subprocess.DEVNULL,
                                        stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        os.set_blocking(self.process.stderr.fileno(), False)
        return self

    def _read_stderr(self, timeout):
        chunk = select.select([self.process.stderr], [], [], timeout)[0] and self.process.stderr.read()
        self.stderr += chunk or b""
        return bool(chunk)

    def wait_for_line(self, pattern, timeout=SAFETY_SECONDS):
        # The first match in a whole line of standard error, or None when
        # the program ends or `timeout` passes first.
        expression = re.compile(pattern)
        end = time.monotonic() + timeout
        while True:
            for line in self.text().splitlines(keepends=True):
                match = expression.search(line)
                if match and line.endswith("\n"):
                    return match
            left = end - time.monotonic()
            if left <= 0 or not self._read_stderr(left):
                return None

    def text(self):
        return self.stderr.decode("utf-8", "replace")

    def wait(self, timeout=SAFETY_SECONDS):
        if self.status is None:
            self.status = self.process.wait(timeout)
            while self._read_stderr(0):
                pass
            self.process.stderr.close()
        return self.status

    def stop(self):
        # SIGTERM is the EXIT button on Linux. Not yet waited for, a process
        # that has ended stays a zombie: the PID is still ours to signal.
        if self.status is None and self.process.poll() is None:
            os.kill(self.process.pid, signal.SIGTERM)
        return self.wait()


class ServerProgram(Program):
    NOTE = r"^WIN morvane Server: listening on ([0-9.]+):(\d+), serial device (.*)$"

    def listening(self):
        match = self.wait_for_line(self.NOTE)
        if match is None:
            raise AssertionError("server did not start: %r (status %r)" % (self.text(), self.process.poll()))
        self.address, self.port, self.device = match.group(1), int(match.group(2)), match.group(3)
        return self


# The control connection to the server, a listener for the data connection.
class FakeClient:
    def __init__(self, server_port, address=LOOPBACK, server=LOOPBACK):
        self.listener = socket.create_server((address, 0))
        self.control = socket.create_connection((server, server_port), timeout=SAFETY_SECONDS)
        self.control.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        self.data = None
        self.data_port = self.listener.getsockname()[1]

    def connect(self, within=SAFETY_SECONDS):
        self.control.sendall(handshake(self.data_port))
        self.listener.settimeout(within)
        self.data, _ = self.listener.accept()
        self.data.settimeout(SAFETY_SECONDS)
        return self

    def send_record(self, code, data=b""):
        self.control.sendall(record(code, data))

    def receive(self, count):
        return receive_exactly(self.data, count)

    def sees_end(self, sock):
        # Whether the server closed `sock`'s connection.
        sock.settimeout(SAFETY_SECONDS)
        try:
            while sock.recv(4096):
                pass
        except socket.timeout:
            return False
        except OSError as error:
            return error.errno in (errno.ECONNRESET, errno.EPIPE)
        return True

    def close(self):
        for sock in filter(None, (self.data, self.control, self.listener)):
            sock.close()


# A temporary folder and a pty as the device; the programs a test starts
# end with it.
class ProgramTest(unittest.TestCase):
    SERVER = None  # set by the test script

    def setUp(self):
        self.directory = self.enterContext(tempfile.TemporaryDirectory())
        self.device = PtyPair()
        self.addCleanup(lambda: self.device.close())

    def program(self, binary, section, **keys):
        # Started in the folder named after its section.
        folder = os.path.join(self.directory, section.lower())
        os.makedirs(folder, exist_ok=True)
        write_settings(folder, section, **keys)
        program = (ServerProgram if section == "SERVER" else Program)(binary, folder).start()
        self.addCleanup(program.stop)
        return program

    def start_server(self, **keys):
        # On the pty; com=0 never opens: the "device" key wins.
        keys = dict(dict(com=0, port=0, client=LOOPBACK, device=self.device.slave_path), **keys)
        self.server = self.program(self.SERVER, "SERVER", **keys).listening()
        return self.server
