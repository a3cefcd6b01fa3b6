#!/usr/bin/env python3
"""Local test servers for QorDownloader: nginx, tinyproxy and a fault server.

Everything listens on 127.0.0.1 on a free port, keeps its files in a private
temporary folder and goes away when stopped. Standard library only.

Python API (context managers):

    from servers import Nginx, Tinyproxy, FaultServer

    with Nginx(root="/tmp/repo", rate="200k", auth=("user", "pw")) as web:
        web.url                     # "http://127.0.0.1:<port>" ("https://" with tls=True,
                                    # a fresh self-signed certificate in web.certificate)
        web.access_log              # one line per request (method, uri, status,
                                    # Range, If-Range, bytes sent, connection number)
    Nginx(root, tls=True, ca_dir=make_ca(folder), cert_host="127.0.0.1", cert_days=2)
                                    # https with a certificate issued by a test CA for
                                    # cert_host (an IP or a DNS name); cert_days -1 gives
                                    # an expired one; http2=True offers HTTP/2 (ALPN)
    Nginx(root, redirect_to="https://127.0.0.1:8443")
                                    # every request answered 302 to that base + its URI
                                    # ("{self}" stands for the server's own base URL)
    with Tinyproxy(user="u", password="p") as proxy:
        proxy.url                   # "http://127.0.0.1:<port>"
        proxy.log_text()            # what went through it
    with FaultServer(root="/tmp/repo") as faults:
        faults.add_rule({"path": "/a/b.bin", "kind": "drop", "after": 1000, "times": 1})
        faults.requests()           # list of dicts (method, path, range, if_range,
                                    # authorization, proxy_authorization, body)

    with RequestRecorder(web.port) as recorder:   # in front of any of them
        recorder.url                # the address for the client
        recorder.requests()         # [RecordedRequest]: .line, .headers, .body,
                                    # .text(strip=("User-Agent",)) for whole-request checks
    RequestRecorder(faults.port, tls=(cert, key))  # https for the client (recorder.url),
                                    # plain to the server behind: records what TLS hides

Command line (runs in the foreground until SIGTERM/SIGINT; prints one line
"PORT <n>" on stdout once the server accepts connections, and writes the port
to --port-file, atomically, if given):

    servers.py nginx --root DIR [--rate 200k] [--user U --password P] [--tls] [--port-file F]
                     [--ca-dir DIR [--cert-host H] [--cert-days N]] [--redirect-to URL]
                     [--access-log F] [--http2]
    servers.py make-ca --dir DIR      (a test certificate authority: DIR/ca.pem, DIR/ca.key)
    servers.py tinyproxy --user U --password P [--connect-port N]... [--log F] [--port-file F]
    servers.py faults --root DIR [--rule JSON]... [--rules-file F] [--multirange]
                      [--requests-log F] [--port-file F]

Fault server rules (JSON objects; the first matching rule with tries left wins):

    path      exact request path, or a prefix when it ends with "*"
    kind      "drop"   send the headers of the normal answer and `after` bytes
                       of its body, then close the connection
              "stall"  wait `seconds` before answering; with `after`, send the
                       headers and `after` body bytes first, wait, then close
              "status" answer `code` (503, 429, 404, 401, 500, ...) with an
                       optional `retry_after` header value
              "body"   answer 200 with `content` (text) instead of the file
              "auth"   require HTTP basic `user`/`password` (401 otherwise)
              "noranges"  answer 200 with the whole file whatever Range says
              "badranges" answer 206 without Content-Range or multipart body
              "otherranges"  answer a request with Range by a 206 of bytes it did
                       not ask for (a stretch of the file outside every asked
                       range, as long as the first one); without Range as usual
              "drip"   send the headers of the normal answer (ranges included),
                       then `bytes` body bytes (default 1) every `interval`
                       seconds (default 0.1) until the body is done
    times     how many requests the rule applies to (absent: all of them)

Without a matching rule the fault server serves files of --root like a static
server: GET/HEAD with ETag, Last-Modified, single byte ranges and If-Range
(a request for several ranges gets the whole file, as from a server that
serves one range only; with --multirange it gets a multipart/byteranges
answer instead, which "drop" can cut like any body);
POST is accepted (204) and its body recorded. Rules can be replaced while it
runs with "POST /_ctl/rules" (a JSON list) and the seen requests read with
"GET /_ctl/requests"; control requests are not recorded. With --requests-log
every request is also appended as one JSON line to that file.
"""

import argparse
import base64
import contextlib
import ctypes
import email.utils
import hashlib
import http.server
import json
import os
import shutil
import signal
import socket
import socketserver
import subprocess
import sys
import tempfile
import threading
import time

