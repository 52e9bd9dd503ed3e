#!/usr/bin/python3
"""Syslog and traps across collector restarts, on loopback, against a
baseline in the same run.

qdr-agent runs as a real process connected to tools/dg-sim, which lists one
device (127.0.0.1) with syslog and trap forwarding. A sender sends numbered
syslog lines and numbered v2c traps (a trap made once by `snmptrap`, its
number rewritten in place) at fixed rates, while dg-sim is killed (SIGKILL)
and started again on the same port KILLS times. At the end every number
that dg-sim wrote out (all its runs together) is counted: sent, arrived,
lost, and the agent's own count of events its event buffer dropped.

With --stop-sec, dg-sim is first stopped (SIGSTOP) for that long before
each kill: a collector that hangs before it dies, so that the agent's socket
buffers and its send queue fill and the link drops with packets unsent.
What the agent's socket had already taken when dg-sim died is lost: the link
has no acknowledgement to tell it.

The same soak runs twice: with the event buffer (event_buffer_bytes, default
32 MiB) and with event_buffer_bytes=0, which holds nothing while the link is
down (the baseline). The figure is the lost count of each and their ratio.

Usage: restart_soak.py [--build DIR] [--kills N] [--lines-per-sec R]
         [--traps-per-sec R] [--down-sec S] [--stop-sec S] [--buffer-bytes B] [--keep]
The build needs the targets qdr-agent and dg_sim_proto. Every process
started here is stopped by its pid, on every way out.
"""

import argparse
import json
import os
import re
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))

SCENARIO = {"on_request": {"device_list": [
    {"type": "DEVICE_LIST", "message": {"request_id": "soak", "devices": [
        {"id": "dev-soak", "name": "soak", "ip": {"version": 4, "addr": "127.0.0.1"},
         "port": 161, "snmp": {"version": "v2c", "community": "public"},
         "collect_syslog": True, "collect_snmp_trap": True,
         "flag": "device_flag_update"}]}}]}}


def free_port(kind):
    s = socket.socket(socket.AF_INET, kind)
    s.bind(("127.0.0.1", 0))
    port = s.getsockname()[1]
    s.close()
    return port


def wait_until(check, seconds, step=0.1):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        if check():
            return True
        time.sleep(step)
    return check()


def read(path):
    try:
        with open(path, "rb") as f:
            return f.read().decode("utf-8", "replace")
    except OSError:
        return ""


def trap_template():
    """One v2c trap from snmptrap whose last value is 'trap 000000'."""
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    s.bind(("127.0.0.1", 0))
    s.settimeout(10)
    port = s.getsockname()[1]
    subprocess.run(["/usr/bin/snmptrap", "-v", "2c", "-c", "public", "127.0.0.1:%d" % port,
                    "1", ".1.3.6.1.6.3.1.1.5.1", ".1.3.6.1.2.1.1.5.0", "s", "trap 000000"],
                   check=True)
    data, _ = s.recvfrom(65536)
    s.close()
    at = data.index(b"trap 000000")
    return data, at + 5


