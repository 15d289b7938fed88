#!/usr/bin/env python3
"""The calls page in a real browser (headless Chromium through chromedriver).

A history filled by real simulated downloads (dialscope-devsim on a pty,
dialscope-cli download) is served by `dialscope-cli serve`; the test then
looks at the page as a user would:
  a) every call is shown, and the search narrows them;
  b) a download while the page is open shows its calls within a second, in
     every one of ten tabs, without a reload;
  c) hostile caller texts show literally, no script of theirs runs, and the
     console holds no error and no CSP violation;
  d) a foreign Host header and a request without the token are refused;
  e) `watch` with http in its configuration file hands the calls it keeps to
     its own live stream, and its overview sees the adapter plugged in;
  f) a name edited in the names page shows in the list, the calls and the
     CSV export; a change without the page's token is refused;
  g) the caller page lists the calls of one line, with a bar per month;
  h) served to other machines (TLS, a password), a wrong password is told
     and the right one signs in with a cookie scripts cannot read, and out.
Screenshots at desktop and phone width (light and dark) go to --out.
"""
import argparse
import http.client
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time
import urllib.parse

from selenium import webdriver
from selenium.common.exceptions import NoAlertPresentException, TimeoutException
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.by import By

HOSTILE = [
    # (bytes in the call log file, what the page must show)
    (r"<img src=x onerror=alert(1)>", "<img src=x onerror=alert(1)>"),
    (r'"><script>alert(2)</script>', '"><script>alert(2)</script>'),
    (r"</textarea><b>bold", "</textarea><b>bold"),
    # A right-to-left override in UTF-8 is three Latin-1 bytes: a, a C1
    # control (shown as U+FFFD) and the registered sign. Nothing turns.
    (r"\xe2\x80\xaeevil.exe", "\u00e2\ufffd\u00aeevil.exe"),
    (r"M\xdcLLER \xc9MILE\ttab", "M\u00dcLLER \u00c9MILE\u2192tab"),
    # Line ends as a mark the pages' fonts have (the control pictures are
    # empty boxes in them).
    (r"TWO\r\nLINES\rAND\nMORE", "TWO\u21b5LINES\u21b5AND\u21b5MORE"),
]
# A caller text far longer than a box's own: its start shows, a few lines at most.
LONG = "5550111 " + "LONG CALLER TEXT " * 11
PLAIN = ["ALICE SMITH 5550100", "BOB JONES 5550101", "ALICE SMITH 5550100", "CAROL 5550102", LONG]
# One line written three ways, in October and December (box dates, MM DD YY).
LINE = [("0301234567 DORA", "10 15 26"), ("+49 30 1234567", "12 01 26"),
        ("(030) 1234567 <img src=x onerror=alert(1)>", "12 08 26")]

failures = []


def check(ok, what):
    print(("ok   " if ok else "FAIL ") + what, flush=True)
    if not ok:
        failures.append(what)


