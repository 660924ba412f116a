#!/usr/bin/env python3
"""Local HTTPS stand-in for the association's service, for the tests and the demo.

Loopback only, with a throw-away CA; prints "READY port=<n> pid=<n> ca=<CA file>". Requests are
answered as <--dir>/mode says ("<mode> <code> <delay>", else "ok 12 90"): ok, refuse
(ERROR=<code>), noverdict (no ERROR=), delay (ok after <delay> s), trickle (ok in pieces over
<delay> s), drop (cut halfway), status (an ERROR=0 page with HTTP status <code>), redirect (status
<code> to this address with ?hop=1, which answers ok), away (status <code> to another host), loop
(status <code> to the very address asked), page (<--dir>/page as it stands: header lines, a blank
line, the body). GET ?fichero=F serves <--zips>/F.zip. --record keeps requests
as folders upload-NNNN (body, its boundary written BOUNDARY; parts/NN-<name>), download-NNNN.
"""

import argparse, ctypes, itertools, os, re, shutil, signal, ssl, subprocess, threading, time, urllib.parse
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from pathlib import Path


def full_width_signature(pem_file):
    """Whether both ECDSA signature numbers of the certificate take all 32 bytes: Wine's
    certificate check takes a shorter one for a bad signature (one certificate in 128)."""
    der = ssl.PEM_cert_to_DER_cert(Path(pem_file).read_text())

    def element(at):  # (tag, start of content, end of content)
        tag, length, at = der[at], der[at + 1], at + 2
        if length & 0x80:
            n = length & 0x7F
            length, at = int.from_bytes(der[at:at + n], "big"), at + n
        return tag, at, at + length

    _, at, _ = element(0)  # the certificate
    for _ in range(2):  # past what is signed and the algorithm
        at = element(at)[2]
    _, at, _ = element(at)  # the signature's bit string
    _, at, _ = element(at + 1)  # its sequence, past the unused-bits byte
    for _ in range(2):
        _, start, end = element(at)
        if len(der[start:end].lstrip(b"\0")) != 32:
            return False
        at = end
    return True


def make_certificates(folder, wrong_host, untrusted_ca):
    def openssl(name, subject, *a):
        while True:
            subprocess.run(["openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt",
                            "ec_paramgen_curve:prime256v1", "-nodes", "-days", "3", "-keyout",
                            name + ".key", "-out", name + ".pem", "-subj", "/CN=" + subject, *a],
                           cwd=folder, check=True, stdout=subprocess.DEVNULL,
                           stderr=subprocess.PIPE)
            if full_width_signature(os.path.join(folder, name + ".pem")):
                return

    for ca in ("ca", "impostor"):  # the same name with another key; only ca.pem is given out
        openssl(ca, "Velantia test CA", "-addext", "basicConstraints=critical,CA:TRUE",
                "-addext", "keyUsage=critical,keyCertSign,cRLSign")
    san = "DNS:otro-servidor.invalid" if wrong_host else "DNS:velantia.localhost,IP:127.0.0.1"
    issuer = "impostor" if untrusted_ca else "ca"
    openssl("server", san[4:].split(",")[0], "-CA", issuer + ".pem", "-CAkey", issuer + ".key",
            "-addext", "subjectAltName=" + san, "-addext", "basicConstraints=CA:FALSE",
            "-addext", "extendedKeyUsage=serverAuth",
            "-addext", "keyUsage=critical,digitalSignature,keyEncipherment")


def answer_page(verdict):
    return ("<html><head><title>Servicio velantia</title><style>p { font-family: Arial; }"
            "</style></head>\r\n<body><h3>Conexi&oacute;n empresas</h3>\r\n<p>" + verdict +
            "</p>\r\n</body></html>\r\n").encode("cp1252")


class Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    timeout = 60
    log_message = lambda *a: None
    args, counter = None, itertools.count(1)

    def setup(self):
        super().setup()
        self.request.do_handshake()  # in the request's thread: a client that gives up stalls nobody

    def send(self, data, mode="ok", delay=0, content_type="text/html", status=200, location=None,
             headers=None):
        self.send_response(status)
        if location:
            self.send_header("Location", location)
        for name, value in [("Content-Type", content_type)] if headers is None else headers:
            self.send_header(name, value)
        self.send_header("Content-Length", str(len(data)))
        self.end_headers()
        self.close_connection = True
        end = len(data) // 2 if mode == "drop" else len(data)
        pieces = max(1, int(delay * 2)) if mode == "trickle" else 1  # a piece every 0.5 s
        step = -(-len(data) // pieces)
        for at in range(0, end, step):
            time.sleep(delay / pieces if mode == "trickle" else 0)
            self.wfile.write(data[at:min(at + step, end)])
            self.wfile.flush()
        if mode == "drop":  # half the package, then the line is cut without a TLS goodbye
            self.request.shutdown(2)

    def answer(self, files, zip_name=None):
        url = urllib.parse.urlsplit(self.path)
        if url.path.lower() != "/conexion_empresas.asp":
            return self.send_error(404)
        if self.args.record:
            final = os.path.join(self.args.record, "%s-%04d" % (
                "upload" if zip_name is None else "download", next(self.counter)))
            shutil.rmtree(final, ignore_errors=True)  # left by an earlier run
            for name, data in dict(files, query=url.query.encode()).items():
                Path(final + ".tmp", name).parent.mkdir(parents=True, exist_ok=True)
                Path(final + ".tmp", name).write_bytes(data)
            os.rename(final + ".tmp", final)  # readers only ever see whole records
        mode_file = Path(self.args.dir, "mode")
        mode, code, delay = (mode_file.read_text() if mode_file.exists() else "ok 12 90").split()
        time.sleep(float(delay) if mode == "delay" else 0)
        if mode in ("redirect", "away", "loop") and "hop=1" not in url.query:
            host = "velantia.localhost:%d" % self.server.server_address[1]
            where = "otro-servidor.invalid" if mode == "away" else host
            return self.send(answer_page("ERROR=0"), status=int(code), location="https://%s%s%s" % (
                where, url.path, "" if mode == "loop" else "?hop=1"))
        if mode == "page":
            head, _, body = Path(self.args.dir, "page").read_bytes().partition(b"\r\n\r\n")
            lines = [h.decode("latin-1").partition(":") for h in head.split(b"\r\n") if h]
            return self.send(body, headers=[(n, v.strip()) for n, _, v in lines])
        if mode == "status":
            return self.send(answer_page("ERROR=0"), status=int(code))
        zip_file = Path(self.args.zips or ".", (zip_name or "") + ".zip")
        if mode in ("refuse", "noverdict"):
            self.send(answer_page("ERROR=" + code if mode == "refuse" else "Fichero recibido."))
        elif zip_name is None:
            self.send(answer_page("ERROR=0"), mode, float(delay))
        elif not (self.args.zips and zip_name.isalpha() and zip_file.is_file()):
            self.send(answer_page("ERROR=3"))  # a missing file is a page, not a status
        else:
            self.send(zip_file.read_bytes(), mode, float(delay), "application/x-zip-compressed")

    def do_GET(self):
        query = urllib.parse.parse_qs(urllib.parse.urlsplit(self.path).query)
        self.answer({}, query.get("fichero", [""])[0])

    def do_POST(self):
        body = self.rfile.read(int(self.headers.get("Content-Length", "0")))
        boundary = re.search(r'boundary="?([^";]+)', self.headers.get("Content-Type", ""))
        delim = b"--" + boundary.group(1).encode() if boundary else b"\0"
        files = {"body": body.replace(delim, b"--BOUNDARY")}
        for n, chunk in enumerate(body.split(delim)[1:-1], 1):
            head, _, value = chunk[2:-2].partition(b"\r\n\r\n")
            name = re.search(rb'name="([^"]*)"', head).group(1).decode("latin-1")
            files["parts/%02d-%s" % (n, name)] = value
        self.answer(files)


def stop_when(folder):
    while not Path(folder, "stop").exists() or Path(folder, "ready").unlink() or os._exit(0):
        time.sleep(0.02)


def main():
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--dir", required=True)  # the certificates and the mode
    p.add_argument("--zips")
    p.add_argument("--record")
    p.add_argument("--ready-file")  # a folder: READY goes to <it>/ready; <it>/stop ends the double
    for flag in ("--wrong-host", "--untrusted-ca"):
        p.add_argument(flag, action="store_true")
    args = Handler.args = p.parse_args()
    ctypes.CDLL(None).prctl(1, signal.SIGTERM)  # PR_SET_PDEATHSIG: never outlives its test
    make_certificates(args.dir, args.wrong_host, args.untrusted_ca)
    ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    ctx.load_cert_chain(os.path.join(args.dir, "server.pem"), os.path.join(args.dir, "server.key"))
    server = ThreadingHTTPServer(("127.0.0.1", 0), Handler)
    server.daemon_threads = True
    server.handle_error = lambda *a: None  # clients that give up (bad certificates) are normal
    server.socket = ctx.wrap_socket(server.socket, server_side=True, do_handshake_on_connect=False)
    ca = os.path.abspath(os.path.join(args.dir, "ca.pem"))
    ready = "READY port=%d pid=%d ca=%s" % (server.server_address[1], os.getpid(), ca)
    if args.ready_file:  # a Windows test under Wine: no pipe reaches the host's python
        Path(args.ready_file, "ready.tmp").write_text(ready + "\n")
        os.rename(Path(args.ready_file, "ready.tmp"), Path(args.ready_file, "ready"))
        threading.Thread(target=stop_when, args=(Path(args.ready_file),), daemon=True).start()
    print(ready, flush=True)
    server.serve_forever()


if __name__ == "__main__":
    main()
