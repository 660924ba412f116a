#!/usr/bin/env python3
"""Local HTTPS stand-in for the association's service, for the tests and the demo.

Loopback only: makes a throw-away CA and a server certificate (--wrong-host: for another host;
--untrusted-ca: from another CA) and prints "READY port=<n> pid=<n> ca=<CA file>". Uploads are
answered by the mode in <--dir>/mode ("<mode> <code> <delay>", set by GET /__mode?m=<mode>
[&code=N][&delay=S] too; "ok 12 90" without one): ok, refuse (ERROR=<code>), noverdict (no
ERROR=), delay (ok after <delay> s), trickle (ok in pieces over <delay> s, downloads too), drop
(answers cut halfway). GET ...?fichero=F serves <--zips>/F.zip. --record keeps each request
as a folder upload-NNNN or download-NNNN with the files path, query and, for an upload, body
(its boundary written BOUNDARY) and parts/NN-<name>.
"""

import argparse, ctypes, itertools, os, re, shutil, signal, ssl, subprocess, time, urllib.parse
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

MODES = ("ok", "refuse", "noverdict", "delay", "drop", "trickle")


def make_certificate(folder, wrong_host, untrusted_ca):
    def openssl(*a):
        subprocess.run(["openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt",
                        "ec_paramgen_curve:prime256v1", "-nodes", "-days", "3", *a],
                       cwd=folder, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)

    for ca in ("ca", "impostor"):  # the same name with another key; only ca.pem is given out
        openssl("-keyout", ca + ".key", "-out", ca + ".pem", "-subj", "/CN=Velantia test CA",
                "-addext", "basicConstraints=critical,CA:TRUE",
                "-addext", "keyUsage=critical,keyCertSign,cRLSign")
    san = "DNS:otro-servidor.invalid" if wrong_host else "DNS:velantia.localhost,IP:127.0.0.1"
    issuer = "impostor" if untrusted_ca else "ca"
    openssl("-keyout", "server.key", "-out", "server.pem", "-subj", "/CN=" + san[4:].split(",")[0],
            "-CA", issuer + ".pem", "-CAkey", issuer + ".key", "-addext", "subjectAltName=" + san,
            "-addext", "basicConstraints=CA:FALSE", "-addext", "extendedKeyUsage=serverAuth",
            "-addext", "keyUsage=critical,digitalSignature,keyEncipherment")


def answer_page(verdict):
    return ("<html><head><title>Servicio velantia</title><style>p { font-family: Arial; }"
            "</style></head>\r\n<body><h3>Conexi&oacute;n empresas</h3>\r\n<p>" + verdict +
            "</p>\r\n</body></html>\r\n").encode("cp1252")


def mode_of(folder):
    try:
        with open(os.path.join(folder, "mode")) as f:
            mode, code, delay = f.read().split()
        return mode, code, float(delay)
    except OSError:
        return "ok", "12", 90.0