NGINX_BINARY = "/usr/sbin/nginx"
TINYPROXY_BINARY = "/usr/bin/tinyproxy"
VARNISHD_BINARY = "/usr/sbin/varnishd"
START_TIMEOUT_S = 10.0


def free_port():
    """A TCP port on 127.0.0.1 that nobody listens on right now."""
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def _die_with_parent():
    # Children must not outlive a test that was killed hard.
    try:
        libc = ctypes.CDLL("libc.so.6", use_errno=True)
        PR_SET_PDEATHSIG = 1
        libc.prctl(PR_SET_PDEATHSIG, signal.SIGTERM)
    except OSError:
        pass


def _wait_listening(port, proc, what):
    deadline = time.monotonic() + START_TIMEOUT_S
    while time.monotonic() < deadline:
        if proc is not None and proc.poll() is not None:
            raise RuntimeError("%s exited at start with code %s" % (what, proc.returncode))
        with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
            s.settimeout(0.2)
            if s.connect_ex(("127.0.0.1", port)) == 0:
                return
        time.sleep(0.05)
    raise RuntimeError("%s did not listen on port %d" % (what, port))


class _ManagedProcess:
    """A server binary run in the foreground from a private folder."""

    name = "server"

    def __init__(self):
        self.workdir = tempfile.mkdtemp(prefix="qor-%s-" % self.name)
        self.port = None
        self.proc = None

    @property
    def url(self):
        return "http://127.0.0.1:%d" % self.port

    def _command(self):
        raise NotImplementedError

    def _write_config(self):
        raise NotImplementedError

    def start(self):
        last_error = None
        for _ in range(5):  # another process may grab the port in between
            self.port = free_port()
            self._write_config()
            stderr = open(os.path.join(self.workdir, "stderr.log"), "wb")
            try:
                self.proc = subprocess.Popen(self._command(), stdin=subprocess.DEVNULL,
                                             stdout=stderr, stderr=stderr,
                                             preexec_fn=_die_with_parent)
            finally:
                stderr.close()
            try:
                _wait_listening(self.port, self.proc, self.name)
                return self
            except RuntimeError as error:
                last_error = error
                self._kill()
        raise RuntimeError("%s: %s\n%s" % (self.name, last_error, self.stderr_text()))

    def stderr_text(self):
        try:
            with open(os.path.join(self.workdir, "stderr.log"), "r", errors="replace") as f:
                return f.read()
        except OSError:
            return ""

    def _kill(self):
        if self.proc is not None and self.proc.poll() is None:
            self.proc.terminate()
            try:
                self.proc.wait(timeout=5)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        self.proc = None

    def stop(self, keep_files=False):
        self._kill()
        if not keep_files:
            shutil.rmtree(self.workdir, ignore_errors=True)

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()
        return False


def make_ca(folder):
    """A certificate authority for tests in folder (ca.pem, ca.key); kept if present."""
    os.makedirs(folder, exist_ok=True)
    cert = os.path.join(folder, "ca.pem")
    if not os.path.exists(cert):
        subprocess.run(["openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt",
                        "ec_paramgen_curve:P-256", "-nodes", "-days", "2", "-subj",
                        "/CN=QorDownloader test CA", "-keyout", os.path.join(folder, "ca.key"),
                        "-out", cert], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                       check=True)
    return folder


def issue_certificate(ca_folder, out_folder, host, days):
    """A server certificate for host (IP or DNS name) signed by the CA in ca_folder;
    days may be negative for one that has already expired. Returns (cert, key)."""
    key = os.path.join(out_folder, "server.key")
    csr = os.path.join(out_folder, "server.csr")
    cert = os.path.join(out_folder, "server.pem")
    ext = os.path.join(out_folder, "server.ext")
    is_ip = all(part.isdigit() for part in host.split(".")) and host.count(".") == 3
    with open(ext, "w") as f:
        f.write("subjectAltName=%s:%s\n" % ("IP" if is_ip else "DNS", host))
    quiet = {"stdout": subprocess.DEVNULL, "stderr": subprocess.DEVNULL, "check": True}
    subprocess.run(["openssl", "req", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256",
                    "-nodes", "-subj", "/CN=%s" % host, "-keyout", key, "-out", csr], **quiet)
    subprocess.run(["openssl", "x509", "-req", "-in", csr, "-CA",
                    os.path.join(ca_folder, "ca.pem"), "-CAkey", os.path.join(ca_folder, "ca.key"),
                    "-CAcreateserial", "-CAserial", os.path.join(out_folder, "ca.srl"),
                    "-days", str(days), "-extfile", ext, "-out", cert], **quiet)
    return cert, key