def write_log(path, texts, minute0):
    lines = ["label 0 HOME", "label 1 OFFICE"]
    for i, text in enumerate(texts):
        text, date = text if isinstance(text, tuple) else (text, "12 08 26")
        minute = minute0 + i
        lines.append("record %d A %s %02d %02d %s" % (i % 2, date, 9 + minute // 60, minute % 60, text))
    with open(path, "w", encoding="latin-1") as f:
        f.write("\n".join(lines) + "\n")


def download(args, work, log, n):
    sim_out = os.path.join(work, "sim-%d.out" % n)
    with open(sim_out, "w") as out:
        sim = subprocess.Popen([args.devsim, "--log", log, "--fast", "--exit-after-downloads", "1"],
                               stdout=out, stderr=subprocess.DEVNULL)
    deadline = time.time() + 10
    pty = ""
    while time.time() < deadline and not pty:
        m = re.search(r"^pty (\S+)", open(sim_out).read(), re.M)
        pty = m.group(1) if m else ""
        time.sleep(0.02)
    r = subprocess.run([args.cli, "--history", os.path.join(work, "calls.sqlite3"), "download", "--port", pty,
                        "--timeout", "30"], capture_output=True, timeout=60)
    sim.wait(timeout=10)
    check(r.returncode == 0, "download %d ends well (%s)" % (n, r.stderr.decode(errors="replace").strip()))
    return time.monotonic()


def request(port, path, host=None, cookie=None, form=None):
    c = http.client.HTTPConnection("127.0.0.1", port, timeout=5)
    headers = {"Host": host or "127.0.0.1:%d" % port}
    if cookie:
        headers["Cookie"] = cookie
    if form is not None:
        headers["Content-Type"] = "application/x-www-form-urlencoded"
        c.request("POST", path, body=urllib.parse.urlencode(form), headers=headers)
    else:
        c.request("GET", path, headers=headers)
    r = c.getresponse()
    body = r.read()
    c.close()
    return r.status, dict(r.getheaders()), body


def shown_texts(driver):
    return [td.text for td in driver.find_elements(By.CSS_SELECTOR, "#calls tbody tr td.text")]


def wait_for(predicate, seconds):
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        if predicate():
            return True
        time.sleep(0.02)
    return predicate()


def watch_http(args, work):
    """e) The watcher with its pages: a box plugged in while a live stream
    is open; the stream tells of its call, the watcher not watching its file."""
    tree = os.path.join(work, "tree")
    # The fake tree the watcher looks at, empty until the box is plugged.
    for sub in ["sys/class/tty", "sys/bus/usb/devices", "dev"]:
        os.makedirs(os.path.join(tree, sub))
    write_log(os.path.join(work, "watch.log"), ["FRANK LIVE 5550177"], 40)
    sim = subprocess.Popen([args.devsim, "--sysfs-root", tree + "/sys", "--dev-root", tree + "/dev", "--log",
                            os.path.join(work, "watch.log"), "--fast", "--stdin-control", "--start-unplugged"],
                           stdin=subprocess.PIPE, stdout=subprocess.DEVNULL)
    err = os.path.join(work, "watch.err")
    env = dict(os.environ, DIALSCOPE_SYSFS_ROOT=tree + "/sys", DIALSCOPE_DEV_ROOT=tree + "/dev")
    r = subprocess.run([args.cli, "--history", os.path.join(work, "watched.sqlite3"), "watch", "--http",
                        "192.0.2.1:8080"], env=env, capture_output=True, timeout=30)
    check(r.returncode == 2 and b"--http: " in r.stderr, "watch --http takes the pages' address from the command line")
    # The pages asked for in the configuration file, as the service does.
    with open(os.path.join(work, "watch.conf"), "w") as conf:
        conf.write('http = "127.0.0.1:0"\n')
    watch = subprocess.Popen([args.cli, "--history", os.path.join(work, "watched.sqlite3"), "watch", "--config",
                              os.path.join(work, "watch.conf")], env=env, stdout=subprocess.DEVNULL,
                             stderr=open(err, "w"))
    try:
        check(wait_for(lambda: "token=" in open(err).read(), 10), "watch with http in its configuration says the address")
        url = re.search(r"(http://\S+)", open(err).read()).group(1)
        port = int(re.search(r":(\d+)/", url).group(1))
        status, headers, _ = request(port, "/?" + url.split("?", 1)[1])
        c = http.client.HTTPConnection("127.0.0.1", port, timeout=20)
        c.request("GET", "/api/live", headers={"Cookie": headers.get("Set-Cookie", "").split(";")[0]})
        stream = c.getresponse()
        check(stream.status == 200 and stream.getheader("Content-Type", "").startswith("text/event-stream"),
              "the watcher's live stream opens")
        sim.stdin.write(b"plug\n")
        sim.stdin.flush()
        heard = b""
        end = time.monotonic() + 20
        try:
            while b"FRANK LIVE" not in heard and time.monotonic() < end:
                line = stream.fp.readline()
                if not line:
                    break
                heard += line
        except TimeoutError:
            pass
        came = b"event: calls" in heard and b"FRANK LIVE 5550177" in heard
        check(came, "the call the watcher kept comes down its live stream" +
              ("" if came else " (heard %r; the watcher said %s)" % (heard, open(err).read())))
        c.close()
        _, _, body = request(port, "/overview", cookie=headers.get("Set-Cookie", "").split(";")[0])
        check(b"Plugged in</span> at tty" in body, "the watcher's overview sees the adapter plugged in")
    finally:
        watch.terminate()
        try:
            check(watch.wait(timeout=5) == 0, "the watcher with pages ends on SIGTERM with status 0")
        except subprocess.TimeoutExpired:
            watch.kill()
            check(False, "the watcher with pages ends on SIGTERM")
        sim.stdin.close()
        sim.wait(timeout=5)


def sign_in(args, work, driver):
    """h) serve on every address, with TLS and the password, in the browser."""
    history = os.path.join(work, "calls.sqlite3")
    r = subprocess.run([args.cli, "--history", history, "passwd"], input=b"correct horse battery\n",
                       capture_output=True, timeout=30)
    check(r.returncode == 0, "passwd sets the web password")
    cert, key = os.path.join(work, "cert.pem"), os.path.join(work, "key.pem")
    subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2", "-keyout", key, "-out",
                    cert, "-subj", "/CN=dialscope.test"], check=True, capture_output=True, timeout=60)
    serve = subprocess.Popen([args.cli, "--history", history, "serve", "--listen", "0.0.0.0:0", "--tls-cert", cert,
                              "--tls-key", key, "--name", "dialscope.test"], stdout=subprocess.PIPE, text=True)
    try:
        port = int(re.search(r"https://dialscope\.test:(\d+)/", serve.stdout.readline()).group(1))
        driver.get("https://dialscope.test:%d/?q=alice" % port)
        check("/login" in driver.current_url, "without a session the browser lands on the sign-in page")
        for password in ["wrong password", "correct horse battery"]:
            box = driver.find_element(By.NAME, "password")
            box.send_keys(password)
            box.submit()
            if password.startswith("wrong"):
                check(wait_for(lambda: "not the password" in driver.page_source, 5), "a wrong password is told")
        check(wait_for(lambda: shown_texts(driver) == ["ALICE SMITH 5550100"] * 2, 5),
              "the right password opens the page asked for")
        cookie = driver.get_cookie("__Host-dialscope_%d" % port) or {}
        check(cookie.get("httpOnly") and cookie.get("secure") and cookie.get("sameSite") == "Strict",
              "the session cookie is HttpOnly, Secure, SameSite=Strict: %r" % cookie)
        check(driver.execute_script("return document.cookie") == "", "the page's script cannot read it")
        driver.save_screenshot(os.path.join(args.out, "calls-signed-in.png"))
        driver.find_element(By.CSS_SELECTOR, "form.signout button").click()
        check(wait_for(lambda: "/login" in driver.current_url and not driver.get_cookies(), 5),
              "Sign out ends the session")
        bad = [e["message"] for e in driver.get_log("browser") if "Content Security Policy" in e["message"]]
        check(not bad, "no CSP violations on the sign-in pages: %r" % bad)
    finally:
        serve.terminate()
        serve.wait(timeout=5)


