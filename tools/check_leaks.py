"""Run a Python command and fail when nanobind reports objects leaked at interpreter exit.

    python tools/check_leaks.py -m pytest -q
    python tools/check_leaks.py tools/soak.py

nanobind checks at exit that no instance of our classes is left, and prints "nanobind: leaked N instances!"
when one is; it cannot change the exit status, since the interpreter has finished by then. This runs the
command with the same interpreter, passes its output through unchanged and keeps its exit status, which
becomes 1 when the command succeeded but its standard error carried the leak report. (The module leaves the
report out when threads still running hold objects at exit: those are held, not leaked.)
"""

from __future__ import annotations

import subprocess
import sys
from typing import List


def main(argv: List[str]) -> int:
    child = subprocess.Popen([sys.executable, *argv], stderr=subprocess.PIPE)
    assert child.stderr is not None
    leaked = False
    for line in child.stderr:
        sys.stderr.buffer.write(line)
        sys.stderr.buffer.flush()
        leaked = leaked or line.startswith(b"nanobind: leaked")
    code = child.wait()
    if code == 0 and leaked:
        print("check_leaks: nanobind reported leaked objects at exit (above)", file=sys.stderr)
        return 1
    return code


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