class Nginx(_ManagedProcess):
    """nginx serving `root` read-only; ranges and ETag are nginx defaults."""

    name = "nginx"

    def __init__(self, root, rate=None, auth=None, tls=False, ca_dir=None,
                 cert_host="127.0.0.1", cert_days=2, redirect_to=None, access_log=None,
                 http2=False):
        super().__init__()
        self.http2 = http2
        self.root = os.path.abspath(root)
        self.rate = rate
        self.auth = auth
        self.tls = tls or ca_dir is not None
        self.ca_dir = ca_dir
        self.cert_host = cert_host
        self.cert_days = cert_days
        self.redirect_to = redirect_to
        self.access_log = os.path.abspath(access_log or os.path.join(self.workdir, "access.log"))
        self.certificate = os.path.join(self.workdir, "cert.pem")
        self._key = os.path.join(self.workdir, "key.pem")

    @property
    def url(self):
        return "%s://127.0.0.1:%d" % ("https" if self.tls else "http", self.port)

    def _make_certificate(self):
        if os.path.exists(self.certificate):
            return
        if self.ca_dir is not None:
            cert, key = issue_certificate(self.ca_dir, self.workdir, self.cert_host,
                                          self.cert_days)
            os.replace(cert, self.certificate)
            os.replace(key, self._key)
            return
        subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2",
                        "-subj", "/CN=127.0.0.1", "-addext", "subjectAltName=IP:127.0.0.1",
                        "-keyout", self._key, "-out", self.certificate],
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=True)

    def _write_config(self):
        w = self.workdir
        for sub in ("body", "proxy", "fastcgi", "uwsgi", "scgi"):
            os.makedirs(os.path.join(w, sub), exist_ok=True)
        location = []
        if self.redirect_to:
            target = self.redirect_to.replace("{self}", self.url)
            location.append("return 302 %s$request_uri;" % target)
        if self.rate:
            location.append("limit_rate %s;" % self.rate)
        if self.auth:
            htpasswd = os.path.join(w, "htpasswd")
            with open(htpasswd, "w") as f:
                f.write("%s:{PLAIN}%s\n" % (self.auth[0], self.auth[1]))
            location.append('auth_basic "Orvane updates";')
            location.append("auth_basic_user_file %s;" % htpasswd)
        user = "user root;" if os.geteuid() == 0 else ""
        listen = "listen 127.0.0.1:%d;" % self.port
        if self.tls:
            self._make_certificate()
            listen = ("listen 127.0.0.1:%d ssl%s;\n        ssl_certificate %s;\n"
                      "        ssl_certificate_key %s;" % (self.port, " http2" if self.http2 else "",
                                                           self.certificate, self._key))
        config = """
%(user)s
daemon off;
master_process off;
worker_processes 1;
pid %(w)s/nginx.pid;
error_log %(w)s/error.log warn;
events { worker_connections 256; }
http {
    default_type application/octet-stream;
    sendfile on;
    tcp_nopush on;
    keepalive_timeout 30;
    client_body_temp_path %(w)s/body;
    proxy_temp_path %(w)s/proxy;
    fastcgi_temp_path %(w)s/fastcgi;
    uwsgi_temp_path %(w)s/uwsgi;
    scgi_temp_path %(w)s/scgi;
    log_format qor '$request_method $uri $status range="$http_range" '
                   'if_range="$http_if_range" auth="$http_authorization" sent=$body_bytes_sent '
                   'conn=$connection';
    access_log %(access_log)s qor;
    server {
        %(listen)s
        server_name localhost;
        root %(root)s;
        location / {
            %(location)s
        }
    }
}
""" % {"user": user, "w": w, "listen": listen, "root": self.root, "access_log": self.access_log,
       "location": "\n            ".join(location)}
        with open(os.path.join(w, "nginx.conf"), "w") as f:
            f.write(config)

    def _command(self):
        return [NGINX_BINARY, "-p", self.workdir, "-e", os.path.join(self.workdir, "error.log"),
                "-c", os.path.join(self.workdir, "nginx.conf")]

    def access_lines(self):
        try:
            with open(self.access_log, "r", errors="replace") as f:
                return f.read().splitlines()
        except OSError:
            return []


class Tinyproxy(_ManagedProcess):
    """tinyproxy with BasicAuth, allowing 127.0.0.1 only, logging to a file."""

    name = "tinyproxy"

    def __init__(self, user=None, password=None, connect_ports=(), log_file=None):
        super().__init__()
        self.user = user
        self.password = password
        self.connect_ports = list(connect_ports)
        self.log_file = log_file or os.path.join(self.workdir, "tinyproxy.log")

    def _write_config(self):
        lines = [
            "Port %d" % self.port,
            "Listen 127.0.0.1",
            "Timeout 120",
            "MaxClients 64",
            "Allow 127.0.0.1",
            "LogFile \"%s\"" % self.log_file,
            "LogLevel Info",
            "DisableViaHeader Yes",
        ]
        if os.geteuid() == 0:
            lines += ["User root", "Group root"]
        if self.user is not None:
            lines.append("BasicAuth %s %s" % (self.user, self.password or ""))
        for port in self.connect_ports:
            lines.append("ConnectPort %d" % port)
        with open(os.path.join(self.workdir, "tinyproxy.conf"), "w") as f:
            f.write("\n".join(lines) + "\n")

    def _command(self):
        return [TINYPROXY_BINARY, "-d", "-c", os.path.join(self.workdir, "tinyproxy.conf")]

    def log_text(self):
        try:
            with open(self.log_file, "r", errors="replace") as f:
                return f.read()
        except OSError:
            return ""


