#!/usr/bin/env python3
"""The whole household on one history, as people use it, with kills.

Processes that share one call history, all at once:
  - `watch` downloading from a simulated box (its own fake sysfs tree), with
    `--mqtt` and `--exec`;
  - `serve` on the same history, its pages read and names set through HTTP;
  - `download` from a simulated adapter of its own, `history`, `history
    --check`, `history --prune`, `contacts set` and `contacts import` from
    other processes;
and beside them a second `serve --collect` with a history of its own, taking
in two remote watchers (each with its own box and history) through a real
Mosquitto on a free port. At random moments (seeded) any of them is killed
with SIGKILL and started again.

At intervals: serve's lock on the history's inode is still in /proc/locks,
its -wal and -shm still exist, no descriptor of serve's is "(deleted)".

At the end, after one more clean download from every box: every history
passes PRAGMA integrity_check; every call a box was told to send is kept
unmarked exactly once (judged against the simulators' call logs, which this
script writes, never against what the program says); every name set by
anyone is there or was replaced by a later one; each of the watcher's calls
was seen at least once on the broker and by the --exec command. stdout
lines lost to a SIGKILL are counted and printed.

  soak_household.py --cli CLI --devsim DEVSIM [--duration S] [--seed N] [--keep]

Prints `RESULT <name> <value> <unit> <goal>` lines; exits 1 when a goal is
missed.
"""
import argparse
import concurrent.futures
import datetime
import http.client
import json
import os
import random
import re
import shutil
import signal
import socket
import sqlite3
import subprocess
import sys
import tempfile
import threading
import time
import urllib.parse

T0 = time.monotonic()
LOG_LOCK = threading.Lock()


def now():
    return time.monotonic() - T0


def say(*words):
    with LOG_LOCK:
        print("[%7.2f] %s" % (now(), " ".join(str(w) for w in words)), flush=True)


def free_port():
    s = socket.socket()
    s.bind(("127.0.0.1", 0))
    port = s.getsockname()[1]
    s.close()
    return port


def wait_for(predicate, seconds, step=0.05):
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        if predicate():
            return True
        time.sleep(step)
    return predicate()


def read(path):
    try:
        with open(path, "rb") as f:
            return f.read().decode("utf-8", "replace")
    except OSError:
        return ""


# ------------------------------------------------------------------ the boxes

