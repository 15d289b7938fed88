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
     only forward-secret AEAD suites are taken; every answer says HSTS;
  e) signing out ends the session, and its open live stream; a sign-out
     from another site's page, or without the page's token, is refused;
  f) a certificate that expired, or does not hold the printed name, a key
     of another certificate and a folder are said in plain words, never in
     OpenSSL's codes;
  g) on this machine's address the cookie is a sign-in, not the token, and
     serve --new-token in another process ends it.
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
CODE = re.compile(r"error:[0-9A-Fa-f]{8}")  # how OpenSSL numbers its errors
failures = []


def make_certificate(work, stem, name, expired=False):
    """A self-signed certificate for name (and 127.0.0.1), made with the
    openssl command; expired: its end a day ago (through Python's
    cryptography, as the command cannot date one in the past)."""
    cert, key = os.path.join(work, stem + "-cert.pem"), os.path.join(work, stem + "-key.pem")
    if not expired:
        subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2", "-keyout", key,
                        "-out", cert, "-subj", "/CN=" + name, "-addext",
                        "subjectAltName=DNS:%s,IP:127.0.0.1" % name], check=True, capture_output=True, timeout=60)
        return cert, key
    import datetime
    import ipaddress
    from cryptography import x509
    from cryptography.hazmat.primitives import hashes, serialization
    from cryptography.hazmat.primitives.asymmetric import ec
    k = ec.generate_private_key(ec.SECP256R1())
    subject = x509.Name([x509.NameAttribute(x509.oid.NameOID.COMMON_NAME, name)])
    now = datetime.datetime.now(datetime.timezone.utc)
    c = (x509.CertificateBuilder().subject_name(subject).issuer_name(subject).public_key(k.public_key())
         .serial_number(x509.random_serial_number()).not_valid_before(now - datetime.timedelta(days=30))
         .not_valid_after(now - datetime.timedelta(days=1))
         .add_extension(x509.SubjectAlternativeName([x509.DNSName(name),
                                                      x509.IPAddress(ipaddress.ip_address("192.0.2.7"))]), False)
         .sign(k, hashes.SHA256()))
    with open(cert, "wb") as f:
        f.write(c.public_bytes(serialization.Encoding.PEM))
    with open(key, "wb") as f:
        f.write(k.private_bytes(serialization.Encoding.PEM, serialization.PrivateFormat.PKCS8,
                                serialization.NoEncryption()))
    os.chmod(key, 0o600)
    return cert, key


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
    check(r.returncode != 0 and "no certificate" in r.stderr and not CODE.search(r.stderr),
          "cert and key swapped are said, without OpenSSL's codes (%s)" % r.stderr.strip())
    r = serve("--tls-cert", os.path.dirname(cert), "--tls-key", key)
    check(r.returncode != 0 and "is a folder" in r.stderr, "a folder for the certificate is said (%s)" % r.stderr.strip())
    other_cert, other_key = make_certificate(os.path.dirname(cert), "other", NAME)
    r = serve("--tls-cert", cert, "--tls-key", other_key)
    check(r.returncode != 0 and "does not fit the certificate" in r.stderr and not CODE.search(r.stderr),
          "the key of another certificate is said so (%s)" % r.stderr.strip())
    r = subprocess.run([cli, "passwd", "--help"], capture_output=True, text=True, timeout=30)
    check(r.returncode == 0 and "HISTORY.web-password" in r.stdout and "at least 8 characters" in r.stdout,
          "passwd --help says where the hash is kept and the shortest password")
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
    status, headers, page, _ = client.request("GET", "/", cookie=session)
    check(status == 200 and 'id="calls"' in page, "the calls page with the cookie")
    check(headers.get("Strict-Transport-Security", "").startswith("max-age=31536000"),
          "the TLS address says browsers must keep to it (HSTS: %s)" % headers.get("Strict-Transport-Security"))
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
    # TLS 1.2: only suites that keep past traffic secret (ECDHE) with an
    # authenticated cipher; TLS 1.3 has no others.
    for ciphers, taken in [("AES128-GCM-SHA256", False), ("AES256-SHA256", False), ("ECDHE-RSA-AES128-SHA", False),
                           ("ECDHE-RSA-AES256-SHA384", False), ("ECDHE-RSA-AES128-GCM-SHA256", True),
                           ("ECDHE-RSA-CHACHA20-POLY1305", True)]:
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT)
        context.check_hostname = False
        context.verify_mode = ssl.CERT_NONE
        context.maximum_version = ssl.TLSVersion.TLSv1_2
        context.set_ciphers(ciphers)
        try:
            with socket.create_connection(("127.0.0.1", port), timeout=10) as raw:
                with context.wrap_socket(raw) as tls:
                    got = tls.cipher()[0]
        except (ssl.SSLError, ConnectionError):
            got = None
        check((got == ciphers) == taken, "TLS 1.2 with %s is %s (%s)" % (ciphers, "taken" if taken else "refused", got))
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT)
    context.check_hostname = False
    context.verify_mode = ssl.CERT_NONE
    context.minimum_version = ssl.TLSVersion.TLSv1_3
    with socket.create_connection(("127.0.0.1", port), timeout=10) as raw:
        with context.wrap_socket(raw) as tls:
            check(tls.version() == "TLSv1.3", "TLS 1.3 is taken (%s, %s)" % (tls.version(), tls.cipher()[0]))


