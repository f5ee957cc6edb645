#!/usr/bin/python3
"""The figures of bench/run.sh: client turnaround, wire efficiency, CPU while
waiting, paced uploads (2000 setpoints, and the simulator's own 4344) through
ser2net's RFC 2217 accepter beside the same on the local line, MODBUS
register reads side by side with the pymodbus client (rate, turnaround and
CPU per transaction against the same simulator), and the backup of eight
lines at once against its slowest line alone.

Usage: bench.py BUILD_DIR [--quick]
Each figure is printed as one line: name, value, target, and "ok" or "MISSED".
"""
import os
import pty
import re
import statistics
import subprocess
import sys
import tempfile
import time
import tty

BUILD = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else "build-bench")
QUICK = "--quick" in sys.argv
LINKORA = os.path.join(BUILD, "linkora")
SIM = os.path.join(BUILD, "linkora-sim")
READS = os.path.join(BUILD, "modbus_reads_bench")
SETPOINTS = 2000

missed = []


def report(name, value, unit, target, ok, note=""):
    mark = "ok" if ok else "MISSED"
    if not ok:
        missed.append(name)
    extra = f"  ({note})" if note else ""
    print(f"{name:<44} {value:>10} {unit:<5} target {target:<10} {mark}{extra}", flush=True)


class Sim:
    """linkora-sim on a pseudo-terminal, with a traffic log."""

    def __init__(self, workdir, *options):
        self.log = os.path.join(workdir, f"sim-{time.monotonic_ns()}.log")
        self.proc = subprocess.Popen([SIM, "--log", self.log, "--max-seconds", "900", *options],
                                     stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
        self.device = self.proc.stdout.readline().strip()

    def stop(self):
        self.proc.terminate()
        self.proc.wait(timeout=10)

    def records(self):
        """(first_us, last_us, direction, bytes) of every logged line."""
        out = []
        with open(self.log, encoding="latin-1") as f:
            for line in f:
                if line.startswith("#"):
                    continue
                parts = line.split(" ", 4)
                out.append((int(parts[0]), int(parts[1]), parts[2], int(parts[3])))
        return out


def run_measured(argv, cwd, env=None):
    """Runs a program; (exit status, wall seconds, CPU seconds, its children's
    included)."""
    start = time.monotonic()
    proc = subprocess.Popen(argv, cwd=cwd, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                            stderr=subprocess.DEVNULL, env=env)
    _, status, usage = os.wait4(proc.pid, 0)
    wall = time.monotonic() - start
    proc.returncode = os.waitstatus_to_exitcode(status)
    return proc.returncode, wall, usage.ru_utime + usage.ru_stime


def controller_file(workdir):
    """A data file of the simulator's own controller with SETPOINTS setpoints."""
    sim = Sim(workdir, "--protocol", "modbus")
    status, _, _ = run_measured([LINKORA, "u", "1", sim.device, "9600", "BASE.DAT"], workdir)
    sim.stop()
    if status != 0:
        sys.exit("bench: the plain upload failed")
    lines = [l for l in open(os.path.join(workdir, "BASE.DAT"), newline="").read().split("\r\n")
             if not l.startswith("49:")]
    for i in range(SETPOINTS):
        # Programs 1..8, channels 1..16, distinct positions per program and channel.
        program, channel, k = 1 + i % 8, 1 + (i // 8) % 16, i // 128
        lines.insert(-1, f"49: {program},{channel},{k * 20},{k * 20 + 10}")
    path = os.path.join(workdir, "BIG.DAT")
    with open(path, "w", newline="") as f:
        f.write("\r\n".join(lines))
    return path


def with_setpoints(workdir, count, name):
    """BASE.DAT with `count` setpoints of its own, as NAME."""
    lines = [l for l in open(os.path.join(workdir, "BASE.DAT"), newline="").read().split("\r\n")
             if not l.startswith("49:")]
    for i in range(count):
        lines.insert(-1, f"49: {1 + i % 8},{1 + (i // 8) % 16},{i * 3},{i * 3 + 1}")
    path = os.path.join(workdir, name)
    with open(path, "w", newline="") as f:
        f.write("\r\n".join(lines))
    return path


FLEET_LINES = 8


def fleet(workdir):
    """linkora backup of eight lines paced at 9600 baud, one controller each
    (10 to 80 setpoints), against the slowest line uploaded alone."""
    sims = []
    inventory = os.path.join(workdir, "fleet", "plant.inventory")
    os.makedirs(os.path.dirname(inventory), exist_ok=True)
    with open(inventory, "w") as f:
        for i in range(FLEET_LINES):
            data = with_setpoints(workdir, 10 * (i + 1), f"LINE{i}.DAT")
            sims.append(Sim(workdir, "--load", data, "--protocol", "modbus", "--baud", "9600"))
            f.write(f"line-{i} {sims[-1].device} 1 9600 modbus\n")
    env = dict(os.environ, GIT_CONFIG_GLOBAL="/dev/null", GIT_CONFIG_NOSYSTEM="1")
    try:
        slowest = sims[-1].device
        status, alone, _ = run_measured([LINKORA, "u", "1", slowest, "9600", "ALONE.DAT"], workdir,
                                        dict(env, LINKORA_PROTOCOL="modbus"))
        if status != 0:
            report("fleet: slowest line alone", status, "exit", "0", False)
            return
        status, wall, cpu = run_measured([LINKORA, "backup", inventory], workdir, env)
        if status != 0:
            report("fleet: backup of eight lines", status, "exit", "0", False)
            return
    finally:
        for sim in sims:
            sim.stop()
    ratio = wall / alone
    print(f"{'fleet: slowest line alone (9600 baud)':<44} {alone:>10.2f} s", flush=True)
    print(f"{'fleet: eight lines at once':<44} {wall:>10.2f} s", flush=True)
    report("fleet time / slowest line alone", f"{ratio:.3f}", "", "<= 1.15", ratio <= 1.15)
    print(f"{'fleet: CPU of the whole run (all uploads, git)':<44} {cpu:>10.3f} s  "
          f"({100 * cpu / wall:.2f} % of one core)", flush=True)


def percentile(values, p):
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(round(p / 100 * (len(ordered) - 1))))]


