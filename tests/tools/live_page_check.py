#!/usr/bin/python3
"""Opens dg-sim's live page in headless Chromium and checks it against the
packets dg-sim wrote to its --out file while the agents run:

- a device's interface rates: the next rate packet after the page loaded is
  on the page (its row carries the packet's agent#id) within one polling
  interval of dg-sim receiving it, with the same in/out rates as the packet;
- an SNMP trap sent now (snmptrap) and a syslog line (logger) are on the page
  within a second of dg-sim receiving them.
  The delays are the page's own record of when it drew the packet
  (data-shown) less dg-sim's time of arrival (same host clock), so that the
  polling of this script on a busy machine does not count;
- the device's latency (when the agent may ping) and the host's CPU and
  memory, disks and processes are shown from their latest packets;
- the browser console holds no errors.

Prints one line per check and the measured delays; exit 0 when all hold, 1
with the reason when not, 77 when Chromium, its driver or Selenium is
missing.
"""

import argparse
import json
import os
import subprocess
import sys
import time

SKIP = 77
# No check runs past this (time.time()), so that the browser is always
# closed by this script rather than left behind when its caller gives up.
END = None


def parse_args():
    p = argparse.ArgumentParser()
    p.add_argument("--url", required=True)
    p.add_argument("--out", required=True, help="dg-sim's --out file")
    p.add_argument("--device", required=True)
    p.add_argument("--interval", type=float, required=True)
    p.add_argument("--trap-port", type=int, required=True)
    p.add_argument("--syslog-port", type=int, required=True)
    p.add_argument("--community", default="public")
    p.add_argument("--profile", required=True, help="a fresh folder for Chromium's profile")
    p.add_argument("--latency", action="store_true", help="expect latency packets")
    p.add_argument("--timeout", type=float, default=60.0, help="longest wait for a packet")
    p.add_argument("--total", type=float, default=150.0, help="longest run of all checks")
    return p.parse_args()


def records(path):
    out = []
    with open(path) as f:
        for line in f:
            if not line.endswith("\n"):
                break
            r = json.loads(line)
            if r.get("dir") == "recv":
                out.append(r)
    return out


def wait_record(path, pred, timeout, after=0):
    """The first received record past index `after` that matches."""
    deadline = min(time.time() + timeout, END)
    while time.time() < deadline:
        rs = records(path)
        for r in rs[after:]:
            if pred(r):
                return r
        time.sleep(0.05)
    return None


def rate_text(bps):
    # The page's own formatting, to compare figures.
    for unit, scale in (("Gbit/s", 1e9), ("Mbit/s", 1e6), ("kbit/s", 1e3)):
        if bps >= scale:
            return "%.2f %s" % (bps / scale, unit)
    return "%d bit/s" % round(bps)


class Failed(Exception):
    pass


def start_browser(profile):
    try:
        from selenium import webdriver
        from selenium.webdriver.chrome.service import Service
    except ImportError as e:
        print("SKIP: python3-selenium is missing (%s)" % e)
        sys.exit(SKIP)
    for path in ("/usr/bin/chromium", "/usr/bin/chromedriver"):
        if not os.access(path, os.X_OK):
            print("SKIP: %s is missing (packages chromium, chromium-driver)" % path)
            sys.exit(SKIP)
    opts = webdriver.ChromeOptions()
    opts.binary_location = "/usr/bin/chromium"
    for a in ("--headless", "--no-sandbox", "--disable-gpu", "--disable-background-networking",
              "--disable-component-update", "--disable-sync", "--no-first-run",
              "--disable-dev-shm-usage", "--user-data-dir=" + profile):
        opts.add_argument(a)
    opts.set_capability("goog:loggingPrefs", {"browser": "ALL"})
    service = Service(executable_path="/usr/bin/chromedriver",
                      log_path=os.path.join(profile, "chromedriver.log"))
    return webdriver.Chrome(service=service, options=opts)


