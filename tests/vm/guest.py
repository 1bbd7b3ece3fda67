# A QEMU guest (TCG) on the real 8250 and ftdi_sio drivers: its ttyS1 (a 16550
# at 0x2f8) and ttyUSB0 (an FTDI adapter on xHCI) end in host ptys where the
# tests play the device. Commands go to its console, unplug and replug to
# QMP; what the FTDI adapter is told arrives in QEMU's trace. QEMU is ended by
# its PID.
import json
import os
import re
import select
import signal
import socket
import subprocess
import tempfile
import termios

import morvane_support as support


class Guest:
    def __init__(self, image, forwards):
        self.folder = tempfile.TemporaryDirectory()
        self.uart, self.ftdi = support.PtyPair(), support.PtyPair()
        for pair in (self.uart, self.ftdi):
            # QEMU turns output processing on: without ONLCR it changes nothing.
            attributes = termios.tcgetattr(pair.master)
            attributes[1] = 0
            termios.tcsetattr(pair.master, termios.TCSANOW, attributes)
        self.trace, (qmp, theirs) = self.folder.name + "/trace", socket.socketpair()
        self.process = subprocess.Popen(
            ["qemu-system-x86_64", "-M", "pc", "-accel", "tcg", "-m", "256", "-nodefaults", "-no-user-config",
             "-display", "none", "-no-reboot", "-kernel", image + "/vmlinux", "-initrd", image + "/initramfs.cpio.gz",
             "-append", "console=ttyS0 loglevel=4 panic=-1", "-chardev", "stdio,id=con,signal=off",
             "-serial", "chardev:con", "-chardev", "serial,id=s1,path=" + self.uart.slave_path, "-serial", "chardev:s1",
             "-netdev", "user,id=n" + "".join(",hostfwd=tcp:127.0.0.1:%d-:%d" % f for f in forwards),
             "-device", "e1000,netdev=n", "-device", "qemu-xhci,id=xhci",
             "-chardev", "serial,id=s2,path=" + self.ftdi.slave_path, "-device", "usb-serial,id=ftdi,bus=xhci.0,chardev=s2",
             "-chardev", "socket,id=qmp,fd=%d" % theirs.fileno(), "-mon", "chardev=qmp,mode=control",
             "-trace", "usb_serial_handle_control", "-D", self.trace],
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, pass_fds=[theirs.fileno()])
        theirs.close()
        self.qmp = qmp.makefile("rw")
        qmp.close()  # the file keeps it open
        self.output, self.commands = b"", 0
        try:
            self.read_until(b"GUEST-READY\n", 180)
        except AssertionError:
            self.close()
            raise
        self.qmp.readline()
        self.control("qmp_capabilities")

    def read_until(self, pattern, seconds):
        # A guest that does not boot, or stops answering, fails with why.
        while not (match := re.search(pattern, self.output)):
            ready = select.select([self.process.stdout], [], [], seconds)[0]
            chunk = os.read(self.process.stdout.fileno(), 65536) if ready else b""
            if not chunk:
                raise AssertionError("no %r from the guest (QEMU status %r); console:\n%s"
                                     % (pattern, self.process.poll(), self.output[-3000:].decode(errors="replace")))
            self.output += chunk
        return match

    def sh(self, command, seconds=60):
        self.commands += 1
        self.output = b""
        self.process.stdin.write(b"%s; echo @@%d\n" % (command.encode(), self.commands))
        self.process.stdin.flush()
        return self.read_until(b"@@%d\n" % self.commands, seconds).string[:-len(b"@@%d\n" % self.commands)].decode()

    def control(self, command, awaited=None, **arguments):
        # `awaited`: an event that may come before or after the answer.
        self.qmp.write(json.dumps({"execute": command, "arguments": arguments}) + "\n")
        self.qmp.flush()
        answer = None
        while answer is None or awaited:
            message = json.loads(self.qmp.readline())
            awaited = None if message.get("event") == awaited else awaited
            answer = answer if "event" in message else message
        assert "return" in answer, answer

    def plug(self, present):
        # Unplug only while the device sends nothing: QEMU 7.2 crashes on bytes for an adapter being removed.
        arguments = dict(driver="usb-serial", bus="xhci.0", chardev="s2") if present else {}
        # device_del answers at once; the adapter is gone, and can come back, only at DEVICE_DELETED.
        self.control("device_add" if present else "device_del", None if present else "DEVICE_DELETED", id="ftdi",
                     **arguments)

    def ftdi_lines(self):
        # DTR, RTS and break as ftdi_sio last told the adapter (SET_MODEM_CTRL, SET_DATA).
        lines = [None, None, None]
        with open(self.trace) as trace:
            for request, value in re.findall(r"got control 0x400([14]), value 0x([0-9a-f]+)", trace.read()):
                for line, bit in [(2, 0x4000)] if request == "4" else [(0, 1), (1, 2)]:
                    if request == "4" or int(value, 16) & bit << 8:
                        lines[line] = bool(int(value, 16) & bit)
        return tuple(lines)

    def close(self):
        os.kill(self.process.pid, signal.SIGTERM)
        self.process.wait()
        for stream in (self.process.stdin, self.process.stdout, self.qmp, self.uart, self.ftdi):
            stream.close()
        self.folder.cleanup()