def client_gaps(records):
    """The client's turnarounds in ms: a reply's last character to the next request's first."""
    return [(cur[0] - prev[1]) / 1000.0 for prev, cur in zip(records, records[1:])
            if prev[2] == "TX" and cur[2] == "RX"]


def turnaround(workdir, big):
    for protocol in ("modbus", "tvx"):
        sim = Sim(workdir, "--load", big, "--protocol", protocol)
        status, wall, _ = run_measured([LINKORA, "u", "1", sim.device, "9600", f"T-{protocol}.DAT"], workdir)
        sim.stop()
        records = sim.records()
        gaps = client_gaps(records)
        requests = sum(1 for r in records if r[2] == "RX")
        if status != 0 or not gaps:
            report(f"turnaround {protocol}: upload", status, "exit", "0", False)
            continue
        median, p99 = statistics.median(gaps), percentile(gaps, 99)
        note = f"{requests} requests, {wall:.2f} s"
        report(f"turnaround {protocol}, median", f"{median:.3f}", "ms", "< 0.3 ms", median < 0.3, note)
        report(f"turnaround {protocol}, 99th percentile", f"{p99:.3f}", "ms", "< 2 ms", p99 < 2.0,
               f"max {max(gaps):.3f} ms")


def wire_efficiency(workdir, big):
    for baud in ((38400,) if QUICK else (38400, 9600)):
        sim = Sim(workdir, "--load", big, "--protocol", "modbus", "--baud", str(baud))
        status, wall, cpu = run_measured([LINKORA, "u", "1", sim.device, str(baud), f"W-{baud}.DAT"], workdir)
        sim.stop()
        records = sim.records()
        if status != 0 or not records:
            report(f"wire efficiency {baud} baud", status, "exit", "0", False)
            continue
        chars = sum(r[3] for r in records)
        wire = chars * 10 / baud
        span = (records[-1][1] - records[0][0]) / 1e6
        ratio = span / wire
        # Where the time beyond the wire time goes: linkora's turnaround
        # (reply's last character to the next request) and the simulator's
        # (request complete to the reply's first character, which the
        # simulator logs once that character's own wire time has passed).
        pairs = list(zip(records, records[1:]))
        client = sum(b[0] - a[1] for a, b in pairs if a[2] == "TX" and b[2] == "RX") / 1e6
        char_s = 10 / baud
        sim = sum(b[0] - a[1] - char_s * 1e6 for a, b in pairs if a[2] == "RX" and b[2] == "TX") / 1e6
        report(f"wire efficiency {baud} baud (time / wire time)", f"{ratio:.4f}", "", "<= 1.03", ratio <= 1.03,
               f"{chars} chars, wire {wire:.2f} s, line busy {span:.2f} s; "
               f"linkora turnaround {100 * client / wire:.2f} %, simulator reply latency {100 * sim / wire:.2f} %")
        own = (wire + client) / wire
        report(f"wire efficiency {baud} baud, linkora's part", f"{own:.4f}", "", "<= 1.03", own <= 1.03,
               "wire time plus linkora's turnaround, over wire time")
        if baud == 38400:
            share = 100 * cpu / wall
            report("CPU during the paced upload (38400 baud)", f"{share:.2f}", "%", "< 5 %", share < 5,
                   f"{cpu:.3f} s CPU in {wall:.2f} s")


