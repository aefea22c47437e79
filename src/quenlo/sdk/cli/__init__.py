"""``velm``: a command line for the VELM engine, a thin layer over :mod:`quenlo.sdk.velm_api`.

Install it with the ``cli`` extra (``pip install "quenlo-sdk[cli]"``); run ``velm --help`` or
``python -m quenlo.sdk.cli --help``. :func:`main` runs one command line and returns its exit code, one of
:data:`EXIT_CODES`.
"""

from __future__ import annotations

from ._app import build_parser, main
from ._errors import (
    BAD_OUTCOME,
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
