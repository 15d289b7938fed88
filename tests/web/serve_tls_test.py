#!/usr/bin/env python3
"""`dialscope-cli serve` for other machines: TLS and the password.

serve listens on every address (0.0.0.0) with a certificate the test makes
with the openssl command and a name of its own; the test reaches it through
127.0.0.1 with that name in the Host header, as a browser of another machine
would, and checks:
  a) without TLS or without a password serve refuses to start (exit 2), and
     a certificate that cannot be read is said so;
  b) the right password gives a cookie that is __Host-, Secure, HttpOnly and
     SameSite=Strict, and the calls page;
  c) a wrong password is refused and answered later each time, while other
     requests are answered at once;
  d) a Host that is not ours, and plain HTTP to the TLS port, get nothing;
  e) signing out ends the session, and its open live stream.
"""
import argparse
import http.client
import os
import pty
import re
import select
import shutil
import signal
import socket
import ssl
import subprocess
import sys
import tempfile
import threading
import time

NAME = "dialscope.test"
PASSWORD = "correct horse battery"
failures = []


def check(ok, what):
    print(("ok   " if ok else "FAIL ") + what, flush=True)
    if not ok:
        failures.append(what)


class Client:
    def __init__(self, port, cafile):
        self.port = port
        self.context = ssl.create_default_context(cafile=cafile)

    def request(self, method, path, body=None, cookie=None, host=None, origin=None):
        c = http.client.HTTPSConnection("127.0.0.1", self.port, timeout=30, context=self.context)
        headers = {"Host": host or "%s:%d" % (NAME, self.port)}
        if origin:
            headers["Origin"] = origin
        if cookie:
            headers["Cookie"] = cookie
        if body is not None:
            headers["Content-Type"] = "application/x-www-form-urlencoded"
        start = time.monotonic()
        c.request(method, path, body=body, headers=headers)
        r = c.getresponse()
        data = r.read().decode(errors="replace")
        took = time.monotonic() - start
        c.close()
        return r.status, r.headers, data, took

    def login(self, password, next_path="/"):
        from urllib.parse import urlencode
        # As a browser sends its own page's form.
        return self.request("POST", "/login", body=urlencode({"password": password, "next": next_path}),
                            origin="https://%s:%d" % (NAME, self.port))


def passwd_on_terminal(cli, history, first, second):
    """passwd on a real terminal: what it shows, and its exit status."""
    pid, fd = pty.fork()
    if pid == 0:
        os.execv(cli, [cli, "--history", history, "passwd"])
    shown = b""

    def until(word):
        nonlocal shown
        end = time.monotonic() + 20
        while word not in shown and time.monotonic() < end:
            if select.select([fd], [], [], 1)[0]:
                try:
                    chunk = os.read(fd, 1024)
                except OSError:
                    break
                if not chunk:
                    break
                shown += chunk
    until(b"password for the web pages: ")
    os.write(fd, first.encode() + b"\n")
    until(b"again: ")
    os.write(fd, second.encode() + b"\n")
    until(b"\xff")  # to the end
    os.close(fd)
    return os.waitstatus_to_exitcode(os.waitpid(pid, 0)[1]), shown.decode(errors="replace")