class Varnish(_ManagedProcess):
    """Varnish in front of `backend_port` as a CDN stand-in, with the cache
    rules pelvane/README.md gives: channel.qor kept `channel_ttl` seconds and
    then revalidated with the origin, everything else kept for a year."""

    name = "varnish"

    def __init__(self, backend_port, channel_ttl=1):
        super().__init__()
        self.backend_port = backend_port
        self.channel_ttl = channel_ttl

    def _write_config(self):
        vcl = """vcl 4.1;
backend origin { .host = "127.0.0.1"; .port = "%d"; }
sub vcl_backend_response {
    if (bereq.url ~ "/channel\\.qor$") {
        set beresp.ttl = %ds;
        set beresp.grace = 0s;
        set beresp.keep = 1h;
    } else {
        set beresp.ttl = 365d;
    }
}
sub vcl_deliver {
    if (obj.hits > 0) { set resp.http.X-Cache = "hit"; } else { set resp.http.X-Cache = "miss"; }
}
""" % (self.backend_port, self.channel_ttl)
        with open(os.path.join(self.workdir, "cache.vcl"), "w") as f:
            f.write(vcl)

    def _command(self):
        command = [VARNISHD_BINARY, "-F", "-n", os.path.join(self.workdir, "state"),
                   "-a", "127.0.0.1:%d" % self.port, "-f", os.path.join(self.workdir, "cache.vcl"),
                   "-s", "malloc,32m"]
        if os.geteuid() == 0:
            command[2:2] = ["-j", "none"]
        return command


# ---------------------------------------------------------------------------
# Request recorder


class RecordedRequest:
    """One request as the client sent it: the request line, the header lines
    in their order and spelling, and the body."""

    def __init__(self, line, headers, body=b""):
        self.line = line
        self.headers = headers  # [(name, value)], as sent
        self.body = body

    def header(self, name):
        for key, value in self.headers:
            if key.lower() == name.lower():
                return value
        return None

    def text(self, strip=("User-Agent",), replace=()):
        """The whole request as text, curl-test style: the request line, the
        headers but those named in `strip` (any case), a blank line, the body.
        `replace` holds (old, new) pairs applied to the result, for the parts
        that change from run to run (ports, dates)."""
        stripped = {name.lower() for name in strip}
        lines = [self.line] + ["%s: %s" % (k, v) for k, v in self.headers
                               if k.lower() not in stripped]
        text = "\r\n".join(lines) + "\r\n\r\n" + self.body.decode("utf-8", "replace")
        for old, new in replace:
            text = text.replace(old, new)
        return text


