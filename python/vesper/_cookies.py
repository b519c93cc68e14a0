"""The client's cookie jar as users see it: ``client.cookies``, a view of
the engine's own jar (the one the Core fills from Set-Cookie and sends
from), plus the client's own cookies sent to every host; kept across runs
in the Netscape cookies.txt format that curl and browsers' exporters use."""

from __future__ import annotations

import http.cookiejar
import os
import tempfile
import time
from typing import Any, Callable, Dict, Iterator, List, Mapping, Optional, Protocol, Sequence, Tuple, Union

__all__ = ["Cookie", "Cookies", "JarBackend", "CookieJarBackend", "EngineJar", "parse_line", "COOKIES_TXT_HEADER"]

COOKIES_TXT_HEADER = "# Netscape HTTP Cookie File\n# Written by vesper; each line: domain, include subdomains, " \
                     "path, secure, expires, name, value.\n\n"
_HTTP_ONLY = "#HttpOnly_"
_NAME_FORBIDDEN = set(" \t\r\n;=,\0")
_VALUE_FORBIDDEN = set("\t\r\n;\0")

PathTypes = Union[str, "os.PathLike[str]"]


class Cookie:
    """One cookie of a jar: ``name``, ``value``, ``domain`` (a leading dot
    means subdomains are included; "" for the client's own cookies, sent to
    every host), ``path``, ``expires`` (seconds since the epoch, None for a
    session cookie), ``secure`` and ``http_only``."""

    __slots__ = ("name", "value", "domain", "path", "expires", "secure", "http_only")

    def __init__(self, name: str, value: str, domain: str = "", path: str = "/", expires: Optional[int] = None,
                 secure: bool = False, http_only: bool = False) -> None:
        self.name = name
        self.value = value
        self.domain = domain
        self.path = path
        self.expires = expires
        self.secure = secure
        self.http_only = http_only

    def to_line(self) -> str:
        """The cookie as one cookies.txt line (no line end)."""
        domain = (_HTTP_ONLY if self.http_only else "") + self.domain
        subdomains = "TRUE" if self.domain.startswith(".") else "FALSE"
        return "\t".join((domain, subdomains, self.path, "TRUE" if self.secure else "FALSE",
                          str(self.expires or 0), self.name, self.value))

    def _key(self) -> Tuple[Any, ...]:
        return tuple(getattr(self, name) for name in self.__slots__)

    def __eq__(self, other: object) -> bool:
        if not isinstance(other, Cookie):
            return NotImplemented
        return self._key() == other._key()

    def __hash__(self) -> int:
        return hash(self._key())

    def __repr__(self) -> str:
        return (f"Cookie(name={self.name!r}, value={self.value!r}, domain={self.domain!r}, path={self.path!r}, "
                f"expires={self.expires!r}, secure={self.secure!r}, http_only={self.http_only!r})")


def parse_line(line: str) -> Optional[Cookie]:
    """A cookies.txt line as a Cookie; None for a blank or comment line.
    Raises ValueError for a line that is neither."""
    line = line.rstrip("\r\n")
    http_only = line.startswith(_HTTP_ONLY)
    if http_only:
        line = line[len(_HTTP_ONLY):]
    elif not line.strip() or line.startswith("#"):
        return None
    fields = line.split("\t")
    if len(fields) == 6:
        fields.append("")  # curl writes an empty value without its tab
    if len(fields) != 7:
        raise ValueError(f"a cookies.txt line has 7 tab-separated fields, not {len(fields)}")
    domain, subdomains, path, secure, expires, name, value = fields
    if subdomains not in ("TRUE", "FALSE") or secure not in ("TRUE", "FALSE"):
        raise ValueError("the second and fourth fields of a cookies.txt line are TRUE or FALSE")
    try:
        when = int(expires)
    except ValueError:
        raise ValueError(f"the expiry of a cookies.txt line is a number of seconds, not {expires!r}") from None
    if not domain or not name:
        raise ValueError("a cookies.txt line needs a domain and a name")
    if subdomains == "TRUE" and not domain.startswith("."):
        domain = "." + domain
    elif subdomains == "FALSE" and domain.startswith("."):
        domain = domain[1:]
    return Cookie(name, value, domain.lower(), path or "/", when or None, secure == "TRUE", http_only)


class JarBackend(Protocol):
    """Where a Cookies view keeps the cookies with a domain."""

    def lines(self) -> List[str]:
        """Every cookie, as cookies.txt lines."""

    def apply(self, line: str) -> None:
        """Stores the cookie of a cookies.txt line (an expired one deletes
        the cookie of that name, domain and path)."""

    def clear(self) -> None:
        """Empties the jar."""


