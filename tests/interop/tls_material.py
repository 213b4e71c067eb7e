"""Certificates for the TLS checks, made afresh for each run: a CA the program is told to trust,
a rogue CA it is not, and certificates for localhost / 127.0.0.1 (good, expired, for another
host, rogue-signed, self-signed; one with an RSA key), each written as PEM files with its key."""
import datetime
import hashlib
import ipaddress
import os

from cryptography import x509
from cryptography.hazmat.primitives import hashes, serialization
from cryptography.hazmat.primitives.asymmetric import ec, rsa
from cryptography.hazmat.primitives.asymmetric.utils import decode_dss_signature
from cryptography.x509.oid import NameOID


def _name(cn):
    return x509.Name([x509.NameAttribute(NameOID.ORGANIZATION_NAME, "Quelmar interop"),
                      x509.NameAttribute(NameOID.COMMON_NAME, cn)])


def _make(cn, names, issuer, days_from, days_to, ca=False, rsa_key=False):
    key = rsa.generate_private_key(public_exponent=65537, key_size=2048) if rsa_key else ec.generate_private_key(
        ec.SECP256R1())
    now = datetime.datetime.now(datetime.timezone.utc)
    builder = (x509.CertificateBuilder().subject_name(_name(cn))
               .issuer_name(issuer[1].subject if issuer else _name(cn))
               .public_key(key.public_key()).serial_number(x509.random_serial_number())
               .not_valid_before(now + datetime.timedelta(days=days_from))
               .not_valid_after(now + datetime.timedelta(days=days_to))
               .add_extension(x509.BasicConstraints(ca=ca, path_length=None), critical=ca))
    if names:
        alt = [x509.IPAddress(ipaddress.ip_address(n)) if n[0].isdigit() or ":" in n else x509.DNSName(n) for n in names]
        builder = builder.add_extension(x509.SubjectAlternativeName(alt), critical=False)
    signer = issuer[0] if issuer else key
    cert = builder.sign(signer, hashes.SHA256())
    # Wine's crypt32 takes an ECDSA signature whose r or s is shorter than 32 bytes (one in about
    # 128) for a bad one ("chain status 8"): sign again until both are full length.
    while isinstance(signer, ec.EllipticCurvePrivateKey) and min(x.bit_length() for x in
                                                                 decode_dss_signature(cert.signature)) <= 248:
        cert = builder.sign(signer, hashes.SHA256())
    return key, cert


class Material:
    LOCAL = ["localhost", "127.0.0.1", "::1"]

    def __init__(self, directory):
        self.dir = directory
        ca = _make("Quelmar Interop CA", None, None, -1, 3650, ca=True)
        rogue = _make("Rogue CA", None, None, -1, 3650, ca=True)
        self.ca = self._write("ca", ca, key=False)
        self.good = self._write("good", _make("localhost", self.LOCAL, ca, -1, 365))
        self.expired = self._write("expired", _make("localhost", self.LOCAL, ca, -60, -2))
        self.other = self._write("other", _make("other.example", ["other.example"], ca, -1, 365))
        self.rogue = self._write("rogue", _make("localhost", self.LOCAL, rogue, -1, 365))
        self.self_signed = self._write("self", _make("localhost", self.LOCAL, None, -1, 365))
        # Windows takes only RSA keys for its own servers.
        self.good_rsa = self._write("good-rsa", _make("localhost", self.LOCAL, ca, -1, 365, rsa_key=True))

    def _write(self, name, made, key=True):
        k, cert = made
        cert_path = os.path.join(self.dir, name + ".pem")
        with open(cert_path, "wb") as f:
            f.write(cert.public_bytes(serialization.Encoding.PEM))
        key_path = os.path.join(self.dir, name + ".key")
        if key:
            with open(key_path, "wb") as f:
                f.write(k.private_bytes(serialization.Encoding.PEM, serialization.PrivateFormat.PKCS8,
                                        serialization.NoEncryption()))
        return {"cert": cert_path, "key": key_path,
                "sha256": hashlib.sha256(cert.public_bytes(serialization.Encoding.DER)).hexdigest().upper()}
