# morvane-server on a pty against clients played in Python; argument: the
# server, then optionally the test classes to run.

import ctypes
import fcntl
import grp
import os
import re
import resource
import select
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import termios
import threading
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))

import morvane_support as support  # noqa: E402

MARKER = b"\xa5"
IMMEDIATE_CHAR, SET_DTR, GET_BAUD_RATE = 0x1B0018, 0x1B0024, 0x1B0050


def cpu_seconds(pid):
    with open("/proc/%d/stat" % pid) as stat:
        fields = stat.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


class ServerTest(support.ProgramTest):
    def client(self, **where):
        client = support.FakeClient(self.server.port, **where)
        self.addCleanup(client.close)
        return client

    def await_replayed(self, client):
        # Requests are replayed in order: once this character reaches the
        # line, the ones sent before it are in force.
        client.send_record(IMMEDIATE_CHAR, MARKER)
        self.assertEqual(self.device.receive(1), MARKER)

    def served(self, client=None, within=support.SAFETY_SECONDS):
        client = (client or self.client()).connect(within)
        client.data.sendall(b"ping")
        self.assertEqual(self.device.receive(4), b"ping")
        return client


class Sessions(ServerTest):
    def test_clients_one_after_another_use_the_port_as_the_protocol_says(self):
        wanted = support.free_port()
        self.start_server(port=65536 + wanted)  # taken modulo 65536
        self.assertEqual((self.server.address, self.server.port, self.server.device),
                         ("127.0.0.1", wanted, self.device.slave_path))
        self.assertEqual(self.device.settings().ospeed, 9600)
        client = self.client()
        server_end = support.borrowed_socket(self.server.process.pid, client.control.getsockname())
        self.addCleanup(server_end.close)

        def taken(piece):
            self.assertTrue(support.taken(server_end, lambda: client.control.sendall(piece)))

        hello = support.handshake(client.data_port)
        taken(hello[:1])
        client.control.sendall(hello[1:])
        client.listener.settimeout(support.SAFETY_SECONDS)
        client.data, _ = client.listener.accept()
        # Small pieces go out at once on both connections.
        data_end = support.borrowed_socket(self.server.process.pid, client.data.getsockname())
        self.addCleanup(data_end.close)
        for sock in (server_end, data_end):
            self.assertTrue(sock.getsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY))
        # Split inside the length-byte read and inside the rest.
        record = support.baud_record(57600)
        taken(record[:1])
        taken(record[1:4])
        client.control.sendall(record[4:])
        self.await_replayed(client)
        self.assertEqual(self.device.settings().ospeed, 57600)

        to_port = support.pattern(300)  # more than 64 bytes at once
        client.data.sendall(to_port)
        self.assertEqual(self.device.receive(len(to_port)), to_port)
        from_port = support.pattern(500)[7:]
        self.device.send(from_port)
        self.assertEqual(client.receive(len(from_port)), from_port)

        # Records in one segment, in order; SET_DTR has L = 0.
        client.control.sendall(support.baud_record(38400) + support.baud_record(31250) + support.record(SET_DTR)
                               + support.record(support.SET_LINE_CONTROL, b"\x02\x00\x08"))
        self.await_replayed(client)
        settings = self.device.settings()
        self.assertEqual((settings.ispeed, settings.ospeed), (31250, 31250))
        self.assertTrue(settings.cflag & termios.CSTOPB)

        # Either connection's end ends the session (the control's: Faults).
        client.data.close()
        self.assertTrue(client.sees_end(client.control))
        self.device.send(b"queued")

        # Bytes from between the sessions come first; the port was not reopened.
        second = self.client().connect()
        self.device.send(b" then new")
        self.assertEqual(second.receive(15), b"queued then new")
        negative = support.baud_record(1200)
        second.control.sendall(bytes([0x84]) + negative[1:])
        self.assertTrue(second.sees_end(second.data))

        truncated = self.client().connect()
        truncated.control.sendall(support.baud_record(1200)[:8])
        truncated.control.shutdown(socket.SHUT_WR)
        self.assertTrue(truncated.sees_end(truncated.data))

        self.served()
        # Neither bad record replayed, and the port was never reopened.
        self.assertEqual(self.device.settings().ospeed, 31250)
        self.assertEqual(self.server.stop(), 0)

    def test_the_port_is_held_exclusively_and_takes_the_requests_a_com_port_would(self):
        # Held by the server, a second server cannot open it (held by
        # another program: Startup).
        self.start_server(interval=10000)
        second = support.ServerProgram(self.SERVER, self.server.directory).start()
        self.addCleanup(second.stop)
        self.assertEqual(second.wait(), 2)

        def handflow(handshake, replace):
            return support.record(support.SET_HANDFLOW, struct.pack("<IIII", handshake, replace, 10, 10))

        client = self.client().connect()
        client.control.sendall(handflow(0x09, 0x43) + support.record(support.SET_CHARS, b"\0\0\0\0\x21\x23"))
        self.await_replayed(client)
        line = self.device.settings()
        self.assertTrue(line.cflag & termios.CRTSCTS)
        self.assertEqual(line.iflag & (termios.IXON | termios.IXOFF), termios.IXON | termios.IXOFF)
        self.assertEqual(line.cc[termios.VSTART:termios.VSTOP + 1], b"\x21\x23")
        # A pty has no modem lines: DTR, RTS and the rest are taken as over a
        # null-modem cable. SET_DTR, CLR_DTR, SET_RTS, CLR_RTS, break on and
        # off, RESET_DEVICE, CLEAR_STATS, SET_XOFF, SET_XON, SET_MODEM_CONTROL.
        client.control.sendall(b"".join(support.record(code) for code in (
            0x1B0024, 0x1B0028, 0x1B0030, 0x1B0034, 0x1B0010, 0x1B0014, 0x1B002C, 0x1B0090, 0x1B0038, 0x1B003C))
            + support.record(0x1B0098, struct.pack("<I", 3)) + handflow(0, 0) + handflow(0x01, 0xC0)
            + handflow(0x01, 0x40))
        self.await_replayed(client)
        line = self.device.settings()
        self.assertFalse(line.cflag & termios.CRTSCTS)
        self.assertEqual(line.iflag & (termios.IXON | termios.IXOFF), 0)
        # Purges of either queue or both: the device's end in packet mode
        # hears of the line's flushes.
        fcntl.ioctl(self.device.master, termios.TIOCPKT, b"\x01\x00\x00\x00")
        for bits, flushed in ((0x0A, termios.TIOCPKT_FLUSHREAD), (0x05, termios.TIOCPKT_FLUSHWRITE), (0x0F, 3)):
            client.send_record(0x1B004C, struct.pack("<I", bits))
            self.assertEqual(self.device.receive(1), bytes([flushed]))
        fcntl.ioctl(self.device.master, termios.TIOCPKT, bytes(4))
        # Requests a COM port would refuse are skipped, each with its line,
        # and the session goes on: an unknown code, one that returns data,
        # baud rate 0 and cut short, 9 data bits, a bad handflow, purge 0x10.
        refused = [(0xDEADBEEF, b""), (GET_BAUD_RATE, b""), (0x1B0040, b""), (support.SET_BAUD_RATE, bytes(4)),
                   (support.SET_BAUD_RATE, b"\x80\x25\x00"), (support.SET_LINE_CONTROL, b"\x00\x00\x09"),
                   (support.SET_HANDFLOW, struct.pack("<IIII", 3, 0, 0, 0)), (0x1B004C, struct.pack("<I", 0x10))]
        for code, data in refused:
            client.send_record(code, data)
        client.data.sendall(b"still")
        self.assertEqual(self.device.receive(5), b"still")
        for code, _ in refused:
            self.assertTrue(self.server.wait_for_line(r"request 0x%08X refused \(.+\); the session goes on$" % code))
        # A long interval holds a lone byte (half a second: well inside the
        # 1.14 s after which a 64-byte read ends by itself); the next client
        # gets it.
        self.device.send(b"!")
        self.assertFalse(select.select([client.data], [], [], 0.5)[0])
        client.close()
        # The end of the session wakes the read that holds it, and only that one.
        second = self.client().connect()
        self.assertEqual(second.receive(1), b"!")
        self.device.send(b"?")
        self.assertFalse(select.select([second.data], [], [], 0.5)[0])


