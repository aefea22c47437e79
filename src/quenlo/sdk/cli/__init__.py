"""``velm``: a command line for the VELM engine, a thin layer over :mod:`quenlo.sdk.velm_api`.

Install it with the ``cli`` extra (``pip install "quenlo-sdk[cli]"``); run ``velm --help`` or
``python -m quenlo.sdk.cli --help``. :func:`main` runs one command line and returns its exit code, one of
:data:`EXIT_CODES`.

This module imports nothing else until it is used, so that Ctrl-C while velm is still starting is reported as
any other interruption: one line, and exit 130.
"""

from __future__ import annotations

from typing import TYPE_CHECKING, Any, Mapping, Optional, Sequence, TextIO

if TYPE_CHECKING:
    from ._app import build_parser
    from ._errors import (
        BAD_OUTCOME,
        CONFIG,
        DONE,
        EXIT_CODES,
        INTERRUPTED,
        REFUSED,
        TIMED_OUT,
        UNEXPECTED,
        UNREACHABLE,
        USAGE,
        ExitCode,
        error_document,
    )

__all__ = [
    "BAD_OUTCOME",
    "CONFIG",
    "DONE",
    "EXIT_CODES",
    "INTERRUPTED",
    "REFUSED",
    "TIMED_OUT",
    "UNEXPECTED",
    "UNREACHABLE",
    "USAGE",
    "ExitCode",
    "build_parser",
    "error_document",
    "main",
]


def main(
    argv: Optional[Sequence[str]] = None,
    *,
    stdout: Optional[TextIO] = None,
    stderr: Optional[TextIO] = None,
    environ: Optional[Mapping[str, str]] = None,
) -> int:
    """Run one ``velm`` command line and return its exit code (see ``velm --help``)."""
    try:
        from . import _app
    except KeyboardInterrupt:
        import sys

        if stderr is None:
            stderr = sys.stderr
        if stderr is not None:
            stderr.write("velm: interrupted\n")
        return 130
    return _app.main(argv, stdout=stdout, stderr=stderr, environ=environ)


def __getattr__(name: str) -> Any:
    """The names of ``__all__``, imported on first use."""
    if name == "build_parser":
        from ._app import build_parser

        return build_parser
    if name in __all__:
        from . import _errors

        return getattr(_errors, name)
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