def signed_out(client, session):
    """e) Sign out."""
    live = http.client.HTTPSConnection("127.0.0.1", client.port, timeout=10, context=client.context)
    live.request("GET", "/api/live", headers={"Host": "%s:%d" % (NAME, client.port), "Cookie": session})
    stream = live.getresponse()
    check(stream.status == 200, "a live stream opens with the session")
    _, _, page, _ = client.request("GET", "/", cookie=session)
    m = re.search(r'action="/logout"><input type="hidden" name="csrf" value="([0-9a-f]+)"', page)
    check(m is not None, "the Sign out button carries the page's token")
    csrf = m.group(1) if m else ""
    own = "https://%s:%d" % (NAME, client.port)
    for body, origin, what in [("csrf=" + csrf, "https://attacker.example", "from another site's page"),
                               ("", own, "without the page's token"), ("csrf=" + "0" * 40, "null", "with a wrong token")]:
        status, _, _, _ = client.request("POST", "/logout", body=body, cookie=session, origin=origin)
        check(status == 403, "a sign-out %s is refused (%d)" % (what, status))
    status, _, _, _ = client.request("GET", "/", cookie=session)
    check(status == 200, "the refused sign-outs left the session open")
    status, headers, _, _ = client.request("POST", "/logout", body="csrf=" + csrf, cookie=session, origin=own)
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