class Box:
    """A caller-identification box: its memory only grows, so that a last
    clean download brings every call it was ever given. Each call's text is
    unique (its box's tag and a serial number) and starts with a number of
    the names' pool, so names apply to calls."""

    def __init__(self, work, tag, numbers, rng):
        self.work, self.tag, self.numbers, self.rng = work, tag, numbers, rng
        self.records = []   # (log line, text)
        self.serial = 0

    def add(self, n):
        today = datetime.date.today()
        for _ in range(n):
            self.serial += 1
            text = "%s %s-%06d" % (self.rng.choice(self.numbers), self.tag, self.serial)
            minute = self.serial % (24 * 60)
            line = "record %d %s %02d %02d %02d %02d %02d %s" % (
                self.serial % 4, "ABCD"[self.serial % 4], today.month, today.day, today.year % 100,
                minute // 60, minute % 60, text)
            self.records.append((line, text))

    def texts(self):
        return [t for _, t in self.records]

    def write_log(self, path):
        with open(path, "w") as f:
            f.write("label 0 HOME\nlabel 1 OFFICE\nlabel 2 FAX\nlabel 3 KIDS\n")
            for line, _ in self.records:
                f.write(line + "\n")


class PluggedBox:
    """A box behind an adapter in a fake sysfs tree of its own: a watcher
    sees it come and go. Each replug is a new simulator with the box's
    memory as it is now."""

    def __init__(self, args, work, box):
        self.args, self.box = args, box
        self.dir = os.path.join(work, "box-" + box.tag)
        for sub in ["sys/class/tty", "sys/bus/usb/devices", "dev"]:
            os.makedirs(os.path.join(self.dir, sub), exist_ok=True)
        self.sim = None
        self.plugs = 0
        self.lock = threading.Lock()

    def env(self):
        return dict(os.environ, DIALSCOPE_SYSFS_ROOT=os.path.join(self.dir, "sys"),
                    DIALSCOPE_DEV_ROOT=os.path.join(self.dir, "dev"))

    def replug(self):
        with self.lock:
            self._stop()
            self.plugs += 1
            log = os.path.join(self.dir, "log-%d.txt" % self.plugs)
            self.box.write_log(log)
            out = open(os.path.join(self.dir, "sim-%d.out" % self.plugs), "w")
            self.sim = subprocess.Popen(
                [self.args.devsim, "--sysfs-root", os.path.join(self.dir, "sys"), "--dev-root",
                 os.path.join(self.dir, "dev"), "--stdin-control", "--fast", "--log", log, "--start-unplugged"],
                stdin=subprocess.PIPE, stdout=out, stderr=subprocess.DEVNULL)
            out.close()
            self._say("plug")

    def _say(self, line):
        try:
            self.sim.stdin.write((line + "\n").encode())
            self.sim.stdin.flush()
        except OSError:
            pass

    def _stop(self):
        if self.sim is None:
            return
        self._say("unplug")
        self._say("quit")
        try:
            self.sim.stdin.close()
        except OSError:
            pass
        try:
            self.sim.wait(timeout=10)
        except subprocess.TimeoutExpired:
            self.sim.kill()
            self.sim.wait()
        self.sim = None

    def stop(self):
        with self.lock:
            self._stop()


# -------------------------------------------------------- long-lived processes

class Daemon:
    """A program that runs all along (a watcher, a serve): started, killed
    with SIGKILL, started again. Each run's stdout and stderr go to a file of
    their own, so what a killed run printed stays readable."""

    def __init__(self, name, argv, work, env=None):
        self.name, self.argv, self.env = name, argv, env or dict(os.environ)
        self.dir = os.path.join(work, "run-" + name)
        os.makedirs(self.dir, exist_ok=True)
        self.proc = None
        self.runs = 0
        self.kills = 0
        self.restart_at = None
        self.exits = []   # (run, status) of runs that ended by themselves or on SIGTERM
        self.ended_by_itself = 0
        self.on_finding = None
        self.lock = threading.Lock()

    def out(self, run=None):
        return os.path.join(self.dir, "%d.out" % (run or self.runs))

    def err(self, run=None):
        return os.path.join(self.dir, "%d.err" % (run or self.runs))

    def start(self):
        with self.lock:
            self.runs += 1
            with open(self.out(), "w") as o, open(self.err(), "w") as e:
                self.proc = subprocess.Popen(self.argv, stdout=o, stderr=e, stdin=subprocess.DEVNULL,
                                             env=self.env)
            self.restart_at = None
            self.started = now()

    def alive(self):
        return self.proc is not None and self.proc.poll() is None

    def kill9(self, restart_after):
        with self.lock:
            if not self.alive():
                return False
            self.proc.kill()
            self.proc.wait()
            self.kills += 1
            self.restart_at = now() + restart_after
            return True

    def tick(self):
        if self.proc is not None and self.proc.poll() is not None and self.restart_at is None:
            # Ended by itself: a finding, and started again.
            self.exits.append((self.runs, self.proc.returncode))
            self.ended_by_itself += 1
            if self.on_finding:
                self.on_finding("%s ended by itself with status %s: %s" % (
                    self.name, self.proc.returncode, (read(self.out()) + read(self.err())).strip()[-400:]))
            self.restart_at = now() + 1.0
        if self.restart_at is not None and now() >= self.restart_at:
            self.start()

    def stop(self):
        with self.lock:
            if not self.alive():
                return None
            self.proc.send_signal(signal.SIGTERM)
            try:
                status = self.proc.wait(timeout=30)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                status = "hung (killed)"
            self.exits.append((self.runs, status))
            return status

    def all_out(self):
        return [read(self.out(r)) for r in range(1, self.runs + 1)]


class NotServing(Exception):
    """Nothing was sent: the serve is not (yet) answering."""


class Pages:
    """A serve's pages as a browser holds them: the token swapped for a
    cookie, the names page's token for changes."""

    def __init__(self, daemon):
        self.daemon = daemon
        self.run = None
        self.port = None
        self.cookie = None
        self.csrf = None
        self.lock = threading.Lock()

    def _connect(self):
        run = self.daemon.runs
        if self.run == run and self.cookie:
            return True
        m = re.search(r"(http://127\.0\.0\.1:(\d+)/\S*)", read(self.daemon.out(run)))
        if not m:
            return False
        self.port = int(m.group(2))
        query = urllib.parse.urlparse(m.group(1)).query
        status, headers, _ = self._request("/?" + query if query else "/")
        self.cookie = (headers.get("Set-Cookie") or "").split(";")[0] or None
        if query and not self.cookie:
            return False
        self.run, self.csrf = run, None
        return True

    def _request(self, path, form=None, timeout=40):
        c = http.client.HTTPConnection("127.0.0.1", self.port, timeout=timeout)
        headers = {"Host": "127.0.0.1:%d" % self.port}
        if self.cookie:
            headers["Cookie"] = self.cookie
        try:
            if form is not None:
                headers["Content-Type"] = "application/x-www-form-urlencoded"
                c.request("POST", path, body=urllib.parse.urlencode(form), headers=headers)
            else:
                c.request("GET", path, headers=headers)
            r = c.getresponse()
            return r.status, dict(r.getheaders()), r.read()
        finally:
            c.close()

    def ready(self):
        with self.lock:
            try:
                return self._connect()
            except OSError:
                return False

    def get(self, path):
        with self.lock:
            try:
                if not self._connect():
                    raise NotServing()
            except OSError:
                raise NotServing()
        return self._request(path)

    def set_name(self, number, name):
        """True: kept (303); False: refused; raises when the answer is unknown."""
        with self.lock:
            try:
                if not self._connect():
                    raise NotServing()
                if self.csrf is None:
                    _, _, body = self._request("/names")
                    m = re.search(rb'name="csrf" value="([0-9a-f]+)"', body)
                    if not m:
                        raise NotServing()
                    self.csrf = m.group(1).decode()
            except (OSError, http.client.HTTPException):
                raise NotServing()
            csrf = self.csrf
        status, headers, body = self._request("/names", {"number": number, "name": name, "csrf": csrf})
        if status == 303 and headers.get("Location", "").startswith("/names"):
            return True  # kept: back to the list
        if status == 403:
            with self.lock:
                self.csrf = None  # a serve started since: a new token
        return False


# ------------------------------------------------------------- the lock check

def lock_check(daemon, history):
    """What the issue asks after each write: serve's lock on the history's
    inode, its -wal and -shm, and no deleted file among its descriptors.
    Returns the list of what is wrong (empty: sound), or None when the
    process changed under the look."""
    proc = daemon.proc
    if proc is None or proc.poll() is not None:
        return None
    pid = proc.pid
    problems = []
    try:
        inode = os.stat(history).st_ino
    except OSError as e:
        return ["the history is gone: %s" % e]
    held = False
    for line in read("/proc/locks").splitlines():
        f = line.split()
        # "1: POSIX  ADVISORY  READ 1234 08:01:5678 128 128" (a "->" for a waiter)
        if "->" in f:
            continue
        if len(f) >= 6 and f[4] == str(pid) and f[5].split(":")[-1] == str(inode):
            held = True
    if not held:
        problems.append("no lock of pid %d on the history's inode %d in /proc/locks" % (pid, inode))
    for suffix in ["-wal", "-shm"]:
        if not os.path.exists(history + suffix):
            problems.append("the history's %s is gone" % suffix)
    try:
        for fd in os.listdir("/proc/%d/fd" % pid):
            try:
                target = os.readlink("/proc/%d/fd/%s" % (pid, fd))
            except OSError:
                continue
            # Only the history's files: a watcher keeps its port open after
            # the adapter (and its /dev entry) went away.
            if target.endswith(" (deleted)") and target.startswith(history):
                problems.append("descriptor %s is %s" % (fd, target))
    except OSError:
        return None
    if proc.poll() is not None or proc is not daemon.proc:
        return None
    return problems


# ------------------------------------------------------------------ the soak

class Soak:
    def __init__(self, args):
        self.args = args
        self.rng = random.Random(args.seed)
        self.work = tempfile.mkdtemp(prefix="dialscope-household-")
        self.history = os.path.join(self.work, "calls.sqlite3")
        self.collected = os.path.join(self.work, "collected.sqlite3")
        self.numbers = ["0301234%03d" % i for i in range(24)]
        self.ops = {}
        # Re-entrant: a finding is said from inside what holds it.
        self.op_lock = threading.RLock()
        self.names = []       # (number, name, start, end, outcome: ok | failed | unknown, by)
        self.findings = []    # what went wrong during the run, in words
        self.check_failures = 0
        self.lock_checks = 0
        self.lock_losses = {}  # daemon name -> count
        self.first_loss = {}
        self.loss_kinds = {}   # "serve: no lock" -> count
        self.page_errors = 0
        self.unseen = 0
        self.command_failures = 0
        self.download_runs = {"completed": 0, "killed": 0, "failed": 0}
        self.killed_downloads = []   # (pty, began, killed, lines printed), wall clock
        self.last_ops = []
        self.full_prunes = 0
        self.kill_order = []
        self.pool = concurrent.futures.ThreadPoolExecutor(max_workers=4)
        self.pending = []

    # ----------------------------------------------------------- bookkeeping
    def count(self, op):
        with self.op_lock:
            self.ops[op] = self.ops.get(op, 0) + 1
            self.last_ops.append("%.2f %s" % (now(), op))
            del self.last_ops[:-8]

    def finding(self, words):
        with self.op_lock:
            self.findings.append("%.2f s: %s" % (now(), words))
        say("FINDING", words)

    def failed_command(self, words):
        with self.op_lock:
            self.command_failures += 1
        self.finding(words)

    def cli(self, *words):
        return [self.args.cli, "--history", self.history] + list(words)

    def run_transient(self, name, argv, kill_after=None, stdin=None, env=None):
        """One short-lived program; killed with SIGKILL after kill_after
        seconds when given. Returns (status or None when killed, stdout, stderr)."""
        p = subprocess.Popen(argv, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                             stdin=subprocess.DEVNULL if stdin is None else subprocess.PIPE, env=env)
        try:
            out, err = p.communicate(input=stdin, timeout=kill_after if kill_after is not None else 120)
            return p.returncode, out, err
        except subprocess.TimeoutExpired:
            p.kill()
            out, err = p.communicate()
            if kill_after is None:
                self.finding("%s hung for 120 s" % name)
            return None, out, err

    # ----------------------------------------------------------------- setup
    def start(self):
        a = self.args
        say("work folder", self.work)
        # The broker.
        self.broker_port = free_port()
        bdir = os.path.join(self.work, "broker")
        os.makedirs(bdir)
        with open(os.path.join(bdir, "mosquitto.conf"), "w") as f:
            if os.geteuid() == 0:
                f.write("user root\n")
            f.write("persistence true\npersistence_location %s/\nallow_anonymous true\n"
                    "max_queued_messages 100000\nlistener %d 127.0.0.1\n" % (bdir, self.broker_port))
        self.broker = subprocess.Popen(["/usr/sbin/mosquitto", "-c", os.path.join(bdir, "mosquitto.conf")],
                                       stdout=open(os.path.join(bdir, "log"), "w"), stderr=subprocess.STDOUT)

        def accepts():
            try:
                socket.create_connection(("127.0.0.1", self.broker_port), timeout=1).close()
                return True
            except OSError:
                return False
        if not wait_for(accepts, 10):
            raise RuntimeError("the broker did not start: " + read(os.path.join(bdir, "log")))
        # Everything the watchers publish, as a home-automation hub would hear it.
        self.sub_file = os.path.join(self.work, "mqtt.txt")
        self.sub = subprocess.Popen(["mosquitto_sub", "-h", "127.0.0.1", "-p", str(self.broker_port), "-q", "1",
                                     "-t", "house/#", "-t", "remote/#", "-t", "probe", "-F", "%t %p"],
                                    stdout=open(self.sub_file, "w"), stderr=subprocess.DEVNULL)

        def subscribed():
            subprocess.run(["mosquitto_pub", "-h", "127.0.0.1", "-p", str(self.broker_port), "-t", "probe",
                            "-m", "probe"], timeout=10)
            return "probe probe" in read(self.sub_file)
        if not wait_for(subscribed, 10, 0.2):
            raise RuntimeError("mosquitto_sub did not subscribe")

        # The boxes: this house's (the watcher's), the one `download` reads, two remote ones.
        self.home = PluggedBox(a, self.work, Box(self.work, "H", self.numbers, self.rng))
        self.dlbox = Box(self.work, "D", self.numbers, self.rng)
        self.remotes = {name: PluggedBox(a, self.work, Box(self.work, tag, self.numbers, self.rng))
                        for name, tag in [("kitchen", "K"), ("hall", "L")]}
        for pb in [self.home] + list(self.remotes.values()):
            pb.box.add(3)
            pb.replug()
        self.dlbox.add(3)

        # The watcher's command: the call's JSON line on stdin, appended in one write.
        self.exec_file = os.path.join(self.work, "exec.out")
        script = os.path.join(self.work, "on-call.sh")
        with open(script, "w") as f:
            f.write('#!/bin/sh\nline=$(cat)\nprintf \'%%s\\n\' "$line" >> %s\n' % self.exec_file)
        mqtt = "mqtt://127.0.0.1:%d/" % self.broker_port
        self.watcher = Daemon("watcher", self.cli("watch", "--mqtt", mqtt + "house", "--instance-id", "home",
                                                   "--exec", "/bin/sh " + script), self.work, self.home.env())
        self.remote_watchers = {
            name: Daemon("watcher-" + name,
                         [a.cli, "--history", os.path.join(self.work, name + ".sqlite3"), "watch", "--mqtt",
                          mqtt + "remote", "--instance-id", name], self.work, pb.env())
            for name, pb in self.remotes.items()}
        empty_sys = os.path.join(self.work, "empty-sys")
        os.makedirs(empty_sys)
        quiet = dict(os.environ, DIALSCOPE_SYSFS_ROOT=empty_sys)
        self.serve = Daemon("serve", self.cli("serve", "--listen", "127.0.0.1:0"), self.work, quiet)
        self.collector = Daemon("collector", [a.cli, "--history", self.collected, "serve", "--listen",
                                              "127.0.0.1:0", "--collect", mqtt + "remote"], self.work, quiet)
        self.daemons = [self.watcher, self.serve, self.collector] + list(self.remote_watchers.values())
        for d in self.daemons:
            d.on_finding = self.finding
        for d in self.daemons:
            d.start()
        self.pages = Pages(self.serve)
        self.collector_pages = Pages(self.collector)
        # All start at once on new files, as at a machine's start: one that
        # refuses is said (a finding) and started again.
        def up():
            for d in self.daemons:
                d.tick()
            return self.pages.ready() and self.collector_pages.ready()
        if not wait_for(up, 30, 0.2):
            raise RuntimeError("serve did not start: %s %s" % (read(self.serve.err()), read(self.collector.err())))

    # ------------------------------------------------------------ operations
    def op_home_calls(self):
        self.home.box.add(self.rng.randint(1, 3))
        self.home.replug()

    def op_remote_calls(self):
        pb = self.remotes[self.rng.choice(sorted(self.remotes))]
        pb.box.add(self.rng.randint(1, 3))
        pb.replug()

    def op_download(self, kill_after=None):
        self.dlbox.add(self.rng.randint(0, 2))
        n = self.dlbox.serial
        log = os.path.join(self.work, "dl-%d-%d.txt" % (n, self.ops.get("download", 0)))
        self.dlbox.write_log(log)
        sent = len(self.dlbox.records)

        def job():
            sim_out = log + ".sim"
            with open(sim_out, "w") as o:
                sim = subprocess.Popen([self.args.devsim, "--log", log, "--fast", "--exit-after-downloads", "1"],
                                       stdout=o, stderr=subprocess.DEVNULL)
            try:
                pty = None

                def found():
                    nonlocal pty
                    m = re.search(r"^pty (\S+)", read(sim_out), re.M)
                    pty = m.group(1) if m else None
                    return pty is not None
                if not wait_for(found, 10):
                    self.finding("the simulator for a download printed no pty")
                    return
                began = time.time()
                status, out, err = self.run_transient("download", self.cli("download", "--port", pty, "--format",
                                                                           "json", "--timeout", "60"), kill_after)
                lines = [l for l in out.decode("utf-8", "replace").splitlines() if l.startswith("{")]
                with self.op_lock:
                    if status is None:
                        self.download_runs["killed"] += 1
                        # What it had kept is in its download's row: judged at the end.
                        self.killed_downloads.append((pty, began, time.time(), len(lines)))
                    elif status == 0:
                        self.download_runs["completed"] += 1
                        if len(lines) != sent:
                            self.finding("a download that ended well printed %d lines for %d calls" %
                                         (len(lines), sent))
                    else:
                        self.download_runs["failed"] += 1
                        if status != 7 or b"pending" not in err:
                            self.failed_command("download exit %s: %s" % (status, err.decode(errors="replace").strip()))
            finally:
                if sim.poll() is None:
                    sim.kill()
                sim.wait()
        return job

    def other(self):
        """Now and then the collector's history: another process opening and
        closing a connection beside serve --collect."""
        return self.collected if self.rng.random() < 0.25 else self.history

    def op_history(self, kill_after=None):
        history = self.other()

        def job():
            status, out, err = self.run_transient("history", [self.args.cli, "--history", history, "history",
                                                              "--format", "json", "--damaged"], kill_after)
            if status not in (None, 0):
                self.check_failures += 1
                self.finding("history exit %s: %s" % (status, err.decode(errors="replace").strip()[:300]))
        return job

    def op_check(self, kill_after=None):
        history = self.other()

        def job():
            status, out, err = self.run_transient("check", [self.args.cli, "--history", history, "history",
                                                            "--check"], kill_after)
            if status not in (None, 0):
                self.check_failures += 1
                self.finding("history --check exit %s: %s" % (status, (out + err).decode(errors="replace")
                                                              .strip()[:300]))
        return job

    def op_prune(self, kill_after=None):
        # Mostly a prune that finds nothing to remove (the transaction all the
        # same); now and then one that removes every call, which the boxes'
        # last downloads bring back.
        everything = self.rng.random() < self.args.full_prune_share
        day = datetime.date.today() + datetime.timedelta(days=1 if everything else -1)
        if everything:
            self.full_prunes += 1

        def job():
            status, out, err = self.run_transient("prune", self.cli("history", "--prune", "--before",
                                                                    day.isoformat()), kill_after)
            if status not in (None, 0):
                self.failed_command("history --prune --before %s exit %s: %s" % (day, status, err.decode(
                    errors="replace").strip()[:300]))
        return job

    def record_name(self, number, name, start, outcome, by):
        with self.op_lock:
            self.names.append((number, name, start, now(), outcome, by))

    def op_contacts_set(self, kill_after=None):
        number = self.rng.choice(self.numbers)
        name = "Set %d" % sum(self.ops.values())

        def job():
            start = now()
            status, out, err = self.run_transient("contacts set", self.cli("contacts", "set", number, name),
                                                  kill_after)
            outcome = "unknown" if status is None else "ok" if status == 0 else "failed"
            if outcome == "failed":
                self.failed_command("contacts set exit %s: %s" % (status, err.decode(errors="replace").strip()[:300]))
            self.record_name(number, name, start, outcome, "contacts set")
        return job

    def op_contacts_import(self, kill_after=None):
        serial = sum(self.ops.values())
        picked = self.rng.sample(self.numbers, self.rng.randint(1, 4))
        cards = [(n, "Imported %d-%d" % (serial, i)) for i, n in enumerate(picked)]
        path = os.path.join(self.work, "import-%d.vcf" % serial)
        with open(path, "w") as f:
            for n, name in cards:
                f.write("BEGIN:VCARD\r\nVERSION:3.0\r\nFN:%s\r\nTEL;TYPE=HOME:%s\r\nEND:VCARD\r\n" % (name, n))

        def job():
            start = now()
            status, out, err = self.run_transient("contacts import", self.cli("contacts", "import", path),
                                                  kill_after)
            outcome = "unknown" if status is None else "ok" if status == 0 else "failed"
            if outcome == "failed":
                self.failed_command("contacts import exit %s: %s" % (status, err.decode(errors="replace").strip()[:300]))
            for n, name in cards:
                self.record_name(n, name, start, outcome, "contacts import")
        return job

    def op_page(self):
        pages = self.collector_pages if self.rng.random() < 0.3 else self.pages
        path = self.rng.choice(["/", "/api/calls?limit=200", "/names", "/overview", "/export.csv",
                                "/export.json", "/?q=H-00", "/caller?n=" + self.rng.choice(self.numbers)])

        def job():
            try:
                status, _, body = pages.get(path)
                if status != 200:
                    with self.op_lock:
                        self.page_errors += 1
                    self.finding("%s %s answered %d: %s" % (pages.daemon.name, path, status,
                                                            re.sub(r"\s+", " ", re.sub(r"<[^>]*>", " ", body.decode(
                                                                "utf-8", "replace"))).strip()[:300]))
            except (NotServing, OSError, http.client.HTTPException):
                pass  # serve killed meanwhile
        return job

    def op_page_name(self):
        number = self.rng.choice(self.numbers)
        name = "Page %d" % sum(self.ops.values())

        def job():
            start = now()
            try:
                outcome = "ok" if self.pages.set_name(number, name) else "failed"
            except NotServing:
                return
            except (OSError, http.client.HTTPException):
                outcome = "unknown"   # sent, or not, to a serve that was killed
            self.record_name(number, name, start, outcome, "names page")
        return job

    def op_kill(self):
        # Each in turn, in an order of chance: a short run kills every one.
        if not self.kill_order:
            self.kill_order = list(self.daemons)
            self.rng.shuffle(self.kill_order)
        d = self.kill_order.pop()
        if d.kill9(self.rng.uniform(0.2, 3.0)):
            say("killed", d.name)

    # ------------------------------------------------------------------ run
    def check_locks(self):
        for d, history in [(self.serve, self.history), (self.collector, self.collected),
                           (self.watcher, self.history)]:
            if d.restart_at is not None or not d.alive() or now() - d.started < 2.0:
                continue
            if d is not self.watcher and not (self.pages if d is self.serve else self.collector_pages).ready():
                continue
            problems = lock_check(d, history)
            if problems is None:
                continue
            self.lock_checks += 1
            if problems:
                self.lock_losses[d.name] = self.lock_losses.get(d.name, 0) + 1
                for p in problems:
                    kind = "%s: %s" % (d.name, re.sub(r"\d+", "N", p.replace(self.work, "")))
                    self.loss_kinds[kind] = self.loss_kinds.get(kind, 0) + 1
                if d.name not in self.first_loss:
                    self.first_loss[d.name] = "%.2f s, %s's run %d: %s; the operations before: %s" % (
                        now(), d.name, d.runs, "; ".join(problems), ", ".join(self.last_ops))
                    self.finding("%s lost its hold on its history: %s" % (d.name, "; ".join(problems)))

    def chaos(self):
        a = self.args
        weights = [("home calls", 10), ("remote calls", 8), ("download", 8), ("history", 6), ("check", 3),
                   ("prune", 2), ("contacts set", 6), ("contacts import", 3), ("page", 14), ("page name", 8),
                   ("kill", 5)]
        names = [w[0] for w in weights]
        cum = [w[1] for w in weights]
        end = now() + a.duration
        next_lock_check = now()
        next_report = now() + 60
        while now() < end:
            op = self.rng.choices(names, cum)[0]
            # Any short-lived program may be killed at a random moment too.
            kill_after = self.rng.uniform(0.05, 1.5) if self.rng.random() < 0.2 else None
            self.count(op)
            if op == "home calls":
                self.op_home_calls()
            elif op == "remote calls":
                self.op_remote_calls()
            elif op == "kill":
                self.op_kill()
            else:
                job = {"download": lambda: self.op_download(kill_after),
                       "history": lambda: self.op_history(kill_after),
                       "check": lambda: self.op_check(kill_after),
                       "prune": lambda: self.op_prune(kill_after),
                       "contacts set": lambda: self.op_contacts_set(kill_after),
                       "contacts import": lambda: self.op_contacts_import(kill_after),
                       "page": self.op_page, "page name": self.op_page_name}[op]()
                self.pending = [f for f in self.pending if not f.done()]
                if len(self.pending) < 6:
                    self.pending.append(self.pool.submit(self.guard, op, job))
            pause = self.rng.uniform(0.05, a.pause * 2)
            until = now() + pause
            while now() < until:
                for d in self.daemons:
                    d.tick()
                if now() >= next_lock_check:
                    self.check_locks()
                    next_lock_check = now() + 0.5
                time.sleep(0.02)
            if now() >= next_report:
                next_report += 60
                say("operations so far: %d; findings %d" % (sum(self.ops.values()), len(self.findings)))

    def guard(self, op, job):
        try:
            job()
        except Exception as e:  # the soak's own fault: said, never hidden
            self.finding("the soak's %s failed: %r" % (op, e))

    # ---------------------------------------------------------------- finish
    def listed(self, history):
        """The texts `history --format json` lists as calls (unmarked)."""
        r = subprocess.run([self.args.cli, "--history", history, "history", "--format", "json"],
                           capture_output=True, timeout=120)
        texts = []
        for line in r.stdout.decode("utf-8", "replace").splitlines():
            try:
                c = json.loads(line)
            except ValueError:
                continue
            if not c.get("damaged"):
                texts.append(c.get("text"))
        return texts

    def settle(self):
        """The last clean downloads, every program running."""
        say("settling: every program running, one more clean download from every box")
        concurrent.futures.wait(self.pending, timeout=180)
        for d in self.daemons:
            if not d.alive():
                d.restart_at = now()
                d.tick()
        wait_for(lambda: self.pages.ready() and self.collector_pages.ready(), 20, 0.2)
        self.home.replug()
        for pb in self.remotes.values():
            pb.replug()
        self.op_download()()
        want_shared = set(self.home.box.texts()) | set(self.dlbox.texts())
        want_collected = set()
        for pb in self.remotes.values():
            want_collected |= set(pb.box.texts())
        limit = self.args.settle
        # What another process sees while the writers run: the same as the
        # file holds once they have ended (judged then).
        self.unseen = 0
        for what, history, want in [("shared", self.history, want_shared),
                                    ("collector's", self.collected, want_collected)]:
            seen = set()

            def complete():
                nonlocal seen
                seen = set(self.listed(history))
                return want <= seen
            if wait_for(complete, limit, 1.0):
                say("the %s history lists every call" % what)
            else:
                self.unseen += len(want - seen)
                self.finding("after %.0f s `history` on the %s history, its writers running, still misses %d calls,"
                             " e.g. %s" % (limit, what, len(want - seen), sorted(want - seen)[:5]))
        home = set(self.home.box.texts())
        wait_for(lambda: home <= self.mqtt_seen("house/home/call") and home <= self.exec_seen(), limit, 1.0)
        self.check_locks()

    def mqtt_seen(self, topic):
        seen = set()
        for line in read(self.sub_file).splitlines():
            t, _, payload = line.partition(" ")
            if t == topic:
                try:
                    seen.add(json.loads(payload).get("text"))
                except ValueError:
                    pass
        return seen

    def ids_reused(self):
        """Ids the watcher handed on (broker and command) that named two
        different calls: a command that skips a repeat by its id would skip
        a new call."""
        texts = {}
        lines = [line.partition(" ")[2] for line in read(self.sub_file).splitlines()
                 if line.startswith("house/home/call ")] + read(self.exec_file).splitlines()
        for line in lines:
            try:
                c = json.loads(line)
            except ValueError:
                continue
            texts.setdefault(c.get("id"), set()).add(c.get("text"))
        return {i: sorted(t) for i, t in texts.items() if len(t) > 1}

    def exec_seen(self):
        seen = set()
        for line in read(self.exec_file).splitlines():
            try:
                seen.add(json.loads(line).get("text"))
            except ValueError:
                pass
        return seen

    def stop(self):
        for d in self.daemons:
            status = d.stop()
            if status not in (None, 0):
                self.finding("%s ended on SIGTERM with status %s: %s" % (d.name, status, read(d.err()).strip()[-300:]))
        for pb in [self.home] + list(self.remotes.values()):
            pb.stop()
        self.pool.shutdown(wait=True)
        for p in [self.sub, self.broker]:
            p.terminate()
            try:
                p.wait(timeout=10)
            except subprocess.TimeoutExpired:
                p.kill()

    def judge(self):
        results = []

        def result(name, value, unit, goal):
            results.append((name, value, unit, goal))

        bad_dbs = 0
        rows = {}
        downloads = []
        contacts = {}
        files = [("shared", self.history), ("collected", self.collected)] + \
                [(n, os.path.join(self.work, n + ".sqlite3")) for n in sorted(self.remotes)]
        for what, path in files:
            try:
                db = sqlite3.connect(path)
                check = [r[0] for r in db.execute("PRAGMA integrity_check")]
                rows[what] = db.execute("SELECT text, damaged, instance FROM records").fetchall()
                if what == "shared":
                    contacts = dict(db.execute("SELECT number, name FROM contacts"))
                    downloads = db.execute("SELECT port, started_at, records FROM downloads").fetchall()
                db.close()
            except sqlite3.Error as e:
                check = ["cannot be read: %s" % e]
                rows.setdefault(what, [])
            if check != ["ok"]:
                bad_dbs += 1
                self.finding("PRAGMA integrity_check of the %s history: %s" % (what, "; ".join(check[:5])))
        result("household_histories_damaged", bad_dbs, "histories", "<=0")

        def calls_against(what, rows, want, instance_of):
            kept = {}
            unknown = 0
            for text, damaged, instance in rows:
                if damaged:
                    continue
                t = bytes(text).decode("latin-1")
                if t not in want:
                    unknown += 1
                    continue
                if instance != instance_of(t):
                    unknown += 1
                    continue
                kept[t] = kept.get(t, 0) + 1
            missing = [t for t in want if t not in kept]
            twice = [t for t, n in kept.items() if n > 1]
            if missing:
                self.finding("%s history misses %d calls, e.g. %s" % (what, len(missing), sorted(missing)[:5]))
            if twice:
                self.finding("%s history keeps %d calls more than once, e.g. %s" % (what, len(twice),
                                                                                      sorted(twice)[:5]))
            if unknown:
                self.finding("%s history holds %d unmarked calls no box sent it" % (what, unknown))
            damaged = sum(1 for r in rows if r[1])
            return len(missing), len(twice), unknown, damaged

        want = set(self.home.box.texts()) | set(self.dlbox.texts())
        m, t, u, dmg = calls_against("the shared", rows["shared"], want, lambda t: "")
        result("household_calls_sent", len(want), "calls", "info")
        result("household_calls_missing", m, "calls", "<=0")
        result("household_calls_twice", t, "calls", "<=0")
        result("household_calls_not_sent", u, "calls", "<=0")
        result("household_marked_records", dmg, "records", "info")
        tags = {pb.box.tag: name for name, pb in self.remotes.items()}
        want_c = set()
        for pb in self.remotes.values():
            want_c |= set(pb.box.texts())
        m2, t2, u2, _ = calls_against("the collector's", rows["collected"], want_c,
                                      lambda t: tags.get(t.split(" ")[1].split("-")[0]))
        for name, pb in self.remotes.items():
            m3, t3, u3, _ = calls_against("the %s watcher's" % name, rows[name], set(pb.box.texts()), lambda t: "")
            m2, t2, u2 = m2 + m3, t2 + t3, u2 + u3
        result("household_collected_sent", len(want_c), "calls", "info")
        result("household_collected_missing", m2, "calls", "<=0")
        result("household_collected_twice", t2, "calls", "<=0")
        result("household_collected_not_sent", u2, "calls", "<=0")

        # Names: the last of each number's changes that ended well, or one that
        # overlapped it or came after it (or whose outcome a kill left unknown).
        lost = 0
        by_number = {}
        for n in self.names:
            by_number.setdefault(n[0], []).append(n)
        for number, changes in by_number.items():
            have = contacts.get(number)
            done = [c for c in changes if c[4] == "ok"]
            allowed = {c[1] for c in changes if c[4] in ("ok", "unknown")
                       and not any(o[2] > c[3] for o in done)}
            failed = {c[1] for c in changes if c[4] == "failed"}
            if have in failed:
                lost += 1
                self.finding("the name of %s is %r, from a change that was refused" % (number, have))
            elif (done or have is not None) and have not in allowed:
                lost += 1
                self.finding("the name of %s is %r; it should be one of %s" % (number, have, sorted(allowed)))
        result("household_name_changes", len(self.names), "changes", "info")
        result("household_names_lost", lost, "names", "<=0")

        home = set(self.home.box.texts())
        mqtt_missing = home - self.mqtt_seen("house/home/call")
        exec_missing = home - self.exec_seen()
        if mqtt_missing:
            self.finding("%d of the watcher's calls never reached the broker, e.g. %s" %
                         (len(mqtt_missing), sorted(mqtt_missing)[:5]))
        if exec_missing:
            self.finding("%d of the watcher's calls never reached the command, e.g. %s" %
                         (len(exec_missing), sorted(exec_missing)[:5]))
        result("household_mqtt_missing", len(mqtt_missing), "calls", "<=0")
        result("household_exec_missing", len(exec_missing), "calls", "<=0")
        reused = self.ids_reused()
        if reused:
            self.finding("%d call ids named two different calls, e.g. %s" % (
                len(reused), ["%s: %s" % kv for kv in sorted(reused.items())[:3]]))
        result("household_ids_reused", len(reused), "ids", "<=0")
        remote_seen = self.mqtt_seen("remote/kitchen/call") | self.mqtt_seen("remote/hall/call")
        result("household_remote_mqtt_missing", len(want_c - remote_seen), "calls", "<=0")

        # stdout lines a SIGKILL took: calls a watcher kept that no run of it printed.
        def printed(daemon):
            seen = set()
            for text in daemon.all_out():
                for line in text.splitlines():
                    try:
                        seen.add(json.loads(line).get("text"))
                    except ValueError:
                        pass
            return seen
        lines_lost = len(home - printed(self.watcher))
        for name, d in self.remote_watchers.items():
            lines_lost += len(set(self.remotes[name].box.texts()) - printed(d))
        # A killed `download`: the records its download's row says it kept
        # (each is kept before it is printed), less the lines it printed. A
        # row a prune removed since, or a run killed before it began one,
        # is not counted.
        dl_lost = dl_unknown = 0
        for pty, began, killed, printed_lines in self.killed_downloads:
            match = [r for r in downloads if r[0] == pty and began * 1000 - 2000 <= r[1] <= killed * 1000 + 1000]
            if len(match) == 1:
                dl_lost += max(0, match[0][2] - printed_lines)
            else:
                dl_unknown += 1
        say("stdout lines lost to SIGKILL: %d calls the watchers kept that no run of them printed; %d records "
            "killed `download` runs kept and did not print (%d killed runs, %d of them not counted: no download "
            "row, or a pruned one)" % (lines_lost, dl_lost, self.download_runs["killed"], dl_unknown))
        result("household_watch_lines_lost_to_kill", lines_lost, "lines", "info")
        result("household_download_lines_lost_to_kill", dl_lost, "lines", "info")

        result("household_lock_checks", self.lock_checks, "checks", "info")
        result("household_serve_lock_lost", self.lock_losses.get("serve", 0), "checks", "<=0")
        result("household_collector_lock_lost", self.lock_losses.get("collector", 0), "checks", "<=0")
        result("household_watcher_lock_lost", self.lock_losses.get("watcher", 0), "checks", "<=0")
        result("household_history_check_failures", self.check_failures, "runs", "<=0")
        result("household_command_failures", self.command_failures, "runs", "<=0")
        result("household_programs_ended_by_themselves", sum(d.ended_by_itself for d in self.daemons), "runs", "<=0")
        result("household_page_errors", self.page_errors, "requests", "<=0")
        result("household_calls_unseen_while_running", self.unseen, "calls", "<=0")
        result("household_operations", sum(self.ops.values()), "ops", "info")
        result("household_kills", sum(d.kills for d in self.daemons) + self.download_runs["killed"], "kills", "info")
        return results


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--cli", required=True)
    p.add_argument("--devsim", required=True)
    p.add_argument("--duration", type=float, default=25, help="seconds of operations")
    p.add_argument("--seed", type=int, default=1)
    p.add_argument("--pause", type=float, default=0.25, help="mean seconds between operations")
    p.add_argument("--settle", type=float, default=60, help="seconds the last downloads may take")
    p.add_argument("--full-prune-share", type=float, default=0.1)
    p.add_argument("--keep", action="store_true", help="keep the work folder")
    args = p.parse_args()
    signal.signal(signal.SIGPIPE, signal.SIG_DFL)
    soak = Soak(args)
    results = []
    started = time.monotonic()
    try:
        soak.start()
        soak.chaos()
        soak.settle()
    except Exception as e:
        soak.finding("the soak stopped: %r" % e)
    finally:
        try:
            soak.stop()
        finally:
            results = soak.judge()
    elapsed = time.monotonic() - started
    print()
    print("household soak: %.0f s of operations, %.1f s in all, seed %d" % (args.duration, elapsed, args.seed))
    print("  operations: " + ", ".join("%s %d" % kv for kv in sorted(soak.ops.items())))
    print("  kills: " + ", ".join("%s %d" % (d.name, d.kills) for d in soak.daemons) +
          ", download %d" % soak.download_runs["killed"])
    print("  downloads: %(completed)d completed, %(killed)d killed, %(failed)d failed" % soak.download_runs)
    print("  full prunes %d; lock checks %d" % (soak.full_prunes, soak.lock_checks))
    for name, first in sorted(soak.first_loss.items()):
        print("  first loss of %s's hold: %s" % (name, first))
    for kind, n in sorted(soak.loss_kinds.items()):
        print("  %s: in %d checks" % (kind, n))
    if soak.findings:
        print("  findings (%d):" % len(soak.findings))
        for f in soak.findings[:60]:
            print("    " + f)
        if len(soak.findings) > 60:
            print("    ... and %d more" % (len(soak.findings) - 60))
    failed = bool([f for f in soak.findings if "the soak stopped" in f])
    for name, value, unit, goal in results:
        print("RESULT %s %s %s %s" % (name, value, unit, goal))
        if goal.startswith("<=") and value > float(goal[2:]):
            failed = True
    if failed or args.keep:
        print("  kept for a look: %s" % soak.work)
    else:
        shutil.rmtree(soak.work, ignore_errors=True)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
