"""Client certificates (mutual TLS): a server that requires one gets the
engine's; what cannot be used is refused at engine creation, naming the
argument."""
import http.server
import pathlib
import ssl
import threading

import pytest
import trustme
from cryptography.hazmat.primitives import serialization

import vesper
from conftest import native

pytestmark = pytest.mark.skipif("hy_engine_create_with_client_certificate" not in native.core_extensions,
                                reason="a Core without client certificates")


@pytest.fixture(scope="module")
def pki(tmp_path_factory):
    folder = tmp_path_factory.mktemp("mtls")
    server_ca, client_ca = trustme.CA(), trustme.CA()
    server = server_ca.issue_cert("127.0.0.1", "localhost")
    client = client_ca.issue_cert("client@example.test")
    stranger = trustme.CA().issue_cert("stranger@example.test")
    paths = {"server_ca": folder / "server_ca.pem", "client_ca": folder / "client_ca.pem",
             "chain": folder / "client.pem", "key": folder / "client.key", "both": folder / "both.pem",
             "encrypted": folder / "client.enc.key", "stranger_key": folder / "stranger.key"}
    server_ca.cert_pem.write_to_path(str(paths["server_ca"]))
    client_ca.cert_pem.write_to_path(str(paths["client_ca"]))
    chain = b"".join(blob.bytes() for blob in client.cert_chain_pems)
    paths["chain"].write_bytes(chain)
    client.private_key_pem.write_to_path(str(paths["key"]))
    paths["both"].write_bytes(chain + client.private_key_pem.bytes())
    key = serialization.load_pem_private_key(client.private_key_pem.bytes(), password=None)
    paths["encrypted"].write_bytes(key.private_bytes(serialization.Encoding.PEM, serialization.PrivateFormat.PKCS8,
                                                     serialization.BestAvailableEncryption(b"s3cret")))
    stranger.private_key_pem.write_to_path(str(paths["stranger_key"]))
    return paths, server


class Handler(http.server.BaseHTTPRequestHandler):
    def do_GET(self):  # noqa: N802 - http.server's name
        peer = self.connection.getpeercert() or {}
        subject = dict(item[0] for item in peer.get("subject", ()))
        names = [v for _, v in peer.get("subjectAltName", ())]
        body = ("|".join(names) or subject.get("commonName", "")).encode()
        self.send_response(200)
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def log_message(self, *args):
        pass


@pytest.fixture(scope="module")
def mtls_server(pki):
    paths, server_cert = pki
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    server_cert.configure_cert(context)
    context.verify_mode = ssl.CERT_REQUIRED
    context.load_verify_locations(str(paths["client_ca"]))
    httpd = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
    httpd.socket = context.wrap_socket(httpd.socket, server_side=True)
    thread = threading.Thread(target=httpd.serve_forever, kwargs={"poll_interval": 0.1}, daemon=True)
    thread.start()
    yield f"https://localhost:{httpd.server_address[1]}"
    httpd.shutdown()
    httpd.server_close()
    thread.join(10)


@pytest.mark.parametrize("form", ["paths", "one_file", "bytes", "encrypted"])
def test_server_requiring_a_certificate_gets_the_clients(pki, mtls_server, form):
    paths, _ = pki
    cert = {"paths": (str(paths["chain"]), str(paths["key"])), "one_file": str(paths["both"]),
            "bytes": (paths["chain"].read_bytes(), paths["key"].read_bytes()),
            "encrypted": (str(paths["chain"]), str(paths["encrypted"]), "s3cret")}[form]
    with vesper.Client(cert=cert, verify=str(paths["server_ca"]), timeout=10) as client:
        for _ in range(2):     # a new connection, then a reused one
            response = client.get(f"{mtls_server}/who")
            assert response.status_code == 200
            assert response.content == b"client@example.test"


def test_without_a_certificate_the_server_refuses(pki, mtls_server):
    paths, _ = pki
    with vesper.Client(verify=str(paths["server_ca"]), timeout=10) as client:
        with pytest.raises(vesper.TransportError):
            client.get(f"{mtls_server}/who")


@pytest.mark.parametrize("cert, message", [
    (lambda p: (str(p["chain"]), str(p["encrypted"]), "wrong"), "key_password: .*missing or wrong"),
    (lambda p: (str(p["chain"]), str(p["encrypted"])), "key_password: .*missing or wrong"),
    (lambda p: (str(p["chain"]), str(p["stranger_key"])), "client_key: .*does not belong"),
    (lambda p: (b"not a certificate", str(p["key"])), "client_cert: no PEM certificate"),
    (lambda p: (str(p["chain"]), b"not a key"), "client_key: no PEM private key"),
    (lambda p: str(p["chain"]), "client_key: no PEM private key"),
])
def test_unusable_certificate_or_key_is_named(pki, mtls_server, cert, message):
    paths, _ = pki
    with vesper.Client(cert=cert(paths), verify=str(paths["server_ca"]), timeout=10) as client:
        with pytest.raises(ValueError, match=message):
            client.get(f"{mtls_server}/who")


def test_engine_with_a_certificate_keeps_out_of_namespaces(pki):
    paths, _ = pki
    with pytest.raises(ValueError, match="profile_namespace"):
        native.PyEngine(client_cert=paths["both"].read_bytes(), profile_namespace="shared")
