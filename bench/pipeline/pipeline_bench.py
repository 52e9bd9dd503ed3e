#!/usr/bin/python3
"""The polling pipeline end to end, on loopback, against a baseline in the
same run.

1. A farm of simulated SNMP devices (bench_device_farm: N devices with M
   interfaces each, counters moving, one port of 127.0.0.1 a device) and one
   dead device (a bound port that never answers).
2. qdr-agent as a real process, connected to tools/dg-sim with a generated
   scenario: every device polled for interface performance (the 64-bit
   interface counter pack, 13 columns) every INTERVAL seconds.
   At the same time the system's prometheus-snmp-exporter, with an if_mib
   module walking the same 13 columns, scrapes the same live devices every
   INTERVAL seconds (curl, 40 scrapes at a time, from source address
   127.0.0.2 so that the farm counts the pollers apart); a second exporter
   does the same with the agent's 80 repetitions a GETBULK (127.0.0.3).
   The package's own snmp.yml carries no modules (the MIBs are not shipped),
   so the module is written here, as the generator would write it for these
   columns, without the ifDescr/ifName/ifAlias label look-ups.
   Over one window of SECONDS: varbinds per second and CPU seconds per
   10,000 varbinds of each, the CPU of every process, the agent's memory.
3. Schedule slip: every interface sample's collect time (decoded by dg-sim)
   against its due time (the moment dg-sim sent the device's collect events
   + k x INTERVAL), while the dead device holds a collect thread in the SNMP
   library's default time-out and retries.
4. Idle: a second agent with an empty device list (40 collect threads
   waiting), its CPU over IDLE seconds.
5. Dead devices: a farm of DEAD_FARM devices of which a tenth never answer,
   spread through the device list; how late the live devices' samples are
   against their due times, the collection queue (the agent's own report
   every 3 s) and the agent's RSS over the window.

Usage: pipeline_bench.py [--build DIR] [--devices N] [--interfaces M]
         [--interval S] [--seconds S] [--idle-seconds S] [--keep]
         [--agent-env NAME=VALUE] [--agent-wrap COMMAND]
         [--dead-farm N] [--dead-interval S] [--dead-seconds S] [--only-dead]
         [--no-exporters]
The build needs the targets qdr-agent, dg_sim_proto and bench_device_farm.
Every process started here is stopped by its pid, on every way out.
"""

import argparse
import ctypes
import glob
import json
import math
import os
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
EXPORTER = "/usr/bin/prometheus-snmp-exporter"
TICK = os.sysconf("SC_CLK_TCK")
COMMUNITY = "public"
# The exporters: its if_mib module as generated (25 repetitions a GETBULK),
# and the same module with the agent's 80 repetitions. Each sends from its
# own loopback address so that the farm counts them apart.
EXPORTERS = [("exporter", 25, "127.0.0.2"), ("exporter-r80", 80, "127.0.0.3")]

# The interface performance pack: ifSpeed, the 64-bit octet and packet
# counters, discards and errors (the columns of the 64-bit pack of
# tools/dg-sim/scenarios/polling.json).
COLUMNS = [
    ("interface.speed", "1.3.6.1.2.1.2.2.1.5", "ifSpeed", "gauge"),
    ("interface.in_octets", "1.3.6.1.2.1.31.1.1.1.6", "ifHCInOctets", "counter"),
    ("interface.in_ucast_pkts", "1.3.6.1.2.1.31.1.1.1.7", "ifHCInUcastPkts", "counter"),
    ("interface.in_mcast_pkts", "1.3.6.1.2.1.31.1.1.1.8", "ifHCInMulticastPkts", "counter"),
    ("interface.in_bcast_pkts", "1.3.6.1.2.1.31.1.1.1.9", "ifHCInBroadcastPkts", "counter"),
    ("interface.in_discards", "1.3.6.1.2.1.2.2.1.13", "ifInDiscards", "counter"),
    ("interface.in_errors", "1.3.6.1.2.1.2.2.1.14", "ifInErrors", "counter"),
    ("interface.out_octets", "1.3.6.1.2.1.31.1.1.1.10", "ifHCOutOctets", "counter"),
    ("interface.out_ucast_pkts", "1.3.6.1.2.1.31.1.1.1.11", "ifHCOutUcastPkts", "counter"),
    ("interface.out_mcast_pkts", "1.3.6.1.2.1.31.1.1.1.12", "ifHCOutMulticastPkts", "counter"),
    ("interface.out_bcast_pkts", "1.3.6.1.2.1.31.1.1.1.13", "ifHCOutBroadcastPkts", "counter"),
    ("interface.out_discards", "1.3.6.1.2.1.2.2.1.19", "ifOutDiscards", "counter"),
    ("interface.out_errors", "1.3.6.1.2.1.2.2.1.20", "ifOutErrors", "counter"),
]
METRIC_NAMES = {c[2] for c in COLUMNS}

started = []  # (name, Popen) of every process started here
AGENT_ENV = []  # NAME=VALUE pairs for the agent's environment (--agent-env)
AGENT_WRAP = []  # a command the polling agent runs under (--agent-wrap), e.g. a heap profiler


def log(text):
    sys.stdout.write(text + "\n")
    sys.stdout.flush()


def fail(text):
    raise SystemExit("pipeline bench: " + text)


def _die_with_parent():
    # A child gets SIGTERM if this script dies without its clean-up (SIGKILL).
    libc = ctypes.CDLL(None, use_errno=True)
    libc.prctl(1, signal.SIGTERM, 0, 0, 0)  # PR_SET_PDEATHSIG


