"""A test CA (trustme) and the certificates the TLS servers present."""
import datetime
import pathlib

import trustme


def make_certs(folder):
    """Writes ca.pem and server certificates into `folder`; returns their paths.

    good: 127.0.0.1 and localhost; expired: valid last year; wrong_host:
    issued for another name; other_ca: a second CA nobody trusts here.
    """
    folder = pathlib.Path(folder)
    folder.mkdir(parents=True, exist_ok=True)
    ca = trustme.CA()
    ca.cert_pem.write_to_path(str(folder / "ca.pem"))
    now = datetime.datetime.now(datetime.timezone.utc)
    leaves = {
        "good": ca.issue_cert("127.0.0.1", "localhost", "::1"),
        "expired": ca.issue_cert("127.0.0.1", "localhost", not_before=now - datetime.timedelta(days=400),
                                 not_after=now - datetime.timedelta(days=30)),
        "wrong_host": ca.issue_cert("other.invalid"),
        "other_ca": trustme.CA().issue_cert("127.0.0.1", "localhost"),
    }
    paths = {"ca": str(folder / "ca.pem")}
    for name, leaf in leaves.items():
        cert, key = folder / f"{name}.crt", folder / f"{name}.key"
        leaf.private_key_pem.write_to_path(str(key))
        with open(cert, "wb") as f:
            for blob in leaf.cert_chain_pems:
                f.write(blob.bytes())
        paths[name] = (str(cert), str(key))
    return paths
