#!/usr/bin/env python3
# Web fakes for the classic-player tests under Wine, on the Linux side.
#
# Serves HTTP and HTTPS (a self-signed certificate made with openssl) on
# 127.0.0.1, records every request as one tab-separated line (scheme, method,
# path, the scrobbling method, whether its signature was good, the User-Agent,
# a submission's play times joined by commas) in
# <folder>/requests.tsv and writes the ports to <folder>/ports once both listen.
# Requests to /2.0/ are answered as the scrobbling service answers them, after
# checking their signature with the test application's secret; a wrong
# signature gets the service's error 13. /slow answers after five seconds.
# Usage: fakes.py <folder> <api secret>
import hashlib
import http.server
import os
import ssl
import subprocess
import sys
import threading
import time
import urllib.parse

folder, secret = sys.argv[1], sys.argv[2]
lock = threading.Lock()


def signature_ok(params):
    given = params.pop("api_sig", "")
    params.pop("format", None)
    params.pop("callback", None)
    text = "".join(k + params[k] for k in sorted(params)) + secret
    return hashlib.md5(text.encode()).hexdigest() == given


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def answer(self):
        length = int(self.headers.get("Content-Length") or 0)
        body = self.rfile.read(length).decode("utf-8", "replace")
        method_name, signed, times = "", False, ""
        reply = b""
        if self.path.startswith("/2.0/"):
            params = dict(urllib.parse.parse_qsl(body or urllib.parse.urlsplit(self.path).query))
            method_name, signed = params.get("method", ""), signature_ok(params)
            if method_name == "track.scrobble":
                times = ",".join(v for k, v in params.items() if k.startswith("timestamp["))
            if not signed:
                reply = b'{"error":13,"message":"Invalid method signature supplied"}'
            elif method_name == "track.scrobble":
                reply = b'{"scrobbles":{"@attr":{"accepted":1,"ignored":0},"scrobble":{}}}'
            else:
                reply = b'{"nowplaying":{}}'
        record = [self.server.scheme, self.command, self.path, method_name, str(int(signed)),
                  self.headers.get("User-Agent", ""), times]
        with lock, open(os.path.join(folder, "requests.tsv"), "a") as out:
            out.write("\t".join(record) + "\n")
        if self.path.startswith("/slow"):
            time.sleep(5)
        self.send_response(200)
        self.send_header("Content-Type", "application/json")
        self.send_header("Content-Length", str(len(reply)))
        self.end_headers()
        self.wfile.write(reply)

    do_GET = do_POST = answer

    def log_message(self, *args):
        pass


def serve(scheme):
    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
    server.scheme = scheme
    if scheme == "https":
        key, cert = os.path.join(folder, "key.pem"), os.path.join(folder, "cert.pem")
        subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2",
                        "-subj", "/CN=127.0.0.1", "-keyout", key, "-out", cert],
                       check=True, capture_output=True)
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        context.load_cert_chain(cert, key)
        server.socket = context.wrap_socket(server.socket, server_side=True)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    return server.server_address[1]


ports = {scheme: serve(scheme) for scheme in ("http", "https")}
with open(os.path.join(folder, "ports.tmp"), "w") as out:
    out.write("".join(f"{k}={v}\n" for k, v in ports.items()))
os.replace(os.path.join(folder, "ports.tmp"), os.path.join(folder, "ports"))
sys.stdin.read()  # until the test ends
