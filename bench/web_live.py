#!/usr/bin/env python3
"""A new call kept in the history, to its row shown in a real browser.

`dialscope-cli serve` watches a history that `dialscope-cli download` writes,
one call per download from the simulator (dialscope-devsim on a pty). The
calls page is open in headless Chromium (chromedriver); a MutationObserver in
the page notes Date.now() when each row appears. The time a call is kept is
the received time of its row in the history (the download's end is printed
beside it). Prints
  web_live_browser_p50_ms / web_live_browser_p99_ms   over --calls calls
  web_live_browser_after_download_p99_ms              the same from the download's end
  web_live_tabs_heard                                  of ten tabs of one browser, how many show
                                                       one more call (they share one stream)
as RESULT lines for scripts/bench.
"""
import argparse
import os
import re
import shutil
import sqlite3
import subprocess
import sys
import tempfile
import time

from selenium import webdriver
from selenium.webdriver.chrome.service import Service

OBSERVE = """
if (!window.benchSeen) {
  window.benchSeen = {};
  new MutationObserver((changes) => {
    const now = Date.now();
    for (const c of changes)
      for (const n of c.addedNodes)
        if (n.nodeType === 1 && n.matches('tr[data-id]') && !(n.dataset.id in window.benchSeen))
          window.benchSeen[n.dataset.id] = now;
  }).observe(document.querySelector('#calls tbody'), {childList: true});
}
"""


def result(name, value, unit, goal):
    print("RESULT %s %.6g %s %s" % (name, value, unit, goal), flush=True)


def percentile(values, p):
    values = sorted(values)
    return values[min(len(values) - 1, int(round(p / 100.0 * (len(values) - 1))))]


def download(args, work, n):
    """One download of one call of its own; its row's id, received time and the download's end (ms)."""
    log = os.path.join(work, "call-%d.log" % n)
    text = "LIVE CALLER %03d 55520%02d" % (n, n % 100)
    with open(log, "w", encoding="latin-1") as f:
        f.write("label 0 HOME\nrecord 0 A 12 09 26 %02d %02d %s\n" % (8 + n // 60, n % 60, text))
    out = os.path.join(work, "sim-%d.out" % n)
    with open(out, "w") as o:
        sim = subprocess.Popen([args.devsim, "--log", log, "--fast", "--exit-after-downloads", "1"],
                               stdout=o, stderr=subprocess.DEVNULL)
    pty, end = "", time.monotonic() + 10
    while not pty and time.monotonic() < end:
        m = re.search(r"^pty (\S+)", open(out).read(), re.M)
        pty = m.group(1) if m else ""
        time.sleep(0.01)
    r = subprocess.run([args.cli, "--history", args.history, "download", "--port", pty, "--timeout", "30"],
                       capture_output=True, timeout=60)
    sim.wait(timeout=10)
    if r.returncode != 0:
        sys.exit("download %d failed: %s" % (n, r.stderr.decode(errors="replace").strip()))
    db = sqlite3.connect("file:%s?mode=ro" % args.history, uri=True)
    row = db.execute("SELECT r.id, r.received_at, d.ended_at FROM records r JOIN downloads d ON d.id = r.download_id "
                     "WHERE CAST(r.text AS TEXT) = ?", (text,)).fetchone()
    db.close()
    if not row:
        sys.exit("download %d kept no call %r" % (n, text))
    return str(row[0]), row[1], row[2]


def seen(driver, id, seconds):
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        at = driver.execute_script("return window.benchSeen[arguments[0]] || 0", id)
        if at:
            return at
        time.sleep(0.01)
    return 0


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--cli", required=True)
    p.add_argument("--devsim", required=True)
    p.add_argument("--calls", type=int, default=30)
    args = p.parse_args()
    work = tempfile.mkdtemp(prefix="dialscope-bench-live-")
    args.history = os.path.join(work, "calls.sqlite3")
    serve = driver = None
    try:
        download(args, work, 0)
        out = os.path.join(work, "serve.out")
        serve = subprocess.Popen([args.cli, "--history", args.history, "serve", "--listen", "127.0.0.1:0",
                                  "--no-auth"], stdout=open(out, "w"), stderr=subprocess.STDOUT)
        end = time.monotonic() + 10
        while "http://" not in open(out).read() and time.monotonic() < end:
            time.sleep(0.02)
        url = re.search(r"(http://127\.0\.0\.1:\d+/)", open(out).read()).group(1)

        options = webdriver.ChromeOptions()
        options.add_argument("--headless=new")
        options.add_argument("--no-sandbox")
        driver = webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=options)
        driver.set_page_load_timeout(10)
        driver.get(url)
        driver.execute_script(OBSERVE)
        time.sleep(0.5)  # the page has opened its stream

        kept_ms, ended_ms, missed = [], [], 0
        for n in range(1, args.calls + 1):
            id, received, ended = download(args, work, n)
            at = seen(driver, id, 5)
            if not at:
                missed += 1
                continue
            kept_ms.append(at - received)
            ended_ms.append(at - ended)
        print("%d calls: %d shown, from kept %s ms" % (args.calls, len(kept_ms), sorted(kept_ms)), flush=True)
        if missed:
            print("%d calls were not shown within 5 s" % missed, flush=True)
        # A call never shown counts as one not shown in time.
        kept_ms += [float("inf")] * missed
        ended_ms += [float("inf")] * missed
        result("web_live_browser_p50_ms", percentile(kept_ms, 50), "ms", "<=1000")
        result("web_live_browser_p99_ms", percentile(kept_ms, 99), "ms", "<=1000")
        result("web_live_browser_after_download_p99_ms", percentile(ended_ms, 99), "ms", "-")

        tabs = [driver.current_window_handle]
        for _ in range(9):
            driver.switch_to.new_window("tab")
            driver.get(url)
            driver.execute_script(OBSERVE)
            tabs.append(driver.current_window_handle)
        time.sleep(0.5)  # the tabs have found their leader
        id, _, _ = download(args, work, args.calls + 1)
        heard = 0
        for handle in tabs:
            driver.switch_to.window(handle)
            heard += bool(seen(driver, id, 3))
        result("web_live_tabs_heard", heard, "of10", ">=10")
    finally:
        if driver:
            driver.quit()
        if serve:
            serve.terminate()
            serve.wait(timeout=10)
        shutil.rmtree(work, ignore_errors=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
