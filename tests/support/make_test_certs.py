"""Throw-away certificates for the TLS tests, written to the given folder:
ca.pem (the authority the tests trust), other-ca.pem (one they do not),
server.pem/server.key (127.0.0.1 and ::1, signed by ca) and wrong-name.pem/.key
(a name that is not 127.0.0.1, signed by ca). RSA keys: Wine's certificate
chain engine, which Schannel uses under Wine, cannot verify ECDSA signatures."""
import datetime
import ipaddress
import os
import sys

from cryptography import x509
from cryptography.hazmat.primitives import hashes, serialization
from cryptography.hazmat.primitives.asymmetric import rsa
from cryptography.x509.oid import NameOID


def name(text):
    return x509.Name([x509.NameAttribute(NameOID.COMMON_NAME, text)])


def build(subject, key, issuer, issuer_key, ca, san):
    now = datetime.datetime.utcnow()
    b = (x509.CertificateBuilder()
         .subject_name(name(subject)).issuer_name(issuer)
         .public_key(key.public_key())
         .serial_number(x509.random_serial_number())
         .not_valid_before(now - datetime.timedelta(days=1))
         .not_valid_after(now + datetime.timedelta(days=30))
         .add_extension(x509.BasicConstraints(ca=ca, path_length=None), critical=True))
    if san:
        b = b.add_extension(x509.SubjectAlternativeName(san), critical=False)
    return b.sign(issuer_key, hashes.SHA256())


def save(folder, stem, cert, key=None):
    with open(os.path.join(folder, stem + ".pem"), "wb") as f:
        f.write(cert.public_bytes(serialization.Encoding.PEM))
    if key:
        with open(os.path.join(folder, stem + ".key"), "wb") as f:
            f.write(key.private_bytes(serialization.Encoding.PEM,
                                      serialization.PrivateFormat.PKCS8,
                                      serialization.NoEncryption()))


def new_key():
    return rsa.generate_private_key(public_exponent=65537, key_size=2048)


def main(folder):
    ca_key = new_key()
    ca = build("Brevolt Test CA", ca_key, name("Brevolt Test CA"), ca_key, True, None)
    other_key = new_key()
    other = build("Other Test CA", other_key, name("Other Test CA"), other_key, True, None)
    save(folder, "ca", ca)
    save(folder, "other-ca", other)
    # Also as DNS names: libcurl's Schannel check (7.88) compares the host
    # with the DNS names only; OpenSSL takes the addresses for an address.
    loopback = ([x509.IPAddress(ipaddress.ip_address(a)) for a in ("127.0.0.1", "::1")] +
                [x509.DNSName(a) for a in ("127.0.0.1", "::1")])
    for stem, san in (("server", loopback),
                      ("wrong-name", [x509.DNSName("other.test.invalid")])):
        key = new_key()
        save(folder, stem, build(stem, key, ca.subject, ca_key, False, san), key)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1]))
