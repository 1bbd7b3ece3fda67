"""morvane-server run as a user runs it: a pty as its serial device, clients
that speak the protocol from Python.

Usage: /usr/bin/python3 server_e2e_test.py path/to/morvane-server
"""

import fcntl
import os
import select
import socket
import struct
import sys
import tempfile
import termios
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))

import morvane_support as support  # noqa: E402

SERVER = None
MARKER = b"\xa5"


class ServerTest(unittest.TestCase):
    def setUp(self):
        self.directory = tempfile.TemporaryDirectory()
        self.pty = support.PtyPair()
        self.server = None
        self.clients = []

    def tearDown(self):
        for client in self.clients:
            client.close()
        if self.server is not None:
            self.server.stop()
        self.pty.close()
        self.directory.cleanup()

    def start(self, **keys):
        support.write_settings(self.directory.name, "SERVER", **keys)
        self.server = support.ServerProgram(SERVER, self.directory.name)
        return self.server

    def start_on_pty(self, **keys):
        # com=0 never opens: the "device" key wins.
        settings = dict(com=0, port=0, client=support.LOOPBACK, device=self.pty.slave_path)
        settings.update(keys)
        return self.start(**settings).start_listening()

    def client(self):
        client = support.FakeClient(self.server.port)
        self.clients.append(client)
        return client

    def await_replayed(self, client):
        # Requests are replayed in order: once this character reaches the
        # line, the ones sent before it are in force.
        client.send_record(support.IMMEDIATE_CHAR, MARKER)
        self.assertEqual(self.pty.receive(1), MARKER)


class Sessions(ServerTest):
    def test_a_client_uses_the_port_as_the_protocol_says(self):
        self.start_on_pty()
        self.assertEqual(self.server.device, self.pty.slave_path)
        self.assertEqual(self.pty.settings().ospeed, 9600)
        client = self.client().connect()

        to_port = support.pattern(300)  # more than 64 bytes at once
        client.data.sendall(to_port)
        self.assertEqual(self.pty.receive(len(to_port)), to_port)
        from_port = support.pattern(500)[7:]
        self.pty.send(from_port)
        self.assertEqual(client.receive(len(from_port)), from_port)

        # Records in one segment, in order; SET_DTR has L = 0.
        client.control.sendall(support.baud_record(57600) + support.baud_record(31250) + support.record(support.SET_DTR)
                               + support.record(support.SET_LINE_CONTROL, b"\x02\x00\x08"))
        self.await_replayed(client)
        settings = self.pty.settings()
        self.assertEqual((settings.ispeed, settings.ospeed), (31250, 31250))
        self.assertTrue(settings.cflag & support.CSTOPB)
        client.control.setblocking(False)
        with self.assertRaises(BlockingIOError):
            client.control.recv(1)  # nothing ever comes back
        client.control.setblocking(True)

        # Either connection's end ends the session.
        client.data.close()
        self.assertTrue(client.sees_end(client.control))

    def test_next_client_is_served_and_bad_clients_are_dropped(self):
        self.start_on_pty()
        first = self.client().connect()
        first.control.sendall(support.baud_record(4800))
        self.await_replayed(first)
        first.control.close()
        self.assertTrue(first.sees_end(first.data))
        self.pty.send(b"queued")

        # Stalled clients: fault_test.py.
        garbage = self.client()
        garbage.control.sendall(b"\x00\x00not a client")
        self.assertTrue(garbage.sees_end(garbage.control))
        refusing = self.client()
        closed_port = refusing.data_port
        refusing.listener.close()
        refusing.control.sendall(support.handshake(closed_port))
        self.assertTrue(refusing.sees_end(refusing.control))

        # Bytes from between the sessions come first; the port was not reopened.
        second = self.client().connect()
        self.pty.send(b" then new")
        self.assertEqual(second.receive(15), b"queued then new")
        self.assertEqual(self.pty.settings().ospeed, 4800)
        negative = support.baud_record(1200)
        second.control.sendall(bytes([0x84]) + negative[1:])
        self.assertTrue(second.sees_end(second.data))

        truncated = self.client().connect()
        truncated.control.sendall(support.baud_record(1200)[:8])
        truncated.control.shutdown(socket.SHUT_WR)
        self.assertTrue(truncated.sees_end(truncated.data))

        last = self.client().connect()
        last.data.sendall(b"last")
        self.assertEqual(self.pty.receive(4), b"last")
        self.assertEqual(self.pty.settings().ospeed, 4800)  # neither bad record replayed
        self.assertEqual(self.server.stop(), 0)

    def test_a_handshake_and_a_record_split_over_receives(self):
        self.start_on_pty()
        client = self.client()
        server_end = support.borrowed_socket(self.server.process.pid, client.control.getsockname())
        self.addCleanup(server_end.close)

        def queued(sock, request):
            return int.from_bytes(fcntl.ioctl(sock.fileno(), request, bytes(4)), "little")

        def taken(piece):  # so that what follows comes in a receive of its own
            client.control.sendall(piece)
            self.assertTrue(support.eventually(lambda: queued(client.control, termios.TIOCOUTQ) == 0
                                               and queued(server_end, termios.FIONREAD) == 0))

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
        self.assertEqual(self.pty.settings().ospeed, 57600)

    def test_the_port_is_held_exclusively_and_takes_flow_control(self):
        # Held by someone else, the port does not open; held by the server,
        # a second server cannot open it.
        other = os.open(self.pty.slave_path, os.O_RDWR | os.O_NOCTTY)
        fcntl.flock(other, fcntl.LOCK_EX | fcntl.LOCK_NB)
        self.start(com=0, port=0, client=support.LOOPBACK, device=self.pty.slave_path).start()
        self.assertEqual(self.server.wait(), 2)
        os.close(other)
        self.start_on_pty()
        second = support.ServerProgram(SERVER, self.directory.name).start()
        self.addCleanup(second.stop)
        self.assertEqual(second.wait(), 2)

        def handflow(handshake, replace):
            return support.record(support.SET_HANDFLOW, struct.pack("<IIII", handshake, replace, 10, 10))

        client = self.client().connect()
        client.control.sendall(handflow(0x09, 0x43) + support.record(support.SET_CHARS, b"\0\0\0\0\x21\x23"))
        self.await_replayed(client)
        line = self.pty.settings()
        self.assertTrue(line.cflag & support.CRTSCTS)
        self.assertEqual(line.iflag & (support.IXON | support.IXOFF), support.IXON | support.IXOFF)
        self.assertEqual(line.cc[support.VSTART:support.VSTOP + 1], b"\x21\x23")
        # A pty has no modem lines: DTR, RTS and the rest are taken as over a
        # null-modem cable. SET_DTR, CLR_DTR, SET_RTS, CLR_RTS, break on and
        # off, RESET_DEVICE, CLEAR_STATS, SET_XOFF, SET_XON, SET_MODEM_CONTROL.
        client.control.sendall(b"".join(support.record(code) for code in (
            0x1B0024, 0x1B0028, 0x1B0030, 0x1B0034, 0x1B0010, 0x1B0014, 0x1B002C, 0x1B0090, 0x1B0038, 0x1B003C))
            + support.record(0x1B0098, struct.pack("<I", 3)) + handflow(0, 0) + handflow(0x01, 0xC0)
            + handflow(0x01, 0x40))
        self.await_replayed(client)
        line = self.pty.settings()
        self.assertFalse(line.cflag & support.CRTSCTS)
        self.assertEqual(line.iflag & (support.IXON | support.IXOFF), 0)

    def test_rejected_replay_ends_the_server_with_status_1(self):
        self.start_on_pty()
        client = self.client().connect()
        client.send_record(support.GET_BAUD_RATE)
        self.assertEqual(self.server.wait(), 1)
        self.assertIn("WIN morvane Server: seiral ioctl error\n", self.server.text())


