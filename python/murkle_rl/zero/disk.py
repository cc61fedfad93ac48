"""A full disk, said as such: what the trainer's writers raise when a file cannot be written for
want of space. No PyTorch here."""

from __future__ import annotations

import errno
from contextlib import contextmanager
from pathlib import Path
from typing import Iterator


class DiskFull(OSError):
    """A file could not be written for want of space; the message says where."""

    def __init__(self, path: str | Path, what: str = "the older file, if any, stands") -> None:
        path = Path(path)
        super().__init__(errno.ENOSPC, f"the disk is full: {path} could not be written ({what}); "
                                       f"free space in {path.parent.resolve()}")

    def __str__(self) -> str:
        return str(self.strerror)


def out_of_space(error: BaseException) -> bool:
    """Whether an error (or one it arose from: torch's writer reports a failed write as a
    RuntimeError) is a full disk or an exhausted quota."""
    seen: BaseException | None = error
    while seen is not None:
        if isinstance(seen, OSError) and seen.errno in (errno.ENOSPC, errno.EDQUOT):
            return True
        seen = seen.__cause__ or seen.__context__
    return False


@contextmanager
def writing(path: str | Path, what: str = "the older file, if any, stands") -> Iterator[None]:
    """Within ``with``, a write that fails for want of space raises :class:`DiskFull` naming ``path``."""
    try:
        yield
    except DiskFull:
        raise
    except Exception as e:
        if out_of_space(e):
            raise DiskFull(path, what) from None
        raise