class CookieJarBackend:
    """A standard-library CookieJar as a backend (MockTransport clients)."""

    def __init__(self, jar: http.cookiejar.CookieJar) -> None:
        self.jar = jar

    def lines(self) -> List[str]:
        out = []
        for c in self.jar:
            http_only = any(k.lower() == "httponly" for k in getattr(c, "_rest", {}))
            out.append(Cookie(c.name, c.value or "", c.domain, c.path, c.expires, c.secure, http_only).to_line())
        return out

    def apply(self, line: str) -> None:
        cookie = parse_line(line)
        if cookie is None:
            return
        if cookie.expires is not None and cookie.expires <= time.time():
            try:
                self.jar.clear(cookie.domain, cookie.path, cookie.name)
            except KeyError:
                pass
            return
        dotted = cookie.domain.startswith(".")
        self.jar.set_cookie(http.cookiejar.Cookie(
            0, cookie.name, cookie.value, None, False, cookie.domain, dotted, dotted, cookie.path, True,
            cookie.secure, cookie.expires, cookie.expires is None, None, None,
            {"HttpOnly": ""} if cookie.http_only else {}))

    def clear(self) -> None:
        self.jar.clear()


class EngineJar:
    """An engine's own jar (shared by its profile namespace), through the
    Core's cookie-jar access."""

    def __init__(self, engine: Any) -> None:
        if not native_has_cookies(engine):
            raise NotImplementedError("this Core gives no access to its cookie jar (hy_engine_cookies is missing): "
                                      "only cookies without a domain can be set")
        self._engine = engine

    def lines(self) -> List[str]:
        return [line for line in self._call("").split("\n") if line]

    def apply(self, line: str) -> None:
        self._call(line)

    def clear(self) -> None:
        self._call("ALL")

    def _call(self, command: str) -> str:
        from ._exceptions import from_native
        try:
            return str(self._engine.cookies(command))
        except RuntimeError as exc:
            raise from_native(exc) from None


def native_has_cookies(engine: Any) -> bool:
    """Whether the loaded Core has the cookie-jar extension."""
    from ._native import native
    return "hy_engine_cookies" in native.core_extensions


def _check_text(what: str, text: str, forbidden: "set[str]", allow_empty: bool) -> None:
    if not isinstance(text, str):
        raise TypeError(f"a cookie {what} must be a str, not {type(text).__name__}")
    if (not text and not allow_empty) or forbidden.intersection(text):
        raise ValueError(f"not a valid cookie {what}: {text!r}")


def _bare(domain: str) -> str:
    return domain.lstrip(".").lower()