class Startup(ServerTest):
    def test_failures_end_with_status_2_and_their_message(self):
        on_pty = dict(port=0, client=support.LOOPBACK, device=self.device.slave_path)
        serial, network, settings = support.MESSAGE_SERIAL, support.MESSAGE_NETWORK, support.MESSAGE_SETTINGS
        taken = self.enterContext(socket.create_server((support.LOOPBACK, 0))).getsockname()[1]
        fcntl.flock(self.device._slave, fcntl.LOCK_EX)  # as another program holding the port would
        # Closed to its owner, the server (as root, without the override), open to its group.
        denied, missing = support.PtyPair(), os.path.join(self.directory, "ttyUSB0")
        self.addCleanup(denied.close)
        os.chmod(denied.slave_path, 0o060)
        # No settings file, or none that reads as one: the defaults, port 8875
        # and no device.
        unreadable = [None, os.mkdir, os.mkfifo, lambda path: os.symlink("/dev/zero", path)]
        rows = ([(make, serial, "com: 0 names no port (1 to 9), and device is empty") for make in unreadable]
                + [(dict(on_pty, device=missing), serial, missing + ": No such file or directory"),
                   (dict(on_pty), serial, self.device.slave_path + ": held by another program"),
                   (dict(on_pty, device=denied.slave_path), serial, "%s: Permission denied (is the user in group %s?)"
                    % (denied.slave_path, grp.getgrgid(os.stat(denied.slave_path).st_gid).gr_name)),
                   (dict(on_pty, client="192.0.2.1"), network, "192.0.2.1:0: Cannot assign requested address")]
                + [(dict(on_pty, **{key: taken}), network, "127.0.0.1:%d: Address already in use" % taken)
                   for key in ("port", "rfc2217", "monitor")]
                + [(dict(on_pty, trace="gone/trace.log"), settings, "trace: gone/trace.log: No such file or directory")]
                + [(dict(on_pty, allow=allow), settings, "allow: '%s' is not an IPv4 address or CIDR range" % allow.split(",")[-1])
                   for allow in ("127.0.0.1,", "10.0.0.0/33", "10.0.0", "localhost")])
        for row, message, detail in rows:
            with self.subTest(row=row):
                folder = tempfile.mkdtemp(dir=self.directory)
                if isinstance(row, dict):
                    support.write_settings(folder, "SERVER", **row)
                elif not support.port_is_free(8875):
                    self.skipTest("port 8875 is in use here")
                elif row:
                    row(os.path.join(folder, "morvane.ini"))
                server = support.ServerProgram(self.SERVER, folder)
                server.wrapper = ["setpriv", "--bounding-set=-dac_override,-dac_read_search"] if os.geteuid() == 0 else []
                self.assertEqual(server.start().wait(), 2)
                # What failed and why, after the catalogue text and its gloss.
                self.assertRegex(server.text(), r"WIN morvane Server: %s \([a-z. ]+\): %s$" % (re.escape(message), re.escape(detail)))


