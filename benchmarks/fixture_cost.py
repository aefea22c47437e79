"""Set-up plus tear-down time of the velm_engine fixture, as pytest measures its phases, over 200 tests.

python benchmarks/fixture_cost.py
"""

from __future__ import annotations

import statistics
import sys
import tempfile
from pathlib import Path
from typing import Any, List

import pytest

TESTS = """
import pytest

@pytest.mark.parametrize("n", range(200))
def test_engine(velm_engine, n):
    assert velm_engine.url
"""


class PhaseTimes:
    def __init__(self) -> None:
        self.setup: List[float] = []
        self.teardown: List[float] = []

    def pytest_runtest_logreport(self, report: Any) -> None:
        if report.when == "setup":
            self.setup.append(report.duration)
        elif report.when == "teardown":
            self.teardown.append(report.duration)


def main() -> int:
    times = PhaseTimes()
    with tempfile.TemporaryDirectory() as folder:
        path = Path(folder) / "test_fixture_cost.py"
        path.write_text(TESTS)
        code = pytest.main(["-q", "-p", "no:cacheprovider", "-o", "addopts=", str(path)], plugins=[times])
    both = [s + t for s, t in zip(times.setup, times.teardown)]
    print(
        f"{len(both)} tests: set-up + tear-down mean {statistics.mean(both) * 1000:.2f} ms, "
        f"median {statistics.median(both) * 1000:.2f} ms "
        f"(set-up mean {statistics.mean(times.setup) * 1000:.2f} ms, "
        f"tear-down mean {statistics.mean(times.teardown) * 1000:.2f} ms)"
    )
    return int(code)


if __name__ == "__main__":
    sys.exit(main())
