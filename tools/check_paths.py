#!/usr/bin/env python3
"""Fail when a file of the repository names a folder of one particular machine.

A command in the documents must run from a clean clone, and a figure must say how to measure it there, so no
tracked file may hold a path such as a developer's home, a worktree or scratch folder under /work or /tmp, or an
interpreter inside a pyenv or venv of one machine. Paths relative to the clone (``.venv/bin/python``,
``build/site``) and paths an engine or a system defines (``/etc/velm``, ``/opt/velm``) are fine.

    python tools/check_paths.py            # every file git tracks (make lint runs this)
    python tools/check_paths.py FILE...    # only these files

Each finding is printed as ``file:line: <path>: <why>``; the exit status is 1 when there is any.
"""

from __future__ import annotations

import os
import re
import subprocess
import sys
from typing import Iterable, Iterator, List, Optional, Sequence, Tuple

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))

# Each pattern stops at the first character that cannot belong to a path, so the finding shows the path itself.
_PATH = r"[^\s`'\"()<>\[\]{},;|]*"
PATTERNS: List[Tuple[re.Pattern[str], str]] = [
    (re.compile(r"(?<![\w.~$-])/(?:home|Users)/[A-Za-z_][\w.-]*" + _PATH), "a user's home folder"),
    (re.compile(r"(?<![\w.~$-])/root(?:/" + _PATH + r"|(?![\w/.-]))"), "the root user's home folder"),
    (re.compile(r"(?<![\w.~$-])/(?:work)/" + _PATH), "a folder of the machine that wrote it"),
    (re.compile(r"(?<![\w.~$-])/(?:var/)?tmp/[\w.-]" + _PATH), "a scratch folder of one machine"),
    (re.compile(r"\.pyenv/versions/\d" + _PATH), "an interpreter of one machine's pyenv"),
    (re.compile(r"\b[A-Za-z]:\\\\?(?:Users|home)\\" + _PATH, re.I), "a user's home folder"),
]


def findings(text: str) -> Iterator[Tuple[int, str, str]]:
    """(line number, path, why) for every machine-local path in ``text``."""
    for number, line in enumerate(text.splitlines(), 1):
        for pattern, why in PATTERNS:
            for match in pattern.finditer(line):
                yield number, match.group(0).rstrip(".:"), why


def tracked_files(root: str) -> List[str]:
    """The files git tracks under ``root``, relative to it."""
    listed = subprocess.run(["git", "ls-files", "-z"], cwd=root, check=True, capture_output=True, text=True).stdout
    return [name for name in listed.split("\0") if name]


def check(paths: Iterable[str], root: str) -> List[str]:
    """The findings of ``paths`` (relative to ``root`` or absolute) as ``file:line: path: why`` lines."""
    messages = []
    for path in paths:
        full = path if os.path.isabs(path) else os.path.join(root, path)
        if os.path.realpath(full) == os.path.realpath(__file__) or not os.path.isfile(full):
            continue
        try:
            with open(full, encoding="utf-8") as file:
                text = file.read()
        except UnicodeDecodeError:
            continue  # not text: an archive or an image
        for number, found, why in findings(text):
            messages.append(f"{path}:{number}: {found}: {why}; write it relative to the clone or generically")
    return messages


def main(argv: Optional[Sequence[str]] = None) -> int:
    args = list(sys.argv[1:] if argv is None else argv)
    messages = check(args or tracked_files(ROOT), ROOT)
    for message in messages:
        print(message, file=sys.stderr)
    if messages:
        print(f"check_paths: {len(messages)} machine-local path(s) found", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