def expired(cli, history, work):
    """f) A certificate that has expired, served without --name: both are
    said at start, and the overview says the certificate has expired."""
    cert, key = make_certificate(work, "expired", NAME, expired=True)
    serve = subprocess.Popen([cli, "--history", history, "serve", "--listen", "0.0.0.0:0", "--tls-cert", cert,
                              "--tls-key", key], stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        m = re.match(r"The calls are at https://(.+):(\d+)/$", serve.stdout.readline().strip())
        check(m is not None, "serve starts with an expired certificate")
        if not m:
            return
        said = ""
        end = time.monotonic() + 5  # a serve that says nothing fails the test instead of hanging it
        while said.count("\n") < 2 and select.select([serve.stderr], [], [], max(0, end - time.monotonic()))[0]:
            chunk = os.read(serve.stderr.fileno(), 4096).decode(errors="replace")  # past Python's buffer
            if not chunk:
                break
            said += chunk
        check("expired on" in said and not CODE.search(said),
              "the expired certificate is said at start: " + said.strip().replace("\n", " | "))
        check("does not hold the name %s" % m.group(1) in said and "it holds %s, 192.0.2.7" % NAME in said,
              "the printed name the certificate does not hold is said, with the ones it holds")
        client = Client(int(m.group(2)), None)
        client.context = ssl._create_unverified_context()
        host = "%s:%s" % (m.group(1), m.group(2))  # the printed name, which the server answers to
        status, headers, _, _ = client.request("POST", "/login", body="password=" + PASSWORD.replace(" ", "+"),
                                               host=host, origin="https://" + host)
        session = headers.get("Set-Cookie", "").split(";")[0]
        status, _, page, _ = client.request("GET", "/overview", cookie=session, host=host)
        check(status == 200 and re.search(r'id="certificate"><span class="bad">expired on', page) is not None,
              "the overview says the certificate has expired (%d: %s)" % (status, re.sub(r"(?s).*<dl", "", page)[:300]))
    finally:
        serve.terminate()
        serve.wait(timeout=10)


def new_token(cli, history):
    """g) This machine's address: the token opens a sign-in, and serve
    --new-token in another process ends it."""
    def start(*more):
        p = subprocess.Popen([cli, "--history", history, "serve", "--listen", "127.0.0.1:0"] + list(more),
                             stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
        m = re.match(r"The calls are at http://127\.0\.0\.1:(\d+)/\?token=([0-9a-f]{64})$", p.stdout.readline().strip())
        return p, (int(m.group(1)), m.group(2)) if m else (0, "")

    def ask(port, path, cookie=None):
        c = http.client.HTTPConnection("127.0.0.1", port, timeout=10)
        c.request("GET", path, headers={"Host": "127.0.0.1:%d" % port, **({"Cookie": cookie} if cookie else {})})
        r = c.getresponse()
        r.read()
        c.close()
        return r.status, r.getheader("Set-Cookie", "").split(";")[0]

    r = subprocess.run([cli, "--history", history, "serve", "--listen", "127.0.0.1:0", "--no-auth", "--new-token"],
                       capture_output=True, text=True, timeout=30)
    check(r.returncode == 2 and "--new-token" in r.stderr, "--new-token with --no-auth is refused (%s)" % r.stderr.strip())
    first, (port, token) = start()
    second = None
    try:
        status, cookie = ask(port, "/?token=" + token)
        check(status == 303 and re.fullmatch(r"dialscope_%d=[0-9a-f]{64}" % port, cookie) is not None and
              token not in cookie, "the token is swapped for a sign-in id, not kept in the cookie")
        status, _ = ask(port, "/", "dialscope_%d=%s" % (port, token))
        check(status == 403, "the token itself is no cookie that signs in")
        check(ask(port, "/", cookie)[0] == 200, "the sign-in opens the pages")
        second, (_, fresh) = start("--new-token")
        check(fresh and fresh != token, "serve --new-token prints a new token")
        end = time.monotonic() + 5
        while ask(port, "/", cookie)[0] == 200 and time.monotonic() < end:
            time.sleep(0.1)
        check(ask(port, "/", cookie)[0] == 403, "the other serve's sign-in ends with the new token")
        check(ask(port, "/?token=" + token)[0] == 403, "the old token opens nothing")
        check(ask(port, "/?token=" + fresh)[0] == 303, "the new token opens the other serve too")
    finally:
        for p in (first, second):
            if p:
                p.terminate()
                p.wait(timeout=10)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--cli", required=True)
    args = ap.parse_args()
    work = tempfile.mkdtemp(prefix="dialscope-tls-")
    serve = None
    try:
        cert, key = make_certificate(work, "serve", NAME)
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
        expired(args.cli, history, work)
        new_token(args.cli, history)
    finally:
        if serve and serve.poll() is None:
            serve.kill()
            serve.wait()
        shutil.rmtree(work, ignore_errors=True)
    print("%d failed" % len(failures) if failures else "all passed")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
