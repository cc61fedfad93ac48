"""Text from the other side of a protocol (UCI, the play loop, HTTP): read as UTF-8 whatever the
locale, and echoed back cut short."""

from __future__ import annotations

import io
import re
from typing import TextIO

__all__ = ["SHOWN", "shown", "printable", "utf8_stream"]

SHOWN = 100  # characters of an unreadable word echoed back


def shown(text: str, limit: int = SHOWN) -> str:
    """``repr`` of text from the other side, cut to ``limit`` characters with an ellipsis."""
    text = str(text)
    return repr(text if len(text) <= limit else text[:limit] + "…")


def utf8_stream(stream: TextIO, write: bool = False) -> TextIO:
    """``sys.stdin`` or ``sys.stdout`` set to UTF-8 whatever the locale, in place (a new wrapper
    would close the process's stream when dropped): bytes that are not UTF-8 read as U+FFFD
    instead of ending the session; written lines go out at once. A stream that is not the
    system's (a test's capture) is taken as it is."""
    try:
        stream.reconfigure(encoding="utf-8", errors="replace",  # type: ignore[attr-defined]
                           **({"line_buffering": True} if write else {}))
    except (AttributeError, ValueError, io.UnsupportedOperation):
        pass
    return stream


# Characters a terminal acts on rather than shows: C0 and C1 controls (escape sequences among
# them) and the marks that reverse the direction of text.
_CONTROLS = re.compile("[\x00-\x08\x0b-\x1f\x7f-\x9f\u200e\u200f\u202a-\u202e\u2066-\u2069]")


def printable(text: str) -> str:
    """``text`` with every character a terminal would act on written as its escape (``\\x1b``),
    for text read from a file to be printed as it is."""
    return _CONTROLS.sub(lambda m: f"\\x{ord(m.group()):02x}" if ord(m.group()) < 0x100 else f"\\u{ord(m.group()):04x}",
                         text)