def start(name, argv, **kw):
    p = subprocess.Popen(argv, preexec_fn=_die_with_parent, **kw)
    started.append((name, p))
    return p


def stop(p, grace=3.0):
    """Stops one started process by its pid: SIGTERM, then SIGKILL."""
    if p.poll() is None:
        try:
            os.kill(p.pid, signal.SIGTERM)
        except ProcessLookupError:
            pass
        try:
            p.wait(timeout=grace)
        except subprocess.TimeoutExpired:
            os.kill(p.pid, signal.SIGKILL)
            p.wait(timeout=5)


def stop_all():
    for _name, p in reversed(started):
        try:
            stop(p)
        except Exception:
            pass


def wait_for(what, check, timeout, step=0.1):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        value = check()
        if value:
            return value
        time.sleep(step)
    fail("timed out waiting for " + what)


def free_port(kind=socket.SOCK_STREAM):
    s = socket.socket(socket.AF_INET, kind)
    s.bind(("127.0.0.1", 0))
    port = s.getsockname()[1]
    s.close()
    return port


def read_text(path):
    try:
        with open(path) as f:
            return f.read()
    except OSError:
        return ""


def cpu_seconds(pid):
    """utime + stime of a process (all its threads), in seconds."""
    fields = read_text("/proc/%d/stat" % pid).rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / TICK


def run_seconds(pid):
    """Time on the CPU of all live threads, in seconds (schedstat, ns)."""
    total = 0
    for path in glob.glob("/proc/%d/task/*/schedstat" % pid):
        text = read_text(path).split()
        if text:
            total += int(text[0])
    return total / 1e9


def proc_status(pid, keys):
    out = {}
    for line in read_text("/proc/%d/status" % pid).splitlines():
        k, _, v = line.partition(":")
        if k in keys:
            out[k] = v.strip()
    return out


def thread_names(pid):
    names = []
    for path in glob.glob("/proc/%d/task/*/comm" % pid):
        names.append(read_text(path).strip())
    return names


# ------------------------------------------------------------------ pieces

class Farm:
    def __init__(self, build, work, devices, interfaces, dead, max_seconds):
        self.dir = work
        self.stats_path = os.path.join(work, "farm.stats")
        ports_path = os.path.join(work, "farm.ports")
        binary = os.path.join(build, "bench", "pipeline", "bench_device_farm")
        if not os.access(binary, os.X_OK):
            fail("no %s; build the bench_device_farm target" % binary)
        self.proc = start("farm", [binary, "--devices", str(devices), "--interfaces",
                                   str(interfaces), "--dead", str(dead), "--threads", "2",
                                   "--community", COMMUNITY, "--port-file", ports_path,
                                   "--stats-file", self.stats_path, "--max-seconds",
                                   str(max_seconds)],
                          stderr=open(os.path.join(work, "farm.err"), "w"))
        wait_for("the farm's ports", lambda: os.path.exists(ports_path), 10)
        self.live, self.dead = [], []
        for line in read_text(ports_path).splitlines():
            kind, port = line.split()
            (self.live if kind == "live" else self.dead).append(int(port))
        self.serial = 0

    def stats(self):
        """Asks the farm for its counts (SIGUSR1) and waits for the file."""
        self.serial += 1
        os.kill(self.proc.pid, signal.SIGUSR1)

        def ready():
            text = read_text(self.stats_path)
            for line in text.splitlines():
                if line.startswith("serial ") and int(line.split()[1]) >= self.serial:
                    return text
            return None
        text = wait_for("the farm's counts", ready, 10, 0.02)
        out = {}
        for line in text.splitlines():
            f = line.split()
            if f[0] == "client":
                out[f[1]] = (int(f[3]), int(f[5]))
            elif f[0] == "serial":
                self.serial = int(f[1])
        return out


