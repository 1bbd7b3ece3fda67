#!/usr/bin/python3
"""Side-by-side benchmark of serial-over-TCP bridges on one machine.

Each bridge carries bytes between an application on a local (virtual) serial
port and a simulated device on a pseudo-terminal, over loopback TCP:

  morvane (interval 0, also with its trace file on, and the default 100 ms),
  morvane speaking RFC 2217
  (its server's RFC 2217 port, and ser2net's RFC 2217 accepter, each with
  morvane-client), socat on both ends, and ser2net (raw TCP accepter on the
  device) with a socat pty client.

Measured per bridge: 1-byte echo round trip (median, 90th percentile),
throughput in each direction (every byte checked), CPU seconds per MiB of the
bridge's own processes. The bridges are measured in turn, several rounds;
each row shows its medians, and the traced row its ratio to the untraced one
round by round. Peers that are not installed are left out; nothing is
installed here.
"""

import argparse
import os
import pty
import select
import shutil
import socket
import statistics
import subprocess
import sys
import tempfile
import termios
import threading
import time
import tty

CLOCK_TICKS = os.sysconf("SC_CLK_TCK")


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def wait_for(condition, what, timeout=15.0):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if condition():
            return
        time.sleep(0.01)
    raise RuntimeError(f"timed out waiting for {what}")


def listening(port):
    """True once something listens on the port; looks without connecting,
    since a connection would count as a client."""
    with open("/proc/net/tcp") as table:
        return any(fields[1].endswith(f":{port:04X}") and fields[3] == "0A"
                   for fields in (line.split() for line in table.readlines()[1:]))


def cpu_seconds(pid):
    try:
        with open(f"/proc/{pid}/stat") as stat:
            fields = stat.read().rsplit(")", 1)[1].split()
        return (int(fields[11]) + int(fields[12])) / CLOCK_TICKS
    except FileNotFoundError:
        return 0.0


