"""Runs morvane-client (and morvane-server) as a user would, in a scratch
directory, for the Python tests of the client."""

import os
import select
import shutil
import signal
import socket
import struct
import subprocess
import tempfile
import time

TITLE = "WIN morvane Client"
LIMIT = 20  # seconds: a safety net, never a synchronisation


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def read_exactly(sock, count):
    data = bytearray()
    while len(data) < count:
        piece = sock.recv(min(65536, count - len(data)))
        if not piece:
            break
        data += piece
    return bytes(data)


def read_fd_exactly(fd, count):
    data = bytearray()
    deadline = time.monotonic() + LIMIT
    while len(data) < count and time.monotonic() < deadline:
        ready, _, _ = select.select([fd], [], [], LIMIT)
        if not ready:
            break
        data += os.read(fd, count - len(data))
    return bytes(data)


def parse_records(data):
    """(code, input) pairs and the bytes of an unfinished record."""
    records = []
    while len(data) >= 6 and len(data) >= 6 + data[0]:
        length = data[0]
        records.append((struct.unpack("<I", data[2:6])[0], bytes(data[6:6 + length])))
        data = data[6 + length:]
    return records, data


class Program:
    """One program started in `directory` with its standard error captured."""

    def __init__(self, path, directory):
        self.process = subprocess.Popen([path], cwd=directory, stdin=subprocess.DEVNULL,
                                        stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        self.lines = []

    def wait_line(self, text):
        """Reads standard error until a line holds `text`; that line."""
        deadline = time.monotonic() + LIMIT
        pending = b""
        while True:
            for line in self.lines:
                if text in line:
                    return line
            left = deadline - time.monotonic()
            ready, _, _ = select.select([self.process.stderr], [], [], max(left, 0))
            if not ready:
                raise AssertionError("no line with %r, got %r" % (text, self.lines))
            piece = os.read(self.process.stderr.fileno(), 4096)
            if not piece:
                raise AssertionError("ended without %r, got %r" % (text, self.lines))
            pending += piece
            *complete, pending = pending.split(b"\n")
            self.lines += [line.decode("utf-8", "replace") for line in complete]

    def finish(self):
        """Waits for the end; (status, every line of standard error)."""
        try:
            self.process.wait(LIMIT)
        except subprocess.TimeoutExpired:
            self.process.kill()
            raise
        if not self.process.stderr.closed:
            rest = self.process.stderr.read().decode("utf-8", "replace")
            self.process.stderr.close()
            self.lines += [line for line in rest.split("\n") if line]
        return self.process.wait(LIMIT), self.lines

    def stop(self, signal_number=signal.SIGTERM):
        if self.process.poll() is None:
            self.process.send_signal(signal_number)
        return self.finish()

    def running(self):
        return self.process.poll() is None


class Scratch:
    """A scratch directory with a morvane.ini."""

    def __init__(self):
        self.path = tempfile.mkdtemp(prefix="morvane-client-")

    def settings(self, text):
        with open(os.path.join(self.path, "morvane.ini"), "w") as file:
            file.write(text)

    def join(self, name):
        return os.path.join(self.path, name)

    def remove(self):
        shutil.rmtree(self.path, ignore_errors=True)


class FakeServer:
    """Plays the server's side of the connection set-up."""

    def __init__(self):
        self.listener = socket.socket()
        self.listener.bind(("127.0.0.1", 0))
        self.listener.listen(1)
        self.port = self.listener.getsockname()[1]
        self.control = None
        self.data = None
        self.pending = b""

    def accept_session(self):
        self.listener.settimeout(LIMIT)
        self.control, peer = self.listener.accept()
        self.control.settimeout(LIMIT)
        wire = self.control.recv(3)
        assert len(wire) == 2, wire
        self.data = socket.create_connection((peer[0], struct.unpack(">H", wire)[0]), LIMIT)

    def next_records(self):
        """The complete records that arrive with the next receive."""
        while True:
            piece = self.control.recv(4096)
            if not piece:
                return None
            records, self.pending = parse_records(self.pending + piece)
            if records:
                return records

    def close(self):
        for sock in (self.data, self.control, self.listener):
            if sock is not None:
                sock.close()