def refusals(cli, history, cert, key):
    """a) What serve says when something is missing."""
    def serve(*more):
        return subprocess.run([cli, "--history", history, "serve", "--listen", "0.0.0.0:0"] + list(more),
                              capture_output=True, text=True, timeout=30)
    tls = ["--tls-cert", cert, "--tls-key", key]
    r = serve()
    check(r.returncode == 2 and "--tls-cert" in r.stderr, "no TLS: exit 2 and says so (%s)" % r.stderr.strip())
    r = serve(*tls)
    check(r.returncode == 2 and "passwd" in r.stderr, "no password: exit 2 and says so (%s)" % r.stderr.strip())

    passwd = [cli, "--history", history, "passwd"]
    r = subprocess.run(passwd, input="short\n", capture_output=True, text=True, timeout=30)
    check(r.returncode == 2 and "at least 8" in r.stderr and not os.path.exists(history + ".web-password"),
          "a short password is refused (%s)" % r.stderr.strip())
    code, shown = passwd_on_terminal(cli, history, "one password", "another one")
    check(code == 2 and "differ" in shown and not os.path.exists(history + ".web-password"),
          "passwd on a terminal: two different passwords are refused")
    code, shown = passwd_on_terminal(cli, history, "typed on a terminal", "typed on a terminal")
    check(code == 0 and "typed on" not in shown and os.path.exists(history + ".web-password"),
          "passwd on a terminal: asked twice, not shown (%r)" % shown)
    r = subprocess.run(passwd, input=PASSWORD + "\n", capture_output=True, text=True, timeout=30)
    check(r.returncode == 0, "passwd sets the password (%s)" % r.stderr.strip())
    st = os.stat(history + ".web-password")
    stored = open(history + ".web-password").read()
    check(st.st_mode & 0o777 == 0o600 and stored.startswith("$argon2id$") and PASSWORD not in stored,
          "only its Argon2id hash is kept, 0600 (%o)" % (st.st_mode & 0o777))

    r = serve("--tls-cert", cert + ".missing", "--tls-key", key)
    check(r.returncode != 0 and "cannot be read" in r.stderr, "a missing certificate is said (%s)" % r.stderr.strip())
    r = serve("--tls-cert", key, "--tls-key", cert)
    check(r.returncode != 0 and "no certificate" in r.stderr, "cert and key swapped are said (%s)" % r.stderr.strip())
    r = serve("--no-auth", *tls)
    check(r.returncode == 2, "--no-auth beyond this machine is refused (%s)" % r.stderr.strip())


def signed_in(client, port):
    """b) The right password."""
    status, headers, _, _ = client.request("GET", "/?q=x")
    check(status == 303 and headers["Location"] == "/login?next=%2F%3Fq%3Dx", "without a session: to the sign-in page")
    status, headers, page, _ = client.request("GET", "/login?next=/%3Fq%3Dx")
    check(status == 200 and 'type="password"' in page and "<script" not in page and
          "script-src 'self'" in headers.get("Content-Security-Policy", "") and
          headers.get("Referrer-Policy") == "same-origin",
          "the sign-in page: a form, no script, the policy; its form names its origin")
    status, headers, _, took = client.login(PASSWORD, "/?q=x")
    cookie = headers.get("Set-Cookie", "")
    parts = [p.strip() for p in cookie.split(";")]
    check(status == 303 and headers["Location"] == "/?q=x", "the right password: on to the page asked for")
    check(re.fullmatch(r"__Host-dialscope_%d=[0-9a-f]{64}" % port, parts[0]) is not None and
          {"Path=/", "Secure", "HttpOnly", "SameSite=Strict"} <= set(parts), "the cookie: " + cookie)
    print("     right password answered in %.3f s" % took)
    session = parts[0]
    status, _, page, _ = client.request("GET", "/", cookie=session)
    check(status == 200 and 'id="calls"' in page, "the calls page with the cookie")
    for path in ["/", "/overview", "/names", "/caller?n=5550100"]:
        status, _, page, _ = client.request("GET", path, cookie=session)
        check(status == 200 and 'action="/logout"' in page, "%s offers Sign out" % path)
    return session


def slowed(client, session):
    """c) Wrong passwords, and everyone else meanwhile."""
    for origin in ["https://attacker.example", "null"]:
        status, _, _, took = client.request("POST", "/login", body="password=x", origin=origin)
        check(status == 403 and took < 0.5, "a sign-in form from %s is refused at once" % origin)
    status, _, page, first = client.login("wrong password")
    check(status == 403 and "not the password" in page, "a wrong password is refused")
    quick = []
    second = {}
    t = threading.Thread(target=lambda: second.update(zip(("status", "headers", "page", "took"),
                                                          client.login("another wrong one"))))
    t.start()
    while t.is_alive():
        status, _, _, took = client.request("GET", "/api/calls", cookie=session)
        quick.append(took if status == 200 else 99)
    t.join()
    check(second.get("status") == 403, "a second wrong password is refused")
    print("     wrong passwords answered in %.3f s, then %.3f s" % (first, second.get("took", 0)))
    check(first >= 1.0 and second.get("took", 0) >= 2.0, "each wrong password is answered later")
    check(len(quick) >= 3 and max(quick) < 0.5,
          "other requests are answered at once meanwhile (%d, slowest %.3f s)" % (len(quick), max(quick or [99])))
    status, headers, _, took = client.login(PASSWORD)
    check(status == 303 and "Set-Cookie" in headers, "then the right one still signs in (%.3f s)" % took)


