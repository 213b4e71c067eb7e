#!/usr/bin/env python3
"""Peers for the OAuth2 checks of quelma's POP3 and SMTP clients, all on 127.0.0.1 and made
afresh for each run: a provider's identity platform (OAuthServer), its POP3 server (a private
Dovecot whose accounts log in with XOAUTH2 or OAUTHBEARER, DovecotOAuthPop3) and its submission
server (a private Postfix taking the same SASL through that Dovecot and relaying to aiosmtpd,
PostfixSubmission). OAuthPeers starts the three together and stops them, whatever happens.

    with OAuthPeers() as peers:
        access, refresh = peers.oauth.grant("ivan@provider.test")
        peers.pop3.deliver("ivan@provider.test", b"Subject: hi\\r\\n\\r\\nbody\\r\\n")
        ... quelma downloads from 127.0.0.1:peers.pop3.pop3s_port / .pop3_port (STLS)
        ... and uploads to 127.0.0.1:peers.smtp.tls_port / .starttls_port, trusting
        ... peers.material.ca["cert"]; then
        peers.pop3.messages("ivan@provider.test"), peers.smtp.received()

The identity platform answers HTTPS on OAuthServer.port and plain HTTP on OAuthServer.http_port
(the same state behind both):

  POST /devicecode   device authorization (RFC 8628); form client_id, scope [, client_secret].
                     JSON device_code, user_code, verification_uri (this server's /device),
                     verification_uri_complete, expires_in, interval.
  POST /token        token endpoint (RFC 6749), form-encoded, grant_type one of
                       urn:ietf:params:oauth:grant-type:device_code  (device_code, client_id)
                       authorization_code (code, redirect_uri, client_id, code_verifier: PKCE S256)
                       refresh_token (refresh_token, client_id [, scope])
                     Client secret, when one is configured, in the form or as HTTP Basic.
                     200 {access_token, token_type: "Bearer", expires_in, scope [, refresh_token]};
                     400 {error, error_description}: authorization_pending, slow_down,
                     expired_token, access_denied, invalid_grant, invalid_request,
                     unsupported_grant_type; invalid_client (401 when Basic was used).
  GET  /authorize    authorization request (RFC 6749, PKCE RFC 7636, loopback redirect RFC 8252):
                     response_type=code, client_id, redirect_uri (http://127.0.0.1:PORT/... or
                     http://[::1]:PORT/...), scope, state, code_challenge, code_challenge_method=S256.
                     Plays the user who agrees: 302 to redirect_uri?code=...&state=...; with
                     `refuse_authorization` set, 302 to redirect_uri?error=access_denied&state=...
                     A bad client_id or redirect_uri gets a 400 page and no redirect.
  GET  /device       the page a user would open to type the user code (?user_code=X&agree=1|0
                     also gives or refuses consent).
  POST /introspect   token introspection (RFC 7662), form token=...; also GET /introspect?token=
                     and GET with "Authorization: Bearer". {"active": true, "username": user,
                     "scope", "client_id", "exp", ...} for a token this server issued that is
                     neither expired nor revoked, else {"active": false}. Dovecot's oauth2
                     passdb asks here (introspection_mode = post).

Dovecot treats a client connecting from its own address as secured (so on 127.0.0.1 it would
take AUTH before STLS). DovecotOAuthPop3.pop3_port is therefore a relay that reaches Dovecot
from 127.0.0.2, so the STLS port behaves as a provider's does: no plaintext SASL before STLS.

How these servers answer, as the self-check holds them to it:
  - A refused token is answered with an error challenge, not at once: POP3 "+ <base64 JSON>",
    SMTP "334 <base64 JSON>"; the JSON is {"status":"401","schemes":"bearer","scope":"mail"}
    for XOAUTH2 and {"status":"invalid_token"} for OAUTHBEARER. Whatever line the client sends
    next (empty, or "AQ==" as RFC 7628 has it) brings "-ERR [AUTH] Authentication failed." or
    "535 5.7.8 Error: authentication failed: (reason unavailable)"; "*" brings "-ERR
    Authentication aborted by client." or "501 5.7.0 Authentication aborted". A new AUTH on
    the same connection may follow.
  - OAUTHBEARER without "a=user" in its GS2 header is refused with no challenge.
  - Postfix takes an AUTH line with an initial response of at most 2048 characters (its
    line_length_limit); a longer one gets "535 5.7.8 Error: authentication failed: Invalid
    base64 data in initial response". After "334 " far longer responses pass.
  - Dovecot's POP3 takes a SASL response under 8192 characters of base64 and closes the
    connection without a reply when it is longer.
  - Dovecot's failure delay is off here (failure_delay="0"); its own default is 2 seconds.

/usr/bin/python3 oauth_peers.py --self-check [-v] proves the peers with Python's own clients;
-v prints the POP3 and SMTP transcripts."""
import base64
import hashlib
import http.server
import json
import os
import poplib
import pwd
import secrets
import shutil
import signal
import smtplib
import socket
import ssl
import subprocess
import sys
import tempfile
import threading
import time
import traceback
import urllib.error
import urllib.parse
import urllib.request

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from postfix_tls_interop import STARTTLS, WRAPPER, Postfix, Sink, ensure_postfix, wait_port  # noqa: E402
from quelma_process import account_port, free_port  # noqa: E402
from tls_material import Material  # noqa: E402

DEVICE_GRANT = "urn:ietf:params:oauth:grant-type:device_code"
CLIENT_ID = "quelmar-office-client"
USER = "ivan@provider.test"
SCOPE = "mail offline_access"
_UNRESERVED = set("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-._~")


def _b64url(data):
    return base64.urlsafe_b64encode(data).rstrip(b"=").decode()


def s256(verifier):
    """The S256 code_challenge of a PKCE code_verifier."""
    return _b64url(hashlib.sha256(verifier.encode()).digest())


class OAuthError(Exception):
    def __init__(self, error, description, status=400, headers=None):
        super().__init__(error)
        self.error, self.description, self.status, self.headers = error, description, status, headers or {}


