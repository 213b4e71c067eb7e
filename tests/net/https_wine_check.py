#!/usr/bin/env python3
"""HttpsPost of the Windows build (WinHTTP, under Wine on the host's GnuTLS) against HTTPS servers
on 127.0.0.1 and ::1 made with Python's ssl module and certificates made for the run: taken when
the extra trusted-certificates file vouches for the chain, refused with its reason otherwise (no
file, a rogue CA, a self-signed certificate, another host's, an expired one, a file that cannot
be used), and the form never reaches a server that was refused.

    tests/net/https_wine_check.py build/windows/tests/unit_tests.exe
"""
import http.server
import os
import socket
import ssl
import subprocess
import sys
import tempfile
import threading

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "interop"))
from quelma_process import Checks  # noqa: E402
from tls_material import Material  # noqa: E402

FORM = b"client_secret=s3cr3t&grant_type=refresh_token"
TOKEN = b'{"access_token":"tok","expires_in":3599}'


class TokenServer(http.server.ThreadingHTTPServer):
    """Answers every POST with TOKEN over TLS with the given certificate; keeps the bodies."""
    daemon_threads = True

    def __init__(self, material, host):
        self.address_family = socket.AF_INET6 if ":" in host else socket.AF_INET
        super().__init__((host, 0), Handler)
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        context.load_cert_chain(material["cert"], material["key"])
        self.socket = context.wrap_socket(self.socket, server_side=True)
        self.bodies = []
        self.hosts = []
        threading.Thread(target=self.serve_forever, daemon=True).start()

    def handle_error(self, request, client_address):
        pass  # a client that refused the certificate and hung up


class Handler(http.server.BaseHTTPRequestHandler):
    def do_POST(self):
        self.server.hosts.append(self.headers.get("Host"))
        length = min(int(self.headers.get("Content-Length", "0")), 65536)
        self.server.bodies.append(self.rfile.read(length))
        self.send_response(200)
        self.send_header("Content-Type", "application/json")
        self.send_header("Content-Length", str(len(TOKEN)))
        self.end_headers()
        self.wfile.write(TOKEN)

    def log_message(self, *args):
        pass


def windows(path):
    return "Z:" + path.replace("/", "\\")


def post(exe, url, ca):
    env = dict(os.environ, WINEDEBUG="-all", QUELMA_HTTPS_CHECK_URL=url)
    env.pop("QUELMA_HTTPS_CHECK_CA", None)
    if ca:
        env["QUELMA_HTTPS_CHECK_CA"] = ca
    run = subprocess.run(["wine", exe, "--gtest_filter=HttpsPost.OneExchangeNamedByTheEnvironment"], env=env,
                         capture_output=True, timeout=120)
    lines = [line for line in run.stdout.decode("utf-8", "replace").splitlines() if line.startswith("OUTCOME ")]
    return lines[0].split(" ", 3)[1:] if lines else ["no-outcome", "0", run.stdout.decode("utf-8", "replace")[-300:]]


def main():
    exe = sys.argv[1]
    checks = Checks()
    material = Material(tempfile.mkdtemp(prefix="quelma-https-wine-"))
    ca = windows(material.ca["cert"])
    servers = {}

    def server(name, host="127.0.0.1"):
        if (name, host) not in servers:
            servers[(name, host)] = TokenServer(getattr(material, name), host)
        return servers[(name, host)]

    cases = [
        ("trusted through the file, by name", "good", "localhost", ca, "none"),
        ("trusted through the file, by address", "good", "127.0.0.1", ca, "none"),
        ("trusted through the file, over IPv6", "good", "[::1]", ca, "none"),
        ("no file: unknown issuer", "good", "localhost", None, "untrusted"),
        ("a rogue CA's", "rogue", "localhost", ca, "untrusted"),
        ("self-signed", "self_signed", "localhost", ca, "untrusted"),
        ("another host's", "other", "localhost", ca, "host-name"),
        ("expired", "expired", "localhost", ca, "expired"),
        ("a file that is not there", "good", "localhost", "Z:\\nonexistent\\ca.pem", "ca-file"),
        ("a file without certificates", "good", "localhost", windows(material.good["key"]), "ca-file"),
    ]
    for what, name, host, trusted, expected in cases:
        s = server(name, "::1" if host == "[::1]" else "127.0.0.1")
        before = len(s.bodies)
        failure, status, rest = post(exe, "https://%s:%d/token" % (host, s.server_address[1]), trusted)
        sent = s.bodies[before:]
        if expected == "none":
            host_header = "%s:%d" % (host, s.server_address[1])
            checks.check("HttpsPost under Wine: " + what, failure == "none" and status == "200" and
                         rest.startswith(TOKEN.decode()) and sent == [FORM] and s.hosts[-1:] == [host_header],
                         "%s %s %s %r %r" % (failure, status, rest, sent, s.hosts))
        else:
            checks.check("HttpsPost under Wine: " + what + " is refused", failure == expected and status == "0" and
                         all(FORM not in body for body in sent), "%s %s %s %r" % (failure, status, rest, sent))
    for s in servers.values():
        s.shutdown()
    return checks.result()


if __name__ == "__main__":
    sys.exit(main())
