#!/usr/bin/env python3
"""quelma's SMTP client uploads its queue over TLS to aiosmtpd on 127.0.0.1: with STARTTLS (the
provider takes AUTH only over TLS) and with implicit TLS. Every message arrives byte-identical
plus the trace header and the queue ends empty. A provider without STARTTLS, and one whose
certificate is not trusted, end the upload with their error numbers, the queue whole, and no
password sent."""
import os
import ssl
import sys
import tempfile
import warnings

from quelma_process import Checks, Quelma, account_port, scramble
from smtp_client_interop import PASSWORD, Provider, arrived_whole, queue_files
from tls_material import Material

try:
    from aiosmtpd.controller import Controller
    from aiosmtpd.smtp import AuthResult, LoginPassword
except ImportError:
    Controller = None
warnings.filterwarnings("ignore", message="Session.login_data is deprecated")


def authenticator(server, session, envelope, mechanism, auth_data):
    ok = isinstance(auth_data, LoginPassword) and auth_data.login == b"office" and auth_data.password == PASSWORD
    return AuthResult(success=ok, handled=False)


def scenario(binary, checks, material, what, mode, server_tls, ca, error=None):
    """`mode` is quelma's SMTP_TLS; `server_tls` is "starttls", "implicit" or "none"."""
    provider = Provider()
    port = account_port()
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(material.good["cert"], material.good["key"])
    # aiosmtpd counts only STARTTLS as TLS for auth_require_tls, so behind implicit TLS it must be off.
    options = dict(hostname="127.0.0.1", port=port, authenticator=authenticator, auth_require_tls=server_tls == "starttls")
    if server_tls == "starttls":
        options.update(tls_context=context, require_starttls=True)
    elif server_tls == "implicit":
        options.update(ssl_context=context)
    controller = Controller(provider, **options)
    controller.start()
    files = queue_files()[:8]  # the eighth is 8 MB
    parameters = ["LocalDomain = office.ru", "PostMaster = postmaster", "SMTPServer = 127.0.0.1",
                  "SMTPSport = %d" % port, "SMTP_USES_LOGIN = 1", "SMTP_LOGIN_NAME = office",
                  "SMTP_LOGIN_PASS = %s" % scramble(PASSWORD.decode()), "SMTP_TLS = " + mode]
    if ca:
        parameters.append("TLS_CA_FILE = " + material.ca["cert"])
    server = Quelma(binary, parameters, ["postmaster", "ivan  ; ivan.petrov@provider.test"])
    try:
        log = server.upload(files)
        left = sorted(os.listdir(server.path("queue")))
        if error is None:
            checks.check(what + ": the queue is empty", left == [], str(left))
            identical = len(provider.received) == len(files) and all(
                arrived_whole(got[2], header, body) for got, (_, _, header, body) in zip(provider.received, files))
            checks.check(what + ": every message arrived byte-identical", identical,
                         "%d of %d" % (len(provider.received), len(files)))
            up, auth = log.find("Установлено защищенное соединение"), log.find("SMTPCLIENT> AUTH ")
            checks.check(what + ": logged in over TLS", 0 <= up < auth, log[up - 100:auth + 40])
        else:
            checks.check(what + ": error %d" % error, ("Error number %d\r\n" % error) in log)
            checks.check(what + ": the queue is whole", left == [f[0] for f in files], str(left))
            checks.check(what + ": nothing sent, no login tried", provider.received == [] and "AUTH " not in log)
        if checks.failures:
            print(log[-2000:])
    finally:
        checks.check(what + ": quelma exits 0 on SIGINT", server.stop() == 0)
        controller.stop()


def main():
    checks = Checks()
    if Controller is None:
        checks.check("aiosmtpd is installed", False)
        return 1
    with tempfile.TemporaryDirectory() as work:
        material = Material(work)
        binary = sys.argv[1]
        scenario(binary, checks, material, "STARTTLS", "STARTTLS", "starttls", True)
        scenario(binary, checks, material, "implicit TLS", "SSL", "implicit", True)
        scenario(binary, checks, material, "no STARTTLS offered", "STARTTLS", "none", True, error=25)
        scenario(binary, checks, material, "untrusted certificate", "SSL", "implicit", False, error=27)
    return checks.result()


if __name__ == "__main__":
    sys.exit(main())
