"""URL: the address of a request or a response, read into its parts.

The parsing, joining and quoting are the standard library's
(``urllib.parse``); the URL's text stays exactly as sent, and a URL
compares equal to that text."""

from __future__ import annotations

import urllib.parse
from typing import Any, Iterator, List, Mapping, Optional, Tuple, Union

from ._request_checks import browser_url

__all__ = ["URL", "QueryParams"]

_UNSET: Any = object()
# What stays as is when a part given to copy_with is quoted ('%' included,
# so a part given already encoded is not encoded twice).
_PATH_SAFE = "/!$&'()*+,;=:@%-._~[]|"
_FRAGMENT_SAFE = "/?!$&'()*+,;=:@%-._~#[]|{}^"


class QueryParams(Mapping[str, str]):
    """A URL's query, decoded: ``params["k"]`` is the first value of ``k``,
    ``get_list("k")`` every value, ``multi_items()`` every pair in order."""

    __slots__ = ("_items",)

    def __init__(self, query: str = "") -> None:
        self._items: List[Tuple[str, str]] = urllib.parse.parse_qsl(query, keep_blank_values=True)

    def __getitem__(self, key: str) -> str:
        for name, value in self._items:
            if name == key:
                return value
        raise KeyError(key)

    def __iter__(self) -> Iterator[str]:
        return iter(dict.fromkeys(name for name, _ in self._items))

    def __len__(self) -> int:
        return len(dict.fromkeys(name for name, _ in self._items))

    def get_list(self, key: str) -> List[str]:
        """Every value of ``key``, in order."""
        return [value for name, value in self._items if name == key]

    def multi_items(self) -> List[Tuple[str, str]]:
        """Every (key, value) pair, in order, repeated keys included."""
        return list(self._items)

    def __repr__(self) -> str:
        return f"QueryParams({self._items!r})"


class URL(str):
    """An absolute URL: a ``str`` (the URL exactly as sent, percent-encoded
    as browsers do, so code that treats it as text keeps working) with its
    parts read out: ``scheme``, ``host``, ``port``, ``path``, ``query``,
    ``params``, ``fragment``, plus ``join()`` and ``copy_with()``::

        r = client.get("https://example.org/a b?q=1")
        r.url.path       # '/a b'
        r.url.params     # QueryParams([('q', '1')])
        r.url == "https://example.org/a%20b?q=1"

    ``join`` resolves a link against the URL (it is not ``str.join``).
    """

    _parts: Optional[urllib.parse.SplitResult] = None

    def __new__(cls, url: Union[str, "URL"] = "") -> "URL":
        if not isinstance(url, str):
            raise TypeError(f"url must be a str or a URL, not {type(url).__name__}")
        if type(url) is URL:
            return url
        return super().__new__(cls, url)

    @property
    def _split(self) -> urllib.parse.SplitResult:
        if self._parts is None:
            self._parts = urllib.parse.urlsplit(str(self))
        return self._parts

    @property
    def scheme(self) -> str:
        """"http", "https", "ws" or "wss" (lower case)."""
        return self._split.scheme.lower()

    @property
    def host(self) -> str:
        """The host name in lower case (an IPv6 address without brackets); "" when none."""
        return self._split.hostname or ""

    @property
    def port(self) -> Optional[int]:
        """The port written in the URL, or None when it has none (the scheme's default applies)."""
        return self._split.port

    @property
    def netloc(self) -> str:
        """The host and port as written (with user info, if any)."""
        return self._split.netloc

    @property
    def username(self) -> str:
        """The user name of the user info, decoded ("" when none)."""
        return urllib.parse.unquote(self._split.username or "")

    @property
    def password(self) -> str:
        """The password of the user info, decoded ("" when none)."""
        return urllib.parse.unquote(self._split.password or "")

    @property
    def path(self) -> str:
        """The path, percent-decoded ("/" when the URL has none)."""
        return urllib.parse.unquote(self._split.path) or "/"

    @property
    def raw_path(self) -> str:
        """The path and query as they appear on the request line."""
        path = self._split.path or "/"
        return path + ("?" + self._split.query if self._split.query else "")

    @property
    def query(self) -> str:
        """The query as written, without the "?" ("" when none)."""
        return self._split.query

    @property
    def params(self) -> QueryParams:
        """The query decoded into its (key, value) pairs."""
        return QueryParams(self._split.query)

    @property
    def fragment(self) -> str:
        """The fragment, percent-decoded, without the "#" ("" when none)."""
        return urllib.parse.unquote(self._split.fragment)

    def join(self, url: Union[str, "URL"]) -> "URL":  # type: ignore[override]
        """``url`` resolved against this one as a browser resolves a link."""
        return URL(browser_url(urllib.parse.urljoin(str(self), str(url))))

    def copy_with(self, *, scheme: Optional[str] = None, host: Optional[str] = None, port: Any = _UNSET,
                  username: Optional[str] = None, password: Optional[str] = None, path: Optional[str] = None,
                  query: Optional[str] = None, params: Any = None, fragment: Optional[str] = None) -> "URL":
        """A copy with the parts given replaced (``port=None`` drops the
        port; ``path`` and ``fragment`` are given decoded and encoded here;
        ``params`` replaces the query with the mapping or pairs given)."""
        parts = self._split
        user = parts.username if username is None else urllib.parse.quote(username, safe="")
        secret = parts.password if password is None else urllib.parse.quote(password, safe="")
        name = (parts.hostname or "") if host is None else host
        if ":" in name:
            name = f"[{name}]"
        number = parts.port if port is _UNSET else port
        netloc = name + (f":{int(number)}" if number is not None else "")
        if user:
            netloc = user + (f":{secret}" if secret else "") + "@" + netloc
        if params is not None:
            items = params.items() if isinstance(params, Mapping) else params
            query = urllib.parse.urlencode([(str(k), str(v)) for k, v in items])
        text = urllib.parse.urlunsplit((
            parts.scheme if scheme is None else scheme, netloc,
            parts.path if path is None else urllib.parse.quote(path, safe=_PATH_SAFE),
            parts.query if query is None else query,
            parts.fragment if fragment is None else urllib.parse.quote(fragment, safe=_FRAGMENT_SAFE)))
        return URL(browser_url(text))

    def __str__(self) -> str:
        return str.__str__(self)

    def __repr__(self) -> str:
        return f"URL({str.__repr__(self)})"