def wait_element(driver, css, deadline, text=None):
    """Polls the page for an element (with `text` in it); (element, its
    drawing time or None) or (None, None) at the deadline. The drawing time
    is read with the text, before the page can redraw the element."""
    from selenium.webdriver.common.by import By
    deadline = min(deadline, END)
    while True:
        for el in driver.find_elements(By.CSS_SELECTOR, css):
            try:
                if text is None or text in el.text:
                    return el, el.get_attribute("data-shown")
            except Exception:  # re-rendered while read: look again
                pass
        if time.time() > deadline:
            return None, None
        time.sleep(0.03)


def wait_text(driver, css, deadline, words=()):
    """Polls the page for an element whose text holds every word; its text,
    or None at the deadline. The page redraws its cards as packets arrive,
    so an element found may be gone by the time its text is read: such a
    read is retried on the element drawn in its place."""
    from selenium.webdriver.common.by import By
    deadline = min(deadline, END)
    while True:
        for el in driver.find_elements(By.CSS_SELECTOR, css):
            try:
                text = el.text
            except Exception:  # redrawn while read: look again
                continue
            if all(w in text for w in words):
                return text
        if time.time() > deadline:
            return None
        time.sleep(0.03)


def shown_time(value):
    """When the page drew a packet (an element's data-shown), seconds since
    1970."""
    if not value or not value.isdigit():
        raise Failed("element without its drawing time: %r" % value)
    return int(value) / 1000.0


def css_str(s):
    return '"%s"' % s.replace("\\", "\\\\").replace('"', '\\"')