class RequestRecorder:
    """A TCP relay in front of a server (nginx, tinyproxy, the fault server)
    that records every request head and body the client sends, byte-exact,
    and passes everything on unchanged. After a CONNECT the tunnel is relayed
    without looking into it.

        with RequestRecorder(web.port) as recorder:
            recorder.url            # point the client here
            recorder.requests()     # [RecordedRequest]
    """

    def __init__(self, upstream_port, upstream_host="127.0.0.1", tls=None):
        self.upstream = (upstream_host, upstream_port)
        self._tls = None
        if tls is not None:
            import ssl
            self._tls = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
            self._tls.load_cert_chain(tls[0], tls[1])
        self.port = None
        self._listener = None
        self._thread = None
        self._lock = threading.Lock()
        self._requests = []
        self._stopping = threading.Event()

    @property
    def url(self):
        return "%s://127.0.0.1:%d" % ("https" if self._tls else "http", self.port)

    def requests(self):
        with self._lock:
            return list(self._requests)

    def clear(self):
        with self._lock:
            self._requests = []

    def start(self):
        self._listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self._listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self._listener.bind(("127.0.0.1", 0))
        self._listener.listen(64)
        self._listener.settimeout(0.2)
        self.port = self._listener.getsockname()[1]
        self._thread = threading.Thread(target=self._accept_loop, daemon=True)
        self._thread.start()
        return self

    def stop(self):
        self._stopping.set()
        if self._thread is not None:
            self._thread.join(timeout=5)
        if self._listener is not None:
            self._listener.close()
            self._listener = None

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()
        return False

    def _accept_loop(self):
        while not self._stopping.is_set():
            try:
                client, _ = self._listener.accept()
            except socket.timeout:
                continue
            except OSError:
                return
            threading.Thread(target=self._serve_client, args=(client,), daemon=True).start()

    def _serve_client(self, client):
        if self._tls is not None:
            try:
                client.settimeout(START_TIMEOUT_S)
                client = self._tls.wrap_socket(client, server_side=True)
                client.settimeout(None)
            except OSError:
                client.close()
                return
        self._serve(client)

    @staticmethod
    def _pump(source, sink):
        try:
            while True:
                data = source.recv(65536)
                if not data:
                    break
                sink.sendall(data)
        except OSError:
            pass
        finally:
            with contextlib.suppress(OSError):
                sink.shutdown(socket.SHUT_WR)

    def _serve(self, client):
        try:
            upstream = socket.create_connection(self.upstream, timeout=START_TIMEOUT_S)
        except OSError:
            client.close()
            return
        upstream.settimeout(None)
        back = threading.Thread(target=self._pump, args=(upstream, client), daemon=True)
        back.start()
        buffered = b""
        try:
            while True:
                while b"\r\n\r\n" not in buffered:
                    data = client.recv(65536)
                    if not data:
                        return
                    buffered += data
                head, buffered = buffered.split(b"\r\n\r\n", 1)
                lines = head.decode("latin-1").split("\r\n")
                headers = []
                for raw in lines[1:]:
                    name, _, value = raw.partition(":")
                    headers.append((name, value.strip()))
                request = RecordedRequest(lines[0], headers)
                length = int(request.header("Content-Length") or 0)
                while len(buffered) < length:
                    data = client.recv(65536)
                    if not data:
                        break
                    buffered += data
                request.body, buffered = buffered[:length], buffered[length:]
                with self._lock:
                    self._requests.append(request)
                upstream.sendall(head + b"\r\n\r\n" + request.body)
                if lines[0].upper().startswith("CONNECT "):
                    if buffered:
                        upstream.sendall(buffered)
                    self._pump(client, upstream)
                    return
        except OSError:
            pass
        finally:
            with contextlib.suppress(OSError):
                upstream.shutdown(socket.SHUT_WR)
            back.join(timeout=START_TIMEOUT_S)
            client.close()
            upstream.close()


# ---------------------------------------------------------------------------
# Fault server


class _RuleBook:
    def __init__(self, rules=()):
        self._lock = threading.Lock()
        self._rules = []
        self.replace(rules)

    def replace(self, rules):
        with self._lock:
            self._rules = [dict(r) for r in rules]

    def add(self, rule):
        with self._lock:
            self._rules.append(dict(rule))

    def take(self, path):
        """The first matching rule with tries left; uses one try."""
        with self._lock:
            for rule in self._rules:
                pattern = rule.get("path", "*")
                if pattern.endswith("*"):
                    hit = path.startswith(pattern[:-1])
                else:
                    hit = path == pattern
                if not hit:
                    continue
                times = rule.get("times")
                if times is not None:
                    if times <= 0:
                        continue
                    rule["times"] = times - 1
                return dict(rule)
        return None


