"""One operation in a loop on the stub session of section 7, for a profiler to watch.

    python benchmarks/profile_call.py ours 20000 [get_pipeline_status] [--no-companions]
    python benchmarks/profile_call.py py 20000             # the pure-Python baseline
    python benchmarks/profile_call.py ours 2000 get_pipeline_history --in-memory   # end to end, section 1's way

Run it with 0 calls as well and subtract, to leave out the start-up.
"""

from __future__ import annotations

import os
import sys
from unittest import mock

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import baseline  # noqa: E402
import bench  # noqa: E402
import payloads  # noqa: E402

from quenlo.sdk import velm_api  # noqa: E402

ANSWERS = {"get_pipeline_history": payloads.HISTORY}


def main() -> None:
    args = [a for a in sys.argv[1:] if not a.startswith("--")]
    which, count = args[0], int(args[1])
    operation = args[2] if len(args) > 2 else "get_pipeline_status"
    stub = bench.StubSession(bench.StubResponse(ANSWERS.get(operation, payloads.STATUS_RUNNING)))
    # --in-memory: the client's own session, or a plain one for the baseline, on the in-memory adapter.
    in_memory = "--in-memory" in sys.argv
    if which == "ours":
        client, _ = bench.in_memory_client()
        if not in_memory:
            client.session = stub
    elif in_memory:
        client = baseline.ApiClient(bench.OFFLINE_URL, bench.in_memory_session()[0])
        client.session.headers.update(bench.REQUIRED_HEADERS)
    else:
        client = baseline.ApiClient(bench.OFFLINE_URL, stub)
    call = getattr(client, operation)
    if "--no-companions" in sys.argv:
        query, url = {"rev": 0}, bench.OFFLINE_URL + "/rest/v1/pipeline/p/status"
        companions = {"get_params": lambda parameters, exclusions: query, "join_url_parts": lambda *parts: url}
        patches = [mock.patch.multiple(velm_api, **companions), mock.patch.multiple(baseline, **companions)]
        for patch in patches:
            patch.start()
    for _ in range(count):
        call("p")


if __name__ == "__main__":
    main()