class Faults(ServerTest):
    def test_stalled_clients_and_missing_descriptors_only_cost_their_connection(self):
        self.start_server()
        full = self.enterContext(socket.create_server((support.LOOPBACK, 0), backlog=0)).getsockname()
        self.enterContext(socket.create_connection(full))  # the queue is full: SYNs go unanswered
        # Each one costs one console line that says why. The urgent byte is
        # one no read returns.
        dropped, silent, refused = [], "0 of 2 handshake bytes within 5 s", "connection back to port %d: Connection refused"
        for greeting, how, why in ((b"", None, silent), (b"\x10", None, "1 of 2 handshake bytes within 5 s"),
                                   (b"\x10", "close", "1 of 2 handshake bytes, then closed"),
                                   (b"\x00\x00not a client", None, refused % 0), (None, None, refused),
                                   (support.handshake(full[1]), None, "connection back to port %d: no answer within 5 s" % full[1]),
                                   (b"!", "urgent", silent)):
            stalled, waiting = self.client(), self.client()
            if greeting is None:  # names a port nobody listens on
                greeting, why = support.handshake(stalled.data_port), why % stalled.data_port
                stalled.listener.close()
            stalled.control.send(greeting, socket.MSG_OOB if how == "urgent" else 0)
            if how == "close":
                stalled.control.shutdown(socket.SHUT_WR)
            self.served(waiting, within=6)  # past the 5 s for the handshake and the connection back
            self.assertTrue(stalled.sees_end(stalled.control))
            # Written before the next session's line.
            self.assertTrue(self.server.wait_for_line(r"session with 127\.0\.0\.1, data port %d$" % waiting.data_port))
            dropped.append(why)
            self.assertEqual(re.findall(r"^WIN morvane Server: connection from 127\.0\.0\.1 dropped \((.*)\)$", self.server.text(), re.M), dropped)
            waiting.close()
        # The next descriptor is over the limit: one client's accept or
        # connect-back fails, and the server accepts again once it is lifted.
        pid = self.server.process.pid
        used = {int(fd) for fd in os.listdir("/proc/%d/fd" % pid)}
        limits = resource.prlimit(pid, resource.RLIMIT_NOFILE)
        resource.prlimit(pid, resource.RLIMIT_NOFILE, (min(set(range(len(used) + 1)) - used), limits[1]))
        first, second = self.client(), self.client()
        first.control.sendall(support.handshake(first.data_port))
        time.sleep(0.5)  # accepts fail meanwhile
        first.close()
        resource.prlimit(pid, resource.RLIMIT_NOFILE, limits)
        self.served(second)

    def test_a_lost_port_ends_the_session_without_spinning_and_opens_again_by_name(self):
        link = os.path.join(self.directory, "ttyUSB")
        os.symlink(self.device.slave_path, link)
        self.start_server(device=link, interval=0)
        client = self.served()
        # interval=0: a lone byte at once (the half second: Sessions), a burst in few pieces of 64.
        self.device.send(b"!")
        self.assertTrue(select.select([client.data], [], [], 0.5)[0])
        before, burst = support.pieces_received(client.data), support.pattern(4000)
        self.device.send(burst)
        self.assertEqual(client.receive(4001), b"!" + burst)
        self.assertLess(support.pieces_received(client.data) - before, 8)
        fcntl.ioctl(self.device._slave, 0x5437)  # TIOCVHANGUP: reads give 0, as after an unplug
        # udev removes the link too; left in place, it could lead the server
        # to another test's pty that gets the freed number.
        os.remove(link)
        self.device.close()
        self.assertTrue(client.sees_end(client.data) and client.sees_end(client.control))
        self.assertTrue(self.server.wait_for_line(r"session ended \(port lost\), 4 bytes to the port, 4001 bytes from"))
        self.assertTrue(self.server.wait_for_line(r"serial device %s lost" % link))
        spent = cpu_seconds(self.server.process.pid)
        turned_away = self.client()
        self.assertTrue(turned_away.sees_end(turned_away.control))
        time.sleep(3)  # the span the CPU time is measured over
        self.assertLess(cpu_seconds(self.server.process.pid) - spent, 0.1)
        self.device = support.PtyPair()
        os.symlink(self.device.slave_path, link + ".new")
        os.rename(link + ".new", link)
        self.assertTrue(self.server.wait_for_line(r"serial device %s open again" % link))
        self.device.send(b"pong")
        self.assertEqual(self.served().receive(4), b"pong")

    def test_a_stopped_line_loses_nothing_and_does_not_outlive_its_client(self):
        rfc2217 = support.free_port()
        self.start_server(rfc2217=rfc2217)
        client = self.client().connect()
        client.send_record(0x1B0064, struct.pack("<IIII", 0, 1, 0, 0))  # SET_HANDFLOW: output XON/XOFF
        self.await_replayed(client)
        self.device.send(b"\x13")
        sent = support.pattern(100_000)
        threading.Thread(target=client.data.sendall, args=(sent,), daemon=True).start()
        time.sleep(3)  # XOFF held past the write time-outs
        # A request the stopped line cannot take is refused; the rest waits.
        client.send_record(IMMEDIATE_CHAR, b"!")
        self.assertTrue(self.server.wait_for_line(r"request 0x001B0018 refused"))
        self.device.send(b"\x11")
        self.assertEqual(self.device.receive(len(sent)), sent)
        # Clients that leave bytes waiting for a stopped line: after SET_XOFF
        # and SET_BREAK_ON, which the next session undoes, or through RFC 2217
        # (with FLOWCONTROL-SUSPEND or not) while the device holds the line.
        # The next one is served at once, and its bytes go without theirs.
        client.control.sendall(support.record(0x1B0038) + support.record(0x1B0010))
        client.data.sendall(b"left behind")
        client.close()
        self.served(within=2).close()
        for suspend in (b"", bytes([255, 250, 44, 8, 255, 240])):
            with socket.create_connection((support.LOOPBACK, rfc2217)) as other:
                other.recv(1)  # its session has begun
                fcntl.ioctl(self.device.master, termios.TIOCPKT, b"\x01\x00\x00\x00")
                self.device.send(b"\x13")
                while not self.device.receive(1)[0] & termios.TIOCPKT_STOP:  # before any byte is sent
                    pass
                fcntl.ioctl(self.device.master, termios.TIOCPKT, bytes(4))
                other.sendall(suspend + b"left behind too" * 2000)  # more than the pty holds
            client = self.client().connect(within=2)
            client.data.sendall(b"ping")
            self.device.send(b"\x11")
            self.assertEqual(self.device.receive(4), b"ping")
            client.close()

    def test_turnover_and_allow_then_signals_end_the_server_and_it_starts_again_on_its_port(self):
        port = support.free_port()
        for signal_number in (signal.SIGHUP, signal.SIGQUIT):
            # Host bits set: 127.0.0.0 and .1. On the port, right after the last session.
            self.start_server(port=port, allow="10.0.0.5, 127.0.0.1/31")
            descriptors = "/proc/%d/fd" % self.server.process.pid
            first = self.served()
            held = len(os.listdir(descriptors))  # while a session runs
            # Its pump waits for room that never comes; the control's close still ends it.
            self.assertRaises(TimeoutError, self.device.send, bytes(1 << 25))
            first.control.close()
            for _ in range(200):
                self.client().connect().close()
            stranger = self.enterContext(socket.create_connection((support.LOOPBACK, port), support.SAFETY_SECONDS,
                                                                  ("127.0.0.2", 0)))
            self.assertEqual(stranger.recv(1), b"")
            self.assertTrue(self.server.wait_for_line(r"connection from 127\.0\.0\.2 refused"))
            self.served()
            self.assertEqual(len(os.listdir(descriptors)), held)
            os.kill(self.server.process.pid, signal_number)
            self.assertEqual(self.server.wait(), 0)
            self.assertNotIn("error", self.server.text())
            self.assertEqual(fcntl.ioctl(self.device._slave, support.TIOCGEXCL, bytes(4)), bytes(4))


