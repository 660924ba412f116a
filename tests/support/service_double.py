#!/usr/bin/env python3
"""Local HTTPS stand-in for the association's service, for the tests and the demo.

Loopback only. At start it makes a throw-away CA and two server certificates with the openssl
command (one for velantia.localhost / 127.0.0.1, one for a wrong host name), binds 127.0.0.1 and
prints one line "READY port=<n> ca=<path>".

POST /conexion_empresas.asp (multipart upload) answers by --mode:
  ok         page with ERROR=0
  refuse     page with ERROR=<--code>
  noverdict  page without any ERROR=
  delay      waits --delay seconds, then answers as ok
  trickle    answers as ok, a piece at a time over --delay seconds (downloads too)
GET downloads in mode drop announce the whole package, send half of it and close the connection.
GET /conexion_empresas.asp?...&fichero=F serves <--zips>/F.zip (farmacia, encuesta, precio).
GET /__mode?m=<mode>[&code=N][&delay=S] switches the behaviour while running.
--wrong-host serves a certificate for another host name; --untrusted-ca one for the right host
from a CA that the clients are not given.

Every upload is recorded into --record as upload-NNNN.json in arrival order; every download
request as download-NNNN.json. Strings in those files carry raw bytes as Latin-1 code points,
so a reader gets the exact bytes back.
"""

import argparse
import json
import os
import ssl
import subprocess
import sys
import threading
import time
import urllib.parse
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

SERVICE_PATH = "/conexion_empresas.asp"
GOOD_HOST = "velantia.localhost"
WRONG_HOST = "otro-servidor.invalid"
MODES = ("ok", "refuse", "noverdict", "delay", "drop", "trickle")


def run_openssl(args, cwd):
    subprocess.run(["openssl"] + args, cwd=cwd, check=True,
                   stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)


def make_certificates(folder):
    """Test CA plus the right and the wrong server certificate; returns their paths."""
    os.makedirs(folder, exist_ok=True)
    ec = ["-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes"]
    run_openssl(["req", "-x509"] + ec + [
        "-keyout", "ca.key", "-out", "ca.pem", "-days", "3",
        "-subj", "/CN=Velantia test CA",
        "-addext", "basicConstraints=critical,CA:TRUE",
        "-addext", "keyUsage=critical,keyCertSign,cRLSign"], folder)

    def server_cert(stem, cn, san):
        with open(os.path.join(folder, stem + ".ext"), "w") as f:
            f.write("basicConstraints=CA:FALSE\n"
                    "keyUsage=critical,digitalSignature,keyEncipherment\n"
                    "extendedKeyUsage=serverAuth\n"
                    "subjectAltName=" + san + "\n")
        run_openssl(["req"] + ec + ["-keyout", stem + ".key", "-out", stem + ".csr",
                                    "-subj", "/CN=" + cn], folder)
        run_openssl(["x509", "-req", "-in", stem + ".csr", "-CA", "ca.pem", "-CAkey", "ca.key",
                     "-CAcreateserial", "-out", stem + ".pem", "-days", "3",
                     "-extfile", stem + ".ext"], folder)
        return os.path.join(folder, stem + ".pem"), os.path.join(folder, stem + ".key")

    good = server_cert("server", GOOD_HOST, "DNS:" + GOOD_HOST + ",IP:127.0.0.1")
    wrong = server_cert("wrong", WRONG_HOST, "DNS:" + WRONG_HOST)
    return os.path.join(folder, "ca.pem"), good, wrong


def make_impostor(folder):
    """A second CA, never given to the clients, and a certificate for the right host signed by
    it: the name matches, the issuer is not trusted. Returns the certificate and key paths."""
    ec = ["-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes"]
    run_openssl(["req", "-x509"] + ec + [
        "-keyout", "impostor-ca.key", "-out", "impostor-ca.pem", "-days", "3",
        "-subj", "/CN=Velantia test CA",
        "-addext", "basicConstraints=critical,CA:TRUE",
        "-addext", "keyUsage=critical,keyCertSign,cRLSign"], folder)
    with open(os.path.join(folder, "impostor.ext"), "w") as f:
        f.write("basicConstraints=CA:FALSE\n"
                "keyUsage=critical,digitalSignature,keyEncipherment\n"
                "extendedKeyUsage=serverAuth\n"
                "subjectAltName=DNS:" + GOOD_HOST + ",IP:127.0.0.1\n")
    run_openssl(["req"] + ec + ["-keyout", "impostor.key", "-out", "impostor.csr",
                                "-subj", "/CN=" + GOOD_HOST], folder)
    run_openssl(["x509", "-req", "-in", "impostor.csr", "-CA", "impostor-ca.pem",
                 "-CAkey", "impostor-ca.key", "-CAcreateserial", "-out", "impostor.pem",
                 "-days", "3", "-extfile", "impostor.ext"], folder)
    return os.path.join(folder, "impostor.pem"), os.path.join(folder, "impostor.key")