def make_handler(args):
    counter = itertools.count(1)

    class Handler(BaseHTTPRequestHandler):
        protocol_version = "HTTP/1.1"
        timeout = 60

        def setup(self):
            super().setup()
            # In the request's thread: a client that rejects the certificate stalls nobody.
            self.request.do_handshake()

        log_message = lambda *a: None

        def send(self, content_type, data, mode="ok", delay=0):
            self.send_response(200)
            self.send_header("Content-Type", content_type)
            self.send_header("Content-Length", str(len(data)))
            self.end_headers()
            self.close_connection = True
            if mode == "drop":  # half the package, then the line is cut without a TLS goodbye
                self.wfile.write(data[:len(data) // 2])
                self.wfile.flush()
                return self.request.shutdown(2)
            pieces = max(1, int(delay * 2)) if mode == "trickle" else 1  # a byte every 0.5 s
            step = max(1, -(-len(data) // pieces))
            for at in range(0, len(data), step):
                time.sleep(delay / pieces if mode == "trickle" else 0)
                self.wfile.write(data[at:at + step])
                self.wfile.flush()

        def record(self, kind, url, files):
            if args.record:
                final = os.path.join(args.record, "%s-%04d" % (kind, next(counter)))
                shutil.rmtree(final, ignore_errors=True)  # left by an earlier run
                files.update(path=url.path.encode(), query=url.query.encode())
                for name, data in files.items():
                    os.makedirs(os.path.dirname(os.path.join(final + ".tmp", name)), exist_ok=True)
                    with open(os.path.join(final + ".tmp", name), "wb") as f:
                        f.write(data)
                os.rename(final + ".tmp", final)  # readers only ever see whole records

        def answer(self, url, files, zip_name=None):
            if url.path.lower() != "/conexion_empresas.asp":
                return self.send_error(404)
            self.record("download" if zip_name is not None else "upload", url, files)
            mode, code, delay = mode_of(args.dir)
            if mode == "delay":
                time.sleep(delay)
            if mode in ("refuse", "noverdict"):
                return self.send("text/html", answer_page(
                    "ERROR=" + code if mode == "refuse" else "Fichero recibido."))
            if zip_name is None:
                return self.send("text/html", answer_page("ERROR=0"), mode, delay)
            if not (args.zips and zip_name.isalpha() and os.path.isfile(
                    os.path.join(args.zips, zip_name + ".zip"))):
                # The service answers a missing file with a page, not with a status.
                return self.send("text/html", answer_page("ERROR=3"))
            with open(os.path.join(args.zips, zip_name + ".zip"), "rb") as f:
                self.send("application/x-zip-compressed", f.read(), mode, delay)

        def do_GET(self):
            url = urllib.parse.urlsplit(self.path)
            query = dict(urllib.parse.parse_qsl(url.query, keep_blank_values=True))
            if url.path != "/__mode" or query.get("m") not in MODES:
                return self.answer(url, {}, query.get("fichero", ""))
            _, code, delay = mode_of(args.dir)
            with open(os.path.join(args.dir, "mode.tmp"), "w") as f:
                print(query["m"], query.get("code", code), query.get("delay", delay), file=f)
            os.replace(os.path.join(args.dir, "mode.tmp"), os.path.join(args.dir, "mode"))
            self.send("text/plain", ("mode=" + query["m"] + "\n").encode())

        def do_POST(self):
            body = self.rfile.read(int(self.headers.get("Content-Length", "0")))
            boundary = re.search(r'boundary="?([^";]+)', self.headers.get("Content-Type", ""))
            delim = b"--" + boundary.group(1).encode() if boundary else b"\0"
            files = {"body": body.replace(delim, b"--BOUNDARY")}
            for n, chunk in enumerate(body.split(delim)[1:-1], 1):
                head, _, value = chunk[2:-2].partition(b"\r\n\r\n")
                name = re.search(rb'name="([^"]*)"', head).group(1).decode("latin-1")
                files["parts/%02d-%s" % (n, name)] = value
            self.answer(urllib.parse.urlsplit(self.path), files)

    return Handler


class Server(ThreadingHTTPServer):
    daemon_threads = True
    handle_error = lambda *a: None  # clients that give up (timeouts, bad certificates) are normal


def main():
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--dir", required=True, help="folder for the certificates")
    p.add_argument("--zips")
    p.add_argument("--record")
    p.add_argument("--wrong-host", action="store_true")
    p.add_argument("--untrusted-ca", action="store_true")
    args = p.parse_args()
    ctypes.CDLL(None).prctl(1, signal.SIGTERM)  # PR_SET_PDEATHSIG: never outlives its test
    folder = args.dir = os.path.abspath(args.dir)
    os.makedirs(folder, exist_ok=True)
    make_certificate(folder, args.wrong_host, args.untrusted_ca)
    ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    ctx.load_cert_chain(os.path.join(folder, "server.pem"), os.path.join(folder, "server.key"))
    server = Server(("127.0.0.1", 0), make_handler(args))
    server.socket = ctx.wrap_socket(server.socket, server_side=True, do_handshake_on_connect=False)
    print("READY port=%d pid=%d ca=%s" % (server.server_address[1], os.getpid(),
                                          os.path.join(folder, "ca.pem")), flush=True)
    server.serve_forever()


if __name__ == "__main__":
    main()