class OAuthServer:
    """The identity platform: endpoints in the module's docstring, state in memory.

    material      tls_material.Material whose `good` certificate the HTTPS port presents
    client_id     the one client it knows; client_secret, when not None, is required of it
    users         accounts that may consent (any name is taken when None)
    default_user  who consents at /authorize (unless login_hint names another) and in consent()
    scope         granted when a request names none
    interval      seconds a device-flow client must wait between polls; slow_down adds
                  slow_down_step to it (RFC 8628 says 5)
    device_expires_in, access_expires_in, code_expires_in   lifetimes in seconds
    rotate        a refresh grant returns a new refresh token and invalidates the old one; when
                  off it returns none and the old one stays good
    auto_consent_after   consent on the device code's n-th pending poll (None: only consent())
    token_length  characters of an access token (providers' JWTs run to 1,500 and more)
    http          also serve plain HTTP on http_port

    Switches a test may flip at any time: rotate, refuse_authorization, client_secret,
    auto_consent_after."""

    def __init__(self, material, client_id=CLIENT_ID, client_secret=None, users=None, default_user=USER,
                 scope=SCOPE, interval=1, slow_down_step=5, device_expires_in=600, access_expires_in=3600,
                 code_expires_in=120, rotate=True, auto_consent_after=None, token_length=1200, http=True):
        self.client_id, self.client_secret, self.users = client_id, client_secret, users
        self.default_user, self.scope, self.interval, self.slow_down_step = default_user, scope, interval, slow_down_step
        self.device_expires_in, self.access_expires_in, self.code_expires_in = (device_expires_in, access_expires_in,
                                                                              code_expires_in)
        self.rotate, self.auto_consent_after, self.token_length = rotate, auto_consent_after, token_length
        self.refuse_authorization = False
        self.lock = threading.RLock()
        self._access = {}    # token -> {user, scope, client_id, expires, revoked}
        self._refresh = {}   # token -> {user, scope, client_id, state: good|rotated|revoked}
        self._devices = {}   # device_code -> {...}
        self._codes = {}     # authorization code -> {...}
        self._requests = []
        self._counts = {}
        self.errors = []     # handler failures and TLS handshakes that failed
        self._servers = []
        self.port = self._serve(material)
        self.http_port = self._serve(None) if http else None

    # -- URLs

    @property
    def base(self):
        return "https://127.0.0.1:%d" % self.port

    @property
    def http_base(self):
        return "http://127.0.0.1:%d" % self.http_port if self.http_port else None

    def url(self, path, tls=True):
        return (self.base if tls else self.http_base) + path

    # -- test hooks

    def grant(self, user=None, scope=None, client_id=None, length=None):
        """Tokens issued straight away, as after a consent: (access_token, refresh_token). The
        access token has `length` characters when given (else token_length)."""
        with self.lock:
            access, refresh = self._issue(user or self.default_user, scope or self.scope, client_id or self.client_id,
                                          True, length)
            return access["access_token"], refresh

    def consent(self, user_code=None, agree=True, user=None):
        """The user types the code (the latest one asked for when None) and agrees or refuses.
        False when no pending device authorization has that code."""
        with self.lock:
            wanted = user_code.replace("-", "").upper() if user_code else None
            pending = [d for d in self._devices.values() if d["state"] == "pending" and
                       (wanted is None or d["user_code"].replace("-", "") == wanted)]
            if not pending:
                return False
            d = max(pending, key=lambda d: d["issued"])
            d["state"], d["user"] = ("approved" if agree else "denied"), user or self.default_user
            return True

    def user_codes(self):
        """User codes of device authorizations still waiting for consent, oldest first."""
        with self.lock:
            return [d["user_code"] for d in sorted(self._devices.values(), key=lambda d: d["issued"])
                    if d["state"] == "pending"]

    def expire_access_tokens(self, *tokens):
        """Lets the given access tokens expire now, or all when none is given."""
        with self.lock:
            for token in tokens or list(self._access):
                t = self._access[token]
                t["expires"] = min(t["expires"], time.time() - 1)

    def expire_device_codes(self):
        with self.lock:
            for d in self._devices.values():
                d["expires"] = min(d["expires"], time.time() - 1)

    def revoke(self, token):
        """Revokes a refresh or an access token; False when it was never issued."""
        with self.lock:
            if token in self._refresh:
                self._refresh[token]["state"] = "revoked"
                return True
            if token in self._access:
                self._access[token]["revoked"] = True
                return True
            return False

    def set_rotation(self, on):
        self.rotate = bool(on)

    def valid(self, access_token):
        """The user an access token stands for, None when it is not good now."""
        with self.lock:
            t = self._access.get(access_token)
            return t["user"] if t and not t["revoked"] and t["expires"] > time.time() else None

    def count(self, path=None, grant_type=None):
        """Requests received so far: all, to a path, or to /token with a grant type."""
        with self.lock:
            if grant_type is not None:
                return self._counts.get(("/token", grant_type), 0)
            return self._counts.get(path, 0) if path else len(self._requests)

    @property
    def counts(self):
        """{path: n} and {(path, grant_type): n} of every request so far."""
        with self.lock:
            return dict(self._counts)

    @property
    def requests(self):
        """Every request so far as dicts: method, path, query and form (name -> list of values),
        headers (lower-case names), body (bytes), tls (bool)."""
        with self.lock:
            return list(self._requests)

    def stop(self):
        for server, thread in self._servers:
            server.shutdown()
            server.server_close()
            thread.join(10)
        self._servers = []

    # -- HTTP

    def _serve(self, material):
        context = None
        if material:
            context = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH)
            context.load_cert_chain(material.good["cert"], material.good["key"])
        owner = self

        class Handler(_Handler):
            oauth, tls = owner, context

        server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        server.daemon_threads = True

        def handle_error(request, address):
            error = sys.exc_info()[1]
            # A client closing its kept-alive connection, perhaps in the midst of TLS, is no fault.
            if not isinstance(error, (ssl.SSLZeroReturnError, ssl.SSLEOFError, ConnectionError, TimeoutError)):
                owner.errors.append(repr(error))

        server.handle_error = handle_error
        thread = threading.Thread(target=server.serve_forever, kwargs={"poll_interval": 0.1}, daemon=True)
        thread.start()
        self._servers.append((server, thread))
        return server.server_address[1]

    def _record(self, entry):
        with self.lock:
            self._requests.append(entry)
            self._counts[entry["path"]] = self._counts.get(entry["path"], 0) + 1
            if entry["path"] == "/token":
                grant = (entry["form"].get("grant_type") or [""])[0]
                self._counts[("/token", grant)] = self._counts.get(("/token", grant), 0) + 1

    def _issue(self, user, scope, client_id, with_refresh, length=None):
        now = time.time()
        length = max(24, length or self.token_length)
        access = "qat." + secrets.token_urlsafe(length)[:length - 4]
        self._access[access] = {"user": user, "scope": scope, "client_id": client_id, "issued": now,
                                "expires": now + self.access_expires_in, "revoked": False}
        reply = {"access_token": access, "token_type": "Bearer", "expires_in": self.access_expires_in, "scope": scope}
        refresh = None
        if with_refresh:
            refresh = "qrt." + secrets.token_urlsafe(32)
            self._refresh[refresh] = {"user": user, "scope": scope, "client_id": client_id, "state": "good"}
            reply["refresh_token"] = refresh
        return reply, refresh

    def _client(self, form, headers):
        """Checks the client's identity; its client_id."""
        basic = headers.get("authorization", "")
        if basic[:6].lower() == "basic ":
            try:
                pair = base64.b64decode(basic[6:].strip(), validate=True).decode()
                cid, secret = (urllib.parse.unquote_plus(p) for p in pair.split(":", 1))
            except (ValueError, UnicodeDecodeError):
                raise OAuthError("invalid_client", "malformed Basic credentials", 401,
                                 {"WWW-Authenticate": 'Basic realm="token"'})
            if "client_id" in form and form["client_id"] != cid:
                raise OAuthError("invalid_request", "client_id differs from the Basic credentials")
            status = 401
        else:
            cid, secret, status = form.get("client_id"), form.get("client_secret"), 400
        headers401 = {"WWW-Authenticate": 'Basic realm="token"'} if status == 401 else {}
        if cid is None:
            raise OAuthError("invalid_request", "client_id is missing")
        if cid != self.client_id:
            raise OAuthError("invalid_client", "unknown client_id", status, headers401)
        if self.client_secret is not None and secret != self.client_secret:
            raise OAuthError("invalid_client", "client authentication failed" if secret else "client_secret is missing",
                             401, {"WWW-Authenticate": 'Basic realm="token"'})
        return cid

    def _scope(self, form):
        scope = form.get("scope")
        return " ".join(scope.split()) if scope else self.scope

    def devicecode(self, form, headers, base):
        with self.lock:
            cid = self._client(form, headers)
            letters = "BCDFGHJKLMNPQRSTVWXZ"
            code = "".join(secrets.choice(letters) for _ in range(8))
            user_code = code[:4] + "-" + code[4:]
            device_code = secrets.token_urlsafe(32)
            now = time.time()
            self._devices[device_code] = {"client_id": cid, "scope": self._scope(form), "user_code": user_code,
                                          "issued": now, "expires": now + self.device_expires_in,
                                          "interval": self.interval, "last_poll": None, "state": "pending",
                                          "polls": 0, "user": None}
            return {"device_code": device_code, "user_code": user_code, "verification_uri": base + "/device",
                    "verification_uri_complete": base + "/device?user_code=" + user_code,
                    "expires_in": self.device_expires_in, "interval": self.interval}

    def token(self, form, headers):
        with self.lock:
            grant = form.get("grant_type")
            if not grant:
                raise OAuthError("invalid_request", "grant_type is missing")
            if grant not in (DEVICE_GRANT, "authorization_code", "refresh_token"):
                raise OAuthError("unsupported_grant_type", "grant_type %s is not supported" % grant)
            cid = self._client(form, headers)
            return getattr(self, "_" + grant.rsplit(":", 1)[-1])(form, cid)

    def _device_code(self, form, cid):
        d = self._devices.get(form.get("device_code") or "")
        if d is None or d["client_id"] != cid:
            raise OAuthError("invalid_grant", "unknown device_code")
        now = time.time()
        if d["state"] == "used":
            raise OAuthError("invalid_grant", "device_code was already used")
        if now >= d["expires"]:
            raise OAuthError("expired_token", "device_code has expired")
        if d["state"] == "denied":
            raise OAuthError("access_denied", "the user refused")
        last, d["last_poll"] = d["last_poll"], now
        if last is not None and now - last < d["interval"] * 0.9:
            d["interval"] += self.slow_down_step
            raise OAuthError("slow_down", "polled faster than every %d s" % (d["interval"] - self.slow_down_step))
        if d["state"] == "pending":
            d["polls"] += 1
            if self.auto_consent_after is None or d["polls"] < self.auto_consent_after:
                raise OAuthError("authorization_pending", "the user has not yet finished")
            d["state"], d["user"] = "approved", self.default_user
        d["state"] = "used"
        return self._issue(d["user"], d["scope"], cid, True)[0]

    def _authorization_code(self, form, cid):
        for name in ("code", "redirect_uri", "code_verifier"):
            if not form.get(name):
                raise OAuthError("invalid_request", name + " is missing")
        c = self._codes.get(form["code"])
        if c is None or c["client_id"] != cid:
            raise OAuthError("invalid_grant", "unknown authorization code")
        if c["used"]:
            raise OAuthError("invalid_grant", "authorization code was already used")
        c["used"] = True
        if time.time() >= c["expires"]:
            raise OAuthError("invalid_grant", "authorization code has expired")
        if form["redirect_uri"] != c["redirect_uri"]:
            raise OAuthError("invalid_grant", "redirect_uri differs from the authorization request's")
        verifier = form["code_verifier"]
        if not 43 <= len(verifier) <= 128 or not set(verifier) <= _UNRESERVED:
            raise OAuthError("invalid_request", "code_verifier is malformed")
        if s256(verifier) != c["challenge"]:
            raise OAuthError("invalid_grant", "code_verifier does not match the code_challenge")
        return self._issue(c["user"], c["scope"], cid, True)[0]

    def _refresh_token(self, form, cid):
        token = form.get("refresh_token")
        if not token:
            raise OAuthError("invalid_request", "refresh_token is missing")
        r = self._refresh.get(token)
        if r is None or r["client_id"] != cid:
            raise OAuthError("invalid_grant", "unknown refresh token")
        if r["state"] != "good":
            raise OAuthError("invalid_grant", "refresh token has been " + r["state"])
        scope = self._scope(form) if form.get("scope") else r["scope"]
        if not set(scope.split()) <= set(r["scope"].split()):
            raise OAuthError("invalid_scope", "scope exceeds the one granted")
        if self.rotate:
            r["state"] = "rotated"
        return self._issue(r["user"], scope, cid, self.rotate)[0]

    def authorize(self, query):
        """(status, headers, body) of an authorization request."""
        with self.lock:
            q = {k: v[0] for k, v in query.items()}
            if q.get("client_id") != self.client_id:
                return 400, {}, "unknown client_id"
            redirect = q.get("redirect_uri", "")
            parts = urllib.parse.urlsplit(redirect)
            try:
                port = parts.port
            except ValueError:
                port = None
            if parts.scheme != "http" or parts.hostname not in ("127.0.0.1", "::1") or not port or parts.fragment:
                return 400, {}, "redirect_uri must be http://127.0.0.1:PORT/... or http://[::1]:PORT/..."

            def back(**params):
                if "state" in q:
                    params["state"] = q["state"]
                sep = "&" if parts.query else "?"
                return 302, {"Location": redirect + sep + urllib.parse.urlencode(params)}, ""

            if any(len(v) > 1 for v in query.values()):
                return back(error="invalid_request", error_description="a parameter is repeated")
            if q.get("response_type") != "code":
                return back(error="unsupported_response_type", error_description="only code is supported")
            challenge = q.get("code_challenge", "")
            if q.get("code_challenge_method") != "S256" or len(challenge) != 43 or not set(challenge) <= _UNRESERVED:
                return back(error="invalid_request", error_description="PKCE with S256 is required")
            user = q.get("login_hint") or self.default_user
            if self.refuse_authorization or (self.users is not None and user not in self.users):
                return back(error="access_denied", error_description="the user refused")
            code = secrets.token_urlsafe(24)
            self._codes[code] = {"client_id": self.client_id, "redirect_uri": redirect, "challenge": challenge,
                                 "scope": " ".join(q.get("scope", "").split()) or self.scope, "user": user,
                                 "expires": time.time() + self.code_expires_in, "used": False}
            return back(code=code)

    def introspect(self, token):
        with self.lock:
            t = self._access.get(token or "")
            if not t or t["revoked"] or t["expires"] <= time.time():
                return {"active": False}
            return {"active": True, "username": t["user"], "email": t["user"], "sub": t["user"],
                    "scope": t["scope"], "client_id": t["client_id"], "token_type": "Bearer",
                    "exp": int(t["expires"]), "iat": int(t["issued"])}