class State:
    def __init__(self, args):
        self.lock = threading.Lock()
        self.mode = args.mode
        self.code = args.code
        self.delay = args.delay
        self.zips = args.zips
        self.record = args.record
        self.uploads = 0
        self.downloads = 0

    def next_record(self, kind):
        with self.lock:
            if kind == "upload":
                self.uploads += 1
                return self.uploads
            self.downloads += 1
            return self.downloads


def latin1(b):
    return b.decode("latin-1") if b is not None else None


def parse_multipart(body, content_type):
    """Parts in order as dicts: name, filename (or None), content_type, value (bytes)."""
    boundary = None
    for piece in content_type.split(";")[1:]:
        key, _, val = piece.strip().partition("=")
        if key.lower() == "boundary":
            boundary = val.strip().strip('"')
    if not boundary:
        return []
    delim = b"--" + boundary.encode("latin-1")
    parts = []
    for chunk in body.split(delim)[1:]:
        if chunk.startswith(b"--"):
            break
        if chunk.startswith(b"\r\n"):
            chunk = chunk[2:]
        head, _, value = chunk.partition(b"\r\n\r\n")
        if value.endswith(b"\r\n"):
            value = value[:-2]
        part = {"name": None, "filename": None, "content_type": None}
        for line in head.split(b"\r\n"):
            hname, _, hval = line.partition(b":")
            hname = hname.strip().lower()
            if hname == b"content-disposition":
                for item in hval.split(b";")[1:]:
                    k, _, v = item.strip().partition(b"=")
                    v = v.strip()
                    if v.startswith(b'"') and v.endswith(b'"'):
                        v = v[1:-1]
                    if k.lower() == b"name":
                        part["name"] = latin1(v)
                    elif k.lower() == b"filename":
                        part["filename"] = latin1(v)
            elif hname == b"content-type":
                part["content_type"] = latin1(hval.strip())
        part["value"] = latin1(value)
        parts.append(part)
    return parts


def answer_page(verdict):
    body = "<p>Fichero recibido.</p>" if verdict is None else "<p>" + verdict + "</p>"
    return ("<html><head><title>Servicio velantia</title>"
            "<style>p { font-family: Arial; }</style></head>\r\n"
            "<body><h3>Conexi&oacute;n empresas</h3>\r\n" + body + "\r\n</body></html>\r\n"
            ).encode("cp1252")


