#!/usr/bin/env python3
"""Programs that share one history keep their hold on it.

`serve` (and `watch --http`) keep connections to the history open for their
whole run, while other programs open and close theirs: the console's
`history`, `contacts` and `download`. Each write path of the pages is taken
in turn; after each, the kernel still lists the server's lock on the
history, and once another program has opened and closed the history the
write-ahead log and its index are still there and none of the server's
descriptors points at a removed file. At the end SQLite finds the file sound
and every call and name written by anyone is in it.
"""
import argparse
import http.client
import os
import re
import signal
import sqlite3
import subprocess
import sys
import tempfile
import time
import urllib.parse

failures = []
passes = []


def check(ok, what):
    print(("ok   " if ok else "FAIL ") + what, flush=True)
    (passes if ok else failures).append(what)


def wait_for(predicate, seconds):
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        if predicate():
            return True
        time.sleep(0.02)
    return predicate()


def write_log(path, texts, minute0):
    lines = ["label 0 HOME", "label 1 OFFICE"]
    for i, text in enumerate(texts):
        minute = minute0 + i
        lines.append("record %d A 12 08 26 %02d %02d %s" % (i % 2, 9 + minute // 60, minute % 60, text))
    with open(path, "w", encoding="latin-1") as f:
        f.write("\n".join(lines) + "\n")


def holds_shared_lock(pid, path):
    """Whether the process holds the read lock every open connection keeps on
    the file (SQLite's shared range, from byte 2^30 + 2), from /proc/locks.
    Its other locks come and go with its own indexing and checkpoints."""
    inode = ":%d" % os.stat(path).st_ino
    with open("/proc/locks") as locks:
        for line in locks:
            f = line.split()
            if "->" in f[:2]:
                continue
            if f[1] == "POSIX" and f[3] == "READ" and f[4] == str(pid) and f[5].endswith(inode) \
                    and f[6] == "1073741826":
                return True
    return False


def removed_files_open(pid):
    found = []
    for fd in os.listdir("/proc/%d/fd" % pid):
        try:
            target = os.readlink("/proc/%d/fd/%s" % (pid, fd))
        except OSError:
            continue
        if target.endswith("(deleted)"):
            found.append(target)
    return found


class Pages:
    def __init__(self, port, token):
        self.port = port
        status, headers, _ = self.request("GET", "/?token=" + token)
        self.cookie = headers.get("Set-Cookie", "").split(";")[0]
        check(status == 303 and self.cookie, "the token address signs in")

    def request(self, method, path, form=None, cookie=None):
        c = http.client.HTTPConnection("127.0.0.1", self.port, timeout=10)
        headers = {"Host": "127.0.0.1:%d" % self.port}
        if cookie:
            headers["Cookie"] = cookie
        body = None
        if form is not None:
            headers["Content-Type"] = "application/x-www-form-urlencoded"
            headers["Origin"] = "http://127.0.0.1:%d" % self.port
            body = urllib.parse.urlencode(form)
        c.request(method, path, body=body, headers=headers)
        r = c.getresponse()
        data = r.read()
        c.close()
        return r.status, dict(r.getheaders()), data

    def change_name(self, number, name, remove=False):
        _, _, page = self.request("GET", "/names", cookie=self.cookie)
        m = re.search(rb'name="csrf" value="([^"]+)"', page)
        form = {"csrf": m.group(1).decode() if m else "", "number": number, "name": name,
                "do": "remove" if remove else "save"}
        status, _, _ = self.request("POST", "/names", form=form, cookie=self.cookie)
        return status == 303

    def calls_shown(self):
        status, _, body = self.request("GET", "/api/calls?limit=1000", cookie=self.cookie)
        return body.decode(errors="replace") if status == 200 else ""


class Household:
    def __init__(self, args, work, history):
        self.args, self.work, self.history = args, work, history
        self.downloads = 0

    def cli(self, *more, timeout=60):
        return subprocess.run([self.args.cli, "--history", self.history, *more], capture_output=True, timeout=timeout)

    def download(self, texts, minute0):
        """Another program downloads from a simulated box of its own."""
        self.downloads += 1
        log = os.path.join(self.work, "box-%d.log" % self.downloads)
        write_log(log, texts, minute0)
        out = os.path.join(self.work, "sim-%d.out" % self.downloads)
        with open(out, "w") as f:
            sim = subprocess.Popen([self.args.devsim, "--log", log, "--fast", "--exit-after-downloads", "1"],
                                   stdout=f, stderr=subprocess.DEVNULL)
        wait_for(lambda: re.search(r"^pty (\S+)", open(out).read(), re.M), 10)
        pty = re.search(r"^pty (\S+)", open(out).read(), re.M).group(1)
        r = self.cli("download", "--port", pty, "--timeout", "30")
        sim.wait(timeout=10)
        return r.returncode == 0

    def others_meanwhile(self, server, what):
        """Other programs open and close the history; the server keeps its hold."""
        check(holds_shared_lock(server.pid, self.history), "%s: the server holds its lock on the history" % what)
        r = self.cli("history", "--format", "csv")
        check(r.returncode == 0, "%s: history lists meanwhile" % what)
        check(os.path.exists(self.history + "-wal") and os.path.exists(self.history + "-shm"),
              "%s: the write-ahead log and its index are still beside the history" % what)
        check(not removed_files_open(server.pid), "%s: the server has no removed file open %s"
              % (what, removed_files_open(server.pid)))
        check(holds_shared_lock(server.pid, self.history), "%s: the lock is held afterwards too" % what)


def serve_with_others(args, work):
    history = os.path.join(work, "calls.sqlite3")
    house = Household(args, work, history)
    check(house.download(["ANNA 5550101", "BERT 5550102"], 0), "a first download fills the history")
    err = os.path.join(work, "serve.err")
    serve = subprocess.Popen([args.cli, "--history", history, "serve", "--listen", "127.0.0.1:0"],
                             stdout=subprocess.PIPE, stderr=open(err, "w"), text=True)
    try:
        line = serve.stdout.readline()
        port, token = re.search(r":(\d+)/\?token=([0-9a-f]+)", line).groups()
        pages = Pages(int(port), token)
        pages.calls_shown()
        house.others_meanwhile(serve, "after start")
        names = {}
        for i in range(3):
            number = "555010%d" % (i + 1)
            names[number] = "Name %d" % i
            check(pages.change_name(number, names[number]), "a name is kept through the page (%d)" % i)
            house.others_meanwhile(serve, "after a name set on the page (%d)" % i)
        check(pages.change_name("5550103", "", remove=True), "a name is removed through the page")
        del names["5550103"]
        house.others_meanwhile(serve, "after a name removed on the page")
        r = house.cli("contacts", "set", "5550104", "Console Name")
        check(r.returncode == 0, "contacts set from the console while serve runs")
        names["5550104"] = "Console Name"
        check(house.download(["CARL 5550103", "DORA 5550104"], 10), "a download while serve runs")
        house.others_meanwhile(serve, "after a download beside serve")
        check(pages.change_name("5550102", "Bert Again"), "a name changed after the others")
        names["5550102"] = "Bert Again"
        house.others_meanwhile(serve, "after the last change")
        check(wait_for(lambda: "DORA" in pages.calls_shown(), 10), "the pages show the other program's calls")
    finally:
        serve.send_signal(signal.SIGTERM)
        serve.wait(timeout=20)
    db = sqlite3.connect("file:%s?mode=ro" % history, uri=True)
    check(db.execute("PRAGMA integrity_check").fetchone()[0] == "ok", "SQLite finds the history sound")
    texts = sorted(bytes(t).decode("latin-1") for (t,) in db.execute("SELECT text FROM records WHERE damaged = 0"))
    check(texts == sorted(["ANNA 5550101", "BERT 5550102", "CARL 5550103", "DORA 5550104"]),
          "every call is kept once: %s" % texts)
    kept = dict(db.execute("SELECT number, name FROM contacts"))
    check(kept == names, "every name written by anyone is kept: %s" % kept)
    db.close()


def watcher_with_others(args, work):
    """watch --http: a name changed on its pages, then the console beside it."""
    tree = os.path.join(work, "tree")
    for sub in ["sys/class/tty", "sys/bus/usb/devices", "dev"]:
        os.makedirs(os.path.join(tree, sub))
    history = os.path.join(work, "watched.sqlite3")
    house = Household(args, work, history)
    log = os.path.join(work, "watch.log")
    write_log(log, ["ERIC 5550105"], 20)
    sim = subprocess.Popen([args.devsim, "--sysfs-root", tree + "/sys", "--dev-root", tree + "/dev", "--log", log,
                            "--fast"], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    with open(os.path.join(work, "watch.conf"), "w") as conf:
        conf.write('http = "127.0.0.1:0"\n')
    err = os.path.join(work, "watch.err")
    env = dict(os.environ, DIALSCOPE_SYSFS_ROOT=tree + "/sys", DIALSCOPE_DEV_ROOT=tree + "/dev")
    watch = subprocess.Popen([args.cli, "--history", history, "watch", "--config", os.path.join(work, "watch.conf")],
                             env=env, stdout=subprocess.DEVNULL, stderr=open(err, "w"))
    try:
        check(wait_for(lambda: "token=" in open(err).read(), 10), "the watcher says its pages' address")
        port, token = re.search(r":(\d+)/\?token=([0-9a-f]+)", open(err).read()).groups()
        pages = Pages(int(port), token)
        check(wait_for(lambda: "ERIC" in pages.calls_shown(), 20), "the watcher downloads the box")
        check(pages.change_name("5550105", "Eric"), "a name is kept through the watcher's page")
        house.others_meanwhile(watch, "watch --http after a name set")
        check(house.cli("contacts", "set", "5550106", "Fay").returncode == 0, "contacts set beside the watcher")
        house.others_meanwhile(watch, "watch --http after contacts set")
    finally:
        watch.send_signal(signal.SIGTERM)
        watch.wait(timeout=20)
        sim.terminate()
        sim.wait(timeout=10)
    db = sqlite3.connect("file:%s?mode=ro" % history, uri=True)
    check(db.execute("PRAGMA integrity_check").fetchone()[0] == "ok", "SQLite finds the watcher's history sound")
    check(dict(db.execute("SELECT number, name FROM contacts")) == {"5550105": "Eric", "5550106": "Fay"},
          "both names are kept beside the watcher")
    db.close()


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--cli", required=True)
    p.add_argument("--devsim", required=True)
    args = p.parse_args()
    with tempfile.TemporaryDirectory(prefix="dialscope-shared-") as work:
        os.makedirs(os.path.join(work, "serve"))
        os.makedirs(os.path.join(work, "watch"))
        serve_with_others(args, os.path.join(work, "serve"))
        watcher_with_others(args, os.path.join(work, "watch"))
    print("%d passed, %d failed" % (len(passes), len(failures)))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