def check(args, driver):
    from selenium.webdriver.common.by import By
    driver.get(args.url)
    card = 'section[data-key=%s]' % css_str(args.device)
    el, _ = wait_element(driver, card, time.time() + args.timeout)
    if el is None:
        raise Failed("no card for device %s on the page" % args.device)
    print("device card shown")

    # Rates: the next rate packet of the device after the page loaded.
    start = len(records(args.out))
    rec = wait_record(args.out, lambda r: r["type"] == 54102 and any(
        p.get("device_id") == args.device for p in r["message"].get("perfs", [])),
        args.timeout + 3 * args.interval, start)
    if rec is None:
        raise Failed("no interface rate packet of %s in %s" % (args.device, args.out))
    pkt = "%s#%d" % (rec["agent"], rec["id"])
    perf = [p for p in rec["message"]["perfs"] if p.get("device_id") == args.device][0]
    row_css = '%s tr[data-if="%d"][data-pkt=%s]' % (card, perf.get("oid_index", 0), css_str(pkt))
    # Read in one script call: the page redraws the row when the next packet
    # comes, and an element read piece by piece may be gone half-way.
    script = """
        const row = document.querySelector(arguments[0]);
        if (!row) return null;
        const cell = f => { const c = row.querySelector('td[data-field="' + f + '"]');
                            return c ? c.innerText.trim() : null; };
        return [row.getAttribute('data-shown'), cell('in'), cell('out'),
                row.querySelector('svg.plot polyline') !== null];"""
    found = None
    deadline = min(time.time() + args.timeout, END)
    while found is None and time.time() <= deadline:
        found = driver.execute_script(script, row_css)
        if found is None:
            time.sleep(0.03)
    if found is None:
        raise Failed("rate packet %s (interface %d) never on the page"
                     % (pkt, perf.get("oid_index", 0)))
    shown_at, shown_in, shown_out, has_plot = found
    if not shown_at or not str(shown_at).isdigit():
        raise Failed("row without its drawing time: %r" % shown_at)
    seen = int(shown_at) / 1000.0
    if seen - rec["time"] > args.interval:
        raise Failed("rate packet %s shown %.3f s after it arrived: over the interval of %g s"
                     % (pkt, seen - rec["time"], args.interval))
    want = (rate_text(perf.get("in_bps", 0.0)), rate_text(perf.get("out_bps", 0.0)))
    if (shown_in, shown_out) != want:
        raise Failed("rates shown %r, packet says %r" % ((shown_in, shown_out), want))
    if not has_plot:
        raise Failed("no rate plot in the row of interface %d" % perf.get("oid_index", 0))
    print("rate shown %.3f s after dg-sim received it (interval %g s): in %s out %s"
          % (seen - rec["time"], args.interval, shown_in, shown_out))

    # A trap and a syslog line, each marked so that it is found again.
    marker = "page-check-%d" % os.getpid()
    env = dict(os.environ, MIBS="", SNMPCONFPATH=args.profile,
               SNMP_PERSISTENT_DIR=args.profile)
    start = len(records(args.out))
    subprocess.run(["snmptrap", "-v", "2c", "-c", args.community,
                    "127.0.0.1:%d" % args.trap_port, "", ".1.3.6.1.6.3.1.1.5.4",
                    ".1.3.6.1.2.1.2.2.1.2.1", "s", marker + "-trap"],
                   env=env, check=True, timeout=20)
    subprocess.run(["logger", "--rfc3164", "-d", "-n", "127.0.0.1", "-P", str(args.syslog_port),
                    "-p", "local4.warning", "-t", "router", marker + "-syslog"],
                   check=True, timeout=20)
    for kind, code, field in (("trap", 54105, "traps"), ("syslog", 54104, "syslog")):
        rec = wait_record(args.out, lambda r: r["type"] == code and
                          marker + "-" + kind in json.dumps(r["message"]) + (
                              bytes.fromhex(r["message"].get("logs", [{}])[0].get("message", ""))
                              .decode("utf-8", "replace") if code == 54104 else ""),
                          args.timeout, start)
        if rec is None:
            raise Failed("the %s sent to the agent never reached dg-sim" % kind)
        pkt = "%s#%d" % (rec["agent"], rec["id"])
        li, shown = wait_element(driver, '%s ul[data-field="%s"] li[data-pkt=%s]'
                             % (card, field, css_str(pkt)), time.time() + args.timeout,
                             marker + "-" + kind)
        if li is None:
            raise Failed("%s packet %s never on the page" % (kind, pkt))
        seen = shown_time(shown)
        if seen - rec["time"] > 1.0:
            raise Failed("%s packet %s shown %.3f s after it arrived: over 1 s"
                         % (kind, pkt, seen - rec["time"]))
        print("%s shown %.3f s after dg-sim received it" % (kind, seen - rec["time"]))

    if args.latency:
        rec = wait_record(args.out, lambda r: r["type"] == 54106 and
                          r["message"].get("device_id") == args.device, args.timeout)
        if rec is None:
            raise Failed("no latency packet of %s" % args.device)
        text = wait_text(driver, '%s [data-field="latency"]' % card, time.time() + 5, (" ms",))
        if text is None:
            raise Failed("no latency in ms on the page")
        print("latency shown: %s" % text)

    # The host: CPU and memory, disks and processes from their packets.
    for code, field, words in ((60018, "stat", ("cpu", "%", "memory", "available of")),
                               (60013, "disks", ("util", "read", "/s")),
                               (60016, "procs", ("pid", "process", "cpu"))):
        rec = wait_record(args.out, lambda r: r["type"] == code, args.timeout)
        if rec is None:
            raise Failed("no host packet %d in %s" % (code, args.out))
        text = wait_text(driver, '#hosts [data-field="%s"]' % field, time.time() + 5, words)
        if text is None:
            shown = wait_text(driver, '#hosts [data-field="%s"]' % field, 0)
            if shown is None:
                raise Failed("host %s not on the page" % field)
            raise Failed("host %s shows %r without one of %r" % (field, shown, words))
        print("host %s shown (%d characters)" % (field, len(text)))

    errors = [e for e in driver.get_log("browser") if e.get("level") == "SEVERE"]
    if errors:
        raise Failed("browser console errors: %s" % "; ".join(e.get("message", "")
                                                             for e in errors))
    print("browser console: no errors")


def main():
    global END
    args = parse_args()
    END = time.time() + args.total
    driver = start_browser(args.profile)
    try:
        check(args, driver)
    except Failed as e:
        print("FAILED: %s" % e)
        return 1
    finally:
        driver.quit()
    print("PASSED")
    return 0


if __name__ == "__main__":
    sys.exit(main())
