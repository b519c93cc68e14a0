"""A local nginx for the HTTP benchmarks: a 1 KiB file (also as /cached, fresh
for an hour), a 256 MiB file and an upload sink, on a free port of
127.0.0.1; with a certificate, the same files over TLS (HTTP/1.1 and
HTTP/2 by ALPN) on a second port.  Stopped by process id, also when the
benchmark fails or is interrupted (tests/live/servers/reaper.py).
"""
import os
import pathlib
import shutil
import socket
import sys
import tempfile
import time

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent / "tests" / "live"))
from servers import reaper  # noqa: E402

CONF = """
daemon off;
master_process off;
worker_processes 1;
pid {root}/nginx.pid;
error_log {root}/error.log warn;
events {{ worker_connections 1024; }}
http {{
    access_log off;
    sendfile on;
    tcp_nopush on;
    keepalive_requests 1000000;
    keepalive_timeout 60;
    client_body_temp_path {root}/body;
    proxy_temp_path {root}/proxy;
    fastcgi_temp_path {root}/fastcgi;
    uwsgi_temp_path {root}/uwsgi;
    scgi_temp_path {root}/scgi;
    server {{
        listen 127.0.0.1:{port};
        root {root}/www;
        location = /cached {{ expires 1h; try_files /small =404; }}
        location /upload {{
            client_max_body_size 0;
            client_body_buffer_size 1m;
            client_body_in_file_only off;
            proxy_request_buffering off;
            if ($request_method = POST) {{ return 200 "ok"; }}
        }}
    }}
{tls}}}
"""

TLS_SERVER = """
    server {{
        listen 127.0.0.1:{port} ssl http2;
        ssl_certificate {cert};
        ssl_certificate_key {key};
        ssl_session_cache shared:tls:1m;
        root {root}/www;
    }}
"""


def free_port():
    sock = socket.socket()
    sock.bind(("127.0.0.1", 0))
    port = sock.getsockname()[1]
    sock.close()
    return port


class Nginx:
    def __init__(self, large_bytes=256 * 1024 * 1024, tls_cert=None, tls_key=None):
        binary = shutil.which("nginx") or "/usr/sbin/nginx"
        self.root = pathlib.Path(tempfile.mkdtemp(prefix="vesper-nginx-"))
        www = self.root / "www"
        www.mkdir()
        (www / "small").write_bytes(bytes(range(256)) * 4)
        with open(www / "large", "wb") as f:
            block = bytes(range(256)) * 4096
            for _ in range(large_bytes // len(block)):
                f.write(block)
        os.chmod(self.root, 0o755)
        self.port = free_port()
        tls = ""
        self.tls_base = None
        if tls_cert:
            tls_port = free_port()
            tls = TLS_SERVER.format(port=tls_port, cert=tls_cert, key=tls_key, root=self.root)
            self.tls_base = f"https://127.0.0.1:{tls_port}"
        conf = self.root / "nginx.conf"
        conf.write_text(CONF.format(root=self.root, port=self.port, tls=tls))
        self.proc = reaper.spawn([binary, "-c", str(conf), "-p", str(self.root)])
        deadline = time.monotonic() + 10
        while time.monotonic() < deadline:
            try:
                socket.create_connection(("127.0.0.1", self.port), timeout=0.5).close()
                break
            except OSError:
                time.sleep(0.05)
        else:
            self.stop()
            raise RuntimeError("nginx did not start")
        self.base = f"http://127.0.0.1:{self.port}"

    def stop(self):
        reaper.stop(self.proc, grace=10)
        shutil.rmtree(self.root, ignore_errors=True)
