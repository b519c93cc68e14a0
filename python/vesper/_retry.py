"""Retries: which failures and answers are tried again, and how long to
wait before each new attempt."""

from __future__ import annotations

import datetime
import email.utils
import random
from typing import TYPE_CHECKING, FrozenSet, Iterable, List, Optional, Union

from ._exceptions import ConnectError, ConnectTimeout, Error

if TYPE_CHECKING:
    from ._models import Response

__all__ = ["Retry", "RetryTypes", "RetryRun", "IDEMPOTENT_METHODS", "to_retry"]

# Methods that mean the same when sent twice (RFC 9110 9.2.2).
IDEMPOTENT_METHODS: FrozenSet[str] = frozenset({"GET", "HEAD", "OPTIONS", "PUT", "DELETE", "TRACE"})
# Answers that say "try again later".
RETRY_STATUSES: FrozenSet[int] = frozenset({429, 502, 503, 504})


class Retry:
    """When and how a request is tried again (``Client(retries=Retry(...))``).

    - ``total``: how many retries at most, after the first attempt (3).
    - ``backoff_factor``: the pause before retry *n* is ``backoff_factor *
      2 ** (n - 1)`` seconds (0.5 s, 1 s, 2 s, ...), at most ``max_backoff``,
      with jitter: a random part of up to half of it is taken off, so that
      many clients do not come back at the same instant.
    - ``status_forcelist``: the answers retried (429, 502, 503 and 504);
      empty for none.
    - ``allowed_methods``: the methods whose answers are retried: the
      idempotent ones (GET, HEAD, OPTIONS, PUT, DELETE, TRACE) by default,
      None for every method.  A connection that could not be made
      (``ConnectError``, ``ConnectTimeout``) is retried whatever the method:
      nothing reached the server.
    - ``respect_retry_after``: a ``Retry-After`` header (seconds or an HTTP
      date) on a retried answer sets the pause instead of the backoff; one
      longer than ``max_backoff`` ends the retries and the answer is
      returned as it is.
    - ``max_backoff``: the longest pause, in seconds (30).

    A request whose body is streamed (a file, an iterator) cannot be sent
    twice and is never retried.  After the retries the last answer is
    returned (``raise_for_status()`` tells an error) or the last connection
    error raised.  ``Response.attempts`` says how many attempts were made
    and ``Response.retry_history`` holds what the earlier ones got (their
    Responses, bodies closed, or the errors raised).

    ``retries=n`` (an int) is ``Retry(total=n, status_forcelist=())``:
    only failed connections are retried.
    """

    __slots__ = ("total", "backoff_factor", "status_forcelist", "allowed_methods", "respect_retry_after",
                 "max_backoff")

    def __init__(self, total: int = 3, *, backoff_factor: float = 0.5,
                 status_forcelist: Optional[Iterable[int]] = RETRY_STATUSES,
                 allowed_methods: Optional[Iterable[str]] = IDEMPOTENT_METHODS,
                 respect_retry_after: bool = True, max_backoff: float = 30.0) -> None:
        if isinstance(total, bool) or not isinstance(total, int) or total < 0:
            raise ValueError(f"Retry total must be an int >= 0, not {total!r}")
        for name, value in (("backoff_factor", backoff_factor), ("max_backoff", max_backoff)):
            if isinstance(value, bool) or not isinstance(value, (int, float)) or not value >= 0:
                raise ValueError(f"Retry {name} must be a number >= 0, not {value!r}")
        statuses = frozenset(status_forcelist or ())
        if any(isinstance(s, bool) or not isinstance(s, int) or not 100 <= s <= 599 for s in statuses):
            raise ValueError(f"Retry status_forcelist must hold HTTP status codes, not {sorted(statuses, key=str)}")
        if isinstance(allowed_methods, str):
            raise TypeError("Retry allowed_methods must be a collection of method names, not one str")
        self.total = total
        self.backoff_factor = float(backoff_factor)
        self.status_forcelist: FrozenSet[int] = statuses
        self.allowed_methods: Optional[FrozenSet[str]] = (
            None if allowed_methods is None else frozenset(m.upper() for m in allowed_methods))
        self.respect_retry_after = respect_retry_after
        self.max_backoff = float(max_backoff)

    def backoff(self, retry_number: int) -> float:
        """The pause before retry ``retry_number`` (1-based), jitter included."""
        full = min(self.backoff_factor * float(2 ** (retry_number - 1)), self.max_backoff)
        return full - random.uniform(0, full / 2)

    def retries_answer(self, method: str, status_code: int) -> bool:
        """Whether an answer with ``status_code`` to ``method`` is tried again."""
        return status_code in self.status_forcelist and (
            self.allowed_methods is None or method.upper() in self.allowed_methods)

    def __eq__(self, other: object) -> bool:
        if not isinstance(other, Retry):
            return NotImplemented
        return all(getattr(self, k) == getattr(other, k) for k in self.__slots__)

    def __repr__(self) -> str:
        methods = None if self.allowed_methods is None else sorted(self.allowed_methods)
        return (f"Retry(total={self.total}, backoff_factor={self.backoff_factor}, "
                f"status_forcelist={sorted(self.status_forcelist)}, allowed_methods={methods}, "
                f"respect_retry_after={self.respect_retry_after}, max_backoff={self.max_backoff})")


