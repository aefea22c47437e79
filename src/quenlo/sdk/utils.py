"""Helpers the VELM client leans on: URL joining, query building, JSON encoding, polling and versions."""

from __future__ import annotations

import math
import re
import time
from typing import Any, Callable, Container, Dict, Iterable, Mapping, Optional, Sequence, Tuple, Union

__all__ = [
    "Version",
    "get_params",
    "join_url_parts",
    "pipeline_json_encoder",
    "wait_for_condition",
]


def seconds_of(value: object, argument: str, *, allow_nan: bool = True) -> float:
    """``value`` as seconds: an int or a float, not a bool; TypeError "<argument> must be a number of seconds, not
    <repr>" for anything else, and ValueError for NaN unless ``allow_nan`` (a later range check then says why)."""
    if isinstance(value, bool) or not isinstance(value, (int, float)):
        raise TypeError(f"{argument} must be a number of seconds, not {value!r}")
    if not allow_nan and math.isnan(value):
        raise ValueError(f"{argument} must be a number of seconds, not nan")
    return float(value)


def join_url_parts(*parts: str) -> str:
    """Join URL parts with exactly one "/" between neighbours.

    ``join_url_parts("http://h:1", "/rest", "/v1/system/info")`` gives ``"http://h:1/rest/v1/system/info"``.
    A trailing "/" on the last part is kept.
    """
    # Every request passes through here: text parts skip the str() call, and an f-string makes one new string
    # per boundary instead of two.
    url = ""
    for part in parts:
        if type(part) is not str:
            part = str(part)
        if url:
            if part:
                url = f"{url.rstrip('/')}/{part.lstrip('/')}"
        else:
            url = part
    return url


_CAMEL_BOUNDARY = re.compile(r"_([a-z0-9])")

# Wire names already worked out: every operation asks for the same few dozen on every call. Bounded, since
# get_params is public and may see names without end.
_CAMEL_NAMES: Dict[str, str] = {}
_CAMEL_NAMES_LIMIT = 1024


def _camel_case(name: str) -> str:
    # A trailing underscore marks a name that shadows a builtin (len_ -> len).
    wire = _CAMEL_BOUNDARY.sub(lambda match: match.group(1).upper(), name.rstrip("_"))
    if len(_CAMEL_NAMES) < _CAMEL_NAMES_LIMIT:
        _CAMEL_NAMES[name] = wire
    return wire


# Values sent as they are; anything else that has an ``id`` travels as that id. The exact types are checked
# first because that is one set look-up for the values nearly every query holds.
_PLAIN_VALUES = (str, bytes, int, float, list, tuple)
_PLAIN_TYPES = frozenset((str, bytes, int, bool, float, list, tuple))


def get_params(parameters: Mapping[str, Any], exclusions: Union[str, Iterable[str]] = ()) -> Dict[str, Any]:
    """Build the query of an operation from its arguments.

    ``parameters`` maps each argument name of the operation to its value; ``exclusions`` is one name or a tuple of
    names to leave out. Values that are None are left out too; names are spelled in the engine's camelCase
    (``only_if_exists`` -> ``onlyIfExists``, ``len_`` -> ``len``), and a model with an ``id`` is sent as that id.
    """
    if isinstance(exclusions, str):
        excluded: Container[str] = (exclusions,)
    elif isinstance(exclusions, (tuple, frozenset, set)):
        excluded = exclusions  # a handful of names: looking through them beats building a set on every call
    else:
        excluded = set(exclusions)
    params: Dict[str, Any] = {}
    for name, value in parameters.items():
        if value is None or name in excluded:
            continue
        try:
            key = _CAMEL_NAMES[name]
        except KeyError:
            key = _camel_case(name)
        if type(value) not in _PLAIN_TYPES and not isinstance(value, _PLAIN_VALUES) and hasattr(value, "id"):
            value = value.id
        params[key] = value
    return params


def pipeline_json_encoder(value: Any) -> Any:
    """Fallback for :func:`json.dumps`: turn our models into their JSON form.

    Raises :class:`TypeError` for anything else, which makes the encoding fail as the json module would.
    """
    to_json = getattr(value, "to_json", None)
    if callable(to_json) and hasattr(value, "_data"):
        return to_json()
    raise TypeError(f"Object of type {type(value).__name__} is not JSON serializable")


def wait_for_condition(
    condition: Callable[..., Any], args: Sequence[Any] = (), timeout: float = 60, interval: float = 1
) -> Any:
    """Call ``condition(*args)`` until it returns a true value, and return that value.

    Tries at once, then every ``interval`` seconds, and once more at the deadline; raises :class:`TimeoutError`
    naming the condition when ``timeout`` seconds pass without success. Exceptions raised by the condition
    propagate.
    """
    deadline = time.time() + timeout
    while True:
        result = condition(*args)
        if result:
            return result
        remaining = deadline - time.time()
        if remaining <= 0:
            name = getattr(condition, "__name__", repr(condition))
            raise TimeoutError(f"Condition {name} was not met within {timeout} seconds.")
        # The time the tries take would otherwise push the last one past the deadline.
        time.sleep(min(interval, remaining))


class Version:
    """A dotted version number that compares numerically: ``Version("2.4.9.9") < Version("2.5.0.0")``.

    Missing parts count as 0 (``3.0`` equals ``3.0.0.0``) and a ``-suffix`` (``-SNAPSHOT``) is ignored.
    """

    def __init__(self, version: str) -> None:
        self.version = str(version)
        number = self.version.split("-", 1)[0]
        parts = []
        for piece in number.split("."):
            digits = re.match(r"\d*", piece.strip()).group(0)  # type: ignore[union-attr]
            parts.append(int(digits) if digits else 0)
        while len(parts) > 1 and parts[-1] == 0:
            parts.pop()
        self._key: Tuple[int, ...] = tuple(parts)

    def _other(self, other: Any) -> Optional["Version"]:
        if isinstance(other, Version):
            return other
        if isinstance(other, str):
            return Version(other)
        return None

    def __eq__(self, other: object) -> bool:
        o = self._other(other)
        if o is None:
            return NotImplemented
        return self._key == o._key

    def __lt__(self, other: object) -> bool:
        o = self._other(other)
        if o is None:
            return NotImplemented
        return self._key < o._key

    def __le__(self, other: object) -> bool:
        o = self._other(other)
        if o is None:
            return NotImplemented
        return self._key <= o._key

    def __gt__(self, other: object) -> bool:
        o = self._other(other)
        if o is None:
            return NotImplemented
        return self._key > o._key

    def __ge__(self, other: object) -> bool:
        o = self._other(other)
        if o is None:
            return NotImplemented
        return self._key >= o._key

    def __hash__(self) -> int:
        return hash(self._key)

    def __repr__(self) -> str:
        return f"Version({self.version!r})"

    def __str__(self) -> str:
        return self.version
