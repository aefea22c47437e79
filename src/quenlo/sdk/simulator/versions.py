"""Engine version numbers, compared the way the engine itself does."""

from __future__ import annotations

import re

_NUMBER = re.compile(r"\d+")


def version_key(text: str) -> tuple[int, ...]:
    """A sortable key for a dotted version: ``"2.4.0"`` < ``"2.5.0.0"``.

    Parts count numerically and missing trailing parts are 0, so ``"3.0"`` equals ``"3.0.0.0"``; anything after
    a ``-`` (``-SNAPSHOT``) is a build tag and does not count; a part that is not a number counts as 0.
    """
    parts = [int(m.group()) if (m := _NUMBER.match(p)) else 0 for p in text.split("-", 1)[0].split(".")]
    while parts and parts[-1] == 0:
        parts.pop()
    return tuple(parts)


def at_least(version: str, minimum: str) -> bool:
    """Whether engine ``version`` is ``minimum`` or newer."""
    return version_key(version) >= version_key(minimum)