class _Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    oauth = None   # set per server
    tls = None

    def setup(self):
        self.request.settimeout(15)
        if self.tls:
            self.request = self.tls.wrap_socket(self.request, server_side=True)
        super().setup()

    def log_message(self, *args):
        pass

    def _reply(self, status, body, headers=None, content_type="application/json"):
        data = (json.dumps(body) if isinstance(body, dict) else body).encode()
        self.send_response(status)
        self.send_header("Content-Type", content_type)
        self.send_header("Content-Length", str(len(data)))
        self.send_header("Cache-Control", "no-store")
        for k, v in (headers or {}).items():
            self.send_header(k, v)
        self.end_headers()
        self.wfile.write(data)

    def _read(self):
        """The request as recorded; None after replying to a body that cannot be read."""
        parts = urllib.parse.urlsplit(self.path)
        body = b""
        if self.headers.get("Transfer-Encoding"):
            self.close_connection = True
            self._reply(411, {"error": "invalid_request", "error_description": "send Content-Length"})
            return None
        length = self.headers.get("Content-Length", "0")
        if not length.isdigit():
            self.close_connection = True
            self._reply(400, {"error": "invalid_request", "error_description": "bad Content-Length"})
            return None
        body = self.rfile.read(int(length))
        form = {}
        if self.command == "POST":
            form = urllib.parse.parse_qs(body.decode("utf-8", "replace"), keep_blank_values=True)
        entry = {"method": self.command, "path": parts.path, "query": urllib.parse.parse_qs(parts.query, True),
                 "form": form, "headers": {k.lower(): v for k, v in self.headers.items()}, "body": body,
                 "tls": self.tls is not None}
        self.oauth._record(entry)
        return entry

    def _base(self):
        return "%s://127.0.0.1:%d" % ("https" if self.tls else "http", self.server.server_address[1])

    def _form(self, entry):
        """The form of a POST as name -> value, each given once, sent as a form."""
        kind = entry["headers"].get("content-type", "").split(";")[0].strip().lower()
        if kind != "application/x-www-form-urlencoded":
            raise OAuthError("invalid_request", "the body must be application/x-www-form-urlencoded")
        if any(len(v) > 1 for v in entry["form"].values()):
            raise OAuthError("invalid_request", "a parameter is repeated")
        return {k: v[0] for k, v in entry["form"].items()}

    def do_POST(self):
        entry = self._read()
        if entry is None:
            return
        try:
            if entry["path"] == "/token":
                self._reply(200, self.oauth.token(self._form(entry), entry["headers"]), {"Pragma": "no-cache"})
            elif entry["path"] == "/devicecode":
                self._reply(200, self.oauth.devicecode(self._form(entry), entry["headers"], self._base()))
            elif entry["path"] == "/introspect":
                self._reply(200, self.oauth.introspect(self._form(entry).get("token")))
            else:
                self._reply(404, {"error": "not_found"})
        except OAuthError as e:
            self._reply(e.status, {"error": e.error, "error_description": e.description}, e.headers)

    def do_GET(self):
        entry = self._read()
        if entry is None:
            return
        q = {k: v[0] for k, v in entry["query"].items()}
        if entry["path"] == "/authorize":
            status, headers, text = self.oauth.authorize(entry["query"])
            self._reply(status, text, headers, "text/plain; charset=utf-8")
        elif entry["path"] == "/device":
            text = "<html><body><form>Code: <input name=user_code> <button name=agree value=1>Allow</button>" \
                   "<button name=agree value=0>Deny</button></form></body></html>"
            if q.get("user_code") and q.get("agree") in ("0", "1"):
                done = self.oauth.consent(q["user_code"], q["agree"] == "1")
                text = "<html><body>%s</body></html>" % ("Done. You may close this window." if done else "Unknown code.")
            self._reply(200, text, None, "text/html; charset=utf-8")
        elif entry["path"] == "/introspect":
            auth = entry["headers"].get("authorization", "")
            token = auth[7:].strip() if auth[:7].lower() == "bearer " else q.get("token")
            self._reply(200, self.oauth.introspect(token))
        elif entry["path"] in ("/token", "/devicecode"):
            self._reply(405, {"error": "invalid_request", "error_description": "use POST"}, {"Allow": "POST"})
        else:
            self._reply(404, {"error": "not_found"})