def make_handler(state):
    class Handler(BaseHTTPRequestHandler):
        protocol_version = "HTTP/1.1"
        timeout = 60

        def setup(self):
            super().setup()
            # The handshake runs here, in the request's own thread, so a client that
            # rejects the certificate never stalls the accepting loop.
            self.request.do_handshake()

        def log_message(self, *args):
            pass

        def send_bytes(self, status, content_type, data):
            self.send_response(status)
            self.send_header("Content-Type", content_type)
            self.send_header("Content-Length", str(len(data)))
            self.send_header("Connection", "close")
            self.end_headers()
            self.wfile.write(data)
            self.wfile.flush()
            self.close_connection = True

        def send_partial(self, data):
            """Promises the whole package, then the connection drops halfway through it."""
            self.send_response(200)
            self.send_header("Content-Type", "application/x-zip-compressed")
            self.send_header("Content-Length", str(len(data)))
            self.end_headers()
            self.wfile.write(data[:len(data) // 2])
            self.wfile.flush()
            self.close_connection = True
            try:
                self.request.shutdown(2)  # no TLS goodbye: a cut line sends none
            except OSError:
                pass

        def send_trickled(self, content_type, data, seconds):
            """The whole answer, never more than half a second without a byte."""
            self.send_response(200)
            self.send_header("Content-Type", content_type)
            self.send_header("Content-Length", str(len(data)))
            self.send_header("Connection", "close")
            self.end_headers()
            pieces = max(1, int(seconds * 2))
            step = max(1, -(-len(data) // pieces))
            for at in range(0, len(data), step):
                time.sleep(seconds / pieces)
                self.wfile.write(data[at:at + step])
                self.wfile.flush()
            self.close_connection = True

        def read_body(self):
            if self.headers.get("Transfer-Encoding", "").lower() == "chunked":
                data = b""
                while True:
                    size = int(self.rfile.readline().split(b";")[0].strip(), 16)
                    if size == 0:
                        while self.rfile.readline() not in (b"\r\n", b"\n", b""):
                            pass
                        return data
                    data += self.rfile.read(size)
                    self.rfile.readline()
            return self.rfile.read(int(self.headers.get("Content-Length", "0")))

        def write_record(self, kind, payload):
            if not state.record:
                return
            n = state.next_record(kind)
            os.makedirs(state.record, exist_ok=True)
            final = os.path.join(state.record, "%s-%04d.json" % (kind, n))
            with open(final + ".tmp", "w", encoding="ascii") as f:
                json.dump(payload, f, ensure_ascii=True, indent=1)
            # Readers only ever see whole records.
            os.replace(final + ".tmp", final)

        def current(self):
            with state.lock:
                return state.mode, state.code, state.delay

        def verdict_answer(self, mode, code, delay):
            if mode == "delay":
                time.sleep(delay)
                mode = "ok"
            if mode == "ok":
                return answer_page("ERROR=0")
            if mode == "refuse":
                return answer_page("ERROR=" + str(code))
            return answer_page(None)

        def do_GET(self):
            url = urllib.parse.urlsplit(self.path)
            query = urllib.parse.parse_qs(url.query, keep_blank_values=True,
                                          encoding="latin-1")
            if url.path == "/__mode":
                with state.lock:
                    m = query.get("m", [state.mode])[0]
                    if m not in MODES:
                        self.send_bytes(400, "text/plain", b"unknown mode\n")
                        return
                    state.mode = m
                    if "code" in query:
                        state.code = query["code"][0]
                    if "delay" in query:
                        state.delay = float(query["delay"][0])
                self.send_bytes(200, "text/plain", ("mode=" + m + "\n").encode())
                return
            if url.path.lower() != SERVICE_PATH:
                self.send_bytes(404, "text/plain", b"not found\n")
                return
            self.write_record("download", {"method": "GET", "path": url.path,
                                           "query": url.query})
            mode, code, delay = self.current()
            if mode == "delay":
                time.sleep(delay)
            elif mode in ("refuse", "noverdict"):
                self.send_bytes(200, "text/html", self.verdict_answer(mode, code, delay))
                return
            kind = query.get("fichero", [""])[0]
            name = os.path.join(state.zips, kind + ".zip") if state.zips and kind else None
            if name and os.path.basename(name) == kind + ".zip" and os.path.isfile(name):
                with open(name, "rb") as f:
                    data = f.read()
                if mode == "drop":
                    self.send_partial(data)
                    return
                if mode == "trickle":
                    self.send_trickled("application/x-zip-compressed", data, delay)
                    return
                self.send_bytes(200, "application/x-zip-compressed", data)
            else:
                # The service answers a missing file with a page, not with a status.
                self.send_bytes(200, "text/html", answer_page("ERROR=3"))

        def do_POST(self):
            url = urllib.parse.urlsplit(self.path)
            body = self.read_body()
            if url.path.lower() != SERVICE_PATH:
                self.send_bytes(404, "text/plain", b"not found\n")
                return
            ctype = self.headers.get("Content-Type", "")
            self.write_record("upload", {
                "method": "POST", "path": url.path, "query": url.query,
                "content_type": ctype,
                "parts": parse_multipart(body, ctype)})
            mode, code, delay = self.current()
            if mode == "trickle":
                self.send_trickled("text/html", answer_page("ERROR=0"), delay)
                return
            self.send_bytes(200, "text/html", self.verdict_answer(mode, code, delay))

    return Handler


class Server(ThreadingHTTPServer):
    daemon_threads = True
    allow_reuse_address = False

    def handle_error(self, request, client_address):
        # Clients that give up (timeouts, rejected certificates) are part of the tests.
        pass


def main():
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--dir", required=True, help="folder for the certificates")
    p.add_argument("--port", type=int, default=0)
    p.add_argument("--mode", choices=MODES, default="ok")
    p.add_argument("--code", default="12", help="error code of the refuse mode")
    p.add_argument("--delay", type=float, default=90.0, help="seconds of the delay mode")
    p.add_argument("--zips", default=None, help="folder with farmacia.zip, encuesta.zip, precio.zip")
    p.add_argument("--record", default=None, help="folder for the recorded requests")
    p.add_argument("--wrong-host", action="store_true", help="serve a certificate for another host")
    p.add_argument("--untrusted-ca", action="store_true",
                   help="serve a certificate for the right host from a CA the clients do not trust")
    args = p.parse_args()

    ca, good, wrong = make_certificates(os.path.abspath(args.dir))
    cert, key = wrong if args.wrong_host else good
    if args.untrusted_ca:
        cert, key = make_impostor(os.path.abspath(args.dir))
    ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    ctx.load_cert_chain(cert, key)

    server = Server(("127.0.0.1", args.port), make_handler(State(args)))
    server.socket = ctx.wrap_socket(server.socket, server_side=True,
                                    do_handshake_on_connect=False)
    print("READY port=%d ca=%s" % (server.server_address[1], ca), flush=True)
    try:
        server.serve_forever()
    except KeyboardInterrupt:
        pass
    finally:
        server.server_close()


if __name__ == "__main__":
    sys.exit(main())