class _FaultHandler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    server_version = "QorFaults/1.0"

    def log_message(self, fmt, *args):  # keep test output quiet
        pass

    # -- recording --------------------------------------------------------
    def _record(self, body=b""):
        entry = {
            "method": self.command,
            "path": self.path.split("?", 1)[0],
            "range": self.headers.get("Range"),
            "if_range": self.headers.get("If-Range"),
            "authorization": self.headers.get("Authorization"),
            "proxy_authorization": self.headers.get("Proxy-Authorization"),
            "user_agent": self.headers.get("User-Agent"),
            "body": body.decode("utf-8", "replace"),
            "time": time.time(),
            "request_line": self.requestline,
            "headers": [[name, value] for name, value in self.headers.items()],
        }
        self.server.record(entry)

    # -- plumbing ---------------------------------------------------------
    def _send_simple(self, code, text=b"", extra=None):
        self.send_response(code)
        for key, value in (extra or {}).items():
            self.send_header(key, value)
        self.send_header("Content-Type", "text/plain")
        self.send_header("Content-Length", str(len(text)))
        self.end_headers()
        if self.command != "HEAD":
            self.wfile.write(text)

    def _hard_close(self):
        self.close_connection = True
        try:
            self.wfile.flush()
        except OSError:
            pass
        try:
            # a plain FIN: the client gets every byte sent so far, then sees the
            # body end short of its Content-Length
            self.connection.shutdown(socket.SHUT_RDWR)
        except OSError:
            pass

    def _multirange_answer(self, wanted, data, headers):
        """A multipart/byteranges answer for "a-b,c-d,..." (None if unusable)."""
        ranges = []
        for part in wanted.split(","):
            first, _, last = part.strip().partition("-")
            if not first.isdigit() or (last and not last.isdigit()):
                return None
            start, end = int(first), min(int(last) if last else len(data) - 1, len(data) - 1)
            if start > end:
                return None
            ranges.append((start, end))
        boundary = "QorChunkBoundary%08x" % (hash(wanted) & 0xFFFFFFFF)
        body = b""
        for start, end in ranges:
            body += ("\r\n--%s\r\nContent-Type: application/octet-stream\r\n"
                     "Content-Range: bytes %d-%d/%d\r\n\r\n"
                     % (boundary, start, end, len(data))).encode("ascii")
            body += data[start:end + 1]
        body += ("\r\n--%s--\r\n" % boundary).encode("ascii")
        headers["Content-Type"] = "multipart/byteranges; boundary=%s" % boundary
        return 206, headers, body

    def _file_answer(self, path, ignore_ranges=False):
        """(status, headers, body bytes) of the static answer for `path`."""
        relative = path.lstrip("/")
        full = os.path.realpath(os.path.join(self.server.root, relative))
        if not (full == self.server.root or full.startswith(self.server.root + os.sep)):
            return 404, {}, b"not found\n"
        if not os.path.isfile(full):
            return 404, {}, b"not found\n"
        with open(full, "rb") as f:
            data = f.read()
        stat = os.stat(full)
        etag = '"%x-%x"' % (int(stat.st_mtime), stat.st_size)
        last_modified = email.utils.formatdate(stat.st_mtime, usegmt=True)
        headers = {"ETag": etag, "Last-Modified": last_modified, "Accept-Ranges": "bytes"}
        range_header = self.headers.get("Range")
        if_range = self.headers.get("If-Range")
        if range_header and if_range and if_range not in (etag, last_modified):
            range_header = None
        if ignore_ranges:
            range_header = None
        if range_header and range_header.startswith("bytes="):
            wanted = range_header[len("bytes="):]
            if "," in wanted and self.server.multirange:
                answer = self._multirange_answer(wanted, data, headers)
                if answer is not None:
                    return answer
            if "," not in wanted and "-" in wanted:
                first, last = wanted.split("-", 1)
                try:
                    if first == "":
                        start = max(0, len(data) - int(last))
                        end = len(data) - 1
                    else:
                        start = int(first)
                        end = int(last) if last else len(data) - 1
                        end = min(end, len(data) - 1)
                except ValueError:
                    start, end = 0, -1
                if start >= len(data) or start > end:
                    headers["Content-Range"] = "bytes */%d" % len(data)
                    return 416, headers, b""
                headers["Content-Range"] = "bytes %d-%d/%d" % (start, end, len(data))
                return 206, headers, data[start:end + 1]
        return 200, headers, data

    def _other_range_answer(self, path):
        """A 206 of bytes outside every range asked for (None: serve as usual)."""
        wanted = (self.headers.get("Range") or "")
        status, headers, data = self._file_answer(path, ignore_ranges=True)
        if not wanted.startswith("bytes=") or status != 200:
            return None
        asked = []
        for part in wanted[len("bytes="):].split(","):
            first, _, last = part.strip().partition("-")
            if first.isdigit():
                asked.append((int(first), int(last) if last.isdigit() else len(data) - 1))
        if not asked:
            return None
        length = asked[0][1] - asked[0][0] + 1
        gaps, at = [], 0  # the stretches no asked range covers; the widest one serves
        for first, last in sorted(asked):
            if at < first:
                gaps.append((at, first - 1))
            at = max(at, last + 1)
        if at < len(data):
            gaps.append((at, len(data) - 1))
        if not gaps:
            return None
        start, last = max(gaps, key=lambda gap: gap[1] - gap[0])
        end = min(start + length - 1, last)
        headers["Content-Range"] = "bytes %d-%d/%d" % (start, end, len(data))
        return 206, headers, data[start:end + 1]

    def _send_answer(self, status, headers, body, after=None, stall=0.0, drip=None):
        self.send_response(status)
        for key, value in headers.items():
            self.send_header(key, value)
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        if self.command == "HEAD":
            return
        if drip is not None:
            size, interval = drip
            try:
                for at in range(0, len(body), size):
                    self.wfile.write(body[at:at + size])
                    self.wfile.flush()
                    time.sleep(interval)
            except OSError:
                self.close_connection = True
            return
        if after is None:
            self.wfile.write(body)
            return
        self.wfile.write(body[:after])
        self.wfile.flush()
        if stall:
            time.sleep(stall)
        self._hard_close()

    # -- methods ----------------------------------------------------------
    def _handle(self, body=b""):
        path = self.path.split("?", 1)[0]
        if path.startswith("/_ctl/"):
            return self._control(path, body)
        self._record(body)
        rule = self.server.rules.take(path)
        kind = rule.get("kind") if rule else None
        if kind == "auth":
            expected = "Basic " + base64.b64encode(
                ("%s:%s" % (rule.get("user", ""), rule.get("password", ""))).encode()).decode()
            if self.headers.get("Authorization") != expected:
                return self._send_simple(401, b"authentication required\n",
                                         {"WWW-Authenticate": 'Basic realm="Orvane updates"'})
            kind = None
        if kind == "status":
            extra = {}
            if rule.get("retry_after") is not None:
                extra["Retry-After"] = str(rule["retry_after"])
            if rule.get("code") == 401:
                extra["WWW-Authenticate"] = 'Basic realm="Orvane updates"'
            return self._send_simple(int(rule.get("code", 503)), b"scripted failure\n", extra)
        if kind == "stall" and rule.get("after") is None:
            time.sleep(float(rule.get("seconds", 5)))
            kind = None
        if self.command == "POST":
            return self._send_simple(204)
        if kind == "badranges":
            return self._send_answer(206, {"Content-Type": "application/octet-stream"},
                                     b"these bytes belong to no range\n")
        if kind == "body":
            content = rule.get("content", "").encode("utf-8")
            return self._send_answer(200, {"ETag": '"%s"' % hashlib.sha256(content).hexdigest()[:16]},
                                     content)
        if kind == "otherranges":
            answer = self._other_range_answer(path)
            if answer is not None:
                return self._send_answer(*answer)
        status, headers, data = self._file_answer(path, ignore_ranges=kind == "noranges")
        if status not in (200, 206):
            return self._send_answer(status, headers, data if status != 416 else b"")
        if kind == "drop":
            return self._send_answer(status, headers, data, after=int(rule.get("after", 0)))
        if kind == "drip":
            return self._send_answer(status, headers, data, drip=(
                max(1, int(rule.get("bytes", 1))), float(rule.get("interval", 0.1))))
        if kind == "stall":
            return self._send_answer(status, headers, data, after=int(rule["after"]),
                                     stall=float(rule.get("seconds", 5)))
        return self._send_answer(status, headers, data)

    def _control(self, path, body):
        if path == "/_ctl/rules" and self.command == "POST":
            try:
                rules = json.loads(body.decode("utf-8") or "[]")
                self.server.rules.replace(rules if isinstance(rules, list) else [rules])
            except ValueError:
                return self._send_simple(400, b"bad rules\n")
            return self._send_simple(204)
        if path == "/_ctl/requests":
            text = json.dumps(self.server.requests()).encode("utf-8")
            return self._send_simple(200, text, {"X-Count": str(len(self.server.requests()))})
        return self._send_simple(404, b"unknown control\n")

    def do_GET(self):
        self._handle()

    def do_HEAD(self):
        self._handle()

    def do_POST(self):
        length = int(self.headers.get("Content-Length") or 0)
        body = self.rfile.read(min(length, 1 << 20)) if length > 0 else b""
        self._handle(body)

    def do_PUT(self):
        self.do_POST()