class ReadInterval(ServerTest):
    # Well inside the 1.14 s after which a 64-byte read ends on its own.
    WAIT_SECONDS = 0.5

    def lone_byte_arrives(self, interval):
        self.start_on_pty(interval=interval)
        client = self.client().connect()
        self.pty.send(b"!")
        readable, _, _ = select.select([client.data], [], [], self.WAIT_SECONDS)
        return bool(readable) and client.data.recv(1) == b"!"

    def test_interval_0_forwards_a_lone_byte_at_once_and_a_burst_in_few_pieces(self):
        self.assertTrue(self.lone_byte_arrives(0))
        client, burst = self.clients[0], support.pattern(4000)  # 63 pieces of 64 bytes
        before = support.pieces_received(client.data)
        self.pty.send(burst)
        self.assertEqual(client.receive(len(burst)), burst)
        self.assertLess(support.pieces_received(client.data) - before, 8)

    def test_long_interval_holds_a_lone_byte(self):
        self.assertFalse(self.lone_byte_arrives(10000))


class Startup(ServerTest):
    def test_port_modulo_65536_and_loopback_client(self):
        wanted = support.free_port()
        self.start_on_pty(port=65536 + wanted)
        self.assertEqual((self.server.address, self.server.port), ("127.0.0.1", wanted))
        self.client().connect()

    def test_failures_end_with_status_2_and_their_message(self):
        for keys, message in ((None, support.MESSAGE_SERIAL),
                              (dict(port=0, client="192.0.2.1", device=self.pty.slave_path), support.MESSAGE_NETWORK)):
            with self.subTest(keys=keys):
                if keys is None:  # no settings file: port 8875, no device
                    if not support.port_is_free(8875):
                        self.skipTest("port 8875 is in use here")
                    self.server = support.ServerProgram(SERVER, self.directory.name).start()
                else:
                    self.start(**keys).start()
                self.assertEqual(self.server.wait(), 2)
                self.assertIn("WIN morvane Server: " + message, self.server.text())


if __name__ == "__main__":
    SERVER = os.path.abspath(sys.argv.pop(1))
    unittest.main()
