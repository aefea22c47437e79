"""``velm``: a command line for the VELM engine, a thin layer over :mod:`quenlo.sdk.velm_api`.

Install it with the ``cli`` extra (``pip install "quenlo-sdk[cli]"``); run ``velm --help`` or
``python -m quenlo.sdk.cli --help``. :func:`main` runs one command line and returns its exit code.
"""

from __future__ import annotations

from ._app import build_parser, main
from ._errors import BAD_OUTCOME, DONE, INTERRUPTED, REFUSED, TIMED_OUT, UNEXPECTED, UNREACHABLE, USAGE

__all__ = [
    "BAD_OUTCOME",
    "DONE",
    "INTERRUPTED",
    "REFUSED",
    "TIMED_OUT",
    "UNEXPECTED",
    "UNREACHABLE",
    "USAGE",
    "build_parser",
    "main",
]