class _FaultHTTPServer(socketserver.ThreadingMixIn, http.server.HTTPServer):
    daemon_threads = True
    allow_reuse_address = True

    def __init__(self, address, root, rules, requests_log, multirange=False):
        super().__init__(address, _FaultHandler)
        self.multirange = multirange
        self.root = os.path.realpath(root)
        self.rules = _RuleBook(rules)
        self._requests = []
        self._lock = threading.Lock()
        self._requests_log = requests_log

    def record(self, entry):
        with self._lock:
            self._requests.append(entry)
            if self._requests_log:
                with open(self._requests_log, "a") as f:
                    f.write(json.dumps(entry) + "\n")

    def requests(self):
        with self._lock:
            return list(self._requests)

    def clear_requests(self):
        with self._lock:
            self._requests = []


class FaultServer:
    """The scriptable fault server, run on a thread of this process."""

    def __init__(self, root, rules=(), requests_log=None, multirange=False):
        self.root = root
        self.multirange = multirange
        self._initial_rules = rules
        self._requests_log = requests_log
        self._server = None
        self._thread = None
        self.port = None

    @property
    def url(self):
        return "http://127.0.0.1:%d" % self.port

    def start(self):
        self._server = _FaultHTTPServer(("127.0.0.1", 0), self.root, self._initial_rules,
                                        self._requests_log, self.multirange)
        self.port = self._server.server_address[1]
        self._thread = threading.Thread(target=self._server.serve_forever,
                                        kwargs={"poll_interval": 0.1}, daemon=True)
        self._thread.start()
        return self

    def stop(self):
        if self._server is not None:
            self._server.shutdown()
            self._server.server_close()
            self._thread.join(timeout=5)
            self._server = None

    def add_rule(self, rule):
        self._server.rules.add(rule)

    def set_rules(self, rules):
        self._server.rules.replace(rules)

    def requests(self):
        return self._server.requests()

    def clear_requests(self):
        self._server.clear_requests()

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()
        return False


