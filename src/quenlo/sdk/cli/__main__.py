"""``python -m quenlo.sdk.cli``: the same as the ``velm`` command."""

from __future__ import annotations

import sys

from . import main

if __name__ == "__main__":
    sys.exit(main())