class Soak:
    def __init__(self, args, buffer_bytes, label):
        self.args = args
        self.label = label
        self.buffer_bytes = buffer_bytes
        self.home = tempfile.mkdtemp(prefix="restart-soak-")
        self.children = []

    def start(self, argv, out_name):
        out = open(os.path.join(self.home, out_name), "ab")
        p = subprocess.Popen(argv, cwd=self.home, stdout=out, stderr=subprocess.STDOUT,
                             env=dict(os.environ, VOSK_QDR_HOME=self.home))
        self.children.append(p)
        return p

    def stop(self, p, sig=signal.SIGTERM):
        if p is not None and p.poll() is None:
            p.send_signal(sig)
            try:
                p.wait(10)
            except subprocess.TimeoutExpired:
                p.kill()
                p.wait()

    def start_sim(self, port, n):
        port_file = os.path.join(self.home, "port")
        if os.path.exists(port_file):
            os.unlink(port_file)
        out = os.path.join(self.home, "packets-%02d.jsonl" % n)
        p = self.start([os.path.join(self.args.build, "tools/dg-sim/dg-sim"), "--port", str(port),
                        "--port-file", port_file, "--scenario", self.scenario, "--out", out,
                        "--quiet"], "dg-sim.out")
        if not wait_until(lambda: os.path.exists(port_file) and read(port_file).strip(), 15):
            raise RuntimeError("dg-sim did not start")
        return p, int(read(port_file).strip())

    def run(self):
        for d in ("conf", "data", "log", "mibs"):
            os.makedirs(os.path.join(self.home, d), exist_ok=True)
        self.scenario = os.path.join(self.home, "scenario.json")
        with open(self.scenario, "w") as f:
            json.dump(SCENARIO, f)
        sim, collector = self.start_sim(0, 0)
        syslog_port = free_port(socket.SOCK_DGRAM)
        trap_port = free_port(socket.SOCK_DGRAM)
        log = os.path.join(self.home, "log", "qdr-agent.log")
        with open(os.path.join(self.home, "conf", "qdr.conf"), "w") as f:
            f.write("receiver_ip=127.0.0.1\nreceiver_port=%d\nsyslog_port=%d\n"
                    "snmptrap_port=%d\nevent_buffer_bytes=%d\n"
                    % (collector, syslog_port, trap_port, self.buffer_bytes))
        with open(os.path.join(self.home, "conf", "log.conf"), "w") as f:
            f.write("[qdr-agent]\ndirectory=%s/log\nfilename=qdr-agent.log\n"
                    "output_type=file\nlevel=<info\n" % self.home)
        agent = self.start([os.path.join(self.args.build, "qdr-agent/qdr-agent")], "agent.out")
        if not wait_until(lambda: read(log).count("udp server call.") >= 2
                          and "dev-soak" in read(log), 30):
            raise RuntimeError("agent receivers did not start:\n" + read(log))

        template, number_at = trap_template()
        stop = threading.Event()
        sent = {"lines": 0, "traps": 0}

        def sender():
            s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
            t0 = time.monotonic()
            line_rate, trap_rate = self.args.lines_per_sec, self.args.traps_per_sec
            while not stop.is_set():
                now = time.monotonic() - t0
                while sent["lines"] < line_rate * now:
                    s.sendto(b"<13>soak line %07d" % sent["lines"], ("127.0.0.1", syslog_port))
                    sent["lines"] += 1
                while sent["traps"] < trap_rate * now:
                    n = sent["traps"] % 1000000
                    d = template[:number_at] + (b"%06d" % n) + template[number_at + 6:]
                    s.sendto(d, ("127.0.0.1", trap_port))
                    sent["traps"] += 1
                time.sleep(0.002)
            s.close()

        th = threading.Thread(target=sender)
        th.start()
        try:
            time.sleep(2)
            for k in range(1, self.args.kills + 1):
                if self.args.stop_sec > 0:
                    sim.send_signal(signal.SIGSTOP)
                    time.sleep(self.args.stop_sec)
                self.stop(sim, signal.SIGKILL)
                time.sleep(self.args.down_sec)
                sim, _ = self.start_sim(collector, k)
                out = os.path.join(self.home, "packets-%02d.jsonl" % k)
                # Up again: the agent reconnected and sent something.
                wait_until(lambda: "54104" in read(out) or "54105" in read(out), 30)
                time.sleep(1)
        finally:
            stop.set()
            th.join()
        # Everything held or queued goes out.
        time.sleep(5)
        stats = re.findall(r"dropped\[(\d+) ev\]", read(log))
        agent_dropped = int(stats[-1]) if stats else 0
        taken_back = sum(int(n) for n in re.findall(
            r"events the link had not sent are held for the next connection\.\(packets:\d+,"
            r"events:(\d+)\)", read(log)))
        self.stop(agent)
        self.stop(sim)

        lines, traps = set(), set()
        for name in sorted(os.listdir(self.home)):
            if not name.startswith("packets-"):
                continue
            for text in read(os.path.join(self.home, name)).splitlines():
                for m in re.finditer(r"736f616b206c696e6520((?:3[0-9]){7})", text):
                    lines.add(int(bytes.fromhex(m.group(1)).decode()))
                for m in re.finditer(r"trap (\d{6})", text):
                    traps.add(int(m.group(1)))
        return {"label": self.label, "lines_sent": sent["lines"], "lines_arrived": len(lines),
                "traps_sent": sent["traps"], "traps_arrived": len(traps),
                "agent_dropped": agent_dropped, "taken_back": taken_back}

    def cleanup(self):
        for p in self.children:
            self.stop(p, signal.SIGKILL)
        if not self.args.keep:
            shutil.rmtree(self.home, ignore_errors=True)
        else:
            print("kept", self.home)


def main():
    p = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    p.add_argument("--build", default=os.path.join(ROOT, "build"))
    p.add_argument("--kills", type=int, default=20)
    p.add_argument("--lines-per-sec", type=float, default=2000)
    p.add_argument("--traps-per-sec", type=float, default=50)
    p.add_argument("--down-sec", type=float, default=1.0)
    p.add_argument("--stop-sec", type=float, default=0.0)
    p.add_argument("--buffer-bytes", type=int, default=32 * 1024 * 1024)
    p.add_argument("--keep", action="store_true")
    args = p.parse_args()
    results = []
    for bytes_, label in ((args.buffer_bytes, "event buffer"), (0, "no buffer (baseline)")):
        soak = Soak(args, bytes_, label)
        try:
            results.append(soak.run())
        finally:
            soak.cleanup()
    for r in results:
        lost_lines = r["lines_sent"] - r["lines_arrived"]
        lost_traps = r["traps_sent"] - r["traps_arrived"]
        print("%-22s lines %7d sent, %7d lost; traps %6d sent, %5d lost; "
              "agent counted %d dropped, %d taken back from the link"
              % (r["label"], r["lines_sent"], lost_lines, r["traps_sent"], lost_traps,
                 r["agent_dropped"], r["taken_back"]))
    ours = sum(results[0][k] for k in ("lines_sent", "traps_sent")) - \
        sum(results[0][k] for k in ("lines_arrived", "traps_arrived"))
    base = sum(results[1][k] for k in ("lines_sent", "traps_sent")) - \
        sum(results[1][k] for k in ("lines_arrived", "traps_arrived"))
    print("events lost over %d collector kills: %d with the buffer, %d without (ratio %.4f)"
          % (args.kills, ours, base, ours / base if base else 0.0))
    return 0 if ours == 0 else 1


if __name__ == "__main__":
    sys.exit(main())
