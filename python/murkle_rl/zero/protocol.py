"""Text from the other side of a protocol (UCI, the play loop, HTTP): read as UTF-8 whatever the
locale, and echoed back cut short."""

from __future__ import annotations

import io
from typing import Any, TextIO

__all__ = ["SHOWN", "shown", "utf8_stream"]

SHOWN = 100  # characters of an unreadable word echoed back


def shown(text: str, limit: int = SHOWN) -> str:
    """``repr`` of text from the other side, cut to ``limit`` characters with an ellipsis."""
    text = str(text)
    return repr(text if len(text) <= limit else text[:limit] + "…")


def utf8_stream(binary: Any, write: bool = False) -> TextIO:
    """A text stream of UTF-8 over a binary one, whatever the locale: bytes that are not UTF-8
    read as U+FFFD instead of ending the session; written lines go out at once."""
    return io.TextIOWrapper(binary, encoding="utf-8", errors="replace", line_buffering=write)