def pattern(size, seed):
    block = bytes((i * 131 + seed * 7 + i // 253) & 0xFF for i in range(65536))
    return (block * (size // len(block) + 1))[:size]


class Device:
    """The device end: the master of a pty whose slave the bridge opens."""

    def __init__(self):
        self.master, self.slave = pty.openpty()
        tty.setraw(self.slave)
        self.path = os.ttyname(self.slave)
        self.echoing = False
        self.echo_thread = None

    def start_echo(self):
        self.echoing = True
        self.echo_thread = threading.Thread(target=self._echo, daemon=True)
        self.echo_thread.start()

    def _echo(self):
        while self.echoing:
            ready, _, _ = select.select([self.master], [], [], 0.1)
            if ready:
                data = os.read(self.master, 4096)
                os.write(self.master, data)

    def stop_echo(self):
        self.echoing = False
        self.echo_thread.join()

    def close(self):
        os.close(self.master)
        os.close(self.slave)


class Bridge:
    name = ""

    def __init__(self, workdir, device):
        self.workdir = workdir
        self.device = device
        self.processes = []
        self.port_path = os.path.join(workdir, "app-port")

    def spawn(self, args, cwd=None):
        process = subprocess.Popen(args, cwd=cwd or self.workdir, stdin=subprocess.DEVNULL,
                                   stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        self.processes.append(process)
        return process

    def cpu(self):
        return [cpu_seconds(p.pid) for p in self.processes]

    def stop(self):
        for process in self.processes:
            if process.poll() is None:
                process.terminate()
        for process in self.processes:
            try:
                process.wait(timeout=5)
            except subprocess.TimeoutExpired:
                process.kill()
                process.wait()


class Morvane(Bridge):
    def __init__(self, workdir, device, build, interval, rfc2217=False, traced=False):
        super().__init__(workdir, device)
        self.build = build
        self.interval = interval
        self.rfc2217 = rfc2217
        self.traced = traced
        kind = "morvane rfc2217" if rfc2217 else "morvane"
        self.name = f"{kind} (interval {interval})" if interval is not None else f"{kind} (default 100 ms)"
        if traced:
            self.name = self.name[:-1] + ", traced)"

    def write_client_settings(self, port, protocol):
        with open(os.path.join(self.workdir, "morvane.ini"), "a") as ini:
            ini.write(f"[CLIENT]\ncom=1\nport={port}\nhost=127.0.0.1\ndevice={self.port_path}\nprotocol={protocol}\n")

    def start_client(self):
        self.spawn([os.path.join(self.build, "client", "morvane-client")])
        wait_for(lambda: os.path.exists(self.port_path), "the virtual port")

    def start(self):
        port, rfc2217 = free_port(), free_port()
        interval = f"interval={self.interval}\n" if self.interval is not None else ""
        with open(os.path.join(self.workdir, "morvane.ini"), "w") as ini:
            ini.write(f"[SERVER]\ncom=1\nport={port}\nclient=127.0.0.1\ndevice={self.device.path}\n{interval}"
                      f"rfc2217={rfc2217 if self.rfc2217 else 0}\ntrace={'trace.log' if self.traced else ''}\n")
        if self.rfc2217:
            port = rfc2217
        self.write_client_settings(port, "rfc2217" if self.rfc2217 else "native")
        self.spawn([os.path.join(self.build, "server", "morvane-server")])
        wait_for(lambda: listening(port), "morvane-server")
        self.start_client()


class Socat(Bridge):
    name = "socat"

    def start(self):
        port = free_port()
        self.spawn(["socat", f"TCP-LISTEN:{port},bind=127.0.0.1,reuseaddr,nodelay",
                    f"OPEN:{self.device.path},raw,echo=0"])
        wait_for(lambda: listening(port), "socat listener")
        self.spawn(["socat", f"PTY,link={self.port_path},raw,echo=0", f"TCP:127.0.0.1:{port},nodelay"])
        wait_for(lambda: os.path.exists(self.port_path), "socat pty")


def start_ser2net(bridge, accepter):
    """ser2net on the bridge's device, accepting on a free port; returns it."""
    port = free_port()
    config = os.path.join(bridge.workdir, "ser2net.yaml")
    with open(config, "w") as yaml:
        yaml.write("%YAML 1.1\n---\n"
                   "connection: &bench\n"
                   f"    accepter: {accepter},127.0.0.1,{port}\n"
                   "    enable: on\n"
                   f"    connector: serialdev,{bridge.device.path},9600n81,local\n")
    bridge.spawn(["ser2net", "-n", "-d", "-c", config])
    wait_for(lambda: listening(port), "ser2net listener")
    return port


class Ser2net(Socat):
    name = "ser2net + socat"

    def start(self):
        port = start_ser2net(self, "tcp")
        self.spawn(["socat", f"PTY,link={self.port_path},raw,echo=0", f"TCP:127.0.0.1:{port},nodelay"])
        wait_for(lambda: os.path.exists(self.port_path), "socat pty")


def open_application(path):
    fd = os.open(path, os.O_RDWR | os.O_NOCTTY)
    # TCSANOW: no flush, which a bridge would carry to the device as a purge
    # that could overtake the first bytes.
    tty.setraw(fd, termios.TCSANOW)
    return fd


def read_exactly(fd, size, timeout):
    data = bytearray()
    deadline = time.monotonic() + timeout
    while len(data) < size:
        left = deadline - time.monotonic()
        if left <= 0:
            raise RuntimeError(f"only {len(data)} of {size} bytes arrived")
        ready, _, _ = select.select([fd], [], [], left)
        if ready:
            data += os.read(fd, min(65536, size - len(data)))
    return bytes(data)


def measure_rtt(app, device, exchanges):
    device.start_echo()
    try:
        # Warm-up: the first exchanges set the session and the line up.
        for _ in range(5):
            os.write(app, b"w")
            read_exactly(app, 1, 10)
        times = []
        for i in range(exchanges):
            byte = bytes([i & 0xFF])
            start = time.perf_counter()
            os.write(app, byte)
            echoed = read_exactly(app, 1, 10)
            times.append(time.perf_counter() - start)
            if echoed != byte:
                raise RuntimeError("echo corrupted")
    finally:
        device.stop_echo()
    times.sort()
    return statistics.median(times), times[int(len(times) * 0.9)]


def write_all(fd, data):
    view = memoryview(data)
    while view:
        written = os.write(fd, view[:4096])
        view = view[written:]


def measure_throughput(source, sink, size, seed):
    data = pattern(size, seed)
    writer = threading.Thread(target=write_all, args=(source, data))
    start = time.perf_counter()
    writer.start()
    received = read_exactly(sink, size, 120)
    elapsed = time.perf_counter() - start
    writer.join()
    if received != data:
        raise RuntimeError("bytes lost or corrupted")
    return size / elapsed


def settle(bridge):
    """Waits (at most 10 s) until the bridge's programs stop using the processor:
    work left over from one measurement, a trace still being written, is not
    charged to the next."""
    deadline = time.monotonic() + 10
    used = sum(bridge.cpu())
    while time.monotonic() < deadline:
        time.sleep(0.05)
        before, used = used, sum(bridge.cpu())
        if used == before:
            return


class Ser2netMorvane(Morvane):
    def __init__(self, workdir, device, build):
        super().__init__(workdir, device, build, None, True)
        self.name = "ser2net rfc2217 + morvane"

    def start(self):
        port = start_ser2net(self, "telnet(rfc2217),tcp")
        self.write_client_settings(port, "rfc2217")
        self.start_client()


def run_bridge(bridge, device, args):
    bridge.start()
    app = open_application(bridge.port_path)
    try:
        median, p90 = measure_rtt(app, device, args.exchanges)
        settle(bridge)
        cpu_before = bridge.cpu()
        up = measure_throughput(app, device.master, args.mib << 20, 1)
        settle(bridge)
        down = measure_throughput(device.master, app, args.mib << 20, 2)
        settle(bridge)
        per_program = [(after - before) / (2 * args.mib) for before, after in zip(cpu_before, bridge.cpu())]
    finally:
        os.close(app)
        bridge.stop()
    return {"name": bridge.name, "median": median, "p90": p90, "up": up, "down": down,
            "cpu": sum(per_program), "per_program": per_program,
            "programs": [os.path.basename(p.args[0]) for p in bridge.processes]}


def median_result(runs):
    """One row from a bridge's rounds: the median of each figure."""
    row = {key: statistics.median(r[key] for r in runs) for key in ("median", "p90", "up", "down", "cpu")}
    row["per_program"] = [statistics.median(costs) for costs in zip(*(r["per_program"] for r in runs))]
    row.update(name=runs[0]["name"], programs=runs[0]["programs"], runs=runs)
    return row


def paired_ratio(runs, reference_runs, key):
    """The median over rounds of a row's figure against the reference row's in the same round."""
    return statistics.median(r[key] / ref[key] for r, ref in zip(runs, reference_runs))


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--build", default="build", help="CMake build folder with the Linux programs")
    parser.add_argument("--exchanges", type=int, default=300, help="1-byte echo exchanges per bridge")
    parser.add_argument("--mib", type=int, default=8, help="MiB moved in each direction")
    parser.add_argument("--rounds", type=int, default=3, help="times each bridge is measured, in turn")
    parser.add_argument("--only", help="measure only the bridges whose name contains this text")
    args = parser.parse_args()
    build = os.path.abspath(args.build)

    candidates = [lambda w, d: Morvane(w, d, build, 0), lambda w, d: Morvane(w, d, build, 0, traced=True),
                  lambda w, d: Morvane(w, d, build, None),
                  lambda w, d: Morvane(w, d, build, 0, True)]
    missing = []
    if shutil.which("ser2net"):
        candidates.append(lambda w, d: Ser2netMorvane(w, d, build))
    if shutil.which("socat"):
        candidates.insert(0, Socat)
        if shutil.which("ser2net"):
            candidates.append(Ser2net)
        else:
            missing.append("ser2net")
    else:
        missing += ["socat", "ser2net"]

    # Rounds take the bridges in turn, so that a machine that slows down for a
    # while slows every row alike; each row shows its medians.
    rounds = {}
    failures = []
    for round_number in range(args.rounds):
        for make in candidates:
            with tempfile.TemporaryDirectory() as workdir:
                device = Device()
                bridge = make(workdir, device)
                failed = any(f.startswith(bridge.name + ":") for f in failures)
                if args.only and args.only not in bridge.name or failed:
                    device.close()
                    continue
                print(f"round {round_number + 1} of {args.rounds}: measuring {bridge.name} ...", file=sys.stderr)
                try:
                    rounds.setdefault(bridge.name, []).append(run_bridge(bridge, device, args))
                except RuntimeError as error:
                    failures.append(f"{bridge.name}: {error}")
                finally:
                    device.close()
    results = [median_result(runs) for runs in rounds.values()]

    reference = next((r for r in results if r["name"] == "socat"), None)
    header = f"{'bridge':30} {'RTT median':>11} {'RTT p90':>9} {'app->dev':>10} {'dev->app':>10} {'CPU s/MiB':>10}"
    print(header)
    print("-" * len(header))
    for r in results:
        print(f"{r['name']:30} {r['median'] * 1e3:8.2f} ms {r['p90'] * 1e3:6.2f} ms "
              f"{r['up'] / 1e6:6.1f} MB/s {r['down'] / 1e6:6.1f} MB/s {r['cpu']:10.4f}")
    print("\nCPU seconds per MiB, each program:")
    for r in results:
        print(f"{r['name']:30} " + ", ".join(f"{name} {cpu:.4f}" for name, cpu in zip(r["programs"], r["per_program"])))
    if reference:
        print("\nratios to socat (RTT: lower is better; throughput: higher is better)")
        for r in results:
            print(f"{r['name']:30} {r['median'] / reference['median']:8.2f}x  {r['p90'] / reference['p90']:6.2f}x "
                  f"{r['up'] / reference['up']:8.2f}x {r['down'] / reference['down']:8.2f}x "
                  f"{r['cpu'] / reference['cpu'] if reference['cpu'] else float('nan'):8.2f}x")
    plain = next((r for r in results if r["name"] == "morvane (interval 0)"), None)
    traced = next((r for r in results if r["name"] == "morvane (interval 0, traced)"), None)
    if plain and traced:
        # A row that failed was left out of the later rounds: the first ones pair.
        paired = min(len(traced["runs"]), len(plain["runs"]))
        print(f"\ntraced / untraced (interval 0), median over {paired} rounds, each against the same round: "
              f"app->dev {paired_ratio(traced['runs'], plain['runs'], 'up'):.2f}x, "
              f"dev->app {paired_ratio(traced['runs'], plain['runs'], 'down'):.2f}x")
    for failure in failures:
        print(f"FAILED {failure}")
    if missing:
        print(f"\nnot installed, left out: {', '.join(missing)} (apt-get install socat ser2net)")
    print(f"\n{args.exchanges} echo exchanges; {args.mib} MiB each way; medians of {args.rounds} rounds; "
          f"machine: {os.cpu_count()} cores, {os.uname().sysname} {os.uname().release}")
    sys.exit(1 if failures else 0)


if __name__ == "__main__":
    main()
