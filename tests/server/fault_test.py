"""morvane-server through faults: silent and vanished peers, accept
failures, a lost or stopped line, restarts, signals, strange settings files,
turnover and the "allow" list. A pty stands in for the device.

Usage: /usr/bin/python3 fault_test.py path/to/morvane-server [unittest args]
       /usr/bin/python3 fault_test.py --client HOST PORT   (a client for a namespace)
"""

import fcntl
import os
import resource
import signal
import socket
import struct
import subprocess
import sys
import threading
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))

import morvane_support as support  # noqa: E402
import server_e2e_test  # noqa: E402
from server_e2e_test import ServerTest  # noqa: E402

SET_XOFF = 0x1B0038
SET_BREAK_ON = 0x1B0010
SET_HANDFLOW = 0x1B0064
TIOCGEXCL = 0x80045440
HANDSHAKE_DEADLINE = 5.0
KEEPALIVE_BOUND = 10 + 3 * 5
MESSAGE_SETTINGS = "morvane.ini ファイルに誤りがあります"


def cpu_seconds(pid):
    with open("/proc/%d/stat" % pid) as stat:
        fields = stat.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def lowest_free_descriptor(pid):
    used = {int(name) for name in os.listdir("/proc/%d/fd" % pid)}
    return next(fd for fd in range(len(used) + 1) if fd not in used)


