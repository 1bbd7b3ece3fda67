"""morvane-server through faults, a pty as the device. Usage: fault_test.py SERVER [Faults | VanishedPeer]"""

import ctypes
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

DEADLINE = 5.0  # handshake and connect-back
KEEPALIVE_BOUND = 10 + 3 * 5


def cpu_seconds(pid):
    with open("/proc/%d/stat" % pid) as stat:
        fields = stat.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


class Faults(server_e2e_test.ServerTest):
    def served(self, client=None, within=support.SAFETY_SECONDS):
        client = (client or self.client()).connect(within)
        client.data.sendall(b"ping")
        self.assertEqual(self.pty.receive(4), b"ping")
        return client

    def test_stalled_clients_and_missing_descriptors_only_cost_their_connection(self):
        self.start_on_pty()
        for greeting in (b"", b"\x10"):
            stalled, waiting = self.client(), self.client()
            stalled.control.sendall(greeting)
            started = time.monotonic()
            self.served(waiting, within=DEADLINE + 1)
            self.assertLess(time.monotonic() - started, DEADLINE + 1)
            self.assertTrue(stalled.sees_end(stalled.control))
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
        link = os.path.join(self.directory.name, "ttyUSB")
        os.symlink(self.pty.slave_path, link)
        self.start_on_pty(device=link, interval=0)
        client = self.served()
        self.assertTrue(self.server.wait_for_line(r"session with 127\.0\.0\.1, data port %d$" % client.data_port))
        fcntl.ioctl(self.pty._slave, 0x5437)  # TIOCVHANGUP: reads give 0, as after an unplug
        # udev removes the link too; left in place, it could lead the server
        # to another test's pty that gets the freed number.
        os.remove(link)
        self.pty.close()
        self.assertTrue(client.sees_end(client.data) and client.sees_end(client.control))
        self.assertTrue(self.server.wait_for_line(r"session ended \(port lost\), 4 bytes to the port, 0 bytes from"))
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
        self.pty.send(b"pong")
        self.assertEqual(self.served().receive(4), b"pong")

    def test_a_stopped_line_loses_nothing_and_does_not_outlive_its_client(self):
        self.start_on_pty()
        client = self.client().connect()
        client.send_record(0x1B0064, struct.pack("<IIII", 0, 1, 0, 0))  # SET_HANDFLOW: output XON/XOFF
        self.await_replayed(client)
        self.pty.send(b"\x13")
        sent = support.pattern(100_000)
        threading.Thread(target=client.data.sendall, args=(sent,), daemon=True).start()
        time.sleep(3)  # XOFF held this long
        self.pty.send(b"\x11")
        self.assertEqual(self.pty.receive(len(sent)), sent)
        # SET_XOFF and SET_BREAK_ON, replayed before the close.
        client.control.sendall(support.record(0x1B0038) + support.record(0x1B0010))
        client.control.close()
        self.assertTrue(client.sees_end(client.data))
        self.served()

    def test_signals_restart_and_strange_settings_files(self):
        port = support.free_port()
        for signal_number in (signal.SIGHUP, signal.SIGQUIT):
            self.start_on_pty(port=port)  # right after the last session
            self.served()
            os.kill(self.server.process.pid, signal_number)
            self.assertEqual(self.server.wait(), 0)
            self.assertNotIn("error", self.server.text())
            self.assertEqual(fcntl.ioctl(self.pty._slave, 0x80045440, bytes(4)), bytes(4))  # TIOCGEXCL 0
        path = os.path.join(self.directory.name, "morvane.ini")
        os.remove(path)
        for make, remove in ((os.mkdir, os.rmdir), (os.mkfifo, os.remove),
                             (lambda name: os.symlink("/dev/zero", name), os.remove)):
            make(path)
            self.server = support.ServerProgram(server_e2e_test.SERVER, self.directory.name).start()
            self.assertEqual(self.server.wait(), 2)  # the defaults: no port to open
            remove(path)

    def test_turnover_and_allow(self):
        self.start_on_pty(allow="10.0.0.5, 127.0.0.0/31")
        descriptors = "/proc/%d/fd" % self.server.process.pid
        first = self.served()
        held = len(os.listdir(descriptors))  # while a session runs
        first.close()
        started = time.monotonic()
        for _ in range(200):
            self.client().connect().close()
        print("\n200 sessions in %.2f s" % (time.monotonic() - started), file=sys.stderr)
        stranger = socket.create_connection((support.LOOPBACK, self.server.port), support.SAFETY_SECONDS,
                                            ("127.0.0.2", 0))
        self.assertEqual(stranger.recv(1), b"")
        self.assertTrue(self.server.wait_for_line(r"connection from 127\.0\.0\.2 refused"))
        self.served()
        self.assertEqual(len(os.listdir(descriptors)), held)
        for malformed in ("127.0.0.1,", "10.0.0.0/33", "10.0.0", "localhost"):
            self.server.stop()
            self.start(port=0, client=support.LOOPBACK, device=self.pty.slave_path, allow=malformed).start()
            self.assertEqual(self.server.wait(), 2)
            self.assertIn(support.MESSAGE_SETTINGS, self.server.text())


class VanishedPeer(server_e2e_test.ServerTest):
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
        self.start(port=0, client="10.201.0.1", device=self.pty.slave_path).start_listening()
        home, away = open("/proc/self/ns/net"), open("/run/netns/" + other)
        for vanishes in (True, False):
            libc.setns(away.fileno(), 0x40000000)
            listener = socket.create_server(("10.201.0.2", 0))
            control = socket.create_connection(("10.201.0.1", self.server.port), support.SAFETY_SECONDS)
            libc.setns(home.fileno(), 0x40000000)
            control.sendall(support.handshake(listener.getsockname()[1]))
            listener.settimeout(support.SAFETY_SECONDS)
            data = listener.accept()[0]  # held: a close would send a FIN
            data.sendall(b"ping")
            self.assertEqual(self.pty.receive(4), b"ping")
            if vanishes:  # no FIN, no RST: only keepalive can tell
                subprocess.run(["ip", "-n", other, "link", "set", "vc", "down"], check=True)
                self.assertTrue(self.server.wait_for_line(r"session ended \(peer lost\)", KEEPALIVE_BOUND + 5))
                subprocess.run(["ip", "-n", other, "link", "set", "vc", "up"], check=True)


if __name__ == "__main__":
    server_e2e_test.SERVER = os.path.abspath(sys.argv.pop(1))
    unittest.main()