class _Relay:
    """Forwards connections to 127.0.0.1:`port` on to 127.0.0.1:`target`, connecting from
    127.0.0.2 so the target sees a client from an address other than its own."""

    def __init__(self, target, source="127.0.0.2"):
        self.target, self.source = target, source
        self.listener = socket.create_server(("127.0.0.1", account_port()))
        self.listener.settimeout(0.2)
        self.port = self.listener.getsockname()[1]
        self.open = []
        self.stopping = False
        self.thread = threading.Thread(target=self._accept, daemon=True)
        self.thread.start()

    def _accept(self):
        while not self.stopping:
            try:
                client, _ = self.listener.accept()
            except socket.timeout:
                continue
            except OSError:
                return
            try:
                upstream = socket.create_connection(("127.0.0.1", self.target), timeout=10,
                                                    source_address=(self.source, 0))
            except OSError:
                client.close()
                continue
            client.settimeout(None)
            upstream.settimeout(None)
            self.open += [client, upstream]
            for a, b in ((client, upstream), (upstream, client)):
                threading.Thread(target=self._pump, args=(a, b), daemon=True).start()

    @staticmethod
    def _pump(a, b):
        try:
            while True:
                data = a.recv(65536)
                if not data:
                    break
                b.sendall(data)
        except OSError:
            pass
        for s, how in ((b, socket.SHUT_WR), (a, socket.SHUT_RD)):
            try:
                s.shutdown(how)
            except OSError:
                pass

    def stop(self):
        self.stopping = True
        self.listener.close()
        self.thread.join(5)
        for s in self.open:
            try:
                s.close()
            except OSError:
                pass


def oauth2_passdb_block(directory, oauth, material, required_scope=None, oauth_tls=True):
    """dovecot.conf's passdb taking XOAUTH2 and OAUTHBEARER, each token checked at `oauth`'s
    introspection endpoint (its settings written to `directory`/oauth2.conf.ext)."""
    oauth2 = ["introspection_mode = post", "introspection_url = " + oauth.url("/introspect", oauth_tls),
              "force_introspection = yes", "username_attribute = username", "active_attribute = active",
              "active_value = true", "tls_ca_cert_file = " + material.ca["cert"], "timeout_msecs = 20000",
              "debug = yes"]
    if required_scope:
        oauth2.append("scope = " + required_scope)
    path = os.path.join(directory, "oauth2.conf.ext")
    with open(path, "w") as f:
        f.write("\n".join(oauth2) + "\n")
    return "passdb {\n  driver = oauth2\n  mechanisms = xoauth2 oauthbearer\n  args = %s\n}" % path


