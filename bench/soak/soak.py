#!/usr/bin/python3
"""Both agents for a long run against tools/dg-sim, on loopback, under load
and collector restarts: is anything growing, is anything lost?

- A farm of simulated SNMP devices (bench_device_farm, one port of
  127.0.0.1 a device), every one listed to qdr-agent with syslog and trap
  forwarding and polled for the interface performance pack every INTERVAL s
  (the pieces of bench/pipeline/pipeline_bench.py).
- A sender process (nice 5) sends numbered syslog lines and numbered v2c
  traps (bench/receivers/restart_soak.py's template) from 127.0.0.1, the
  farm devices' registered address, to qdr-agent's receivers at fixed rates,
  and keeps the send time of every one.
- vosk-host-agent reports this host to the same dg-sim.
- dg-sim is killed (SIGKILL) and started again on the same port KILLS times
  at random moments (seeded, printed), down for 0.5 to 5 s each time. The
  next kill waits until both agents have shaken hands again.
- Every SAMPLE seconds each agent's RSS, open descriptors and threads are
  read from /proc/<pid>.

At the end: the samples, their least-squares slopes per hour (whole run and
second half), syslog lines and traps sent against those dg-sim received
(every run's output together), each lost one placed by its send time: while
the link was down (kill -> the agent's next handshake), in flight at a kill
(sent within IN_FLIGHT seconds before it: what the agent's socket had
taken when dg-sim died is lost, the link has no acknowledgement), or while
the link was up; interface polls received against expected; each reconnect
time of both agents; and a PASS/FAIL line. The exit code is 0 on PASS.

Usage: soak.py [--build DIR] [--agent-build DIR] [--minutes M] [--seed N] [--kills N] [--devices N]
         [--interfaces N] [--interval S] [--lines-per-sec R] [--traps-per-sec R]
         [--sample-sec S] [--in-flight S] [--rss-slope-mb M] [--keep]
The build needs the targets qdr-agent, vosk-host-agent, dg_sim_proto and
bench_device_farm (the agents may come from another tree, --agent-build,
e.g. AddressSanitizer's: a sanitizer report lands in qdr/agent.out or
host/agent.out of the work directory, kept with --keep). Every process started here is stopped by its pid, on
every way out (and gets SIGTERM if this script dies).
"""

import argparse
import array
import json
import multiprocessing
import os
import random
import re
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
sys.path.insert(0, os.path.join(ROOT, "bench", "pipeline"))
sys.path.insert(0, os.path.join(ROOT, "bench", "receivers"))
import pipeline_bench as pb  # noqa: E402  the farm, the scenario, process handling
import restart_soak as rs    # noqa: E402  the numbered trap template

HOST_BODY_VERSION = 19121701
TYPE_RE = re.compile(r'"type": (\d+)')
TIME_RE = re.compile(r'"time": ([0-9.]+)')
BV_RE = re.compile(r'"body_version": (\d+)')
# "soak line NNNNNNN" as dg-sim shows the bytes of a syslog message (hex).
LINE_RE = re.compile(r"736f616b206c696e6520((?:3[0-9]){7})")
TRAP_RE = re.compile(r"trap (\d{6})")


def log(text):
    sys.stdout.write(text + "\n")
    sys.stdout.flush()


def fail(text):
    raise SystemExit("soak: " + text)


# ------------------------------------------------------------------ load

def sender_main(port_syslog, port_trap, line_rate, trap_rate, template, number_at,
                stop, t_file, trap_t_file):
    """The sender process: numbered syslog lines and traps at fixed rates
    from 127.0.0.1; the wall-clock send time of every one goes to a file at
    the end (index = number)."""
    pb._die_with_parent()
    os.setpriority(os.PRIO_PROCESS, 0, 5)
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    s.bind(("127.0.0.1", 0))
    line_t = array.array("d")
    trap_t = array.array("d")
    t0 = time.monotonic()
    while not stop.is_set():
        now = time.monotonic() - t0
        wall = time.time()
        while len(line_t) < line_rate * now and len(line_t) < 9999999:
            s.sendto(b"<13>soak line %07d" % len(line_t), ("127.0.0.1", port_syslog))
            line_t.append(wall)
        while len(trap_t) < trap_rate * now and len(trap_t) < 999999:
            d = template[:number_at] + (b"%06d" % len(trap_t)) + template[number_at + 6:]
            s.sendto(d, ("127.0.0.1", port_trap))
            trap_t.append(wall)
        time.sleep(0.002)
    s.close()
    with open(t_file, "wb") as f:
        line_t.tofile(f)
    with open(trap_t_file, "wb") as f:
        trap_t.tofile(f)