class Cookies:
    """``client.cookies``: the cookies the client sends.

    Two kinds live here: the cookies of the engine's jar, which servers set
    (Set-Cookie) and which are sent back by domain, path, expiry and
    Secure, as a browser does (a profile namespace's engines share one
    jar); and the client's own cookies without a domain (``cookies=`` given
    to the client, or ``set()`` without ``domain``), sent to every host.

    ``get``/``set``/``delete``/``clear`` change them; iterating gives
    ``vesper.Cookie`` records; ``len()`` counts them; ``save(path)`` and
    ``load(path)`` write and read the jar in the Netscape cookies.txt format
    (curl's ``-c``/``-b``), so a session lasts across runs::

        client.cookies.save("cookies.txt")
        later = vesper.Client(cookies="cookies.txt")
    """

    def __init__(self, backend: Callable[[], JarBackend], own: Optional[Dict[str, str]] = None) -> None:
        # The backend is made on first use: the engine's jar needs the engine.
        self._backend_factory = backend
        self._backend: Optional[JarBackend] = None
        self._own: Dict[str, str] = dict(own or {})

    def _jar(self) -> JarBackend:
        if self._backend is None:
            self._backend = self._backend_factory()
        return self._backend

    @property
    def own(self) -> Dict[str, str]:
        """The client's own cookies (no domain): name to value, sent to every host."""
        return self._own

    def _jar_cookies(self) -> List[Cookie]:
        now = time.time()
        out = []
        for line in self._jar().lines():
            cookie = parse_line(line)
            if cookie is not None and (cookie.expires is None or cookie.expires > now):
                out.append(cookie)
        return out

    def __iter__(self) -> Iterator[Cookie]:
        for name, value in self._own.items():
            yield Cookie(name, value, "")
        yield from self._jar_cookies()

    def __len__(self) -> int:
        return len(self._own) + len(self._jar_cookies())

    def __bool__(self) -> bool:
        return len(self) > 0

    def _matching(self, name: str, domain: Optional[str], path: Optional[str]) -> List[Cookie]:
        return [c for c in self if c.name == name and (domain is None or _bare(c.domain) == _bare(domain))
                and (path is None or c.path == path)]

    def get(self, name: str, domain: Optional[str] = None, path: Optional[str] = None) -> Optional[str]:
        """The value of the cookie ``name`` (with that ``domain`` and
        ``path`` when given; a domain matches with or without its leading
        dot), or None.  Raises ValueError when several cookies match."""
        found = self._matching(name, domain, path)
        if len(found) > 1:
            places = ", ".join(f"{c.domain or '(every host)'}{c.path}" for c in found)
            raise ValueError(f"several cookies named {name!r} ({places}): give domain= and path=")
        return found[0].value if found else None

    def set(self, name: str, value: str, domain: Optional[str] = None, path: str = "/", *,
            expires: Optional[int] = None, secure: bool = False, http_only: bool = False) -> None:
        """Stores a cookie.  With ``domain`` it goes into the engine's jar
        (".example.org" also covers its subdomains, "example.org" that host
        only) with ``path``, ``expires`` (seconds since the epoch, None for
        the session), ``secure`` and ``http_only``; without, it is one of
        the client's own cookies, sent to every host."""
        _check_text("name", name, _NAME_FORBIDDEN, False)
        _check_text("value", value, _VALUE_FORBIDDEN, True)
        if domain is None:
            self._own[name] = value
            return
        _check_text("domain", domain, _NAME_FORBIDDEN | set("/"), False)
        _check_text("path", path, _VALUE_FORBIDDEN, False)
        if not path.startswith("/"):
            raise ValueError(f"a cookie path starts with '/', not {path!r}")
        if expires is not None and (isinstance(expires, bool) or not isinstance(expires, int) or expires <= 0):
            raise ValueError(f"a cookie's expires is seconds since the epoch, not {expires!r}")
        self._jar().apply(Cookie(name, value, domain.lower(), path, expires, secure, http_only).to_line())

    def delete(self, name: str, domain: Optional[str] = None, path: Optional[str] = None) -> int:
        """Deletes the cookies named ``name`` (of that ``domain`` and
        ``path`` when given); returns how many were deleted."""
        found = self._matching(name, domain, path)
        for cookie in found:
            if not cookie.domain:
                self._own.pop(cookie.name, None)
                continue
            cookie.expires = 1  # an expired line takes the cookie out of the jar
            self._jar().apply(cookie.to_line())
        return len(found)

    def clear(self) -> None:
        """Deletes every cookie, the jar's and the client's own."""
        self._own.clear()
        self._jar().clear()

    def save(self, path: PathTypes) -> int:
        """Writes the jar's cookies (session ones too; not the client's own,
        which have no domain) to ``path`` in the cookies.txt format,
        readable by the owner only; returns how many were written."""
        cookies = self._jar_cookies()
        text = COOKIES_TXT_HEADER + "".join(c.to_line() + "\n" for c in cookies)
        target = os.fspath(path)
        folder = os.path.dirname(os.path.abspath(target))
        handle, temporary = tempfile.mkstemp(prefix=".cookies-", dir=folder)
        try:
            with os.fdopen(handle, "w", encoding="utf-8", errors="surrogateescape", newline="\n") as out:
                out.write(text)
            os.replace(temporary, target)
        except BaseException:
            os.unlink(temporary)
            raise
        return len(cookies)

    def load(self, path: PathTypes) -> int:
        """Adds the cookies of a cookies.txt file to the jar (expired ones
        are skipped); returns how many were added.  Raises ValueError naming
        the file and line of a line that is not a cookie."""
        now = time.time()
        parsed: List[Cookie] = []
        with open(path, encoding="utf-8", errors="surrogateescape") as source:
            for number, line in enumerate(source, 1):
                try:
                    cookie = parse_line(line)
                except ValueError as exc:
                    raise ValueError(f"{os.fspath(path)}, line {number}: {exc}") from None
                if cookie is not None and (cookie.expires is None or cookie.expires > now):
                    parsed.append(cookie)
        for cookie in parsed:
            self._jar().apply(cookie.to_line())
        return len(parsed)

    def __repr__(self) -> str:
        return f"<Cookies {[f'{c.name}={c.value}' for c in self]}>"


CookieSource = Union[Mapping[str, str], Sequence[Tuple[str, str]], PathTypes, None]