class DovecotOAuthPop3:
    """A private Dovecot (base_dir, state, log and mail under `work`/dovecot) serving POP3 on
    127.0.0.1: pop3s_port with implicit TLS, pop3_port offering STLS (through _Relay, so no
    plaintext SASL before STLS) and pop3_direct_port (Dovecot's own plain port, where a
    connection from 127.0.0.1 counts as secured). Mechanisms XOAUTH2 and OAUTHBEARER checked
    against `oauth`'s introspection over HTTPS, PLAIN and LOGIN against `passwords`
    (user -> password). Its auth socket for Postfix is `socket`.

    required_scope   a scope Dovecot demands of a token (its oauth2 `scope`)
    failure_delay    Dovecot's auth_failure_delay (its default is 2 secs)
    oauth_tls        validate over HTTPS (else over the plain HTTP port)"""

    def __init__(self, work, oauth, material, passwords=None, required_scope=None, failure_delay="0",
                 oauth_tls=True):
        self.dir = os.path.join(work, "dovecot")
        os.makedirs(self.dir)
        os.chmod(self.dir, 0o755)
        self.home = os.path.join(self.dir, "home")
        os.makedirs(self.home)
        os.chmod(self.home, 0o755)
        dovecot = pwd.getpwnam("dovecot")
        self.uid, self.gid = dovecot.pw_uid, dovecot.pw_gid
        os.chown(self.home, self.uid, self.gid)  # Dovecot makes the homes of users who log in
        with open(os.path.join(self.dir, "passwd"), "w") as f:
            f.writelines("%s:{PLAIN}%s::::::\n" % (u, p) for u, p in (passwords or {}).items())
        oauth2_passdb = oauth2_passdb_block(self.dir, oauth, material, required_scope, oauth_tls)
        # quelma.cfg keeps provider ports up to 30000: the ports quelma connects to are below.
        self.pop3s_port, self.pop3_direct_port = account_port(), free_port()
        self.socket = os.path.join(self.dir, "run", "auth-postfix")
        self.conf = os.path.join(self.dir, "dovecot.conf")
        with open(self.conf, "w") as f:
            f.write(f"""protocols = pop3
listen = 127.0.0.1
base_dir = {self.dir}/run
state_dir = {self.dir}/state
log_path = {self.dir}/dovecot.log
ssl = yes
ssl_cert = <{material.good["cert"]}
ssl_key = <{material.good["key"]}
disable_plaintext_auth = yes
auth_mechanisms = plain login xoauth2 oauthbearer
auth_failure_delay = {failure_delay}
auth_verbose = yes
auth_debug = yes
first_valid_uid = 1
default_internal_user = dovecot
default_login_user = dovenull
mail_location = maildir:~/Maildir
pop3_uidl_format = %08Xu%08Xv
{oauth2_passdb}
passdb {{
  driver = passwd-file
  mechanisms = plain login
  args = {self.dir}/passwd
}}
userdb {{
  driver = static
  args = uid=dovecot gid=dovecot home={self.home}/%u
}}
service pop3-login {{
  inet_listener pop3 {{
    address = 127.0.0.1
    port = {self.pop3_direct_port}
  }}
  inet_listener pop3s {{
    address = 127.0.0.1
    port = {self.pop3s_port}
    ssl = yes
  }}
}}
service auth {{
  unix_listener auth-postfix {{
    mode = 0666
  }}
}}
service anvil {{
  unix_listener anvil-auth-penalty {{
    mode = 0
  }}
}}
""")
        self.relay = None
        self.started = True  # stop() tries even when the start fails half-way
        with open(os.path.join(self.dir, "start.log"), "wb") as out:
            # Dovecot's daemons keep the descriptors they were given: no pipes here.
            started = subprocess.run(["dovecot", "-c", self.conf], stdin=subprocess.DEVNULL, stdout=out,
                                     stderr=out, timeout=60)
        if started.returncode != 0:
            raise RuntimeError("dovecot did not start: " + open(os.path.join(self.dir, "start.log")).read())
        for _ in range(300):
            if os.path.exists(self.socket):
                break
            time.sleep(0.05)
        wait_port(self.pop3s_port)
        wait_port(self.pop3_direct_port)
        self.relay = _Relay(self.pop3_direct_port)
        self.pop3_port = self.relay.port
        self._last = 0

    def _maildir(self, user):
        root = os.path.join(self.home, user, "Maildir")
        for d in (os.path.join(self.home, user), root) + tuple(os.path.join(root, s) for s in ("tmp", "new", "cur")):
            if not os.path.isdir(d):
                os.mkdir(d, 0o700)
                os.chown(d, self.uid, self.gid)
        return root

    def deliver(self, user, message):
        """Puts a message into the user's mailbox, whole or not at all (tmp/, then new/). Dovecot
        numbers new messages by the time in their names, so each name's time is later than the
        one before."""
        root = self._maildir(user)
        now = time.time_ns() // 1000
        self._last = max(now, self._last + 1)
        name = "%d.M%06dP%d.provider" % (self._last // 1000000, self._last % 1000000, os.getpid())
        tmp = os.path.join(root, "tmp", name)
        with open(tmp, "wb") as f:
            f.write(message)
        os.chown(tmp, self.uid, self.gid)
        os.rename(tmp, os.path.join(root, "new", name))

    def messages(self, user):
        """The messages left in the user's mailbox (bytes), in the order they were delivered."""
        root = os.path.join(self.home, user, "Maildir")
        files = [os.path.join(root, s, n) for s in ("new", "cur") if os.path.isdir(os.path.join(root, s))
                 for n in os.listdir(os.path.join(root, s)) if not n.startswith(".")]

        def delivered(path):
            seconds, _, rest = os.path.basename(path).partition(".M")
            micro = rest.split("P", 1)[0]
            return (int(seconds) if seconds.isdigit() else 0, int(micro) if micro.isdigit() else 0, path)

        out = []
        for path in sorted(files, key=delivered):
            try:
                with open(path, "rb") as f:
                    out.append(f.read())
            except FileNotFoundError:  # moved from new/ to cur/ meanwhile
                pass
        return out

    def log(self):
        path = os.path.join(self.dir, "dovecot.log")
        return open(path, errors="replace").read() if os.path.exists(path) else ""

    def stop(self):
        if self.relay:
            self.relay.stop()
            self.relay = None
        if self.started:
            subprocess.run(["dovecot", "-c", self.conf, "stop"], capture_output=True)
            self.started = False


class PostfixSubmission:
    """A private Postfix (under `work`/provider) with an smtpd requiring STARTTLS on
    starttls_port and one with implicit TLS on tls_port, both offering AUTH only over TLS with
    the mechanisms of `dovecot`'s auth socket, relaying what it accepts to an aiosmtpd sink.
    received() lists (sender, recipients, bytes) as the sink got them; wait_received(n) waits
    (bounded) until n have arrived."""

    def __init__(self, work, dovecot, material):
        ensure_postfix()
        self.sink = Sink()
        self.starttls_port, self.tls_port = account_port(), account_port()
        self.postfix = None
        try:
            self.postfix = Postfix(work, "provider", {self.starttls_port: STARTTLS, self.tls_port: WRAPPER},
                                   ["default_transport = smtp:[127.0.0.1]:%d" % self.sink.port,
                                    "relay_transport = smtp:[127.0.0.1]:%d" % self.sink.port],
                                   sasl=dovecot.socket, material=material)
        except BaseException:
            self.sink.stop()
            raise

    def received(self):
        return list(self.sink.received)

    def wait_received(self, n, tries=300):
        for _ in range(tries):
            if len(self.sink.received) >= n and self.postfix.pending() == 0:
                break
            time.sleep(0.1)
        return self.received()

    def maillog(self):
        return self.postfix.maillog()

    def stop(self):
        if self.postfix:
            self.postfix.stop()
            self.postfix = None
        if self.sink:
            self.sink.stop()
            self.sink = None


class OAuthPeers:
    """The identity platform, Dovecot and Postfix together in a temporary directory, with a CA
    of their own (material.ca["cert"] is the one to trust). passwords, required_scope,
    failure_delay and oauth_tls go to DovecotOAuthPop3, other keyword arguments to OAuthServer. A context manager: leaving it stops all and
    removes the directory."""

    def __init__(self, passwords=None, required_scope=None, failure_delay="0", oauth_tls=True, **oauth_args):
        self.work = tempfile.mkdtemp(prefix="quelma-oauth-")
        os.chmod(self.work, 0o755)  # Postfix and Dovecot work in it as their own users
        self.oauth = self.pop3 = self.smtp = None
        try:
            self.material = Material(self.work)
            for name in os.listdir(self.work):
                os.chmod(os.path.join(self.work, name), 0o644)
            self.oauth = OAuthServer(self.material, **oauth_args)
            self.pop3 = DovecotOAuthPop3(self.work, self.oauth, self.material, passwords, required_scope,
                                         failure_delay, oauth_tls)
            self.smtp = PostfixSubmission(self.work, self.pop3, self.material)
        except BaseException:
            self.stop()
            raise

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.stop()

    def stop(self):
        for peer in (self.smtp, self.pop3, self.oauth):
            if peer:
                try:
                    peer.stop()
                except Exception as e:  # the others are still stopped
                    print("stopping %s: %r" % (type(peer).__name__, e), file=sys.stderr)
        self.smtp = self.pop3 = self.oauth = None
        shutil.rmtree(self.work, ignore_errors=True)


# ---------------------------------------------------------------------------------------------
# The self-check.

def xoauth2(user, token):
    return ("user=%s\x01auth=Bearer %s\x01\x01" % (user, token)).encode()


def oauthbearer(user, token, port, host="127.0.0.1"):
    authzid = "a=" + user.replace("=", "=3D").replace(",", "=2C") if user else ""
    return ("n,%s,\x01host=%s\x01port=%d\x01auth=Bearer %s\x01\x01" % (authzid, host, port, token)).encode()


def b64(data):
    return base64.b64encode(data).decode()


def _decode(text):
    """A server's challenge: its base64 decoded, or as it came when it is not base64."""
    try:
        return base64.b64decode(text, validate=True)
    except ValueError:
        return b"not base64: " + text


class _Recording:
    """Keeps each line sent and received as "C: ..." / "S: ..."."""

    def _putline(self, line):
        self.transcript.append("C: " + line.decode(errors="replace"))
        super()._putline(line)

    def _getline(self):
        line, octets = super()._getline()
        self.transcript.append("S: " + line.decode(errors="replace"))
        return line, octets


class RecordingPOP3(_Recording, poplib.POP3):
    def __init__(self, *args, **kwargs):
        self.transcript = []
        super().__init__(*args, **kwargs)


class RecordingPOP3_SSL(_Recording, poplib.POP3_SSL):
    def __init__(self, *args, **kwargs):
        self.transcript = []
        super().__init__(*args, **kwargs)


class _RecordingSMTPMixin:
    def send(self, s):
        text = s.decode(errors="replace") if isinstance(s, bytes) else s
        if not text.startswith(("MAIL", "RCPT", "DATA")) or len(text) < 200:
            self.transcript.append("C: " + text.rstrip("\r\n"))
        super().send(s)

    def getreply(self):
        code, text = super().getreply()
        lines = text.decode(errors="replace").split("\n")
        self.transcript += ["S: %d%s%s" % (code, "-" if i < len(lines) - 1 else " ", line)
                            for i, line in enumerate(lines)]
        return code, text


class RecordingSMTP(_RecordingSMTPMixin, smtplib.SMTP):
    def __init__(self, *args, **kwargs):
        self.transcript = []
        super().__init__(*args, **kwargs)


class RecordingSMTP_SSL(_RecordingSMTPMixin, smtplib.SMTP_SSL):
    def __init__(self, *args, **kwargs):
        self.transcript = []
        super().__init__(*args, **kwargs)


def pop3_sasl(p, mechanism, payload, after_challenge=""):
    """AUTH in two steps: the command, "+", then the response; after an error challenge
    ("+ <base64>") the line `after_challenge`. (ok, final line, error challenge or None)."""
    p._putcmd("AUTH " + mechanism)
    line, _ = p._getline()
    if not (line.startswith(b"+ ") or line == b"+"):
        return False, line, None
    p._putcmd(b64(payload))
    line, _ = p._getline()
    challenge = None
    if line.startswith(b"+ ") or line == b"+":
        challenge = _decode(line[1:].strip())
        p._putcmd(after_challenge)
        line, _ = p._getline()
    return line.startswith(b"+OK"), line, challenge


def smtp_sasl(s, mechanism, payload, initial=True, after_challenge=""):
    """AUTH with the response in the command (initial) or after "334"; after an error challenge
    the line `after_challenge`. (code, text, error challenge or None)."""
    if initial:
        code, text = s.docmd("AUTH", mechanism + " " + b64(payload))
    else:
        code, text = s.docmd("AUTH", mechanism)
        if code == 334:
            code, text = s.docmd(b64(payload))
    challenge = None
    if code == 334:
        challenge = _decode(text)
        code, text = s.docmd(after_challenge)
    return code, text, challenge


class Tally:
    def __init__(self, verbose=False):
        self.passed, self.failed, self.verbose = 0, 0, verbose

    def check(self, what, ok, detail=""):
        print(("ok   " if ok else "FAIL ") + what + ("" if ok else "  " + str(detail)[:1500]), flush=True)
        if ok:
            self.passed += 1
        else:
            self.failed += 1
        return ok

    def show(self, title, transcript):
        if self.verbose:
            print("---- " + title)
            for line in transcript:
                print("   " + (line if len(line) < 160 else line[:150] + "...(%d chars)" % len(line)))


def _http(url, form=None, context=None, headers=None):
    """(status, JSON or text, headers) of a request; no redirect is followed."""
    data = urllib.parse.urlencode(form).encode() if form is not None else None
    request = urllib.request.Request(url, data=data, headers=headers or {})

    class NoRedirect(urllib.request.HTTPRedirectHandler):
        def redirect_request(self, *args):
            return None

    opener = urllib.request.build_opener(urllib.request.HTTPSHandler(context=context), NoRedirect)
    try:
        with opener.open(request, timeout=15) as r:
            status, body, hdrs = r.status, r.read(), r.headers
    except urllib.error.HTTPError as e:
        status, body, hdrs = e.code, e.read(), e.headers
    try:
        return status, json.loads(body), hdrs
    except ValueError:
        return status, body.decode(errors="replace"), hdrs


def check_http(t, peers, ctx, shared):
    o = peers.oauth
    token = o.url("/token")
    cid = o.client_id
    # Device flow: pending, too fast, consent, token; refused; expired; used twice.
    before = o.count("/token", DEVICE_GRANT)
    st, dev, _ = _http(o.url("/devicecode"), {"client_id": cid, "scope": "mail offline_access"}, ctx)
    t.check("device: /devicecode gives the codes", st == 200 and {"device_code", "user_code", "verification_uri",
                                                                  "expires_in", "interval"} <= set(dev), dev)
    t.check("device: verification_uri is this server's /device", dev.get("verification_uri") == o.url("/device"), dev)
    st, page, _ = _http(dev["verification_uri"], None, ctx)
    t.check("device: the page opens", st == 200 and "Code" in page, page)
    poll = {"grant_type": DEVICE_GRANT, "device_code": dev["device_code"], "client_id": cid}
    polls = [_http(token, poll, ctx)[:2] for _ in range(2)]
    t.check("device: authorization_pending, then slow_down when polled at once",
            [(s, b.get("error")) for s, b in polls] == [(400, "authorization_pending"), (400, "slow_down")], polls)
    t.check("device: consent to the user code", o.consent(dev["user_code"]) and dev["user_code"] not in o.user_codes())
    time.sleep(o.interval + o.slow_down_step)
    st, tok, hdrs = _http(token, poll, ctx)
    t.check("device: after consent and the longer interval, tokens", st == 200 and tok.get("token_type") == "Bearer"
            and o.valid(tok.get("access_token")) == USER and "refresh_token" in tok and tok.get("scope") ==
            "mail offline_access" and hdrs.get("Cache-Control") == "no-store", (st, tok))
    shared["device_access"] = tok.get("access_token")
    time.sleep(o.interval)
    st, again, _ = _http(token, poll, ctx)
    t.check("device: a used device_code is invalid_grant", (st, again.get("error")) == (400, "invalid_grant"), again)
    st, dev2, _ = _http(o.url("/devicecode"), {"client_id": cid, "scope": "mail"}, ctx)
    o.consent(dev2["user_code"], agree=False)
    st, denied, _ = _http(token, dict(poll, device_code=dev2["device_code"]), ctx)
    t.check("device: refused consent is access_denied", (st, denied.get("error")) == (400, "access_denied"), denied)
    st, dev3, _ = _http(o.url("/devicecode", tls=False), {"client_id": cid, "scope": "mail"})
    t.check("device: plain HTTP serves too, pointing at its own /device",
            st == 200 and dev3.get("verification_uri") == o.url("/device", tls=False), dev3)
    o.expire_device_codes()
    st, expired, _ = _http(o.url("/token", tls=False), dict(poll, device_code=dev3["device_code"]))
    t.check("device: an expired device_code is expired_token", (st, expired.get("error")) == (400, "expired_token"),
            expired)
    t.check("device: counted per grant type", o.count("/token", DEVICE_GRANT) - before == 6,
            o.count("/token", DEVICE_GRANT) - before)

    # Refresh: rotation on, old one spent; rotation off, no new one; revoked.
    _, refresh = o.grant(USER, "mail")
    st, r1, _ = _http(token, {"grant_type": "refresh_token", "refresh_token": refresh, "client_id": cid}, ctx)
    st2, r2, _ = _http(token, {"grant_type": "refresh_token", "refresh_token": refresh, "client_id": cid}, ctx)
    t.check("refresh: rotating, a new refresh token and the old one spent",
            st == 200 and r1.get("refresh_token") not in (None, refresh) and o.valid(r1.get("access_token")) == USER
            and (st2, r2.get("error")) == (400, "invalid_grant") and r2.get("error_description"), (r1, r2))
    o.set_rotation(False)
    fresh = r1.get("refresh_token")
    replies = [_http(token, {"grant_type": "refresh_token", "refresh_token": fresh, "client_id": cid}, ctx)[:2]
               for _ in range(2)]
    t.check("refresh: not rotating, no refresh token returned and the old one stays good",
            all(s == 200 and "refresh_token" not in b for s, b in replies), replies)
    o.set_rotation(True)
    o.revoke(fresh)
    st, rv, _ = _http(token, {"grant_type": "refresh_token", "refresh_token": fresh, "client_id": cid}, ctx)
    t.check("refresh: revoked is invalid_grant with a description",
            (st, rv.get("error")) == (400, "invalid_grant") and "revoked" in rv.get("error_description", ""), rv)

    # Client checks and the rest of the token endpoint.
    _, spare = o.grant(USER)
    refresh_form = {"grant_type": "refresh_token", "refresh_token": spare}

    def basic(cid, secret):
        pair = urllib.parse.quote_plus(cid) + ":" + urllib.parse.quote_plus(secret)
        return {"Authorization": "Basic " + b64(pair.encode())}

    cases = [  # what, form, headers, the secret the server wants, (status, error)
        ("unknown grant", {"grant_type": "password", "username": "a", "password": "b", "client_id": cid}, None, None,
         (400, "unsupported_grant_type")),
        ("no grant_type", {"client_id": cid}, None, None, (400, "invalid_request")),
        ("wrong client_id", dict(refresh_form, client_id="other"), None, None, (400, "invalid_client")),
        ("secret required, none sent", dict(refresh_form, client_id=cid), None, "s3cr3t", (401, "invalid_client")),
        ("secret required, wrong one", dict(refresh_form, client_id=cid, client_secret="nope"), None, "s3cr3t",
         (401, "invalid_client")),
        ("secret required, wrong one as Basic", refresh_form, basic(cid, "nope"), "s3cr/t", (401, "invalid_client")),
        ("secret required, right one as Basic", refresh_form, basic(cid, "s3cr/t"), "s3cr/t", (200, None)),
        ("secret required, right one", dict(refresh_form, client_id=cid, client_secret="s3cr3t"), None, "s3cr3t",
         (200, None)),
    ]
    o.set_rotation(False)  # the same refresh token serves every case
    for name, form, headers, secret, want in cases:
        o.client_secret = secret
        st, body, hdrs = _http(token, form, ctx, headers)
        t.check("token: %s -> %s" % (name, want), (st, body.get("error")) == want
                and (st != 401 or "WWW-Authenticate" in hdrs), (st, body))
    o.client_secret = None
    o.set_rotation(True)
    st, body, _ = _http(token, None, ctx)
    t.check("token: GET is refused (405)", st == 405, (st, body))
    st, body, _ = _http(token, {"grant_type": "refresh_token"}, ctx, {"Content-Type": "application/json"})
    t.check("token: a body that is not a form is invalid_request", (st, body.get("error")) == (400, "invalid_request"),
            body)

    # Authorization code with PKCE through a loopback redirect listener.
    got = []

    class Listener(http.server.BaseHTTPRequestHandler):
        def do_GET(self):
            got.append(urllib.parse.parse_qs(urllib.parse.urlsplit(self.path).query))
            body = b"You may close this window."
            self.send_response(200)
            self.send_header("Content-Length", str(len(body)))
            self.end_headers()
            self.wfile.write(body)

        def log_message(self, *args):
            pass

    listener = http.server.HTTPServer(("127.0.0.1", 0), Listener)
    thread = threading.Thread(target=listener.serve_forever, kwargs={"poll_interval": 0.1}, daemon=True)
    thread.start()
    try:
        redirect = "http://127.0.0.1:%d/callback" % listener.server_address[1]
        verifier = secrets.token_urlsafe(48)
        state = secrets.token_urlsafe(12)
        params = {"response_type": "code", "client_id": cid, "redirect_uri": redirect, "scope": "mail",
                  "state": state, "code_challenge": s256(verifier), "code_challenge_method": "S256"}
        opener = urllib.request.build_opener(urllib.request.HTTPSHandler(context=ctx))
        with opener.open(o.url("/authorize") + "?" + urllib.parse.urlencode(params), timeout=15) as r:
            r.read()
        ok = len(got) == 1 and got[0].get("state") == [state] and "code" in got[0]
        t.check("pkce: /authorize redirects to the loopback listener with code and state", ok, got)
        code = got[0]["code"][0] if ok else ""
        base = {"grant_type": "authorization_code", "code": code, "redirect_uri": redirect, "client_id": cid}
        st, bad, _ = _http(token, dict(base, code_verifier=secrets.token_urlsafe(48)), ctx)
        t.check("pkce: a wrong code_verifier is invalid_grant", (st, bad.get("error")) == (400, "invalid_grant"), bad)
        # The code is spent by the failed try above, as a real server does; ask again.
        got.clear()
        with opener.open(o.url("/authorize") + "?" + urllib.parse.urlencode(params), timeout=15) as r:
            r.read()
        code = got[0]["code"][0] if got and "code" in got[0] else ""
        base["code"] = code
        st, bad, _ = _http(token, dict(base, code_verifier=verifier, redirect_uri=redirect + "x"), ctx)
        t.check("pkce: another redirect_uri is invalid_grant", (st, bad.get("error")) == (400, "invalid_grant"), bad)
        got.clear()
        with opener.open(o.url("/authorize") + "?" + urllib.parse.urlencode(params), timeout=15) as r:
            r.read()
        base["code"] = got[0]["code"][0] if got and "code" in got[0] else ""
        st, good, _ = _http(token, dict(base, code_verifier=verifier), ctx)
        t.check("pkce: the right verifier gives tokens", st == 200 and o.valid(good.get("access_token")) == USER
                and "refresh_token" in good, (st, good))
        st, again, _ = _http(token, dict(base, code_verifier=verifier), ctx)
        t.check("pkce: a code works once", (st, again.get("error")) == (400, "invalid_grant"), again)
        o.refuse_authorization = True
        got.clear()
        with opener.open(o.url("/authorize") + "?" + urllib.parse.urlencode(params), timeout=15) as r:
            r.read()
        o.refuse_authorization = False
        t.check("pkce: a refusing user redirects with error=access_denied and the state",
                got and got[0].get("error") == ["access_denied"] and got[0].get("state") == [state] and
                "code" not in got[0], got)
        for name, change in (("redirect to another host", {"redirect_uri": "http://evil.test:80/cb"}),
                             ("redirect without a port", {"redirect_uri": "http://127.0.0.1/cb"}),
                             ("unknown client", {"client_id": "other"})):
            st, body, hdrs = _http(o.url("/authorize") + "?" + urllib.parse.urlencode(dict(params, **change)),
                                   None, ctx)
            t.check("pkce: %s gets 400 and no redirect" % name, st == 400 and "Location" not in hdrs, (st, body))
        st, body, hdrs = _http(o.url("/authorize") + "?" + urllib.parse.urlencode(
            dict(params, code_challenge_method="plain")), None, ctx)
        t.check("pkce: code_challenge_method=plain is refused with a redirect",
                st == 302 and "error=invalid_request" in hdrs.get("Location", ""), (st, hdrs.get("Location")))
    finally:
        listener.shutdown()
        listener.server_close()

    # Introspection as Dovecot asks.
    access, _ = o.grant(USER)
    st, info, _ = _http(o.url("/introspect"), {"token": access}, ctx)
    st2, none, _ = _http(o.url("/introspect"), {"token": "qat.unknown"}, ctx)
    t.check("introspect: active with the user; unknown inactive",
            info.get("active") is True and info.get("username") == USER and none == {"active": False}, (info, none))
    t.check("requests: bodies kept (client_id, code_verifier)",
            any(r["form"].get("code_verifier") == [verifier] for r in o.requests)
            and all(r["form"].get("client_id") == [cid] for r in o.requests
                    if r["path"] == "/token" and "client_id" in r["form"] and r["form"]["client_id"] != ["other"]))


def _status(challenge):
    """The "status" of a server's JSON error challenge (None when there was none)."""
    if challenge is None:
        return None
    try:
        return json.loads(challenge).get("status")
    except ValueError:
        return "not JSON: %r" % challenge


def check_pop3(t, peers, ctx, shared):
    o, d = peers.oauth, peers.pop3
    valid, _ = o.grant(USER)
    stale, _ = o.grant(USER)
    o.expire_access_tokens(stale)
    olga, _ = o.grant("olga@provider.test")
    long_token, _ = o.grant(USER, length=6000)
    too_long, _ = o.grant(USER, length=6200)  # over 8192 characters of base64
    body = b"From: <news@far.away>\r\nTo: <ivan@provider.test>\r\nSubject: oauth %d\r\n\r\nline one\r\n.dot line\r\n"
    d.deliver(USER, body % 1)
    d.deliver(USER, body % 2)

    def connect(kind):
        if kind == "pop3s":
            return RecordingPOP3_SSL("127.0.0.1", d.pop3s_port, context=ctx, timeout=15)
        p = RecordingPOP3("127.0.0.1", d.pop3_port, timeout=15)
        p.stls(context=ctx)
        return p

    p = RecordingPOP3("127.0.0.1", d.pop3_port, timeout=15)
    before = p.capa()
    ok_plain, line, _ = pop3_sasl(p, "XOAUTH2", xoauth2(USER, valid))
    p.stls(context=ctx)
    after = p.capa()
    p.quit()
    t.show("POP3 CAPA before and after STLS (relayed port), AUTH before STLS", p.transcript)
    t.check("pop3: before STLS no plaintext SASL offered and AUTH XOAUTH2 refused",
            "XOAUTH2" not in before.get("SASL", []) and not ok_plain and "STLS" in before, (before, line))
    t.check("pop3: after STLS CAPA lists SASL with XOAUTH2 and OAUTHBEARER",
            {"XOAUTH2", "OAUTHBEARER"} <= set(after.get("SASL", [])), after)
    p = RecordingPOP3("127.0.0.1", d.pop3_direct_port, timeout=15)
    direct = p.capa()
    p.quit()
    t.show("POP3 CAPA on Dovecot's own port, from its own address", p.transcript)
    t.check("pop3: Dovecot's own port offers OAuth before STLS to a client from its own address",
            "XOAUTH2" in direct.get("SASL", []), direct)

    failed = b"-ERR [AUTH] Authentication failed."
    # what, kind, mechanism, user, token, line after an error challenge,
    # expected: "login" / ("challenge", status, final line) / ("refused", final line) / "closed"
    table = [
        ("valid token", "pop3s", "XOAUTH2", USER, valid, "", "login"),
        ("valid token", "stls", "OAUTHBEARER", USER, valid, "", "login"),
        ("device-flow token", "stls", "XOAUTH2", USER, shared["device_access"], "", "login"),
        ("user in capitals", "pop3s", "XOAUTH2", USER.upper(), valid, "", "login"),
        ("6000-character token", "stls", "OAUTHBEARER", USER, long_token, "", "login"),
        ("expired token", "pop3s", "XOAUTH2", USER, stale, "", ("challenge", "401", failed)),
        ("unknown token", "pop3s", "XOAUTH2", USER, "qat.never-issued", "", ("challenge", "401", failed)),
        ("another user's token", "stls", "XOAUTH2", USER, olga, "", ("challenge", "401", failed)),
        ("expired token", "pop3s", "OAUTHBEARER", USER, stale, "AQ==", ("challenge", "invalid_token", failed)),
        ("unknown token", "stls", "OAUTHBEARER", USER, "qat.never-issued", "AQ==",
         ("challenge", "invalid_token", failed)),
        ("expired token", "pop3s", "OAUTHBEARER", USER, stale, "", ("challenge", "invalid_token", failed)),
        ("expired token", "pop3s", "XOAUTH2", USER, stale, "*",
         ("challenge", "401", b"-ERR Authentication aborted by client.")),
        ("no authzid", "pop3s", "OAUTHBEARER", None, valid, "", ("refused", failed)),
        ("response over 8192 characters", "pop3s", "XOAUTH2", USER, too_long, "", "closed"),
    ]
    for name, kind, mech, user, token, after_challenge, expected in table:
        p = connect(kind)
        payload = xoauth2(user, token) if mech == "XOAUTH2" else oauthbearer(user, token, d.pop3s_port)
        what = "pop3 %s %s %s" % (kind, mech, name) + (" (then %r)" % after_challenge if expected[0] == "challenge"
                                                       else "")
        try:
            ok, line, challenge = pop3_sasl(p, mech, payload, after_challenge)
        except (poplib.error_proto, OSError) as e:
            ok, line, challenge = False, "closed: %r" % e, None
        if expected == "login":
            got = []
            if ok:
                n, _ = p.stat()
                got = [b"\r\n".join(p.retr(i)[1]) + b"\r\n" for i in range(1, n + 1)]
            t.check(what + ": logged in, both messages whole", ok and got == [body % 1, body % 2], (line, got))
        elif expected == "closed":
            t.check(what + ": Dovecot closes the connection", isinstance(line, str), line)
        elif expected[0] == "challenge":
            t.check(what + ": error challenge with status %s, then %s" % (expected[1], expected[2].decode()),
                    _status(challenge) == expected[1] and line == expected[2], (line, challenge))
        else:
            t.check(what + ": %s with no challenge" % expected[1].decode(), challenge is None and line == expected[1],
                    (line, challenge))
        try:
            p.quit()
        except (poplib.error_proto, OSError):
            pass
        t.show(what, p.transcript)
    # A client whose token was refused may refresh it and try again on the same connection.
    p = connect("pop3s")
    first = pop3_sasl(p, "XOAUTH2", xoauth2(USER, stale))[0]
    second, line, _ = pop3_sasl(p, "XOAUTH2", xoauth2(USER, valid))
    p.quit()
    t.show("POP3 retry on the same connection", p.transcript)
    t.check("pop3: after a refused token a new one works on the same connection", not first and second, line)
    # Deleting through an OAuth login really deletes.
    p = connect("pop3s")
    pop3_sasl(p, "XOAUTH2", xoauth2(USER, valid))
    p.dele(1)
    p.quit()
    left = d.messages(USER)
    t.check("pop3: DELE then QUIT leaves the other message", left == [body % 2], left)
    # PLAIN for comparison.
    p = connect("pop3s")
    ok, line, _ = pop3_sasl(p, "PLAIN", b"\0office\0s3cret pass")
    p.quit()
    t.show("POP3 AUTH PLAIN", p.transcript)
    t.check("pop3: AUTH PLAIN with the password works beside OAuth", ok, line)


def check_smtp(t, peers, ctx, shared):
    o, s = peers.oauth, peers.smtp
    valid, _ = o.grant(USER)
    revoked, _ = o.grant(USER)
    o.revoke(revoked)
    long_token, _ = o.grant(USER, length=6000)
    sent = 0

    def connect(kind):
        if kind == "tls":
            c = RecordingSMTP_SSL("127.0.0.1", s.tls_port, context=ctx, timeout=15)
            c.ehlo("office.test")
            return c
        c = RecordingSMTP("127.0.0.1", s.starttls_port, timeout=15)
        c.ehlo("office.test")
        c.starttls(context=ctx)
        c.ehlo("office.test")
        return c

    c = RecordingSMTP("127.0.0.1", s.starttls_port, timeout=15)
    _, before = c.ehlo("office.test")
    code, _ = c.docmd("AUTH", "XOAUTH2 " + b64(xoauth2(USER, valid)))
    c.starttls(context=ctx)
    _, after = c.ehlo("office.test")
    c.quit()
    t.show("SMTP EHLO before and after STARTTLS, AUTH before STARTTLS", c.transcript)
    t.check("smtp: no AUTH before STARTTLS (and AUTH refused), XOAUTH2 and OAUTHBEARER after",
            b"AUTH" not in before and code >= 500 and b"XOAUTH2" in after and b"OAUTHBEARER" in after,
            (before, code, after))

    failed = b"5.7.8 Error: authentication failed: (reason unavailable)"
    # what, kind, mechanism, initial response, token, line after an error challenge,
    # expected: "sent" / (status of the error challenge or None, final code, final text)
    table = [
        ("valid token", "starttls", "XOAUTH2", True, valid, "", "sent"),
        ("valid token", "starttls", "OAUTHBEARER", False, valid, "", "sent"),
        ("valid token", "tls", "XOAUTH2", False, valid, "", "sent"),
        ("valid token", "tls", "OAUTHBEARER", True, valid, "", "sent"),
        ("6000-character token", "tls", "XOAUTH2", False, long_token, "", "sent"),
        ("revoked token", "tls", "XOAUTH2", True, revoked, "", ("401", 535, failed)),
        ("unknown token", "starttls", "XOAUTH2", False, "qat.never-issued", "", ("401", 535, failed)),
        ("revoked token", "tls", "OAUTHBEARER", True, revoked, "AQ==", ("invalid_token", 535, failed)),
        ("unknown token", "starttls", "OAUTHBEARER", False, "qat.never-issued", "AQ==", ("invalid_token", 535, failed)),
        ("revoked token", "tls", "XOAUTH2", True, revoked, "*", ("401", 501, b"5.7.0 Authentication aborted")),
        ("AUTH line over 2048 characters", "tls", "XOAUTH2", True, long_token, "",
         (None, 535, b"5.7.8 Error: authentication failed: Invalid base64 data in initial response")),
    ]
    for name, kind, mech, initial, token, after_challenge, expected in table:
        c = connect(kind)
        port = s.tls_port if kind == "tls" else s.starttls_port
        payload = xoauth2(USER, token) if mech == "XOAUTH2" else oauthbearer(USER, token, port)
        code, text, challenge = smtp_sasl(c, mech, payload, initial, after_challenge)
        what = "smtp %s %s %s %s" % (kind, mech, "initial response" if initial else "after 334", name)
        if expected == "sent":
            msg = b"From: <ivan@provider.test>\r\nTo: <far@far.away>\r\nSubject: %s\r\n\r\nhello\r\n" % what.encode()
            if code == 235:
                c.sendmail(USER, ["far@far.away"], msg)
                sent += 1
            got = s.wait_received(sent)
            t.check(what + ": 235, and the message reaches the sink",
                    code == 235 and len(got) == sent and got[-1][0] == USER and got[-1][2].endswith(msg),
                    (code, text, got[-1:]))
        else:
            what += " (then %r)" % after_challenge if expected[0] else ""
            t.check(what + ": %s%d %s" % ("error challenge with status %s, then " % expected[0] if expected[0] else
                                          "no challenge, ", expected[1], expected[2].decode()),
                    _status(challenge) == expected[0] and (code, text) == expected[1:], (code, text, challenge))
        try:
            c.quit()
        except (smtplib.SMTPException, OSError):
            pass
        t.show(what, c.transcript)
    c = connect("tls")
    first = smtp_sasl(c, "XOAUTH2", xoauth2(USER, revoked))[0]
    second = smtp_sasl(c, "XOAUTH2", xoauth2(USER, valid))[0]
    c.quit()
    t.show("SMTP retry on the same connection", c.transcript)
    t.check("smtp: after a refused token a new one works on the same connection", (first, second) == (535, 235),
            (first, second))
    t.check("Dovecot validated every token over HTTPS, as a form with the token",
            all(r["tls"] and "token" in r["form"] for r in o.requests if r["path"] == "/introspect")
            and o.count("/introspect") > 0, o.count("/introspect"))
    log = s.maillog()
    t.check("smtp: Postfix saw the OAuth logins", "sasl_method=XOAUTH2" in log and "sasl_method=OAUTHBEARER" in log
            and "sasl_username=" + USER in log, log[-1500:])


def self_check(verbose):
    t = Tally(verbose)
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(1))  # still stop the daemons
    started = time.time()
    import postfix_tls_interop
    if postfix_tls_interop.Controller is None or shutil.which("dovecot") is None:
        t.check("aiosmtpd and Dovecot are installed", False)
        print("%d passed, %d failed" % (t.passed, t.failed))
        return 1
    peers = None
    try:
        peers = OAuthPeers(passwords={"office": "s3cret pass"}, interval=1, slow_down_step=1)
        t.check("peers started: OAuth HTTPS and HTTP, POP3S, POP3, SMTP STARTTLS and TLS",
                all(wait_port(p, 20) for p in (peers.oauth.port, peers.oauth.http_port, peers.pop3.pop3s_port,
                                               peers.pop3.pop3_port, peers.smtp.starttls_port, peers.smtp.tls_port)))
        ctx = ssl.create_default_context(cafile=peers.material.ca["cert"])
        shared = {"device_access": "qat.none"}
        for name, run in (("http", check_http), ("pop3", check_pop3), ("smtp", check_smtp)):
            try:
                run(t, peers, ctx, shared)
            except Exception:  # the other groups still run
                t.check(name + " checks ran to the end", False, traceback.format_exc())
        t.check("the identity platform had no handler errors", not peers.oauth.errors, peers.oauth.errors)
        if t.failed:
            print(peers.pop3.log()[-4000:])
            print(peers.smtp.maillog()[-3000:])
    except BaseException:  # SIGTERM, ^C or a peer that would not start: still stopped and counted
        t.check("the self-check ran to the end", False, traceback.format_exc(limit=3))
    finally:
        if peers:
            peers.stop()
        print("self-check took %.1f s" % (time.time() - started))
        print("%d passed, %d failed" % (t.passed, t.failed))
    return 0 if t.failed == 0 else 1


if __name__ == "__main__":
    if "--self-check" in sys.argv:
        sys.exit(self_check("-v" in sys.argv))
    print(__doc__)