def names_and_callers(driver, port, cookie, out):
    """f) and g): names edited in the page, the caller page, the overview."""
    base = "http://127.0.0.1:%d" % port
    driver.get(base + "/names")
    check(not driver.find_elements(By.CSS_SELECTOR, "#names li"), "no names at first")
    add = driver.find_element(By.CSS_SELECTOR, "form.add")
    add.find_element(By.NAME, "number").send_keys("+49 30 1234567")
    add.find_element(By.NAME, "name").send_keys("Dora <b>D</b>")
    add.find_element(By.CSS_SELECTOR, "button").click()
    check(wait_for(lambda: "The name for +49301234567 is kept." in driver.page_source, 5),
          "the page says the name is kept (from the server, not the address: %s)" % driver.current_url)
    rows = driver.find_elements(By.CSS_SELECTOR, "#names li")
    check(len(rows) == 1 and rows[0].find_element(By.NAME, "name").get_attribute("value") == "Dora <b>D</b>",
          "a name added in the page is listed as typed")
    field = rows[0].find_element(By.NAME, "name")
    field.clear()
    field.send_keys("Dora Edited")
    rows[0].find_element(By.CSS_SELECTOR, "button[value=save]").click()
    wait_for(lambda: driver.find_elements(By.CSS_SELECTOR, "#names li input[value='Dora Edited']"), 5)
    check(bool(driver.find_elements(By.CSS_SELECTOR, "#names li input[value='Dora Edited']")),
          "a name edited in the page is listed")
    # One more, then removed again.
    add = driver.find_element(By.CSS_SELECTOR, "form.add")
    add.find_element(By.NAME, "number").send_keys("0800 555 0000")
    add.find_element(By.NAME, "name").send_keys("Short-lived")
    add.find_element(By.CSS_SELECTOR, "button").click()
    wait_for(lambda: len(driver.find_elements(By.CSS_SELECTOR, "#names li")) == 2, 5)
    driver.find_element(By.CSS_SELECTOR, "#names li[data-number='08005550000'] button.remove").click()
    check(wait_for(lambda: "The name for 08005550000 is removed." in driver.page_source, 5),
          "the page says the name is removed")
    check([li.get_attribute("data-number") for li in driver.find_elements(By.CSS_SELECTOR, "#names li")]
          == ["+49301234567"], "a name removed in the page is gone")
    driver.save_screenshot(os.path.join(out, "names-desktop.png"))

    # Changes without the page's token, or with another, are refused.
    for form in [{"number": "+49301234567", "name": "Mallory"},
                 {"number": "+49301234567", "name": "Mallory", "csrf": "0" * 64}]:
        status, _, _ = request(port, "/names", cookie=cookie, form=form)
        check(status == 403, "a change %s is refused (403, got %d)"
              % ("with a wrong token" if "csrf" in form else "without the page's token", status))
    _, _, body = request(port, "/names", cookie=cookie)
    check(b"Mallory" not in body and b"Dora Edited" in body, "a refused change changes nothing")
    csrf = re.search(rb'name="csrf" value="([0-9a-f]+)"', body).group(1).decode()
    status, _, body = request(port, "/names", cookie=cookie, form={"number": "call me", "name": "X", "csrf": csrf})
    check(status == 400 and b"is not a phone number" in body and b'value="call me"' in body,
          "a number that is none is refused in plain words, what was typed kept")

    status, _, body = request(port, "/export.csv", cookie=cookie)
    named = [r for r in body.decode().split("\r\n") if r.endswith(",Dora Edited,")]  # then the (empty) box
    check(status == 200 and len(named) == len(LINE), "the CSV export names the line's %d calls (%d)"
          % (len(LINE), len(named)))

    # g) the calls page names the line and links it to its caller page.
    driver.get(base + "/")
    names = [e.text for e in driver.find_elements(By.CSS_SELECTOR, "#calls td.text .name")]
    check(names == ["Dora Edited"] * len(LINE), "the calls page shows the name beside the line's calls: %r" % names)
    driver.find_element(By.CSS_SELECTOR, "#calls td.text a.caller").click()
    wait_for(lambda: "/caller?" in driver.current_url, 5)
    texts = shown_texts(driver)
    check(sorted(t.split("\n")[-1] for t in texts) == sorted(t for t, _ in LINE),
          "the caller page lists the calls of the line: %r" % texts)
    check("(030) 1234567 <img src=x onerror=alert(1)>" in driver.find_element(By.ID, "calls").text
          and not driver.find_elements(By.CSS_SELECTOR, "#calls img"), "the caller page shows a hostile text literally")
    bars = driver.find_elements(By.CSS_SELECTOR, "svg.chart rect.bar")
    titles = [b.find_element(By.TAG_NAME, "title").get_attribute("textContent") for b in bars]
    check(titles == ["2026-10: 1 call", "2026-11: 0 calls", "2026-12: 2 calls"],
          "the caller page has a bar per month: %r" % titles)
    check("Dora Edited" in driver.find_element(By.TAG_NAME, "h1").text, "the caller page is headed by the name")
    driver.save_screenshot(os.path.join(out, "caller-desktop.png"))
    # One month of calls: one bar of a year's width, not a block the chart's.
    driver.get(base + "/caller?n=5550111")
    bars = driver.find_elements(By.CSS_SELECTOR, "svg.chart rect.bar")
    chart = max([c.rect["width"] for c in driver.find_elements(By.CSS_SELECTOR, "svg.chart")] or [0])
    check(len(bars) == 1 and bars[0].rect["width"] <= chart / 12,
          "one month is one narrow bar (%.0f of %.0f px)" % (bars[0].rect["width"] if bars else -1, chart))
    driver.save_screenshot(os.path.join(out, "caller-one-month-desktop.png"))

    driver.get(base + "/overview")
    check(driver.find_element(By.ID, "adapter").text == "Not plugged in", "the overview says no adapter is plugged in")
    check("completed" in driver.find_element(By.ID, "download").text, "the overview says the last download completed")
    check(len(driver.find_elements(By.CSS_SELECTOR, "svg.chart rect.bar")) == 30, "the overview charts 30 days")
    driver.save_screenshot(os.path.join(out, "overview-desktop.png"))


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--cli", required=True)
    p.add_argument("--devsim", required=True)
    p.add_argument("--out", required=True)
    args = p.parse_args()
    os.makedirs(args.out, exist_ok=True)
    work = tempfile.mkdtemp(prefix="dialscope-web-")
    serve = driver = None
    try:
        first = [t for t, _ in HOSTILE] + PLAIN + LINE
        write_log(os.path.join(work, "first.log"), first, 0)
        download(args, work, os.path.join(work, "first.log"), 1)

        history = os.path.join(work, "calls.sqlite3")
        r = subprocess.run([args.cli, "--history", history, "serve", "--listen", "0.0.0.0:8080"],
                           capture_output=True, timeout=30)
        check(r.returncode == 2 and b"TLS" in r.stderr, "serve refuses an address for other machines (exit 2)")

        serve_out = os.path.join(work, "serve.out")
        # No adapter in its (empty) system tree.
        os.makedirs(os.path.join(work, "empty-sys"))
        serve = subprocess.Popen([args.cli, "--history", os.path.join(work, "calls.sqlite3"), "serve", "--listen",
                                  "127.0.0.1:0"], stdout=open(serve_out, "w"), stderr=subprocess.STDOUT,
                                 env=dict(os.environ, DIALSCOPE_SYSFS_ROOT=os.path.join(work, "empty-sys")))
        check(wait_for(lambda: "token=" in open(serve_out).read(), 10), "serve prints its address")
        url = re.search(r"(http://\S+)", open(serve_out).read()).group(1)
        port = int(re.search(r":(\d+)/", url).group(1))
        token = re.search(r"token=([0-9a-f]+)", url).group(1)
        st = os.stat(history + ".web-token")
        check(st.st_mode & 0o777 == 0o600 and open(history + ".web-token").read().strip() == token,
              "the token is kept in a file only its owner may read")

        # d) refusals, as another program or a rebinding page would ask.
        status, _, _ = request(port, "/?token=" + token, host="attacker.example:%d" % port)
        check(status == 421, "a foreign Host header is refused (421), even with the token")
        status, _, _ = request(port, "/", host="127.0.0.1:%d.attacker.example" % port)
        check(status == 421, "a Host that only starts like ours is refused (421)")
        for path in ["/", "/api/calls", "/api/live", "/export.csv", "/static/app.js"]:
            status, _, body = request(port, path)
            check(status == 403 and b"alert" not in body, "%s without the token is refused (403)" % path)
        status, _, _ = request(port, "/?token=" + "0" * 64)
        check(status == 403, "a wrong token is refused (403)")
        status, headers, _ = request(port, "/?token=" + token + "&q=x")
        cookie = headers.get("Set-Cookie", "")
        check(status == 303 and headers.get("Location") == "/?q=x" and "HttpOnly" in cookie
              and "SameSite=Strict" in cookie, "the token is swapped for an HttpOnly SameSite cookie")
        status, headers, body = request(port, "/api/calls?limit=100", cookie=cookie.split(";")[0])
        check(status == 200 and body.count(b'"id"') == len(first), "the JSON API answers with the cookie")
        status, headers, body = request(port, "/export.csv?q=alice", cookie=cookie.split(";")[0])
        rows = body.decode().split("\r\n")
        check(status == 200 and rows[0].startswith("id,download,") and len(rows) == 4 and rows[3] == ""
              and all("ALICE SMITH 5550100" in r for r in rows[1:3]), "the CSV export holds the filter's calls")
        status, headers, body = request(port, "/export.json", cookie=cookie.split(";")[0])
        lines = body.decode().splitlines()
        check(status == 200 and len(lines) == len(first) and '"<img src=x onerror=alert(1)>"' in lines[-1],
              "the JSON export holds every call")

        options = webdriver.ChromeOptions()
        options.add_argument("--headless=new")
        options.add_argument("--no-sandbox")
        options.add_argument("--window-size=1280,800")
        # h): the test's own certificate, and its name for this machine.
        options.add_argument("--ignore-certificate-errors")
        options.add_argument("--host-resolver-rules=MAP dialscope.test 127.0.0.1")
        options.set_capability("goog:loggingPrefs", {"browser": "ALL"})
        driver = webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=options)
        driver.set_window_size(1280, 800)
        # A page that cannot load (every connection to the host held by
        # live streams) fails the test instead of hanging it.
        driver.set_page_load_timeout(10)
        driver.get(url)

        # a) every call, newest first, then the search.
        texts = shown_texts(driver)
        check(len(texts) == len(first), "the page shows every call (%d of %d)" % (len(texts), len(first)))
        check(driver.current_url.endswith(":%d/" % port), "the token is gone from the address bar")
        # c) hostile texts show literally; no element of theirs exists.
        for _, expected in HOSTILE:
            check(expected in texts, "shown literally: %r" % expected)
        check(not driver.find_elements(By.CSS_SELECTOR, "#calls img, #calls b, #calls script"),
              "no element came from a caller text")
        try:
            driver.switch_to.alert
            check(False, "no alert ran")
        except NoAlertPresentException:
            check(True, "no alert ran")
        long_row = [td for td in driver.find_elements(By.CSS_SELECTOR, "#calls td.text") if "LONG CALLER" in td.text]
        check(len(long_row) == 1 and long_row[0].text == LONG[:80] + "\u2026" and
              long_row[0].find_element(By.CSS_SELECTOR, "bdi").get_attribute("title") == LONG and
              long_row[0].rect["height"] < 70,
              "a long caller text shows its start, the whole as a tooltip, a few lines tall (%s px)" %
              (long_row[0].rect["height"] if long_row else None))
        order = " ".join(p.text for p in driver.find_elements(By.CSS_SELECTOR, "p.order"))
        headings = [th.text for th in driver.find_elements(By.CSS_SELECTOR, "#calls thead th")][:2]
        check(order.startswith("Newest first by the time each call was received") and
              headings == ["Received", "Box time"], "the page says its order, the received time first: %r" % headings)
        counts = [td.text for td in driver.find_elements(By.CSS_SELECTOR, "#calls tbody tr td.count")]
        check(counts[len(first) - 1 - first.index("ALICE SMITH 5550100")] == "2", "a caller text met twice counts 2")
        driver.save_screenshot(os.path.join(args.out, "calls-desktop.png"))

        box = driver.find_element(By.NAME, "q")
        box.send_keys("alice")
        box.submit()
        wait_for(lambda: "q=alice" in driver.current_url, 5)
        texts = shown_texts(driver)
        check(texts == ["ALICE SMITH 5550100"] * 2, "the search narrows to the matching calls: %r" % texts)
        driver.get("http://127.0.0.1:%d/" % port)

        names_and_callers(driver, port, cookie.split(";")[0], args.out)
        driver.get("http://127.0.0.1:%d/" % port)

        # b) live, in ten tabs sharing one stream.
        tabs = [driver.current_window_handle]
        for i in range(9):
            driver.switch_to.new_window("tab")
            tabs.append(driver.current_window_handle)
            try:
                driver.get("http://127.0.0.1:%d/" % port)
            except TimeoutException:
                check(False, "tab %d loads beside the others' live streams" % (i + 2))
                raise
        before = len(shown_texts(driver))
        time.sleep(0.5)  # the tabs have found their leader
        second = ["DAVE NEW 5550199", "ERIN NEW 5550198"]
        write_log(os.path.join(work, "second.log"), second, 30)
        done = download(args, work, os.path.join(work, "second.log"), 2)
        for i, handle in enumerate(reversed(tabs)):
            driver.switch_to.window(handle)
            arrived = wait_for(lambda: len(shown_texts(driver)) == before + 2, 1.0 if i == 0 else 2.0)
            if i == 0:
                check(arrived and time.monotonic() - done < 1.0 + 0.3,
                      "a new call shows within a second of the download (%.2f s)" % (time.monotonic() - done))
            check(arrived, "tab %d shows the new calls without a reload" % (i + 1))
        marked = driver.find_elements(By.CSS_SELECTOR, "#calls tbody tr.new")
        check(len(marked) == 2, "the calls that came live stand out (%d marked)" % len(marked))
        for handle in tabs[1:]:
            driver.switch_to.window(handle)
            driver.close()
        driver.switch_to.window(tabs[0])

        driver.save_screenshot(os.path.join(args.out, "calls-desktop-live.png"))
        driver.execute_cdp_cmd("Emulation.setDeviceMetricsOverride",
                               {"width": 390, "height": 844, "deviceScaleFactor": 2, "mobile": True})
        driver.get("http://127.0.0.1:%d/" % port)
        driver.save_screenshot(os.path.join(args.out, "calls-phone.png"))
        driver.execute_cdp_cmd("Emulation.setEmulatedMedia",
                               {"features": [{"name": "prefers-color-scheme", "value": "dark"}]})
        driver.save_screenshot(os.path.join(args.out, "calls-phone-dark.png"))
        check(driver.execute_script("return document.documentElement.scrollWidth") <= 390,
              "nothing sticks out sideways at a phone's width")
        driver.execute_cdp_cmd("Emulation.setEmulatedMedia",
                               {"features": [{"name": "prefers-color-scheme", "value": "light"}]})
        for page, path in [("names", "/names"), ("caller", "/caller?n=%2B49301234567"),
                           ("caller-one-month", "/caller?n=5550111"), ("overview", "/overview")]:
            driver.get("http://127.0.0.1:%d%s" % (port, path))
            driver.save_screenshot(os.path.join(args.out, "%s-phone.png" % page))
            check(driver.execute_script("return document.documentElement.scrollWidth") <= 390,
                  "nothing of the %s page sticks out sideways at a phone's width" % page)

        logs = driver.get_log("browser")
        bad = [e["message"] for e in logs if e["level"] == "SEVERE" or "Content Security Policy" in e["message"]]
        check(not bad, "no console errors and no CSP violations: %r" % bad)

        watch_http(args, work)
        driver.execute_cdp_cmd("Emulation.clearDeviceMetricsOverride", {})
        sign_in(args, work, driver)
    except TimeoutException:
        pass  # said above
    finally:
        if driver:
            driver.quit()
        if serve:
            serve.terminate()
            try:
                serve.wait(timeout=5)
                check(serve.returncode == 0, "serve ends on SIGTERM with status 0 (%s)" % serve.returncode)
            except subprocess.TimeoutExpired:
                serve.kill()
                check(False, "serve ends on SIGTERM")
        shutil.rmtree(work, ignore_errors=True)
    print("%d failed" % len(failures))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