# ---------------------------------------------------------------------------
# Command line


def _announce(port, port_file):
    if port_file:
        temporary = port_file + ".tmp"
        with open(temporary, "w") as f:
            f.write("%d\n" % port)
        os.replace(temporary, port_file)
    sys.stdout.write("PORT %d\n" % port)
    sys.stdout.flush()


def _run_until_signalled(server, extra_line=None):
    stop = threading.Event()

    def on_signal(signum, frame):
        stop.set()

    signal.signal(signal.SIGTERM, on_signal)
    signal.signal(signal.SIGINT, on_signal)
    try:
        if extra_line:
            sys.stdout.write(extra_line + "\n")
            sys.stdout.flush()
        while not stop.is_set():
            proc = getattr(server, "proc", None)
            if proc is not None and proc.poll() is not None:
                sys.stderr.write("server exited with code %s\n" % proc.returncode)
                return 1
            stop.wait(0.2)
    finally:
        server.stop()
    return 0


def main(argv=None):
    parser = argparse.ArgumentParser(description="QorDownloader test servers on 127.0.0.1")
    sub = parser.add_subparsers(dest="command", required=True)

    p_nginx = sub.add_parser("nginx", help="static files with ranges, ETag, rate limit, auth")
    p_nginx.add_argument("--root", required=True)
    p_nginx.add_argument("--rate", help="nginx limit_rate, e.g. 200k")
    p_nginx.add_argument("--user")
    p_nginx.add_argument("--password")
    p_nginx.add_argument("--tls", action="store_true", help="https with a self-signed certificate")
    p_nginx.add_argument("--port-file")
    p_nginx.add_argument("--ca-dir", help="https with a certificate from the CA in this folder")
    p_nginx.add_argument("--cert-host", default="127.0.0.1")
    p_nginx.add_argument("--cert-days", type=int, default=2, help="-1: already expired")
    p_nginx.add_argument("--redirect-to", help="answer every request 302 to this base URL")
    p_nginx.add_argument("--access-log", help="write the access log here")
    p_nginx.add_argument("--http2", action="store_true", help="offer HTTP/2 over TLS")

    p_ca = sub.add_parser("make-ca", help="a certificate authority for tests")
    p_ca.add_argument("--dir", required=True)

    p_proxy = sub.add_parser("tinyproxy", help="HTTP proxy with BasicAuth")
    p_proxy.add_argument("--user")
    p_proxy.add_argument("--password")
    p_proxy.add_argument("--connect-port", type=int, action="append", default=[])
    p_proxy.add_argument("--log")
    p_proxy.add_argument("--port-file")

    p_faults = sub.add_parser("faults", help="scriptable fault server")
    p_faults.add_argument("--root", required=True)
    p_faults.add_argument("--rule", action="append", default=[], help="one JSON rule")
    p_faults.add_argument("--rules-file", help="a JSON list of rules")
    p_faults.add_argument("--requests-log", help="append every request as a JSON line")
    p_faults.add_argument("--multirange", action="store_true",
                          help="answer several ranges with multipart/byteranges")
    p_faults.add_argument("--port-file")

    args = parser.parse_args(argv)
    if args.command == "nginx":
        auth = (args.user, args.password or "") if args.user else None
        server = Nginx(args.root, rate=args.rate, auth=auth, tls=args.tls, ca_dir=args.ca_dir,
                       cert_host=args.cert_host, cert_days=args.cert_days,
                       redirect_to=args.redirect_to, access_log=args.access_log,
                       http2=args.http2).start()
        _announce(server.port, args.port_file)
        return _run_until_signalled(server)
    if args.command == "make-ca":
        sys.stdout.write(make_ca(args.dir) + "\n")
        return 0
    if args.command == "tinyproxy":
        server = Tinyproxy(args.user, args.password, args.connect_port, args.log).start()
        _announce(server.port, args.port_file)
        return _run_until_signalled(server, "LOG %s" % server.log_file)
    rules = [json.loads(text) for text in args.rule]
    if args.rules_file:
        with open(args.rules_file) as f:
            rules += json.load(f)
    server = FaultServer(args.root, rules, args.requests_log, args.multirange).start()
    _announce(server.port, args.port_file)
    return _run_until_signalled(server)


if __name__ == "__main__":
    sys.exit(main())
