"""The request heads as the Core sent them (``Client(record_sent_heads=True)``),
handed to the responses of one exchange hop by hop."""

from __future__ import annotations

from typing import Any, List, Sequence

__all__ = ["SentHeads", "split_heads"]

_END = b"\r\n\r\n"


def split_heads(block: bytes) -> List[bytes]:
    """The heads in ``block``, each with its closing blank line; a trailing
    piece without one (a head still being written) is left out."""
    heads: List[bytes] = []
    start = 0
    while True:
        end = block.find(_END, start)
        if end < 0:
            return heads
        heads.append(block[start:end + len(_END)])
        start = end + len(_END)


class SentHeads:
    """What one native request sent, taken piece by piece: each ``take()``
    answers the heads sent since the one before."""

    __slots__ = ("_native", "_taken")

    def __init__(self, native_request: Any, enabled: bool) -> None:
        self._native = native_request if enabled else None
        self._taken = 0

    def take(self) -> List[bytes]:
        if self._native is None:
            return []
        block = self._native.sent_heads_bytes()
        heads = split_heads(block[self._taken:])
        self._taken += sum(len(head) for head in heads)
        return heads

    @staticmethod
    def attach(responses: Sequence[Any], per_hop: Sequence[List[bytes]]) -> None:
        """Gives each response of a history the heads of its hop (none
        where the hops were not seen one at a time)."""
        for index, response in enumerate(responses):
            response.sent_heads = list(per_hop[index]) if index < len(per_hop) else []
