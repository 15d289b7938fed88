#!/usr/bin/env python3
"""The Windows program's pages, under Wine, read by Linux's headless Chromium.

A history written by the Linux program (simulated downloads, caller texts
with markup and bytes above 0x7F) is served by dialscope-cli.exe serve:
  a) it prints a ready address with its token; without the token, or under
     a Host that is not its own, nothing is shown;
  b) Chromium shows every call, the hostile texts literally, no script of
     theirs runs and the console has no error or CSP violation;
  c) the JSON API answers byte for byte as the Linux program's does on the
     same history, and so does the CSV export.
A screenshot goes to --out.
"""
import argparse
import http.client
import json
import os
import re
import socket
import subprocess
import sys
import tempfile
import threading
import time

from selenium import webdriver
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.by import By

TEXTS = ["ALICE SMITH 5550100", "<img src=x onerror=alert(1)>", '"><script>alert(2)</script>',
         "M\u00dcLLER \u00c9MILE 0301234567", "BOB JONES 5550101"]
failures = []


def check(ok, what):
    print(("ok   " if ok else "FAIL ") + what, flush=True)
    if not ok:
        failures.append(what)


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def fill_history(args, work, history):
    log = os.path.join(work, "box.log")
    lines = ["label 0 HOME", "label 1 OFFICE"]
    for i, text in enumerate(TEXTS):
        lines.append("record %d A 12 08 26 09 %02d %s" % (i % 2, i, text))
    with open(log, "w", encoding="latin-1") as f:
        f.write("\n".join(lines) + "\n")
    sim_out = os.path.join(work, "sim.out")
    with open(sim_out, "w") as out:
        sim = subprocess.Popen([args.devsim, "--log", log, "--fast", "--exit-after-downloads", "1"],
                               stdout=out, stderr=subprocess.DEVNULL)
    pty = ""
    deadline = time.time() + 10
    while time.time() < deadline and not pty:
        m = re.search(r"^pty (\S+)", open(sim_out).read(), re.M)
        pty = m.group(1) if m else ""
        time.sleep(0.02)
    r = subprocess.run([args.linux_cli, "--history", history, "download", "--port", pty, "--timeout", "30"],
                       capture_output=True, timeout=60)
    sim.wait(timeout=10)
    check(r.returncode == 0, "the Linux program downloads into the history (%s)" % r.stderr.decode(errors="replace"))


def get(port, path, host=None, cookie=None):
    c = http.client.HTTPConnection("127.0.0.1", port, timeout=10)
    headers = {"Host": host or "127.0.0.1:%d" % port}
    if cookie:
        headers["Cookie"] = cookie
    c.request("GET", path, headers=headers)
    r = c.getresponse()
    body = r.read()
    c.close()
    return r.status, dict(r.getheaders()), body


def start(command, pattern, env=None):
    """A server started and its first line matching pattern, read from stdout."""
    p = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=env)
    found = {}

    def read():
        for line in p.stdout:
            m = re.search(pattern, line.decode(errors="replace"))
            if m and "m" not in found:
                found["m"] = m
    t = threading.Thread(target=read, daemon=True)
    t.start()
    deadline = time.time() + 120  # Wine's first start in a fresh prefix is slow
    while time.time() < deadline and "m" not in found and p.poll() is None:
        time.sleep(0.05)
    return p, found.get("m")


def stop(p):
    p.terminate()
    try:
        p.wait(timeout=10)
    except subprocess.TimeoutExpired:
        p.kill()
        p.wait()


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--exe", required=True)
    ap.add_argument("--wine-run", required=True)
    ap.add_argument("--linux-cli", required=True)
    ap.add_argument("--devsim", required=True)
    ap.add_argument("--out", required=True)
    args = ap.parse_args()
    os.makedirs(args.out, exist_ok=True)
    work = tempfile.mkdtemp(prefix="dialscope-winserve-")
    history = os.path.join(work, "calls.sqlite3")
    fill_history(args, work, history)

    # The Linux program's answers first; then the history is the Windows one's alone.
    linux_port = free_port()
    linux, m = start([args.linux_cli, "--history", history, "serve", "--no-auth", "--listen",
                      "127.0.0.1:%d" % linux_port], r"The calls are at (\S+)")
    check(m is not None, "the Linux program serves the history")
    expected = {path: get(linux_port, path)[2] for path in ["/api/calls", "/export.csv"]}
    stop(linux)

    port = free_port()
    win, m = start([args.wine_run, args.exe, "--history", "Z:" + history.replace("/", "\\"), "serve",
                    "--listen", "127.0.0.1:%d" % port], r"The calls are at (http://127\.0\.0\.1:\d+/\?token=[0-9a-f]{64})")
    try:
        check(m is not None, "the Windows program prints a ready address with its token")
        if m is None:
            return 1
        url = m.group(1)
        status, _, _ = get(port, "/")
        check(status == 403, "without the token: refused (%d)" % status)
        status, _, body = get(port, url[url.index("/", 8):], host="attacker.example:%d" % port)
        check(status == 421 and TEXTS[0].encode() not in body, "a Host not its own: refused (%d)" % status)
        token = url.split("token=")[1]
        status, headers, _ = get(port, "/?token=" + token)
        cookie = headers.get("Set-Cookie", "").split(";")[0]
        check(status == 303 and cookie, "the token gives a cookie")
        for path, want in expected.items():
            status, _, body = get(port, path, cookie=cookie)
            check(status == 200 and body == want, "%s: the same bytes as the Linux program's" % path)
        calls = json.loads(expected["/api/calls"])["calls"]
        check(len(calls) == len(TEXTS), "every call is in the history (%d)" % len(calls))

        options = webdriver.ChromeOptions()
        options.add_argument("--headless=new")
        options.add_argument("--no-sandbox")
        options.add_argument("--window-size=1280,800")
        options.set_capability("goog:loggingPrefs", {"browser": "ALL"})
        driver = webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=options)
        try:
            driver.get(url)
            shown = []
            deadline = time.time() + 10
            while time.time() < deadline and len(shown) < len(TEXTS):
                shown = [td.text for td in driver.find_elements(By.CSS_SELECTOR, "#calls tbody tr td.text")]
                time.sleep(0.05)
            check(sorted(shown) == sorted(TEXTS), "Chromium shows every call, literally: %r" % shown)
            check(not driver.find_elements(By.CSS_SELECTOR, "#calls img, #calls script"),
                  "no element of a caller's text is made")
            driver.save_screenshot(os.path.join(args.out, "windows-calls.png"))
            bad = [e["message"] for e in driver.get_log("browser") if e["level"] in ("SEVERE", "WARNING")]
            check(not bad, "the console has no error and no CSP violation: %r" % bad)
        finally:
            driver.quit()
    finally:
        stop(win)
    print("%d failures" % len(failures))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