RetryTypes = Union[Retry, int, None]


def to_retry(value: RetryTypes) -> Retry:
    """A Retry from the public forms: an int retries failed connections only."""
    if isinstance(value, Retry):
        return value
    if value is None:
        return Retry(0, status_forcelist=())
    if isinstance(value, bool) or not isinstance(value, int):
        raise TypeError(f"retries must be an int or a vesper.Retry, not {type(value).__name__}")
    if value < 0:
        raise ValueError("retries must be >= 0")
    return Retry(value, status_forcelist=())


def retry_after_seconds(value: str, now: Optional[datetime.datetime] = None) -> Optional[float]:
    """The pause a Retry-After value asks for (delta seconds or an HTTP
    date), or None when it is neither."""
    value = value.strip()
    if value.isascii() and value.isdigit():
        return float(value)
    try:
        when = email.utils.parsedate_to_datetime(value)
    except (TypeError, ValueError, IndexError):
        return None
    if when is None:
        return None
    if when.tzinfo is None:
        when = when.replace(tzinfo=datetime.timezone.utc)
    now = now or datetime.datetime.now(datetime.timezone.utc)
    return max(0.0, (when - now).total_seconds())


class RetryRun:
    """The retries of one request: says after each attempt whether to try
    again and after what pause, and keeps what the attempts got."""

    def __init__(self, retry: Retry, method: str, replayable: bool) -> None:
        self._retry = retry
        self._method = method
        self._replayable = replayable
        self.history: List[Union["Response", Error]] = []

    @property
    def attempts(self) -> int:
        """Attempts made so far, the running one included."""
        return len(self.history) + 1

    def after_error(self, exc: BaseException) -> Optional[float]:
        """The pause before trying again after ``exc``, or None to raise it."""
        if not isinstance(exc, (ConnectError, ConnectTimeout)) or not self._more():
            return None
        self.history.append(exc)
        return self._retry.backoff(len(self.history))

    def after_response(self, response: "Response") -> Optional[float]:
        """The pause before trying again after ``response``, or None to return it."""
        if not self._more() or not self._retry.retries_answer(self._method, response.status_code):
            return None
        pause = self._retry.backoff(len(self.history) + 1)
        if self._retry.respect_retry_after:
            value = response.headers.get("retry-after")
            asked = retry_after_seconds(value) if value is not None else None
            if asked is not None:
                if asked > self._retry.max_backoff:
                    return None
                pause = asked
        self.history.append(response)
        return pause

    def finish(self, response: "Response") -> "Response":
        """Records the attempts on the answer returned."""
        response.attempts = self.attempts
        response.retry_history = list(self.history)
        return response

    def _more(self) -> bool:
        return self._replayable and len(self.history) < self._retry.total