def traced(text, direction):
    # The bytes of the data lines one way: n bytes take 3n - 1 characters in
    # hex, two spaces, then n as text.
    out = bytearray()
    for line in text.splitlines():
        _, kind, rest = line.split(" ", 2)
        if kind == direction:
            count = (len(rest) - 1) // 4
            data = bytes.fromhex(rest[:3 * count - 1])
            assert rest[-count:] == "".join(chr(b) if 32 <= b < 127 else "." for b in data), line
            out += data
    return bytes(out)


class Trace(ServerTest):
    def test_the_trace_file_holds_every_byte_request_and_session_and_follows_moves_and_its_limit(self):
        rfc2217 = support.free_port()
        self.start_server(trace="trace.log", trace_limit=1, rfc2217=rfc2217)
        path = os.path.join(self.server.directory, "trace.log")
        client = self.client().connect()
        client.control.sendall(support.baud_record(115200) + support.record(support.SET_LINE_CONTROL, b"\x00\x02\x08")
                               + support.record(0x1B004C, struct.pack("<I", 8)) + support.record(0xDEADBEEF))
        self.await_replayed(client)
        to_port, from_port = bytes(range(256)) * 256, bytes(range(255, -1, -1)) * 256
        threading.Thread(target=client.data.sendall, args=(to_port,), daemon=True).start()
        self.assertEqual(self.device.receive(len(to_port)), to_port)
        self.device.send(from_port)
        self.assertEqual(client.receive(len(from_port)), from_port)
        # Moved away as logrotate does: the next lines go to a new file.
        os.rename(path, path + ".moved")
        self.assertTrue(support.eventually(lambda: os.path.exists(path)))
        more = support.pattern(300_000)  # past trace_limit: trace.log.1 and a new trace.log
        threading.Thread(target=client.data.sendall, args=(more,), daemon=True).start()
        self.assertEqual(self.device.receive(len(more)), more)
        client.close()
        self.assertTrue(self.server.wait_for_line(r"session ended"))
        with socket.create_connection((support.LOOPBACK, rfc2217)) as other:
            other.sendall(bytes([255, 251, 44, 255, 250, 44, 1]) + struct.pack(">I", 57600) + bytes([255, 240]))
            self.device.send(b"\xffback")  # IAC doubled on the way, once in the trace
            answer = b""
            while b"\xff\xffback" not in answer or bytes([255, 250, 44, 101]) not in answer:
                answer += other.recv(100)
            self.assertTrue(self.server.wait_for_line(r"session with 127\.0\.0\.1 on the RFC 2217 port"))
        self.assertTrue(self.server.wait_for_line(r"session ended \(client closed\), 0 bytes to the port, 5 bytes from"))
        self.assertGreaterEqual(os.path.getsize(path + ".1"), 1 << 20)
        text = ""
        for suffix in (".moved", ".1", ""):
            with open(path + suffix, encoding="latin-1") as part:
                text += part.read()
        self.assertEqual(traced(text, "port<-net"), to_port + more)
        self.assertEqual(traced(text, "port->net"), from_port + b"\xffback")
        self.assertRegex(text[:27], r"^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{6} $")
        events = set(re.findall(r"(?m)^\S+ ((?:session|request|rfc2217) .*)$", text))
        self.assertEqual({
            "session start 127.0.0.1 native, data port %d" % client.data_port, "request SET_BAUD_RATE 115200",
            "request SET_LINE_CONTROL 8E1", "request PURGE rx", "request 0xDEADBEEF refused (unknown code)",
            "request IMMEDIATE_CHAR a5", "session end 127.0.0.1 (client closed), %d bytes to the port, %d bytes "
            "from the port" % (len(to_port + more), len(from_port)), "session start 127.0.0.1 rfc2217",
            "request SET_BAUD_RATE 57600", "rfc2217 SET-BAUDRATE 57600 -> SET-BAUDRATE 57600"} - events, set())

    def test_observers_see_the_same_lines_and_neither_a_slow_one_nor_their_input_touches_the_session(self):
        monitor = support.free_port()
        self.start_server(monitor=monitor, allow="127.0.0.1")
        with socket.create_connection((support.LOOPBACK, monitor), support.SAFETY_SECONDS, ("127.0.0.2", 0)) as stranger:
            self.assertEqual(stranger.recv(100), b"")  # not in allow

        def observer(window=None):
            sock = self.enterContext(socket.socket())
            if window:
                sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, window)
            sock.settimeout(30)  # the trace's writer has only the processor time nothing else wants
            sock.connect((support.LOOPBACK, monitor))
            reader = sock.makefile("rb")
            self.assertRegex(reader.readline(), rb" monitor observer \d of 8 from 127\.0\.0\.1\n$")
            return sock, reader

        (_, first), (_, second), (slow, slow_reader) = observer(), observer(), observer(4096)
        slow.sendall(b"never a byte for the port" * 1000)
        for _ in range(5):
            observer()
        with socket.create_connection((support.LOOPBACK, monitor), support.SAFETY_SECONDS) as ninth:
            self.assertRegex(ninth.makefile("rb").read(), rb"^\S+ monitor full: 8 observers already\n$")
        # A session both follow line by line. Its lines overfill the slow
        # one's socket: what comes later cannot all wait for it.
        client = self.client().connect()
        sent = support.pattern(1 << 16)
        client.data.sendall(sent)
        self.assertEqual(self.device.receive(len(sent)), sent)
        self.await_replayed(client)  # the next byte on the line: no observer's
        client.close()
        seen = []
        for reader in (first, second):
            lines = [reader.readline()]
            while b" session end " not in lines[-1]:
                lines.append(reader.readline())
            seen.append(b"".join(lines))
        self.assertEqual(seen[0], seen[1])
        self.assertEqual(traced(seen[0].decode("latin-1"), "port<-net"), sent)

        # Observers that stop reading hold nothing back.
        client = self.client().connect()
        sent = support.pattern(1 << 20)
        threading.Thread(target=client.data.sendall, args=(sent,), daemon=True).start()
        self.assertEqual(self.device.receive(len(sent)), sent)
        client.close()
        # Said once its lines are with the observers: the slow one has missed some.
        self.assertTrue(self.server.wait_for_line(r"session ended \(client closed\), 1048576 bytes to", 30))
        # Once it reads, the slow one learns how many lines it missed.
        while not re.search(rb" monitor \d+ lines dropped\n$", slow_reader.readline()):
            pass


