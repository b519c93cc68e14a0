"""Catch a timeout and a certificate error by class.
Usage: errors_by_class.py SLOW_URL UNTRUSTED_HTTPS_URL"""
import sys

import vesper

slow, untrusted = sys.argv[1:3]
try:
    vesper.get(slow, timeout=0.5)
except vesper.TimeoutError as exc:
    print(f"timed out: {type(exc).__name__}")

try:
    vesper.get(untrusted)
except vesper.CertificateUnknownAuthority as exc:
    print(f"untrusted certificate: {exc.net_error} {exc.net_error_name}")
except vesper.TLSError as exc:
    print(f"other TLS failure: {exc}")