def write_scenario(path, farm, interval, mixed=False, columns=COLUMNS):
    """With `mixed`, the dead devices are spread through the list (every
    tenth device) instead of following the live ones, as in a real network."""
    devices = []
    for i, port in enumerate(farm.live):
        devices.append({"id": "farm-%03d" % (i + 1), "name": "farm device %d" % (i + 1),
                        "ip": {"version": 4, "addr": "127.0.0.1"}, "port": port,
                        "snmp": {"version": "v2c", "community": COMMUNITY},
                        "flag": "device_flag_update"})
    for i, port in enumerate(farm.dead):
        devices.append({"id": "dead-%03d" % (i + 1), "name": "dead device %d" % (i + 1),
                        "ip": {"version": 4, "addr": "127.0.0.1"}, "port": port,
                        "snmp": {"version": "v2c", "community": COMMUNITY},
                        "flag": "device_flag_update"})
    if mixed and farm.dead:
        live, dead = devices[:len(farm.live)], devices[len(farm.live):]
        step = max(1, len(devices) // len(dead))
        devices = []
        while live or dead:
            devices += live[:step - 1]
            live = live[step - 1:]
            if dead:
                devices.append(dead.pop(0))
    pack = {"id": 1, "type": "bulk",
            "oid": [{"value_name": c[0], "oid": "." + c[1]} for c in columns]}
    scenario = {"on_request": {
        "device_list": [{"type": "DEVICE_LIST", "message": {
            "request_id": "bench-devices", "devices": devices}}],
        "oid_pack": [{"type": "ADD_OID_PACK_LIST", "message": {
            "request_id": "bench-packs", "packs": [pack] if devices else []}}],
        "collect_event": [{"type": "ADD_COLLECT_EVENT", "message": {
            "request_id": "bench-events", "device_id": "$device_id",
            "event_info": [{"type": 3, "oid_pack_id": 1, "interval": interval, "use": True}]}}],
    }}
    with open(path, "w") as f:
        json.dump(scenario, f)


def start_sim(build, work, scenario, name, exit_after):
    sim = os.path.join(build, "tools", "dg-sim", "dg-sim")
    if not os.access(sim, os.X_OK):
        fail("no %s; build the dg_sim_proto target" % sim)
    port_file = os.path.join(work, name + ".port")
    out = os.path.join(work, name + ".jsonl")
    p = start("dg-sim", [sim, "--port", "0", "--port-file", port_file, "--scenario", scenario,
                         "--quiet", "--show-sent", "--out", out,
                         "--exit-after", str(exit_after)],
              stdout=subprocess.DEVNULL, stderr=open(os.path.join(work, name + ".err"), "w"))
    port = int(wait_for("dg-sim's port", lambda: read_text(port_file).strip(), 20))
    return p, port, out


def start_agent(build, work, name, sim_port):
    agent = os.path.join(build, "qdr-agent", "qdr-agent")
    if not os.access(agent, os.X_OK):
        fail("no %s; build the qdr-agent target" % agent)
    home = os.path.join(work, name)
    for sub in ("conf", "data", "log", "mibs"):
        os.makedirs(os.path.join(home, sub), exist_ok=True)
    with open(os.path.join(home, "conf", "qdr.conf"), "w") as f:
        f.write("receiver_ip=127.0.0.1\nreceiver_port=%d\nsyslog_port=%d\nsnmptrap_port=%d\n"
                % (sim_port, free_port(socket.SOCK_DGRAM), free_port(socket.SOCK_DGRAM)))
    with open(os.path.join(home, "conf", "log.conf"), "w") as f:
        f.write("[qdr-agent]\ndirectory=%s/log\nfilename=qdr-agent.log\noutput_type=file\n"
                "level=<info\n" % home)
    env = dict(os.environ, VOSK_QDR_HOME=home)
    for pair in AGENT_ENV:
        k, _, v = pair.partition("=")
        env[k] = v
    wrap = AGENT_WRAP if name == "agent-poll" else []
    p = start("qdr-agent", wrap + [agent], env=env,
              stdout=open(os.path.join(home, "agent.out"), "w"), stderr=subprocess.STDOUT)
    p.home = home
    return p


def stop_agent(p):
    """The agent stops when its pid file goes; SIGTERM after 5 s."""
    for path in glob.glob(os.path.join(p.home, "data", "*.pid")):
        try:
            os.unlink(path)
        except OSError:
            pass
    try:
        p.wait(timeout=5)
    except subprocess.TimeoutExpired:
        stop(p)


def sim_lines(path, start_at=0):
    """Decoded lines of dg-sim's output from byte offset `start_at`."""
    out = []
    with open(path) as f:
        f.seek(start_at)
        for line in f:
            if line.endswith("\n"):
                try:
                    out.append(json.loads(line))
                except ValueError:
                    pass
    return out


def count_lines(path, needle):
    n = 0
    try:
        with open(path) as f:
            for line in f:
                if needle in line:
                    n += 1
    except OSError:
        pass
    return n


def write_exporter_config(path, repetitions):
    lines = ["if_mib:", "  walk:"]
    lines += ["  - %s" % c[1] for c in COLUMNS]
    lines.append("  metrics:")
    for _vn, oid, name, kind in COLUMNS:
        lines += ["  - name: %s" % name, "    oid: %s" % oid, "    type: %s" % kind,
                  "    help: %s - %s" % (name, oid), "    indexes:",
                  "    - labelname: ifIndex", "      type: gauge"]
    # The generator's defaults for if_mib (max_repetitions 25).
    lines += ["  version: 2", "  max_repetitions: %d" % repetitions, "  retries: 3",
              "  timeout: 5s",
              "  auth:", "    community: %s" % COMMUNITY]
    with open(path, "w") as f:
        f.write("\n".join(lines) + "\n")


def start_exporter(work, name, repetitions, source):
    if not os.access(EXPORTER, os.X_OK):
        fail("no %s (package prometheus-snmp-exporter)" % EXPORTER)
    cfg = os.path.join(work, name + ".yml")
    write_exporter_config(cfg, repetitions)
    port = free_port()
    p = start(name, [EXPORTER, "--config.file=" + cfg,
                     "--web.listen-address=127.0.0.1:%d" % port,
                     "--snmp.source-address=%s:" % source],
              stdout=subprocess.DEVNULL, stderr=open(os.path.join(work, name + ".err"), "w"))

    def up():
        try:
            with socket.create_connection(("127.0.0.1", port), timeout=0.5):
                return True
        except OSError:
            return p.poll() is not None and fail("%s ended; see %s.err" % (name, name))
    wait_for("the exporter's port", up, 20)
    return p, port


def start_scrape(work, name, exporter_port, farm_ports, index, max_time):
    """Starts one scrape of every target through one exporter, 40 at a time."""
    out_dir = os.path.join(work, "%s-scrape-%d" % (name, index))
    os.makedirs(out_dir)
    cfg = os.path.join(work, "%s-curl-%d.cfg" % (name, index))
    with open(cfg, "w") as f:
        for port in farm_ports:
            f.write('url = "http://127.0.0.1:%d/snmp?module=if_mib&target=127.0.0.1:%d"\n'
                    'output = "%s/%d.prom"\n' % (exporter_port, port, out_dir, port))
    p = start("curl", ["curl", "-s", "--no-progress-meter", "-Z", "--parallel-max", "40",
                       "--max-time", str(max_time), "-K", cfg],
              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    return p, time.monotonic(), out_dir


def end_scrape(scrape):
    """Waits for a scrape; (seconds, CPU seconds of curl, output folder)."""
    p, t0, out_dir = scrape
    _pid, _status, usage = os.wait4(p.pid, 0)
    p.returncode = 0
    return time.monotonic() - t0, usage.ru_utime + usage.ru_stime, out_dir


def count_scrape(out_dir):
    """(samples of the 13 columns, targets answered, walk seconds) of one round."""
    samples = 0
    answered = 0
    for path in glob.glob(os.path.join(out_dir, "*.prom")):
        got = 0
        with open(path) as f:
            for line in f:
                if line.startswith("#"):
                    continue
                name = line.split("{", 1)[0].split(" ", 1)[0]
                if name in METRIC_NAMES:
                    got += 1
        samples += got
        answered += 1 if got else 0
    shutil.rmtree(out_dir, ignore_errors=True)
    return samples, answered


def pct(values, q):
    if not values:
        return float("nan")
    values = sorted(values)
    k = min(len(values) - 1, max(0, int(round(q / 100.0 * (len(values) - 1)))))
    return values[k]


# ------------------------------------------------------------------ phases

def polling_phase(args, work):
    farm = Farm(args.build, work, args.devices, args.interfaces, 1,
                args.seconds + args.idle_seconds + 240)
    scenario = os.path.join(work, "farm-scenario.json")
    write_scenario(scenario, farm, args.interval)
    sim, sim_port, sim_out = start_sim(args.build, work, scenario, "dg-sim-poll",
                                       args.seconds + 240)
    exporters = [(name, source) + start_exporter(work, name, reps, source)
                 for name, reps, source in EXPORTERS]
    agent = start_agent(args.build, work, "agent-poll", sim_port)
    all_ids = len(farm.live) + len(farm.dead)

    # The collect events of every device have been sent: polling starts
    # INTERVAL seconds later.
    wait_for("the collect events of %d devices" % all_ids,
             lambda: count_lines(sim_out, '"type": 55005') >= all_ids
             or (agent.poll() is not None and fail("qdr-agent ended; see %s" % agent.home)),
             60, 0.2)
    sent = {}
    asked = []
    for rec in sim_lines(sim_out):
        if rec.get("dir") == "sent" and rec.get("type") == 55005:
            sent[rec["message"]["device_id"]] = rec["time"]
        elif rec.get("dir") == "recv" and rec.get("type") == 54005:
            asked.append(rec["time"])
    # The event checker asked for every device's events in one pass; its
    # passes come every whole second after that one (a monotonic cadence).
    first_pass = min(asked)
    events_at = max(sent.values())
    # Wall clock minus the monotonic clock the agent schedules on.
    mono_offset = time.time() - time.monotonic()
    log("   collect events sent to %d devices; polling starts %d s later" %
        (len(sent), args.interval))

    pids = {"farm": farm.proc.pid, "dg-sim": sim.pid, "qdr-agent": agent.pid}
    for name, _source, proc, _port in exporters:
        pids[name] = proc.pid
    w0 = events_at + args.interval / 2.0
    time.sleep(max(0.0, w0 - time.time()))
    cpu0 = {k: cpu_seconds(v) for k, v in pids.items()}
    farm0 = farm.stats()
    t0 = time.time()
    rounds = max(1, int(args.seconds // args.interval))
    scrape_cpu = 0.0
    scraped = {name: {"samples": 0, "answered": 0, "times": []} for name, *_ in exporters}
    for r in range(rounds):
        time.sleep(max(0.0, t0 + r * args.interval - time.time()))
        running = [(name, start_scrape(work, name, port, farm.live, r, max(1, args.interval - 1)))
                   for name, _source, _proc, port in exporters]
        for name, scrape in running:
            secs, cpu, out_dir = end_scrape(scrape)
            scrape_cpu += cpu
            samples, answered = count_scrape(out_dir)
            scraped[name]["samples"] += samples
            scraped[name]["answered"] += answered
            scraped[name]["times"].append(secs)
    time.sleep(max(0.0, t0 + args.seconds - time.time()))
    cpu1 = {k: cpu_seconds(v) for k, v in pids.items()}
    farm1 = farm.stats()
    t1 = time.time()
    mem = proc_status(agent.pid, ("VmRSS", "VmHWM", "Threads"))
    shutil.copyfile("/proc/%d/smaps" % agent.pid, os.path.join(work, "agent-poll.smaps"))
    collect_threads = sum(1 for n in thread_names(agent.pid) if n.startswith("collect_"))
    time.sleep(1.0)  # the last round's packets reach dg-sim

    stop_agent(agent)
    for _name, _source, proc, _port in exporters:
        stop(proc)
    stop(sim)
    stop(farm.proc)

    # Interface samples decoded by dg-sim: per device, the collect times.
    collect = {}
    raw_records_window = 0
    rate_records = 0
    for rec in sim_lines(sim_out):
        if rec.get("dir") != "recv":
            continue
        if rec.get("type") == 54107:
            perfs = rec.get("message", {}).get("perfs", [])
            if not perfs:
                continue
            dev = perfs[0].get("device_id", "?")
            ct = perfs[0].get("collect_time", 0) / 1e9
            collect.setdefault(dev, []).append((ct, rec["time"]))
            if t0 <= ct < t1:
                raw_records_window += len(perfs)
        elif rec.get("type") == 54102:
            rate_records += len(rec.get("message", {}).get("perfs", []))

    late = []
    after_pass = []
    drift = []
    round_done = {}  # pass time -> the last sample of that pass received by dg-sim
    for dev, times in collect.items():
        if dev not in sent:
            continue
        # The device's due times fall on its own phase of the interval (as
        # in the dead-device phase), the first within an interval of the
        # events' arrival; 50 ms of margin for the clocks.
        due0 = first_due_wall(dev, sent[dev], args.interval, mono_offset)
        per_dev = []
        for ct, received in sorted(times):
            k = max(0, int(math.floor((ct - due0 + 0.05) / args.interval)))
            due = due0 + k * args.interval
            lateness = ct - due
            per_dev.append(lateness)
            # The first checker pass at or after the due time. dg-sim sees
            # the pass's first request a little after the pass began, and the
            # events arrive a little after that, so a due time is never within
            # a few ms before a pass: 20 ms of margin absorb the read delay.
            pass_at = first_pass + math.ceil(due - first_pass + 0.02)
            after_pass.append(ct - pass_at)
            round_done[pass_at] = max(round_done.get(pass_at, 0.0), received - pass_at)
        late += per_dev
        drift.append(per_dev[-1] - per_dev[0])
    healthy = [d for d in collect if d.startswith("farm-")]

    window = t1 - t0
    agent_vb = raw_records_window * len(COLUMNS)
    agent_wire = farm1.get("127.0.0.1", (0, 0))[1] - farm0.get("127.0.0.1", (0, 0))[1]
    agent_req = farm1.get("127.0.0.1", (0, 0))[0] - farm0.get("127.0.0.1", (0, 0))[0]
    for name, source, _proc, _port in exporters:
        scraped[name]["wire"] = farm1.get(source, (0, 0))[1] - farm0.get(source, (0, 0))[1]
        scraped[name]["requests"] = farm1.get(source, (0, 0))[0] - farm0.get(source, (0, 0))[0]
    cpu = {k: cpu1[k] - cpu0[k] for k in pids}
    cpu["curl (scraper)"] = scrape_cpu
    return {
        "window": window, "rounds": rounds, "cpu": cpu,
        "agent_vb": agent_vb, "agent_wire": agent_wire, "agent_req": agent_req,
        "scraped": scraped,
        "agent_polls": raw_records_window // max(1, args.interfaces),
        "rate_records": rate_records,
        "late": late, "after_pass": after_pass, "drift": drift,
        "healthy_devices": len(healthy), "dead_samples": sum(
            len(v) for d, v in collect.items() if d.startswith("dead-")),
        "mem": mem, "collect_threads": collect_threads,
        "round_done": max(round_done.values()) if round_done else float("nan"),
        "dead_timeouts": count_lines(os.path.join(agent.home, "log", "qdr-agent.log"),
                                     "Timeout)[did:dead-"),
    }


def device_phase_msec(device_id, period_msec):
    """The agent's stable phase of a device within its interval (FNV-1a of
    the id, as the device manager computes it)."""
    h = 1469598103934665603
    for b in device_id.encode():
        h ^= b
        h = (h * 1099511628211) & 0xFFFFFFFFFFFFFFFF
    return h % period_msec


def first_due_wall(device_id, arrival_wall, interval, mono_offset):
    """Wall-clock time of a device's first due time after its events arrived
    at `arrival_wall`: the next point of its phase on the agent's monotonic
    milliseconds (CLOCK_MONOTONIC in ms, plus one)."""
    period = interval * 1000
    now = int((arrival_wall - mono_offset) * 1000) + 1
    ahead = (device_phase_msec(device_id, period) + period - now % period) % period
    due = now + (ahead if ahead else period)
    return (due - 1) / 1000.0 + mono_offset


def dead_phase(args, work):
    """A thousand devices of which a tenth never answer: how late the live
    devices' samples come, how long the collection queue gets, and the agent's
    RSS over the window."""
    total = args.dead_farm
    dead = total * args.dead_percent // 100
    interval = args.dead_interval
    farm = Farm(args.build, work, total - dead, 2, dead, args.dead_seconds + 240)
    scenario = os.path.join(work, "dead-scenario.json")
    # Two columns (ifSpeed, ifHCInOctets): the phase is about the schedule,
    # not the walk, and must not saturate a small machine.
    write_scenario(scenario, farm, interval, mixed=True, columns=COLUMNS[:2])
    sim, sim_port, sim_out = start_sim(args.build, work, scenario, "dg-sim-dead",
                                       args.dead_seconds + 240)
    agent = start_agent(args.build, work, "agent-dead", sim_port)
    wait_for("the collect events of %d devices" % total,
             lambda: count_lines(sim_out, '"type": 55005') >= total
             or (agent.poll() is not None and fail("qdr-agent ended; see %s" % agent.home)),
             60, 0.2)
    sent = {}
    for rec in sim_lines(sim_out):
        if rec.get("dir") == "sent" and rec.get("type") == 55005:
            sent[rec["message"]["device_id"]] = rec["time"]
    t0 = max(sent.values())
    # Wall clock minus the monotonic clock the agent schedules on.
    mono_offset = time.time() - time.monotonic()
    pids = {"qdr-agent": agent.pid, "farm": farm.proc.pid, "dg-sim": sim.pid}
    cpu0 = {k: cpu_seconds(v) for k, v in pids.items()}
    rss = []
    while time.time() < t0 + args.dead_seconds:
        kb = int(proc_status(agent.pid, ("VmRSS",)).get("VmRSS", "0 kB").split()[0])
        rss.append((time.time() - t0, kb))
        time.sleep(2.0)
    t1 = time.time()
    cpu = {k: (cpu_seconds(v) - cpu0[k]) / (t1 - t0) * 100 for k, v in pids.items()}
    load = os.getloadavg()[0]
    time.sleep(1.0)
    agent_log = os.path.join(agent.home, "log", "qdr-agent.log")
    stop_agent(agent)
    stop(sim)
    stop(farm.proc)

    queue = [int(line.split("queue count[")[1].split("]")[0])
             for line in read_text(agent_log).splitlines() if "collect: queue count[" in line]
    late, late_steady = [], []
    by_round = {}
    samples = {}
    for rec in sim_lines(sim_out):
        if rec.get("dir") != "recv" or rec.get("type") != 54107:
            continue
        perfs = rec.get("message", {}).get("perfs", [])
        if not perfs:
            continue
        dev = perfs[0].get("device_id", "?")
        ct = perfs[0].get("collect_time", 0) / 1e9
        if dev not in sent or ct > t1:
            continue
        samples[dev] = samples.get(dev, 0) + 1
        # The latest due time at or before the collect time (50 ms of margin
        # for the clocks): a sample later than a whole interval counts
        # against the next due time, which it took the place of. The agent
        # spreads devices over the interval: a device's due times fall on
        # its own phase of the monotonic clock, the first one within an
        # interval of its events' arrival.
        due0 = first_due_wall(dev, sent[dev], interval, mono_offset)
        k = max(0, int(math.floor((ct - due0 + 0.05) / interval)))
        lateness = ct - (due0 + k * interval)
        late.append(lateness)
        if k >= 1:
            late_steady.append(lateness)
        by_round.setdefault(k, []).append(lateness)
    rounds = int(args.dead_seconds // interval)
    live_ids = [d for d in sent if d.startswith("farm-")]
    return {
        "total": total, "dead": dead, "interval": interval, "window": t1 - t0,
        "late": late, "late_steady": late_steady, "by_round": by_round, "queue": queue,
        "rss": rss,
        "cpu": cpu, "load": load,
        "live_samples": sum(samples.get(d, 0) for d in live_ids),
        "live_due": len(live_ids) * rounds,
        "dead_samples": sum(v for d, v in samples.items() if d.startswith("dead-")),
        "failure_lines": count_lines(agent_log, "device does not answer"),
        "skip_lines": count_lines(agent_log, "previous collection is still queued or running"),
    }


def report_dead(d):
    nan = float("nan")
    late, steady = d["late"], d["late_steady"]
    rss = [kb for _t, kb in d["rss"]]
    half = len(rss) // 2
    rss_first = max(rss[:half] or [0]) / 1024
    rss_last = max(rss[half:] or [0]) / 1024
    qmax = max(d["queue"] or [0])

    def ok(cond):
        return "ok" if cond else "MISSED"

    log("\n".join([
        "",
        "== dead devices: %d devices, %d of them never answer (spread through the list), "
        "interface performance (2 interfaces, 2 columns) every %d s, window %.1f s"
        % (d["total"], d["dead"], d["interval"], d["window"]),
        "   live samples %d (%d due in the window), dead devices' samples %d; "
        "'device does not answer' logged %d times, pending-skip warnings %d"
        % (d["live_samples"], d["live_due"], d["dead_samples"], d["failure_lines"],
           d["skip_lines"]),
        "   collect time - due time, live devices: median %.3f s, p99 %.3f s, max %.3f s;"
        " after the first round: median %.3f s, p99 %.3f s, max %.3f s"
        % (pct(late, 50), pct(late, 99), max(late or [nan]), pct(steady, 50), pct(steady, 99),
           max(steady or [nan])),
        "   collection queue (every 3 s): max %d, last %d; agent RSS: first half max %.1f MB,"
        " second half max %.1f MB" % (qmax, (d["queue"] or [0])[-1], rss_first, rss_last),
        "   max lateness by round: %s" % ", ".join(
            "%d: %.2f s" % (k, max(v)) for k, v in sorted(d["by_round"].items())),
        "   CPU over the window (%% of one core): %s; machine load average %.1f"
        % (", ".join("%s %.1f" % kv for kv in d["cpu"].items()), d["load"]),
        "   (due times on each device's own phase of the interval; the checker looks for due"
        " events once a second, so up to 1 s of lateness is the checker's pass)",
        "",
        "== summary, dead devices (goal -> measured)",
        "   live samples late, %2d %% dead      <= 1 s    -> max %.3f s (after the first round"
        " %.3f s)   %s" % (d["dead"] * 100 // d["total"], max(late or [nan]), max(steady or [nan]),
                           ok(max(late or [99]) <= 1.0)),
        "   collection queue bounded          <= %d   -> max %d   %s"
        % (d["total"], qmax, ok(qmax <= d["total"])),
        "   RSS flat (second half / first)    <= 1.1    -> %.1f / %.1f MB   %s"
        % (rss_last, rss_first, ok(rss_first > 0 and rss_last <= rss_first * 1.1)),
    ]))


def idle_phase(args, work):
    scenario = os.path.join(work, "idle-scenario.json")
    with open(scenario, "w") as f:
        json.dump({"on_request": {
            "device_list": [{"type": "DEVICE_LIST", "message": {
                "request_id": "idle-devices", "devices": []}}],
            "oid_pack": [{"type": "ADD_OID_PACK_LIST", "message": {
                "request_id": "idle-packs", "packs": []}}]}}, f)
    sim, sim_port, sim_out = start_sim(args.build, work, scenario, "dg-sim-idle",
                                       args.idle_seconds + 120)
    agent = start_agent(args.build, work, "agent-idle", sim_port)
    wait_for("the idle agent's device list request",
             lambda: count_lines(sim_out, '"type": 55002') >= 1
             or (agent.poll() is not None and fail("qdr-agent ended; see %s" % agent.home)),
             30, 0.2)
    time.sleep(3.0)
    names = thread_names(agent.pid)
    c0, r0, t0 = cpu_seconds(agent.pid), run_seconds(agent.pid), time.monotonic()
    time.sleep(args.idle_seconds)
    c1, r1, t1 = cpu_seconds(agent.pid), run_seconds(agent.pid), time.monotonic()
    requests = count_lines(sim_out, '"type": 54001')
    stop_agent(agent)
    stop(sim)
    return {"seconds": t1 - t0, "cpu": c1 - c0, "run": r1 - r0,
            "collect_threads": sum(1 for n in names if n.startswith("collect_")),
            "threads": len(names), "requests": requests}


# ------------------------------------------------------------------ report

def report(args, poll, idle):
    w = poll["window"]
    cpu = poll["cpu"]
    nan = float("nan")

    def per10k(secs, count):
        return secs / count * 1e4 if count else nan

    # One column a poller: (name, varbinds decoded, on the wire, requests, CPU s).
    columns = [("qdr-agent", poll["agent_vb"], poll["agent_wire"], poll["agent_req"],
                cpu["qdr-agent"])]
    for name, _reps, _source in EXPORTERS:
        sc = poll["scraped"][name]
        columns.append((name, sc["samples"], sc["wire"], sc["requests"], cpu[name]))
    a_per = per10k(columns[0][4], columns[0][1])
    e_per = per10k(columns[1][4], columns[1][1]) if len(columns) > 2 else nan
    e80_per = per10k(columns[2][4], columns[2][1]) if len(columns) > 2 else nan
    ratio = a_per / e_per if e_per else nan
    ratio80 = a_per / e80_per if e80_per else nan
    late = poll["late"]
    max_late = max(late) if late else float("nan")
    after = poll["after_pass"]
    max_after = max(after) if after else float("nan")
    max_drift = max(poll["drift"] or [float("nan")])
    rss_kb = int(poll["mem"].get("VmRSS", "0 kB").split()[0])
    hwm_kb = int(poll["mem"].get("VmHWM", "0 kB").split()[0])
    idle_pct = idle["cpu"] / idle["seconds"] * 100
    idle_run_pct = idle["run"] / idle["seconds"] * 100
    expected_polls = poll["healthy_devices"] * poll["rounds"]

    def ok(cond):
        return "ok" if cond else "MISSED"

    lines = [
        "",
        "== pipeline benchmark: %d devices x %d interfaces, interface performance every %d s"
        % (args.devices, args.interfaces, args.interval),
        "   window %.1f s, %d rounds; the agent also polls 1 dead device; the exporters scrape"
        " the %d live ones" % (w, poll["rounds"], args.devices),
        "   exporter: prometheus-snmp-exporter, if_mib module with 25 repetitions a GETBULK"
        " (the generator's default); exporter-r80: the same with 80, as the agent asks",
        "   objects: %d columns x %d interfaces a device (ifSpeed, 64-bit octets and packets,"
        " discards, errors)" % (len(COLUMNS), args.interfaces),
        "",
        "   %-24s" % "" + "".join("%14s" % c[0] for c in columns),
        "   %-24s" % "varbinds (decoded)" + "".join("%14d" % c[1] for c in columns),
        "   %-24s" % "varbinds / s" + "".join("%14.0f" % (c[1] / w) for c in columns),
        "   %-24s" % "varbinds on the wire" + "".join("%14d" % c[2] for c in columns)
        + "   (walks read past a column's end)",
        "   %-24s" % "SNMP requests" + "".join("%14d" % c[3] for c in columns),
        "   %-24s" % "CPU s" + "".join("%14.2f" % c[4] for c in columns),
        "   %-24s" % "CPU s / 10,000 varbinds" + "".join("%14.4f" % per10k(c[4], c[1])
                                                         for c in columns),
        "   %-24s" % "CPU s / 10,000 on wire" + "".join("%14.4f" % per10k(c[4], c[2])
                                                        for c in columns),
        "",
        "   CPU of every process over the window (s, % of one core):",
    ]
    for name, secs in cpu.items():
        lines.append("     %-16s %7.2f s  %6.1f %%" % (name, secs, secs / w * 100))
    lines += [
        "   agent polls done %d of %d due (%d healthy devices x %d rounds); rate records sent: %d"
        % (poll["agent_polls"], expected_polls, poll["healthy_devices"], poll["rounds"],
           poll["rate_records"]),
        "   scrapes answered: %s; a round of %d scrapes took at most %s"
        % (", ".join("%s %d of %d" % (n, poll["scraped"][n]["answered"],
                                      poll["rounds"] * args.devices) for n, _r, _s in EXPORTERS),
           args.devices, ", ".join("%.2f s" % max(poll["scraped"][n]["times"] or [nan])
                                   for n, _r, _s in EXPORTERS)),
        "",
        "   schedule over %d healthy samples (the dead device: %d samples):"
        % (len(late), poll["dead_samples"]),
        "     collect time - due time:          median %.3f s, p99 %.3f s, max %.3f s"
        % (pct(late, 50), pct(late, 99), max_late),
        "     collect time - the checker pass that found it due (queue wait, session):"
        " median %.3f s, p99 %.3f s, max %.3f s"
        % (pct(after, 50), pct(after, 99), max_after),
        "     drift first -> last sample of a device: max %.3f s" % max_drift,
        "     a round's last interface sample reached dg-sim %.3f s after its pass at most;"
        " the dead device timed out %d times" % (poll["round_done"], poll["dead_timeouts"]),
        "     (the event checker passes once a second and looks for due events every 200 ms"
        " between passes, so a negative queue wait is a start between passes)",
        "",
        "   idle agent (no devices): %d collect threads of %d threads, %.1f s: CPU %.3f s ="
        " %.3f %% of one core (schedstat: %.3f %%); %d requests to the collector"
        % (idle["collect_threads"], idle["threads"], idle["seconds"], idle["cpu"], idle_pct,
           idle_run_pct, idle["requests"]),
        "   agent memory polling %d x %d: VmRSS %.1f MB, VmHWM %.1f MB, %s threads "
        "(%d collect threads)"
        % (args.devices, args.interfaces, rss_kb / 1024, hwm_kb / 1024,
           poll["mem"].get("Threads", "?"), poll["collect_threads"]),
        "",
        "== summary (goal -> measured)",
        "   agent/exporter CPU per varbind     <= 0.5     -> %.3f   %s" % (ratio, ok(ratio <= 0.5)),
        "     agent/exporter-r80                         -> %.3f" % ratio80,
        "   agent varbinds/s                             -> %.0f (exporter %.0f)"
        % (columns[0][1] / w, columns[1][1] / w if len(columns) > 1 else nan),
        "   agent CPU s per 10,000 varbinds              -> %.4f (exporter %.4f, r80 %.4f)"
        % (a_per, e_per, e80_per),
        "   healthy polls done                 all       -> %d of %d   %s"
        % (poll["agent_polls"], expected_polls, ok(poll["agent_polls"] >= expected_polls)),
        "   schedule slip with a dead device   < 1 s     -> max %.3f s after the due pass,"
        " drift %.3f s   %s" % (max_after, max_drift, ok(max_after < 1.0 and max_drift < 1.0)),
        "     collect time - due time          < 1 s     -> max %.3f s   %s"
        % (max_late, ok(max_late < 1.0)),
        "   idle CPU, 40 collect threads       < 0.5 %%   -> %.3f %%   %s"
        % (idle_pct, ok(idle_pct < 0.5)),
        "   RSS polling %d x %d              < 32 MB   -> %.1f MB   %s"
        % (args.devices, args.interfaces, rss_kb / 1024, ok(rss_kb < 32 * 1024)),
    ]
    log("\n".join(lines))


def main():
    p = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    p.add_argument("--build", default=os.path.join(ROOT, "build"))
    p.add_argument("--devices", type=int, default=200)
    p.add_argument("--interfaces", type=int, default=50)
    p.add_argument("--interval", type=int, default=10)
    p.add_argument("--seconds", type=int, default=60)
    p.add_argument("--idle-seconds", type=int, default=20)
    p.add_argument("--dead-farm", type=int, default=1000,
                   help="devices of the dead-device phase, a tenth of them dead (0: skip it)")
    p.add_argument("--dead-percent", type=int, default=10,
                   help="share of the dead-device phase's devices that never answer (0: a"
                   " control run)")
    p.add_argument("--dead-interval", type=int, default=20)
    p.add_argument("--dead-seconds", type=int, default=120)
    p.add_argument("--only-dead", action="store_true",
                   help="run the dead-device phase only")
    p.add_argument("--no-exporters", action="store_true",
                   help="poll with the agent alone (for device counts the exporters cannot"
                   " scrape beside it on a small machine)")
    p.add_argument("--keep", action="store_true", help="keep the work directory")
    p.add_argument("--agent-env", action="append", default=[], metavar="NAME=VALUE",
                   help="set in the agents' environment (e.g. MALLOC_ARENA_MAX=2)")
    p.add_argument("--agent-wrap", default="",
                   help="command (split at spaces) to run the polling agent under")
    args = p.parse_args()
    if not (1 <= args.devices <= 1000 and 1 <= args.interfaces <= 1000 and
            2 <= args.interval <= 60 and args.interval <= args.seconds <= 600 and
            1 <= args.idle_seconds <= 300 and
            (args.dead_farm == 0 or 10 <= args.dead_farm <= 2000) and
            0 <= args.dead_percent <= 50 and
            2 <= args.dead_interval <= 60 and args.dead_interval <= args.dead_seconds <= 600):
        fail("arguments out of range")
    args.build = os.path.abspath(args.build)
    AGENT_ENV.extend(args.agent_env)
    if args.no_exporters:
        EXPORTERS.clear()
    AGENT_WRAP.extend(args.agent_wrap.split())
    work = tempfile.mkdtemp(prefix="qdr-pipeline.")
    for sig in (signal.SIGTERM, signal.SIGINT, signal.SIGHUP):
        signal.signal(sig, lambda *_: sys.exit(1))
    try:
        if not args.only_dead:
            log("== polling %d devices x %d interfaces every %d s for %d s (work dir %s)"
                % (args.devices, args.interfaces, args.interval, args.seconds, work))
            poll = polling_phase(args, work)
            log("== idle agent for %d s" % args.idle_seconds)
            idle = idle_phase(args, work)
            report(args, poll, idle)
        if args.dead_farm:
            log("== %d devices, %d %% dead, every %d s for %d s"
                % (args.dead_farm, args.dead_percent, args.dead_interval, args.dead_seconds))
            report_dead(dead_phase(args, work))
    finally:
        stop_all()
        if args.keep:
            log("   files kept in %s" % work)
        else:
            shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
