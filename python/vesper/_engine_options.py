"""Engine settings beyond the engine's record: connection limits and name
resolution, handed to the Core as named options when the engine is made."""

from __future__ import annotations

import ipaddress
import urllib.parse
from typing import List, Mapping, Optional, Tuple

__all__ = ["Limits", "EngineOption", "limit_options", "dns_options"]

# One named option: (name, value text).
EngineOption = Tuple[str, str]


class Limits:
    """Connection limits of a client (``Client(limits=vesper.Limits(...))``).

    - ``max_connections``: transfers running at once over all hosts (None:
      no overall limit); the others wait their turn.
    - ``max_connections_per_host``: transfers running at once per origin
      (scheme, host, port); None keeps the browser's 6.  An origin that
      answered over HTTP/2 shares one connection and is not held back.
    - ``max_keepalive_connections``: idle connections kept open for reuse
      (None: libcurl's choice, 4 per running transfer).
    - ``keepalive_expiry``: seconds an idle connection may wait to be
      reused before it is closed (None: 118 s, libcurl's default).

    Waiting for a turn counts against the request's ``total`` timeout.
    """

    __slots__ = ("max_connections", "max_connections_per_host", "max_keepalive_connections", "keepalive_expiry")

    def __init__(self, *, max_connections: Optional[int] = None, max_connections_per_host: Optional[int] = None,
                 max_keepalive_connections: Optional[int] = None,
                 keepalive_expiry: Optional[float] = None) -> None:
        for name, value in (("max_connections", max_connections),
                            ("max_connections_per_host", max_connections_per_host),
                            ("max_keepalive_connections", max_keepalive_connections)):
            if value is not None and (isinstance(value, bool) or not isinstance(value, int) or value < 1
                                      or value > 1_000_000):
                raise ValueError(f"Limits {name} must be an int from 1 to 1000000 or None, not {value!r}")
        if keepalive_expiry is not None and (isinstance(keepalive_expiry, bool)
                                             or not isinstance(keepalive_expiry, (int, float))
                                             or not 0 <= keepalive_expiry <= 86400):
            raise ValueError(f"Limits keepalive_expiry must be seconds from 0 to 86400 or None, "
                             f"not {keepalive_expiry!r}")
        self.max_connections = max_connections
        self.max_connections_per_host = max_connections_per_host
        self.max_keepalive_connections = max_keepalive_connections
        self.keepalive_expiry = None if keepalive_expiry is None else float(keepalive_expiry)

    def __eq__(self, other: object) -> bool:
        if not isinstance(other, Limits):
            return NotImplemented
        return all(getattr(self, k) == getattr(other, k) for k in self.__slots__)

    def __hash__(self) -> int:
        return hash(tuple(getattr(self, k) for k in self.__slots__))

    def __repr__(self) -> str:
        return "Limits(" + ", ".join(f"{k}={getattr(self, k)!r}" for k in self.__slots__) + ")"


def limit_options(limits: Optional[Limits]) -> List[EngineOption]:
    """The named options of ``limits``."""
    if limits is None:
        return []
    if not isinstance(limits, Limits):
        raise TypeError(f"limits must be a vesper.Limits, not {type(limits).__name__}")
    out: List[EngineOption] = []
    for name in ("max_connections", "max_connections_per_host", "max_keepalive_connections"):
        value = getattr(limits, name)
        if value is not None:
            out.append((name, str(value)))
    if limits.keepalive_expiry is not None:
        out.append(("keepalive_expiry_ms", str(round(limits.keepalive_expiry * 1000))))
    return out


def _resolve_entry(key: str, address: str) -> str:
    if not isinstance(key, str) or not isinstance(address, str):
        raise TypeError("resolve maps 'host:port' to an address, both str")
    host, sep, port = key.rpartition(":")
    host = host.strip("[]")
    if not sep or not host or not port.isdigit() or not 0 < int(port) < 65536 or any(c in host for c in ":, \t"):
        raise ValueError(f"resolve keys are 'host:port', not {key!r}")
    try:
        parsed = ipaddress.ip_address(address.strip("[]"))
    except ValueError:
        raise ValueError(f"resolve maps {key!r} to an IP address, not {address!r}") from None
    shown = f"[{parsed}]" if parsed.version == 6 else str(parsed)
    return f"{host}:{port}:{shown}"


def dns_options(resolve: Optional[Mapping[str, str]], ip_version: Optional[int],
                dns_over_https: Optional[str]) -> List[EngineOption]:
    """The named options of the name-resolution settings."""
    out: List[EngineOption] = []
    if resolve:
        if not isinstance(resolve, Mapping):
            raise TypeError("resolve must be a mapping of 'host:port' to an address")
        out.extend(("resolve", _resolve_entry(key, address)) for key, address in resolve.items())
    if ip_version is not None:
        if ip_version not in (4, 6) or isinstance(ip_version, bool):
            raise ValueError(f"ip_version must be 4, 6 or None, not {ip_version!r}")
        out.append(("ip_version", str(ip_version)))
    if dns_over_https is not None:
        parts = urllib.parse.urlsplit(dns_over_https) if isinstance(dns_over_https, str) else None
        if parts is None or parts.scheme.lower() != "https" or not parts.hostname:
            raise ValueError(f"dns_over_https must be an https:// URL, not {dns_over_https!r}")
        out.append(("doh_url", dns_over_https))
    return out