class VanishedPeer(ServerTest):
    def test_a_vanished_client_ends_its_session_within_the_keepalive_bound(self):
        # This test and the server in a network namespace of their own, the
        # clients' sockets in another, joined by a veth pair.
        libc, other = ctypes.CDLL(None, use_errno=True), "morvane%d" % os.getpid()
        self.addCleanup(subprocess.run, ["ip", "netns", "del", other], capture_output=True)
        try:
            if libc.unshare(0x40000000) != 0:  # CLONE_NEWNET
                raise OSError(ctypes.get_errno(), "unshare")
            for command in ("netns add " + other, "link add vs type veth peer name vc netns " + other,
                            "addr add 10.201.0.1/24 dev vs", "link set vs up",
                            "-n %s addr add 10.201.0.2/24 dev vc" % other, "-n %s link set vc up" % other):
                subprocess.run(["ip"] + command.split(), check=True, capture_output=True)
        except (OSError, subprocess.CalledProcessError) as error:
            self.skipTest("no network namespaces here: %s" % error)
        rfc2217 = support.free_port()
        self.start_server(client="10.201.0.1", rfc2217=rfc2217)
        home, away = open("/proc/self/ns/net"), open("/run/netns/" + other)
        # No FIN, no RST: keepalive tells of an idle connection, the bound on
        # unacknowledged bytes of one the server sends on (RFC 2217: the
        # device's bytes).
        for protocol, vanishes in (("native", True), ("rfc2217", True), ("native", False)):
            libc.setns(away.fileno(), 0x40000000)
            if protocol == "native":
                client = self.client(address="10.201.0.2", server="10.201.0.1")
            else:
                client = self.enterContext(socket.create_connection(("10.201.0.1", rfc2217), support.SAFETY_SECONDS))
            libc.setns(home.fileno(), 0x40000000)
            if protocol == "native":
                self.served(client)  # and held to the end: a close would send a FIN
            else:
                self.assertTrue(client.recv(1))
            if vanishes:
                subprocess.run(["ip", "-n", other, "link", "set", "vc", "down"], check=True)
                self.device.send(b"unanswered" if protocol == "rfc2217" else b"")
                # Keepalive: idle 10 s, then 3 probes 5 s apart.
                self.assertTrue(self.server.wait_for_line(r"session ended \(peer lost\), %d bytes to the port"
                                                          % (4 if protocol == "native" else 0), 30))
                subprocess.run(["ip", "-n", other, "link", "set", "vc", "up"], check=True)


if __name__ == "__main__":
    support.ProgramTest.SERVER = os.path.abspath(sys.argv.pop(1))
    unittest.main()
