"""``velm``: a command line for the VELM engine, a thin layer over :mod:`quenlo.sdk.velm_api`.

Install it with the ``cli`` extra (``pip install "quenlo-sdk[cli]"``); run ``velm --help`` or
``python -m quenlo.sdk.cli --help``. :func:`main` runs one command line and returns its exit code, one of
:data:`EXIT_CODES`.

This module imports nothing else until it is used, so that Ctrl-C while velm is still starting is reported as
any other interruption: one line, and exit 130.
"""

from __future__ import annotations

# Not typing's: importing typing takes long enough for Ctrl-C to land in it.
TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import Any, Mapping, Optional, Sequence, TextIO

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
    """Run one ``velm`` command line and return its exit code (see ``velm --help``).

    Run as the program (``argv`` None), Ctrl-C is ignored once the command has ended: the exit code stays the
    command's, not a traceback of the interpreter's exit."""
    try:
        from . import _app

        code = _app.main(argv, stdout=stdout, stderr=stderr, environ=environ)
    except KeyboardInterrupt:
        import sys

        if stderr is None:
            stderr = sys.stderr
        if stderr is not None:
            stderr.write("velm: interrupted\n")
        code = 130
    if argv is None:
        import signal

        try:
            signal.signal(signal.SIGINT, signal.SIG_IGN)
        except ValueError:  # not the main thread: not the program's own run
            pass
    return code


def __getattr__(name: str) -> Any:
    """The names of ``__all__``, imported on first use."""
    if name == "build_parser":
        from ._app import build_parser

        return build_parser
    if name in __all__:
        from . import _errors

        return getattr(_errors, name)
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