def cpu_silent_line(workdir):
    master, slave = pty.openpty()
    tty.setraw(slave)
    device = os.ttyname(slave)
    os.close(slave)
    status, wall, cpu = run_measured([LINKORA, "u", "1", device, "9600", "SILENT.DAT"], workdir)
    os.close(master)
    share = 100 * cpu / wall
    report("CPU during Auto Detect on a silent line", f"{share:.3f}", "%", "< 1 %", share < 1 and status == 4,
           f"{cpu:.3f} s CPU in {wall:.2f} s, exit {status}")


SER2NET = "/usr/sbin/ser2net"


def free_port():
    import socket
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def listening(port):
    with open("/proc/net/tcp") as table:
        for line in table.readlines()[1:]:
            fields = line.split()
            if fields[1].endswith(":%04X" % port) and fields[3] == "0A":
                return True
    return False


def paced_upload(workdir, sim_options, route, name):
    """One upload paced at 19200 baud, on the simulator's pseudo-terminal
    ("local") or through ser2net's RFC 2217 accepter on loopback in front of
    it, with chardelay off ("rfc2217") or as ser2net has it by default
    ("chardelay"). (exit status, wall seconds, the simulator's log records)."""
    sim = Sim(workdir, *sim_options, "--protocol", "modbus", "--baud", "19200")
    server = None
    port = sim.device
    if route != "local":
        tcp = free_port()
        config = os.path.join(workdir, "ser2net.yaml")
        options = "  options:\n    kickolduser: false\n"
        if route == "rfc2217":
            options += "    chardelay: false\n"
        with open(config, "w") as f:
            f.write(f"connection: &bench\n  accepter: telnet(rfc2217),tcp,127.0.0.1,{tcp}\n"
                    f"  connector: serialdev,{sim.device},9600n81,local\n" + options)
        server = subprocess.Popen([SER2NET, "-n", "-u", "-c", config, "-P", os.path.join(workdir, "s2n.pid")],
                                  stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        for _ in range(100):
            if listening(tcp):
                break
            time.sleep(0.05)
        port = f"rfc2217://127.0.0.1:{tcp}"
    status, wall, _ = run_measured([LINKORA, "u", "1", port, "19200", f"{name}-{route}.DAT"], workdir)
    if server is not None:
        server.terminate()
        server.wait(timeout=10)
    sim.stop()
    return status, wall, sim.records()


def network_line(workdir, big):
    """The same paced upload on the local pseudo-terminal and through ser2net's
    RFC 2217 accepter in front of it: the wire, not the network, sets the pace."""
    if not os.access(SER2NET, os.X_OK):
        report("rfc2217 upload / local upload (19200 baud)", "-", "", "<= 1.05", False, "ser2net is not installed")
        return
    walls = {}
    for route in ("local", "rfc2217"):
        status, wall, _ = paced_upload(workdir, ("--load", big), route, "N")
        if status != 0:
            report(f"upload at 19200 baud, {route}", status, "exit", "0", False)
            return
        walls[route] = wall
    ratio = walls["rfc2217"] / walls["local"]
    report("rfc2217 upload / local upload (19200 baud)", f"{ratio:.4f}", "", "<= 1.05", ratio <= 1.05,
           f"{SETPOINTS} setpoints; local {walls['local']:.2f} s, through ser2net {walls['rfc2217']:.2f} s")


def network_line_4344(workdir):
    """The simulator's own 4344 with its six setpoints, where requests are many
    and short: the upload through ser2net (chardelay off, and as ser2net has it
    by default) against the local line, the median of three runs each, and
    the turnaround per request as the simulator sees it (its reply's last
    character to the next request's first: the client, and the server both
    ways where there is one)."""
    if not os.access(SER2NET, os.X_OK):
        report("rfc2217 upload / local, 4344 (19200 baud)", "-", "", "<= 1.05", False, "ser2net is not installed")
        return
    walls, gaps, requests = {}, {}, 0
    for route in ("local", "rfc2217", "chardelay"):
        runs = []
        for _ in range(1 if QUICK else 3):
            status, wall, records = paced_upload(workdir, (), route, "U")
            if status != 0:
                report(f"4344 upload at 19200 baud, {route}", status, "exit", "0", False)
                return
            runs.append(wall)
            gaps.setdefault(route, []).extend(client_gaps(records))
            requests = sum(1 for r in records if r[2] == "RX")
        walls[route] = statistics.median(runs)
    ratio = walls["rfc2217"] / walls["local"]
    held = walls["chardelay"] / walls["local"]
    turn = {route: statistics.median(values) for route, values in gaps.items()}
    report("rfc2217 upload / local, 4344 (19200 baud)", f"{ratio:.4f}", "", "<= 1.05", ratio <= 1.05,
           f"{requests} requests; local {walls['local']:.2f} s, through ser2net {walls['rfc2217']:.2f} s")
    report("... ser2net with its default chardelay", f"{held:.4f}", "", "(server)", True,
           f"{walls['chardelay']:.2f} s")
    report("... turnaround per request: local / ser2net", f"{turn['local']:.3f} / {turn['rfc2217']:.3f}", "ms",
           "(figure)", True, f"with chardelay {turn['chardelay']:.3f} ms")


PYMODBUS_READS = """
import sys, time
from pymodbus.client import ModbusSerialClient
from pymodbus.transaction import ModbusAsciiFramer
device, register, count = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
client = ModbusSerialClient(port=device, framer=ModbusAsciiFramer, baudrate=9600, timeout=1)
client.connect()
failures = 0
cpu = time.process_time()
start = time.monotonic()
for _ in range(count):
    reply = client.read_holding_registers(register - 1, 1, slave=1)
    if reply.isError():
        failures += 1
seconds = time.monotonic() - start
cpu = time.process_time() - cpu
client.close()
print(f"reads={count} seconds={seconds:.3f} per_second={count / seconds:.1f} failures={failures} cpu={cpu:.4f}")
"""


def peer(workdir):
    """Register reads by linkora's modbusTransaction and by the pymodbus client
    on the simulator: rate, turnaround (from the simulator's log) and CPU per
    transaction (the reading loop's own). The two take turns, a few rounds
    each, so that other work on the machine weighs on both alike."""
    rounds = 2 if QUICK else 4
    count = 300 if QUICK else 1000
    register = 300  # the output quantity: one holding register every controller has
    clients = {"linkora": [READS, None, "9600", str(register), str(count)],
               "pymodbus": ["/usr/bin/python3", "-c", PYMODBUS_READS, None, str(register), str(count)]}
    totals = {name: {"seconds": 0.0, "cpu": 0.0, "failures": 0, "gaps": []} for name in clients}
    for _ in range(rounds):
        for name, argv in clients.items():
            sim = Sim(workdir, "--protocol", "modbus")
            argv = [sim.device if a is None else a for a in argv]
            out = subprocess.run(argv, capture_output=True, text=True, timeout=600)
            sim.stop()
            match = re.search(r"seconds=([0-9.]+) per_second=[0-9.]+ failures=(\d+) cpu=([0-9.]+)", out.stdout)
            if not match:
                report(f"register reads/s, {name}", "-", "", "(figure)", False, (out.stderr or out.stdout)[-200:])
                return
            total = totals[name]
            total["seconds"] += float(match.group(1))
            total["failures"] += int(match.group(2))
            total["cpu"] += float(match.group(3))
            total["gaps"] += client_gaps(sim.records())
    reads = rounds * count
    figures = {}
    for name, total in totals.items():
        gaps = total["gaps"]
        figures[name] = (reads / total["seconds"], statistics.median(gaps), percentile(gaps, 99),
                         1e6 * total["cpu"] / reads)
        report(f"register reads/s, {name}", f"{figures[name][0]:.1f}", "/s", "(figure)", total["failures"] == 0,
               f"{reads} reads in {rounds} rounds, {total['failures']} failed")
    ours, theirs = figures["linkora"], figures["pymodbus"]
    print(f"{'register reads, linkora / pymodbus':<44} {ours[0] / theirs[0]:>10.1f} x", flush=True)
    for name, (_, median, p99, cpu) in figures.items():
        print(f"{'turnaround on reads, ' + name + ', median / p99':<44} {median:>10.3f} ms    {p99:.3f} ms",
              flush=True)
        print(f"{'CPU per transaction, ' + name:<44} {cpu:>10.1f} us", flush=True)
    ratio = ours[1] / theirs[1]
    report("turnaround on reads, median linkora / pymodbus", f"{ratio:.2f}", "", "<= 0.65", ratio <= 0.65)
    report("turnaround on reads, linkora p99", f"{ours[2]:.3f}", "ms", "< 0.3 ms", ours[2] < 0.3)
    print(f"{'CPU per transaction, linkora / pymodbus':<44} {ours[3] / theirs[3]:>10.2f} x", flush=True)


def restore(workdir):
    """linkora restore of a backup with 40 setpoints at 38 400 baud against the
    verified download it makes."""
    folder = os.path.join(workdir, "restore")
    os.makedirs(folder, exist_ok=True)
    data = with_setpoints(workdir, 40, "RESTORE.DAT")
    sim = Sim(workdir, "--load", data, "--protocol", "modbus", "--reset-delay", "0.1")
    inventory = os.path.join(folder, "plant.inventory")
    with open(inventory, "w") as f:
        f.write(f"press-a {sim.device} 1 38400 modbus\n")
    env = dict(os.environ, GIT_CONFIG_GLOBAL="/dev/null", GIT_CONFIG_NOSYSTEM="1", LINKORA_PROTOCOL="modbus")
    try:
        status, _, _ = run_measured([LINKORA, "backup", inventory], workdir, env)
        if status != 0:
            report("restore: the backup before it", status, "exit", "0", False)
            return
        status, download, _ = run_measured([LINKORA, "d", "1", sim.device, "38400",
                                            os.path.join(folder, "press-a.DAT"), "N", "N", "Y"], workdir, env)
        if status != 0:
            report("restore: the verified download", status, "exit", "0", False)
            return
        status, wall, _ = run_measured([LINKORA, "restore", inventory, "press-a", "--yes"], workdir, env)
        if status != 0:
            report("restore", status, "exit", "0", False)
            return
    finally:
        sim.stop()
    print(f"{'restore: verified download alone (38400)':<44} {download:>10.2f} s", flush=True)
    print(f"{'restore: linkora restore --yes':<44} {wall:>10.2f} s", flush=True)
    report("restore - its download", f"{wall - download:.2f}", "s", "<= 1", wall - download <= 1.0)


def main():
    for program in (LINKORA, SIM, READS):
        if not os.access(program, os.X_OK):
            sys.exit(f"bench: {program} is missing; build {BUILD} first")
    # The simulator's log goes to memory where the system has a memory file
    # system, so that its own disk writes do not show in the clients' figures.
    memory = "/dev/shm" if os.path.isdir("/dev/shm") and os.access("/dev/shm", os.W_OK) else None
    with tempfile.TemporaryDirectory(prefix="linkora-bench-", dir=memory) as workdir:
        big = controller_file(workdir)
        turnaround(workdir, big)
        wire_efficiency(workdir, big)
        cpu_silent_line(workdir)
        network_line(workdir, big)
        network_line_4344(workdir)
        peer(workdir)
        fleet(workdir)
        restore(workdir)
    if missed:
        print("missed: " + ", ".join(missed))


if __name__ == "__main__":
    main()