def load_times(path):
    a = array.array("d")
    with open(path, "rb") as f:
        data = f.read()
    a.frombytes(data[:len(data) - len(data) % a.itemsize])
    return a


# ------------------------------------------------------------------ /proc

def proc_sample(pid):
    """(RSS kB, open descriptors, threads, descriptors onto /proc/<n>) of a
    live process, or None. The host agent keeps each process's /proc files
    open from scan to scan (as many as there are processes on the machine),
    so those are counted apart from the rest."""
    try:
        st = pb.read_text("/proc/%d/status" % pid)
        rss = threads = None
        for line in st.splitlines():
            if line.startswith("VmRSS:"):
                rss = int(line.split()[1])
            elif line.startswith("Threads:"):
                threads = int(line.split()[1])
        fds = proc_fds = 0
        for name in os.listdir("/proc/%d/fd" % pid):
            try:
                target = os.readlink("/proc/%d/fd/%s" % (pid, name))
            except OSError:
                continue  # closed meanwhile
            if re.match(r"/proc/\d+(/|$| \(deleted\))", target):
                proc_fds += 1
            else:
                fds += 1
    except (OSError, ValueError, IndexError):
        return None
    if rss is None or threads is None:
        return None
    return rss, fds, threads, proc_fds


def machine_processes():
    return sum(1 for n in os.listdir("/proc") if n.isdigit())


def udp_drops(pid, ports):
    """The kernel's drop count of the process's UDP sockets on these ports
    (receive buffer full)."""
    total = 0
    for line in pb.read_text("/proc/%d/net/udp" % pid).splitlines()[1:]:
        f = line.split()
        if len(f) > 12 and int(f[1].split(":")[1], 16) in ports:
            total += int(f[-1])
    return total


def slope_per_hour(points):
    """Least-squares slope of (seconds, value) points, per hour."""
    n = len(points)
    if n < 2:
        return float("nan")
    mx = sum(p[0] for p in points) / n
    my = sum(p[1] for p in points) / n
    sxx = sum((p[0] - mx) ** 2 for p in points)
    if sxx == 0:
        return float("nan")
    return sum((p[0] - mx) * (p[1] - my) for p in points) / sxx * 3600.0


# ------------------------------------------------------------------ dg-sim output