class NamespacedServer(support.ServerProgram):
    def __init__(self, namespace, directory):
        super().__init__(SERVER, directory)
        self.namespace = namespace

    def start(self):
        self.process = subprocess.Popen(["ip", "netns", "exec", self.namespace, self.binary], cwd=self.directory,
                                        stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        os.set_blocking(self.process.stderr.fileno(), False)
        return self


class Faults(ServerTest):
    def served(self, client=None, within=support.SAFETY_SECONDS):
        """A session for `client` (a new one by default, which sends its
        handshake here) with data flowing."""
        if client is None:
            client = self.client()
            client.control.sendall(support.handshake(client.data_port))
        client.listener.settimeout(within)
        client.data, _ = client.listener.accept()
        client.data.sendall(b"ping")
        self.assertEqual(self.pty.receive(4), b"ping")
        return client

    def end(self, client):
        client.close()
        self.assertTrue(self.server.wait_for_line(r"session ended"))
        self.server.stderr = b""

    def test_silent_and_half_clients_and_a_connect_back_nobody_answers_are_dropped(self):
        self.start_on_pty()
        for kind in ("silent", "half", "unanswered"):
            with self.subTest(kind=kind):
                stalled = self.client()
                if kind == "half":
                    stalled.control.sendall(b"\x10")
                if kind == "unanswered":
                    # A full backlog of 0 drops further SYNs: the connect-back hangs.
                    stalled.listener.listen(0)
                    self.clients.append(support.FakeClient(stalled.data_port))
                    stalled.control.sendall(support.handshake(stalled.data_port))
                started = time.monotonic()
                waiting = self.client()
                waiting.control.sendall(support.handshake(waiting.data_port))
                self.served(waiting, within=HANDSHAKE_DEADLINE + 1)
                self.assertLess(time.monotonic() - started, HANDSHAKE_DEADLINE + 1)
                self.assertTrue(stalled.sees_end(stalled.control))
                self.end(waiting)

    def test_running_out_of_descriptors_does_not_end_the_server(self):
        self.start_on_pty()
        pid = self.server.process.pid
        # The next descriptor would be the first at or above the limit: the
        # accept or the connect-back of the first client fails, the second
        # client's accept fails until the limit is back.
        limits = resource.prlimit(pid, resource.RLIMIT_NOFILE)
        resource.prlimit(pid, resource.RLIMIT_NOFILE, (lowest_free_descriptor(pid), limits[1]))
        first, second = self.client(), self.client()
        for client in (first, second):
            client.control.sendall(support.handshake(client.data_port))
        self.assertIsNone(self.server.wait_for_line(r"session with", timeout=0.5))
        first.close()
        resource.prlimit(pid, resource.RLIMIT_NOFILE, limits)
        self.served(second)

    def test_a_lost_port_ends_the_session_quietly_and_is_reopened_by_name(self):
        link = os.path.join(self.directory.name, "ttyUSB")
        os.symlink(self.pty.slave_path, link)
        self.start_on_pty(device=link, interval=0)
        client = self.served()
        self.assertTrue(self.server.wait_for_line(r"session with 127\.0\.0\.1, data port %d" % client.data_port))
        self.pty.close()
        self.assertTrue(client.sees_end(client.data) and client.sees_end(client.control))
        self.assertTrue(self.server.wait_for_line(r"session ended \(port lost\), 4 bytes to the port"))
        self.assertTrue(self.server.wait_for_line(r"serial device %s lost" % link))
        spent = cpu_seconds(self.server.process.pid)
        turned_away = self.client()
        self.assertTrue(turned_away.sees_end(turned_away.control))
        time.sleep(3)  # the span the CPU time is measured over
        self.assertLess(cpu_seconds(self.server.process.pid) - spent, 0.1)

        self.pty = support.PtyPair()
        os.symlink(self.pty.slave_path, link + ".new")
        os.rename(link + ".new", link)
        self.assertTrue(self.server.wait_for_line(r"serial device %s open again" % link))
        client = self.served()
        self.pty.send(b"pong")
        self.assertEqual(client.receive(4), b"pong")

    def test_a_stopped_line_loses_nothing_and_the_next_client_finds_it_running(self):
        self.start_on_pty()
        client = self.client().connect()
        client.send_record(SET_HANDFLOW, struct.pack("<IIII", 0, 1, 0, 0))  # output XON/XOFF
        self.await_replayed(client)
        self.pty.send(b"\x13")
        sent = bytes((i * 13 + i // 251) & 0xFF for i in range(100_000))
        sender = threading.Thread(target=client.data.sendall, args=(sent,))
        sender.start()
        time.sleep(3)  # XOFF held this long
        self.pty.send(b"\x11")
        self.assertEqual(self.pty.receive(len(sent)), sent)
        sender.join()

        # A client that stops the line and goes away does not stop the next;
        # its requests come before the close, so they are replayed.
        client.control.sendall(support.record(SET_XOFF) + support.record(SET_BREAK_ON))
        client.control.close()
        self.assertTrue(client.sees_end(client.data))
        self.served()

    def test_restart_right_after_a_session_listens_at_once(self):
        self.start_on_pty(port=support.free_port())
        port = self.server.port
        self.served()
        self.assertEqual(self.server.stop(), 0)
        self.start_on_pty(port=port)
        self.assertEqual(self.server.port, port)

    def test_hang_up_and_quit_end_cleanly_and_release_the_port(self):
        for signal_number in (signal.SIGHUP, signal.SIGQUIT):
            self.start_on_pty()
            self.served()
            os.kill(self.server.process.pid, signal_number)
            self.assertEqual(self.server.wait(), 0)
            self.assertNotIn("error", self.server.text())
            excl = fcntl.ioctl(self.pty._slave, TIOCGEXCL, bytes(4))
            self.assertEqual(struct.unpack("i", excl)[0], 0)

    def test_strange_settings_files_count_as_missing(self):
        path = os.path.join(self.directory.name, "morvane.ini")
        for make in (os.mkdir, os.mkfifo, lambda name: os.symlink("/dev/zero", name)):
            with self.subTest(make=make):
                make(path)
                self.server = support.ServerProgram(SERVER, self.directory.name).start()
                self.assertEqual(self.server.wait(), 2)  # the defaults: no port to open
                (os.rmdir if os.path.isdir(path) and not os.path.islink(path) else os.remove)(path)

    def test_sessions_turn_over_without_waiting_for_a_read(self):
        self.start_on_pty()
        started = time.monotonic()
        for _ in range(200):
            client = self.client().connect()
            client.close()
            self.clients.remove(client)
        self.served()
        print("\n200 sessions in %.2f s" % (time.monotonic() - started), file=sys.stderr)

    def test_allow_list(self):
        self.start_on_pty(allow="10.0.0.0/8, 127.0.0.1")
        stranger = socket.create_connection((support.LOOPBACK, self.server.port), timeout=support.SAFETY_SECONDS,
                                            source_address=("127.0.0.2", 0))
        self.assertEqual(stranger.recv(1), b"")
        self.assertTrue(self.server.wait_for_line(r"connection from 127\.0\.0\.2 refused"))
        stranger.close()
        self.served()
        for malformed in ("127.0.0.1,", "10.0.0.0/33", "10.0.0", "localhost"):
            with self.subTest(allow=malformed):
                self.server.stop()
                self.start(port=0, client=support.LOOPBACK, device=self.pty.slave_path, allow=malformed).start()
                self.assertEqual(self.server.wait(), 2)
                self.assertIn(MESSAGE_SETTINGS, self.server.text())


class VanishedPeer(ServerTest):
    """Server and client in two network namespaces of our own, joined by a
    veth pair; the client's link goes down without a FIN or RST."""

    def ip(self, *args):
        subprocess.run(["ip"] + list(args), check=True, capture_output=True)

    def setUp(self):
        super().setUp()
        suffix = str(os.getpid())
        self.namespaces = ["mvs" + suffix, "mvc" + suffix]
        self.peers = []
        try:
            for name in self.namespaces:
                self.ip("netns", "add", name)
            self.ip("link", "add", "vs" + suffix, "netns", self.namespaces[0], "type", "veth", "peer", "name",
                    "vc" + suffix, "netns", self.namespaces[1])
        except (OSError, subprocess.CalledProcessError) as error:
            self.tearDown()
            self.skipTest("no network namespaces here: %s" % getattr(error, "stderr", error))
        for name, device, address in ((self.namespaces[0], "vs" + suffix, "10.201.0.1/24"),
                                      (self.namespaces[1], "vc" + suffix, "10.201.0.2/24")):
            self.ip("-n", name, "addr", "add", address, "dev", device)
            self.ip("-n", name, "link", "set", device, "up")
            self.ip("-n", name, "link", "set", "lo", "up")
        self.client_link = "vc" + suffix

    def tearDown(self):
        for peer in self.peers:
            peer.kill()
            peer.wait()
            peer.stdin.close()
            peer.stdout.close()
        super().tearDown()
        for name in self.namespaces:
            subprocess.run(["ip", "netns", "del", name], capture_output=True)

    def peer(self):
        """A client in the client's namespace; returns once it is served."""
        process = subprocess.Popen(["ip", "netns", "exec", self.namespaces[1], "/usr/bin/python3",
                                    os.path.abspath(__file__), "--client", "10.201.0.1", str(self.port)],
                                   stdin=subprocess.PIPE, stdout=subprocess.PIPE)
        self.peers.append(process)
        self.assertEqual(process.stdout.readline(), b"served\n")
        self.assertEqual(self.pty.receive(4), b"ping")

    def test_a_vanished_client_ends_its_session_within_the_keepalive_bound(self):
        self.port = 8875  # in a namespace of its own
        support.write_settings(self.directory.name, "SERVER", port=self.port, client="10.201.0.1",
                               device=self.pty.slave_path)
        self.server = NamespacedServer(self.namespaces[0], self.directory.name).start_listening()
        self.peer()
        self.ip("-n", self.namespaces[1], "link", "set", self.client_link, "down")
        started = time.monotonic()
        self.assertTrue(self.server.wait_for_line(r"session ended \(peer lost\)", timeout=KEEPALIVE_BOUND + 10))
        self.assertLess(time.monotonic() - started, KEEPALIVE_BOUND + 5)
        self.ip("-n", self.namespaces[1], "link", "set", self.client_link, "up")
        self.peer()


def run_client(host, port):
    listener = socket.create_server((host.rsplit(".", 1)[0] + ".2", 0))
    control = socket.create_connection((host, int(port)), timeout=support.SAFETY_SECONDS)
    control.sendall(support.handshake(listener.getsockname()[1]))
    listener.settimeout(support.SAFETY_SECONDS)
    data, _ = listener.accept()
    data.sendall(b"ping")
    print("served", flush=True)
    sys.stdin.read()  # until the test ends this process


if __name__ == "__main__":
    if sys.argv[1] == "--client":
        run_client(*sys.argv[2:4])
        sys.exit(0)
    SERVER = server_e2e_test.SERVER = os.path.abspath(sys.argv.pop(1))
    unittest.main()