def refused(client, session, port):
    """d) Not our name; not TLS."""
    status, _, page, _ = client.request("GET", "/", cookie=session, host="attacker.example:%d" % port)
    check(status == 421 and 'id="calls"' not in page and NAME not in page, "a Host that is not ours is refused")
    s = socket.create_connection(("127.0.0.1", port), timeout=10)
    s.sendall(("GET / HTTP/1.1\r\nHost: %s:%d\r\nCookie: %s\r\n\r\n" % (NAME, port, session)).encode())
    answer = b""
    while True:
        chunk = s.recv(4096)
        if not chunk:
            break
        answer += chunk
    s.close()
    text = answer.decode(errors="replace")
    check(text.startswith("HTTP/1.1 400") and "https://" in text and "calls" not in text and
          "Set-Cookie" not in text, "plain HTTP to the TLS port: only a word to use https")


def signed_out(client, session):
    """e) Sign out."""
    live = http.client.HTTPSConnection("127.0.0.1", client.port, timeout=10, context=client.context)
    live.request("GET", "/api/live", headers={"Host": "%s:%d" % (NAME, client.port), "Cookie": session})
    stream = live.getresponse()
    check(stream.status == 200, "a live stream opens with the session")
    status, headers, _, _ = client.request("POST", "/logout", body="", cookie=session)
    check(status == 303 and headers["Location"] == "/login" and "Max-Age=0" in headers.get("Set-Cookie", ""),
          "signing out clears the cookie")
    status, _, _, _ = client.request("GET", "/", cookie=session)
    check(status == 303, "the session is over after signing out")
    start = time.monotonic()
    try:
        while stream.fp.readline():
            pass
        ended = time.monotonic() - start
    except (TimeoutError, socket.timeout):
        ended = None
    live.close()
    check(ended is not None and ended < 3, "its live stream ends with it (%s s)" % ended)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--cli", required=True)
    args = ap.parse_args()
    work = tempfile.mkdtemp(prefix="dialscope-tls-")
    serve = None
    try:
        cert, key = os.path.join(work, "cert.pem"), os.path.join(work, "key.pem")
        subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2", "-keyout", key,
                        "-out", cert, "-subj", "/CN=" + NAME, "-addext",
                        "subjectAltName=DNS:%s,IP:127.0.0.1" % NAME], check=True, capture_output=True, timeout=60)
        history = os.path.join(work, "calls.sqlite3")
        refusals(args.cli, history, cert, key)

        serve = subprocess.Popen([args.cli, "--history", history, "serve", "--listen", "0.0.0.0:0", "--tls-cert", cert,
                                  "--tls-key", key, "--name", NAME], stdout=subprocess.PIPE, text=True)
        line = serve.stdout.readline()
        m = re.match(r"The calls are at https://%s:(\d+)/$" % re.escape(NAME), line.strip())
        check(m is not None, "serve says where: " + line.strip())
        if not m:
            return 1
        port = int(m.group(1))
        client = Client(port, cert)
        session = signed_in(client, port)
        slowed(client, session)
        refused(client, session, port)
        signed_out(client, session)
        serve.send_signal(signal.SIGTERM)
        check(serve.wait(timeout=10) == 0, "serve ends on SIGTERM")
    finally:
        if serve and serve.poll() is None:
            serve.kill()
            serve.wait()
        shutil.rmtree(work, ignore_errors=True)
    print("%d failed" % len(failures) if failures else "all passed")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