class Reader:
    """Reads every dg-sim run's output file as it grows: handshakes by agent
    kind, the numbered syslog lines and traps, interface samples and the
    host agent's reports."""

    def __init__(self, max_lines, max_traps):
        self.lines = bytearray(max_lines)
        self.traps = bytearray(max_traps)
        self.dup_lines = 0
        self.dup_traps = 0
        self.handshakes = {"qdr-agent": [], "vosk-host-agent": []}  # (run, wall time)
        self.polls = {}  # device id -> set of collect times (ms)
        self.host_reports = {}
        self.files = []  # [path, offset, run]

    def add(self, path, run):
        self.files.append([path, 0, run])

    def poll(self):
        for entry in self.files:
            path, offset, run = entry
            try:
                with open(path, "rb") as f:
                    f.seek(offset)
                    data = f.read()
            except OSError:
                continue
            end = data.rfind(b"\n")
            if end < 0:
                continue
            entry[1] = offset + end + 1
            for raw in data[:end].split(b"\n"):
                self.line(raw.decode("utf-8", "replace"), run)

    def line(self, text, run):
        m = TYPE_RE.search(text)
        if not m or '"dir": "recv"' not in text:
            return
        t = int(m.group(1))
        if t == 54104:
            for m in LINE_RE.finditer(text):
                n = int(bytes.fromhex(m.group(1)).decode())
                if n < len(self.lines):
                    if self.lines[n]:
                        self.dup_lines += 1
                    self.lines[n] = 1
        elif t == 54105:
            for m in TRAP_RE.finditer(text):
                n = int(m.group(1))
                if n < len(self.traps):
                    if self.traps[n]:
                        self.dup_traps += 1
                    self.traps[n] = 1
        elif t == 10043:
            bv = BV_RE.search(text)
            kind = "vosk-host-agent" if bv and int(bv.group(1)) == HOST_BODY_VERSION \
                else "qdr-agent"
            self.handshakes[kind].append((run, float(TIME_RE.search(text).group(1))))
        elif t == 54107:
            try:
                rec = json.loads(text)
            except ValueError:
                return
            perfs = rec.get("message", {}).get("perfs", [])
            if perfs:
                dev = perfs[0].get("device_id", "?")
                self.polls.setdefault(dev, set()).add(
                    int(perfs[0].get("collect_time", 0)) // 1000000)
        elif 60009 <= t <= 60018 or t == 62001:
            self.host_reports[t] = self.host_reports.get(t, 0) + 1

    def handshake_after(self, kind, run):
        for r, t in self.handshakes[kind]:
            if r == run:
                return t
        return None


# ------------------------------------------------------------------ the run

class Soak:
    def __init__(self, args):
        self.args = args
        self.work = tempfile.mkdtemp(prefix="vk-soak.")
        self.sim = None
        self.sim_port = 0
        self.run_no = 0
        max_lines = int(args.lines_per_sec * (args.minutes * 60 + 60)) + 1000
        max_traps = int(args.traps_per_sec * (args.minutes * 60 + 60)) + 1000
        self.reader = Reader(min(max_lines, 10000000), min(max_traps, 1000000))
        self.kills = []  # dicts: kill, restart (wall), run
        self.samples = []  # (seconds, {agent: (rss, fds, threads)})

    def start_sim(self):
        port_file = os.path.join(self.work, "dg-sim.port")
        if os.path.exists(port_file):
            os.unlink(port_file)
        out = os.path.join(self.work, "packets-%02d.jsonl" % self.run_no)
        sim = os.path.join(self.args.build, "tools", "dg-sim", "dg-sim")
        if not os.access(sim, os.X_OK):
            fail("no %s; build the dg_sim_proto target" % sim)
        self.sim = pb.start("dg-sim", [sim, "--port", str(self.sim_port), "--port-file", port_file,
                                       "--scenario", self.scenario, "--out", out, "--quiet"],
                            stdout=subprocess.DEVNULL,
                            stderr=open(os.path.join(self.work, "dg-sim.err"), "a"))
        port = pb.wait_for("dg-sim's port %d (see %s/dg-sim.err)" % (self.sim_port, self.work),
                           lambda: pb.read_text(port_file).strip()
                           or (self.sim.poll() is not None and fail(
                               "dg-sim ended: " + pb.read_text(
                                   os.path.join(self.work, "dg-sim.err"))[-2000:])), 30)
        self.sim_port = int(port)
        # dg-sim writes the port file once it listens: the moment of the
        # restart, whenever this loop noticed it.
        self.sim_listening = os.stat(port_file).st_mtime
        self.reader.add(out, self.run_no)

    def write_scenario(self):
        self.scenario = os.path.join(self.work, "scenario.json")
        pb.write_scenario(self.scenario, self.farm, self.args.interval)
        with open(self.scenario) as f:
            scen = json.load(f)
        for dev in scen["on_request"]["device_list"][0]["message"]["devices"]:
            dev["collect_syslog"] = True
            dev["collect_snmp_trap"] = True
        with open(self.scenario, "w") as f:
            json.dump(scen, f)

    def start_agents(self):
        agent = os.path.join(self.args.agent_build, "qdr-agent", "qdr-agent")
        host = os.path.join(self.args.agent_build, "vosk-host-agent", "vosk-host-agent")
        for path, target in ((agent, "qdr-agent"), (host, "vosk-host-agent")):
            if not os.access(path, os.X_OK):
                fail("no %s; build the %s target" % (path, target))
        self.qhome = os.path.join(self.work, "qdr")
        for sub in ("conf", "data", "log", "mibs"):
            os.makedirs(os.path.join(self.qhome, sub), exist_ok=True)
        self.syslog_port = pb.free_port(socket.SOCK_DGRAM)
        self.trap_port = pb.free_port(socket.SOCK_DGRAM)
        with open(os.path.join(self.qhome, "conf", "qdr.conf"), "w") as f:
            f.write("receiver_ip=127.0.0.1\nreceiver_port=%d\nsyslog_port=%d\nsnmptrap_port=%d\n"
                    % (self.sim_port, self.syslog_port, self.trap_port))
        with open(os.path.join(self.qhome, "conf", "log.conf"), "w") as f:
            f.write("[qdr-agent]\ndirectory=%s/log\nfilename=qdr-agent.log\noutput_type=file\n"
                    "level=<info\n" % self.qhome)
        self.qlog = os.path.join(self.qhome, "log", "qdr-agent.log")
        self.qdr = pb.start("qdr-agent", [agent], env=dict(os.environ, VOSK_QDR_HOME=self.qhome),
                            stdout=open(os.path.join(self.qhome, "agent.out"), "w"),
                            stderr=subprocess.STDOUT)
        self.hhome = os.path.join(self.work, "host")
        os.makedirs(os.path.join(self.hhome, "host", "data"), exist_ok=True)
        os.makedirs(os.path.join(self.hhome, "log"), exist_ok=True)
        self.hlog = os.path.join(self.hhome, "log", "vosk-host-agent.log")
        self.host = pb.start("vosk-host-agent", [host],
                             env=dict(os.environ, VOSK_HOME=self.hhome, VOSK_HOST_HOME=self.hhome,
                                      RECEIVER_ADDR="127.0.0.1:%d" % self.sim_port),
                             stdout=open(os.path.join(self.hhome, "agent.out"), "w"),
                             stderr=subprocess.STDOUT)
        self.pids = {"qdr-agent": self.qdr.pid, "vosk-host-agent": self.host.pid}

    def alive(self):
        for name, p in (("qdr-agent", self.qdr), ("vosk-host-agent", self.host)):
            if p.poll() is not None:
                fail("%s ended with %s during the run; its log: %s" % (
                    name, p.returncode, self.qlog if name == "qdr-agent" else self.hlog))

    def both_shook_hands(self, run):
        return all(self.reader.handshake_after(k, run) is not None
                   for k in ("qdr-agent", "vosk-host-agent"))

    def sample(self, t0):
        row = {"processes": machine_processes()}
        for name, pid in self.pids.items():
            row[name] = proc_sample(pid)
        self.samples.append((time.time() - t0, row))

    def plan(self, seconds):
        """Kill moments (seconds from the start) and down times, seeded."""
        rnd = random.Random(self.args.seed)
        n = self.args.kills
        first, last = min(30.0, seconds / 6), seconds - min(60.0, seconds / 6)
        gap = min(30.0, (last - first) / max(1, n) / 2)
        # n points in [first, last] at least `gap` apart: draw in the
        # shortened span and spread by the gaps.
        span = max(0.0, (last - first) - gap * (n - 1))
        points = sorted(rnd.uniform(0, span) for _ in range(n))
        return [(first + p + i * gap, rnd.uniform(0.5, 5.0)) for i, p in enumerate(points)]

    def run(self):
        args = self.args
        seconds = args.minutes * 60.0
        log("== soak: %.1f minutes, seed %d, %d collector kills; work dir %s"
            % (args.minutes, args.seed, args.kills, self.work))
        self.farm = pb.Farm(args.build, self.work, args.devices, args.interfaces, 0,
                            int(seconds) + 600)
        os.setpriority(os.PRIO_PROCESS, self.farm.proc.pid, 5)
        self.write_scenario()
        self.start_sim()
        self.start_agents()
        pb.wait_for("both agents' handshakes", lambda: (self.alive(), self.reader.poll(),
                                                        self.both_shook_hands(0))[2], 60, 0.2)
        pb.wait_for("qdr-agent's syslog and trap receivers (%s)" % self.qlog,
                    lambda: pb.read_text(self.qlog).count("udp server call.") >= 2, 60, 0.2)
        template, number_at = rs.trap_template()
        stop = multiprocessing.Event()
        line_t_file = os.path.join(self.work, "line-times.bin")
        trap_t_file = os.path.join(self.work, "trap-times.bin")
        sender = multiprocessing.Process(target=sender_main, args=(
            self.syslog_port, self.trap_port, args.lines_per_sec, args.traps_per_sec, template,
            number_at, stop, line_t_file, trap_t_file))
        plan = self.plan(seconds)
        log("   kills at (s) / down for (s): " + ", ".join("%.0f/%.1f" % k for k in plan))
        t0 = time.time()
        sender.start()
        try:
            next_sample = t0
            k = 0
            down_until = None
            while True:
                now = time.time()
                if now >= t0 + seconds:
                    break
                self.reader.poll()
                self.alive()
                if now >= next_sample:
                    self.sample(t0)
                    next_sample += args.sample_sec
                if down_until is not None and now >= down_until:
                    self.run_no += 1
                    self.start_sim()
                    self.kills[-1]["restart"] = self.sim_listening
                    down_until = None
                elif (down_until is None and k < len(plan) and now >= t0 + plan[k][0]
                      and self.both_shook_hands(self.run_no)):
                    os.kill(self.sim.pid, signal.SIGKILL)
                    self.sim.wait()
                    self.kills.append({"kill": time.time(), "run": self.run_no + 1,
                                       "planned": plan[k][0]})
                    down_until = time.time() + plan[k][1]
                    k += 1
                time.sleep(0.2)
            if down_until is not None:
                self.run_no += 1
                self.start_sim()
                self.kills[-1]["restart"] = self.sim_listening
            self.sample(t0)
        finally:
            stop.set()
            sender.join(30)
            if sender.is_alive():
                sender.kill()
        t_end = time.time()
        # What the agent still holds goes out once it is connected: wait
        # until nothing new arrives for 5 s (at most 120 s).
        pb.wait_for("the last handshakes", lambda: (self.reader.poll(),
                                                    self.both_shook_hands(self.run_no))[1],
                    120, 0.2)
        deadline = time.monotonic() + 120
        got = -1
        quiet_since = time.monotonic()
        while time.monotonic() < deadline and time.monotonic() - quiet_since < 5:
            self.reader.poll()
            n = self.reader.lines.count(1) + self.reader.traps.count(1)
            if n != got:
                got, quiet_since = n, time.monotonic()
            time.sleep(0.5)
        drops = udp_drops(self.qdr.pid, (self.syslog_port, self.trap_port))
        qlog_text = pb.read_text(self.qlog)
        self.stop_agents()
        self.agent_out = {name: pb.read_text(os.path.join(home, "agent.out"))
                          for name, home in (("qdr-agent", self.qhome),
                                             ("vosk-host-agent", self.hhome))}
        pb.stop(self.sim)
        pb.stop(self.farm.proc)
        self.reader.poll()
        return self.report(t0, t_end, load_times(line_t_file), load_times(trap_t_file),
                           drops, qlog_text)

    def stop_agents(self):
        for path in (os.path.join(self.qhome, "data", "qdr-agent.pid"),
                     os.path.join(self.hhome, "host", "data", "host_agent_pid")):
            try:
                os.unlink(path)
            except OSError:
                pass
        for p in (self.qdr, self.host):
            try:
                p.wait(timeout=10)
            except Exception:
                pb.stop(p)

    # -------------------------------------------------------------- report

    def down_windows(self, kind):
        """(kill, next handshake of this agent) of every kill."""
        out = []
        for k in self.kills:
            hs = self.reader.handshake_after(kind, k["run"])
            out.append((k["kill"], hs if hs is not None else float("inf")))
        return out

    def place(self, times, received, windows):
        """Lost ones by their send time: (down, in flight at a kill, up, up list)."""
        down = flight = up = 0
        up_times = []
        kills = [w[0] for w in windows]
        for n, t in enumerate(times):
            if n < len(received) and received[n]:
                continue
            if any(a <= t < b for a, b in windows):
                down += 1
            elif any(kt - self.args.in_flight <= t < kt for kt in kills):
                flight += 1
            else:
                up += 1
                if len(up_times) < 20:
                    up_times.append((n, t))
        return down, flight, up, up_times

    def report(self, t0, t_end, line_t, trap_t, drops, qlog_text):
        args = self.args
        ok_all = True
        out = ["", "== samples every %d s: RSS MB, open descriptors (besides those onto"
               " /proc/<n>), threads, descriptors onto /proc/<n> (the host agent keeps each"
               " process's files open between scans); processes on the machine"
               % args.sample_sec,
               "   %7s  %-35s  %-35s %s" % ("t (s)", "qdr-agent", "vosk-host-agent", "procs"),
               "   %7s  %s  %s" % ("", "%8s %8s %8s %8s" % ("RSS", "fds", "threads", "/proc"),
                                   "%8s %8s %8s %8s" % ("RSS", "fds", "threads", "/proc"))]
        for t, row in self.samples:
            cells = []
            for name in ("qdr-agent", "vosk-host-agent"):
                v = row.get(name)
                cells.append("%8.2f %8d %8d %8d" % (v[0] / 1024.0, v[1], v[2], v[3]) if v
                             else "%35s" % "(gone)")
            out.append("   %7.0f  %s  %s %6d" % (t, cells[0], cells[1], row["processes"]))
        out += ["", "== slopes (least squares, per hour)"]
        half = max(t for t, _r in self.samples) / 2.0 if self.samples else 0.0
        verdicts = []
        for name in ("qdr-agent", "vosk-host-agent"):
            pts = [(t, r[name]) for t, r in self.samples if r.get(name)]
            per_proc = max((v[3] / max(1, r["processes"]) for t, r in self.samples
                            for v in [r.get(name)] if v), default=0.0)
            second = [(t, v) for t, v in pts if t >= half]
            first = [(t, v) for t, v in pts if t < half]
            for i, what, unit, div in ((0, "RSS", "MB/h", 1024.0), (1, "descriptors", "/h", 1.0),
                                       (2, "threads", "/h", 1.0)):
                whole = slope_per_hour([(t, v[i] / div) for t, v in pts])
                late = slope_per_hour([(t, v[i] / div) for t, v in second])
                out.append("   %-16s %-12s whole run %+9.2f %s, second half %+9.2f %s"
                           % (name, what, whole, unit, late, unit))
            rss_late = slope_per_hour([(t, v[0] / 1024.0) for t, v in second])
            ok = rss_late == rss_late and rss_late < args.rss_slope_mb
            verdicts.append(("%s RSS slope, second half < %.1f MB/h -> %+.2f MB/h"
                             % (name, args.rss_slope_mb, rss_late), ok))
            for i, what in ((1, "descriptors"), (2, "threads")):
                a = max((v[i] for _t, v in first), default=0)
                b = max((v[i] for _t, v in second), default=0)
                verdicts.append(("%s %s, second half max <= first half max -> %d <= %d"
                                 % (name, what, b, a), b <= a))
            # A process has at most 4 files held (its directory, stat, io,
            # cmdline); those of processes gone since the last scan are
            # closed at the next one.
            verdicts.append(("%s descriptors onto /proc/<n> <= 5 per process on the machine"
                             " -> at most %.2f" % (name, per_proc), per_proc <= 5.0))

        # Loss.
        qwin = self.down_windows("qdr-agent")
        nl, nt = len(line_t), len(trap_t)
        got_l = self.reader.lines[:nl].count(1)
        got_t = self.reader.traps[:nt].count(1)
        ld, lf, lu, lup = self.place(line_t, self.reader.lines, qwin)
        td, tf, tu, tup = self.place(trap_t, self.reader.traps, qwin)
        ev = re.findall(r"event buffer: held\[[^]]*\],sent late\[(\d+)\],dropped\[(\d+) ev\]",
                        qlog_text)
        traps_stat = re.findall(r"traps: forwarded\[(\d+)\],informs answered\[(\d+)\],"
                                r"dropped\[(\d+)\]", qlog_text)
        out += ["", "== syslog lines and traps (sent from 127.0.0.1 to qdr-agent, received by"
                " dg-sim over all %d runs)" % (self.run_no + 1),
                "   syslog: sent %d, received %d, lost %d (link down %d, in flight at a kill"
                " (sent < %.1f s before it) %d, link up %d); duplicates %d"
                % (nl, got_l, nl - got_l, ld, args.in_flight, lf, lu, self.reader.dup_lines),
                "   traps:  sent %d, received %d, lost %d (link down %d, in flight at a kill %d,"
                " link up %d); duplicates %d"
                % (nt, got_t, nt - got_t, td, tf, tu, self.reader.dup_traps),
                "   kernel drops on the agent's syslog/trap sockets (receive buffer full): %d"
                % drops,
                "   agent's event buffer: %s" % ("sent late %s, dropped %s events (last report)"
                                                 % ev[-1] if ev else "no report in the log"),
                "   agent's trap counts: %s" % ("forwarded %s, informs answered %s, dropped %s"
                                                % traps_stat[-1] if traps_stat else "none")]
        for n, t in lup + tup:
            out.append("     lost while up: #%d sent at +%.3f s" % (n, t - t0))
        verdicts.append(("syslog lines and traps lost while the link was up: 0 -> %d"
                         % (lu + tu), lu + tu == 0))

        # Polls: per device, the gaps between consecutive samples (a reconnect
        # installs the collect events anew, on a new phase) and from the last
        # one to the end; a missing round counts as disturbed by a kill when
        # its gap overlaps [kill - in flight, handshake + interval] (what
        # was due while down is not kept; the first poll after the events
        # come again is one interval later).
        disturbed = [(a - args.in_flight, b + args.interval) for a, b in qwin]
        received = missing = missing_kill = 0
        polled = 0
        for dev, cts in self.reader.polls.items():
            cts = sorted(c / 1000.0 for c in cts if c / 1000.0 <= t_end)
            if not cts:
                continue
            polled += 1
            received += len(cts)
            for a, b in zip(cts, cts[1:] + [t_end + args.interval / 2.0]):
                gap = int(round((b - a) / args.interval)) - 1
                if gap > 0:
                    missing += gap
                    if any(a < y and x < b for x, y in disturbed):
                        missing_kill += gap
        out += ["", "== interface polls (%d devices x %d interfaces every %d s)"
                % (args.devices, args.interfaces, args.interval),
                "   devices polled %d of %d; samples received %d, rounds missing %d, of them %d"
                " at a kill (from %.1f s before it to one interval after the handshake)"
                % (polled, args.devices, received, missing, missing_kill, args.in_flight)]
        verdicts.append(("every device polled -> %d of %d" % (polled, args.devices),
                         polled == args.devices))
        verdicts.append(("poll rounds missing away from the kills: 0 -> %d"
                         % (missing - missing_kill), missing - missing_kill == 0))
        out.append("   host agent reports received by type: " + ", ".join(
            "%d: %d" % kv for kv in sorted(self.reader.host_reports.items())))

        # Reconnects.
        out += ["", "== collector kills: kill -> restart (dg-sim listening) -> next handshake (s)",
                "   %3s %8s %7s %22s %22s" % ("#", "at (s)", "down", "qdr-agent (kill/rest.)",
                                              "host agent (kill/rest.)")]
        worst = {}
        for i, k in enumerate(self.kills):
            cells = []
            for kind in ("qdr-agent", "vosk-host-agent"):
                hs = self.reader.handshake_after(kind, k["run"])
                if hs is None:
                    cells.append("%22s" % "NONE")
                    worst[kind] = float("inf")
                else:
                    cells.append("%10.2f / %9.2f" % (hs - k["kill"], hs - k["restart"]))
                    worst[kind] = max(worst.get(kind, 0.0), hs - k["restart"])
            out.append("   %3d %8.0f %7.2f %s %s" % (i + 1, k["kill"] - t0,
                                                     k["restart"] - k["kill"], *cells))
        verdicts.append(("collector kills done -> %d of %d" % (len(self.kills), args.kills),
                         len(self.kills) == args.kills))
        for kind in ("qdr-agent", "vosk-host-agent"):
            w = worst.get(kind, 0.0)
            verdicts.append(("%s reconnected after every restart (worst %.2f s after the"
                             " restart)" % (kind, w), w != float("inf")))
        for name, text in self.agent_out.items():
            reports = len(re.findall(r"ERROR: \w+Sanitizer|WARNING: ThreadSanitizer|"
                                     r"runtime error:", text))
            verdicts.append(("%s: no sanitizer report on its output -> %d" % (name, reports),
                             reports == 0))
            if reports:
                at = re.search(r"[^\n]*(ERROR: \w+Sanitizer|WARNING: ThreadSanitizer|"
                               r"runtime error:)", text).start()
                out += ["", "== the first sanitizer report of %s" % name]
                out += ["   " + x for x in text[at:].splitlines()[:40]]
        out += ["", "== verdict"]
        for text, ok in verdicts:
            out.append("   %-4s %s" % ("ok" if ok else "FAIL", text))
            ok_all = ok_all and ok
        out.append("%s: soak of %.1f minutes, seed %d" % ("PASS" if ok_all else "FAIL",
                                                          args.minutes, args.seed))
        log("\n".join(out))
        return 0 if ok_all else 1

    def cleanup(self):
        pb.stop_all()
        if self.args.keep:
            log("   files kept in %s" % self.work)
        else:
            shutil.rmtree(self.work, ignore_errors=True)


def main():
    p = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    p.add_argument("--build", default=os.path.join(ROOT, "build"))
    p.add_argument("--agent-build", default=None,
                   help="build tree of the two agents when not --build's (e.g. a sanitizer"
                   " build: its memory figures then show the sanitizer's own growth)")
    p.add_argument("--minutes", type=float, default=30.0)
    p.add_argument("--seed", type=int, default=None, help="kill schedule seed (default: random,"
                   " printed)")
    p.add_argument("--kills", type=int, default=20)
    p.add_argument("--devices", type=int, default=200)
    p.add_argument("--interfaces", type=int, default=10)
    p.add_argument("--interval", type=int, default=10)
    p.add_argument("--lines-per-sec", type=float, default=2000)
    p.add_argument("--traps-per-sec", type=float, default=50)
    p.add_argument("--sample-sec", type=int, default=30)
    p.add_argument("--in-flight", type=float, default=2.0,
                   help="seconds before a kill whose lost events count as in flight")
    p.add_argument("--rss-slope-mb", type=float, default=1.0)
    p.add_argument("--keep", action="store_true")
    args = p.parse_args()
    if args.seed is None:
        args.seed = random.SystemRandom().randrange(1, 1000000)
    if not (1 <= args.minutes <= 600 and 0 <= args.kills <= 200 and 1 <= args.devices <= 1000
            and 1 <= args.interfaces <= 200 and 2 <= args.interval <= 60
            and 0 <= args.lines_per_sec <= 20000 and 0 <= args.traps_per_sec <= 2000
            and 5 <= args.sample_sec <= 600 and 0 <= args.in_flight <= 30):
        fail("arguments out of range")
    args.build = os.path.abspath(args.build)
    args.agent_build = os.path.abspath(args.agent_build or args.build)
    for sig in (signal.SIGTERM, signal.SIGINT, signal.SIGHUP):
        signal.signal(sig, lambda *_: sys.exit(1))
    soak = Soak(args)
    try:
        return soak.run()
    finally:
        soak.cleanup()


if __name__ == "__main__":
    sys.exit(main())
