#!/usr/bin/env python3
"""Measure what quenlo.sdk.velm_api costs on top of requests, side by side, and write the report.

    python benchmarks/bench.py --output docs/benchmarks.md     # the full run (make bench)
    python benchmarks/bench.py --quick                         # a smoke run: every section, tiny sizes (CI)

Every time is a median over short interleaved batches (A B, B A, ...), so drift of the machine falls on both sides,
and every ratio is ours divided by the reference measured in the same run. Sections:

1. call overhead without a network (in-memory transport adapter) against a bare requests.Session;
2. the same over loopback against a minimal keep-alive HTTP/1.1 server in another process;
3. waits: CPU used by the waiting thread during a 20-poll wait, and the poll period;
4. import time against ``import requests`` alone, in fresh processes;
5. memory: peak resident growth of get_bundle and export_pipeline, a fresh process per measurement;
6. scale: 8 clients in 8 threads against 1;
7. the library's own share: the session replaced by a stub that answers at once, against a plain Python
   rendering of the same steps (benchmarks/baseline.py);
8. virtual time and the fixtures: benchmarks/virtual_time.py's measures;
9. many runs at once: the waiting thread's CPU per status request of wait_all on 50 runs against wait() on one,
   against the engine simulator on virtual time;
10. instructions per call on the stub session of section 7 (callgrind, where valgrind is installed), against the
   plain Python rendering.
"""

from __future__ import annotations

import argparse
import datetime
import gc
import io
import itertools
import json
import os
import platform
import resource
import shutil
import statistics
import subprocess
import sys
import tempfile
import threading
import time
import types
import urllib.parse
import zipfile
from dataclasses import dataclass, field
from importlib.metadata import PackageNotFoundError, version
from typing import Any, Callable, Dict, Iterator, List, Optional, Sequence, Tuple
from unittest import mock

import requests
import urllib3
from requests.adapters import BaseAdapter
from requests.structures import CaseInsensitiveDict
from requests.utils import get_encoding_from_headers

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

import baseline  # noqa: E402
import payloads  # noqa: E402
import virtual_time  # noqa: E402

from quenlo.sdk import transport, velm_api  # noqa: E402

REQUIRED_HEADERS = {"X-Requested-By": "velm", "content-type": "application/json"}
OFFLINE_URL = "http://127.0.0.1:9"  # never connected: the in-memory adapter answers for it


@dataclass
class Settings:
    """How hard each section works; --quick shrinks everything to a smoke run."""

    pairs: int = 401
    batch_seconds: float = 0.005
    wait_polls: int = 20
    import_runs: int = 21
    bundle_mb: int = 100
    export_mb: int = 20
    scale_seconds: float = 4.0
    threads: int = 8
    virtual_seconds: float = 3600.0
    virtual_repeat: int = 20
    fixture_tests: int = 50
    many_requests: int = 1000
    many_pairs: int = 7
    instruction_calls: int = 20_000
    instruction_operations: Tuple[str, ...] = ("get_pipeline_status", "get_pipeline_history")

    @classmethod
    def quick(cls) -> "Settings":
        return cls(
            pairs=5,
            batch_seconds=0.002,
            wait_polls=2,
            import_runs=2,
            bundle_mb=4,
            export_mb=1,
            scale_seconds=0.2,
            virtual_seconds=60.0,
            virtual_repeat=2,
            fixture_tests=5,
            many_requests=100,
            many_pairs=1,
            instruction_calls=100,
            instruction_operations=("get_pipeline_status",),
        )


@dataclass
class Row:
    """One line of a result table: our figure, the reference's, their ratio and the target for it."""

    name: str
    ours: float
    reference: float
    target: Optional[float] = None
    note: str = ""
    paired_ratio: Optional[float] = None  # the median of pairwise ratios, where the figures were paired

    @property
    def ratio(self) -> float:
        if self.paired_ratio is not None:
            return self.paired_ratio
        return self.ours / self.reference if self.reference else float("nan")

    @property
    def met(self) -> str:
        if self.target is None:
            return ""
        return "yes" if self.ratio <= self.target else "**no**"


@dataclass
class Section:
    title: str
    command: str
    columns: Tuple[str, str, str]  # (what, ours, reference) headings
    rows: List[Row] = field(default_factory=list)
    text: List[str] = field(default_factory=list)


# ---------------------------------------------------------------------------------------------------------------
# Timing


def per_call(fn: Callable[[], Any], number: int) -> float:
    start = time.perf_counter()
    for _ in range(number):
        fn()
    return (time.perf_counter() - start) / number


def calibrate(fn: Callable[[], Any], seconds: float) -> int:
    """How many calls of ``fn`` fill about ``seconds``."""
    number = 1
    while True:
        elapsed = per_call(fn, number) * number
        if elapsed >= seconds / 4 or number >= 1 << 20:
            return max(1, int(number * seconds / max(elapsed, 1e-9)))
        number *= 4


def compare(ours: Callable[[], Any], reference: Callable[[], Any], settings: Settings) -> Tuple[float, float, float]:
    """Median seconds per call of each, and the median of their ratios, from short interleaved batches.

    A batch of one is followed at once by a batch of the other (the order alternating), so a change in the
    machine's load falls on both sides of each pair; the ratio is taken pair by pair.
    """
    ours(), reference()  # warm both paths (connections, caches) before anything counts
    number = calibrate(reference, settings.batch_seconds)
    a: List[float] = []
    b: List[float] = []
    for index in range(settings.pairs):
        if index % 64 == 0:
            gc.collect()
        if index % 2 == 0:
            a.append(per_call(ours, number))
            b.append(per_call(reference, number))
        else:
            b.append(per_call(reference, number))
            a.append(per_call(ours, number))
    return statistics.median(a), statistics.median(b), statistics.median(x / y for x, y in zip(a, b))


# ---------------------------------------------------------------------------------------------------------------
# Transports: in memory, a loopback server process, and a stub session


class InMemoryAdapter(BaseAdapter):
    """A transport adapter that answers every request at once from canned bodies: no socket at all.

    The response is left as requests' own adapter leaves it once the body is read, so everything above the
    transport (preparation, hooks, cookies, status check, decoding) runs as it would on the wire.
    """

    def __init__(self) -> None:
        super().__init__()
        self.last: Optional[requests.PreparedRequest] = None

    def send(
        self,
        request: requests.PreparedRequest,
        stream: bool = False,
        timeout: Any = None,
        verify: Any = True,
        cert: Any = None,
        proxies: Any = None,
    ) -> requests.Response:
        self.last = request
        body = payloads.canned(request.method or "GET", request.path_url.split("?", 1)[0])
        response = requests.Response()
        response.status_code = 200
        response.reason = "OK"
        response.headers = CaseInsensitiveDict({"Content-Type": "application/json", "Content-Length": str(len(body))})
        response.encoding = get_encoding_from_headers(response.headers)
        response._content = body
        response.url = request.url or ""
        response.request = request
        response.connection = self
        return response

    def close(self) -> None:
        pass


def in_memory_session() -> Tuple[requests.Session, InMemoryAdapter]:
    session = requests.Session()
    adapter = InMemoryAdapter()
    session.mount("http://", adapter)
    return session, adapter


def in_memory_client() -> Tuple[velm_api.ApiClient, InMemoryAdapter]:
    """A client whose session, the kind the client makes (with its mends), carries the in-memory adapter from
    the start (its probe included)."""
    made: List[InMemoryAdapter] = []

    def session_factory() -> requests.Session:
        session = transport.EngineSession()
        made.append(InMemoryAdapter())
        session.mount("http://", made[-1])
        return session

    with mock.patch.object(velm_api.requests, "Session", session_factory):
        client = velm_api.ApiClient(OFFLINE_URL)
    return client, made[0]


def bare_session() -> requests.Session:
    session = requests.Session()
    session.headers.update(REQUIRED_HEADERS)
    return session


class Server:
    """benchmarks/server.py in its own process, so its work never competes for our interpreter's lock."""

    def __init__(self, *arguments: str) -> None:
        self.process = subprocess.Popen(
            [sys.executable, os.path.join(HERE, "server.py"), *arguments], stdout=subprocess.PIPE, text=True
        )
        line = self.process.stdout.readline() if self.process.stdout else ""
        if not line.strip():
            self.process.kill()
            raise RuntimeError("the benchmark server did not start")
        self.url = f"http://127.0.0.1:{int(line)}"

    def __enter__(self) -> "Server":
        return self

    def __exit__(self, *exc: object) -> None:
        self.process.terminate()
        self.process.wait(timeout=10)


class StubResponse:
    """A response-like object with its body already decoded: the stub session's answer."""

    status_code = 200

    def __init__(self, content: bytes) -> None:
        self.content = content
        self._decoded = json.loads(content)

    def json(self) -> Any:
        return self._decoded

    def raise_for_status(self) -> None:
        pass


class StubSession:
    """Verbs that answer at once with one prebuilt response: what remains is the client's own work."""

    def __init__(self, response: StubResponse) -> None:
        self.response = response

    def get(self, url: str, **kwargs: Any) -> StubResponse:
        return self.response

    post = put = delete = get


# ---------------------------------------------------------------------------------------------------------------
# The timed operations


def operations(
    client: Any, session: requests.Session, base: str, definitions: Dict[str, Any]
) -> List[Tuple[str, Callable[[], Any], Callable[[], Any]]]:
    """(name, our call, the same request on a bare session) for each operation the call sections time."""
    url = base + "/rest/v1/pipeline/p"
    rev = {"rev": 0}

    def bare_status() -> Any:
        response = session.request("GET", url + "/status", params=rev)
        response.raise_for_status()
        return response

    def bare_history() -> Any:
        response = session.request("GET", url + "/history", params=rev)
        response.raise_for_status()
        return response.json()

    def bare_start() -> Any:
        response = session.request("POST", url + "/start", params=rev)
        response.raise_for_status()
        return response

    def bare_update(definition: Any) -> Callable[[], Any]:
        def call() -> Any:
            response = session.request("POST", url, params=rev, data=json.dumps(definition))
            response.raise_for_status()
            return response

        return call

    rows = [
        ("get_pipeline_status", lambda: client.get_pipeline_status("p"), bare_status),
        ("get_pipeline_history", lambda: client.get_pipeline_history("p"), bare_history),
        ("start_pipeline", lambda: client.start_pipeline("p"), bare_start),
    ]
    for label, definition in definitions.items():
        rows.append(
            (
                f"update_pipeline ({label})",
                (lambda d: lambda: client.update_pipeline("p", d))(definition),
                bare_update(definition),
            )
        )
    return rows


def definitions_for(settings: Settings) -> Dict[str, Any]:
    return {"1 KB": payloads.definition_object(1 << 10), "1 MB": payloads.definition_object(1 << 20)}


def same_request(a: requests.PreparedRequest, b: requests.PreparedRequest) -> bool:
    return (a.method, a.url, a.body, dict(a.headers)) == (b.method, b.url, b.body, dict(b.headers))


def noise_floor(reference: Callable[[], Any], settings: Settings) -> Row:
    """The last reference timed against itself: how far from 1 a ratio strays on this machine by chance."""
    a, b, ratio = compare(reference, reference, settings)
    return Row("noise floor: the last reference against itself", us(a), us(b), None, paired_ratio=ratio)


def us(seconds: float) -> float:
    return seconds * 1e6


# ---------------------------------------------------------------------------------------------------------------
# Sections


def section_overhead(settings: Settings) -> Section:
    section = Section(
        "1. Call overhead without a network (in-memory transport adapter)",
        "in-process: a requests BaseAdapter mounted on both sessions answers from canned bodies",
        ("operation", "velm_api µs/call", "bare requests µs/call"),
    )
    client, ours_adapter = in_memory_client()
    session, bare_adapter = in_memory_session()
    session.headers.update(REQUIRED_HEADERS)
    for name, ours, bare in operations(client, session, OFFLINE_URL, definitions_for(settings)):
        ours()
        bare()
        assert ours_adapter.last is not None and bare_adapter.last is not None
        if not same_request(ours_adapter.last, bare_adapter.last):
            raise AssertionError(f"{name}: the bare request differs from the client's")
        a, b, ratio = compare(ours, bare, settings)
        section.rows.append(Row(name, us(a), us(b), 1.03, paired_ratio=ratio))
    section.rows.append(noise_floor(bare, settings))
    # For scale: the plain Python rendering of section 7 over the same kind of session.
    python_client = baseline.ApiClient(OFFLINE_URL, in_memory_session()[0])
    python_client.session.headers.update(REQUIRED_HEADERS)
    for name, theirs, bare in operations(python_client, session, OFFLINE_URL, {}):
        a, b, ratio = compare(theirs, bare, settings)
        section.rows.append(
            Row(f"{name}, pure-Python baseline instead of velm_api", us(a), us(b), None, paired_ratio=ratio)
        )
    # The two side by side: the client against the pure-Python baseline itself, paired.
    ours_rows = {name: call for name, call, _ in operations(client, session, OFFLINE_URL, {})}
    for name, theirs, _ in operations(python_client, session, OFFLINE_URL, {})[:2]:
        a, b, ratio = compare(ours_rows[name], theirs, settings)
        section.rows.append(
            Row(f"{name}, velm_api against the pure-Python baseline", us(a), us(b), 1.01, paired_ratio=ratio)
        )
    section.text.append(
        "Each pair was checked to send the identical request (method, URL, headers, body) before it was timed. "
        "The last rows time benchmarks/baseline.py, a plain Python client taking the same steps, the same way."
    )
    return section


def section_loopback(settings: Settings) -> Section:
    section = Section(
        "2. The same over loopback (keep-alive HTTP/1.1 server in another process)",
        "python benchmarks/server.py (http.server, HTTP/1.1, Content-Length, TCP_NODELAY)",
        ("operation", "velm_api µs/call", "bare requests µs/call"),
    )
    with Server() as server:
        client = velm_api.ApiClient(server.url)
        session = bare_session()
        for name, ours, bare in operations(client, session, server.url, definitions_for(settings)):
            a, b, ratio = compare(ours, bare, settings)
            section.rows.append(Row(name, us(a), us(b), 1.02, paired_ratio=ratio))
        section.rows.append(noise_floor(bare, settings))
    return section


def section_waits(settings: Settings) -> Section:
    section = Section(
        f"3. Waits: a {settings.wait_polls}-poll wait_for_status",
        f"loopback server process; the pipeline reports RUNNING for {settings.wait_polls} status reads, then FINISHED",
        ("measure", "value", ""),
    )
    with Server("--wait-polls", str(settings.wait_polls)) as server:
        client = velm_api.ApiClient(server.url)
        latency = statistics.median(per_call(lambda: client.get_pipeline_status("p"), 20) for _ in range(5))
        command = client.get_pipeline_status("wait-1")
        wall, cpu = time.perf_counter(), time.thread_time()
        process_cpu = resource.getrusage(resource.RUSAGE_SELF)
        command.wait_for_status("FINISHED", timeout_sec=settings.wait_polls + 30)
        wall, cpu = time.perf_counter() - wall, time.thread_time() - cpu
        after = resource.getrusage(resource.RUSAGE_SELF)
        process = (after.ru_utime + after.ru_stime) - (process_cpu.ru_utime + process_cpu.ru_stime)
        polls = requests.get(server.url + "/polls/wait-1").json()
    intervals = [b - a for a, b in zip(polls, polls[1:])]
    period = statistics.median(intervals)
    # Drift: how far the last poll is from where a steady "one second plus the request" period puts it.
    drift = (polls[-1] - polls[0]) - len(intervals) * period
    share = cpu / wall
    section.rows += [
        Row(
            "CPU of the waiting thread, % of one core",
            100 * share,
            1.0,
            1.0,
            f"{cpu * 1000:.1f} ms thread CPU ({process * 1000:.1f} ms whole process) in {wall:.2f} s",
        ),
        Row(
            "poll period, s (median)",
            period,
            1.0 + latency,
            None,
            f"reference: 1 s + one status request ({us(latency):.0f} µs)",
        ),
        Row("spread of the poll period, ms (max - min)", 1000 * (max(intervals) - min(intervals)), 0, None, ""),
        Row(f"drift over {len(intervals)} polls, ms", 1000 * drift, 0, None, "last poll against first + n × period"),
    ]
    section.text.append(
        "The CPU row's ratio is the share itself against the 1 % target; the period row's ratio "
        "is the measured period against one second plus the measured request time."
    )
    return section


IMPORT_SNIPPET = "import time; t = time.perf_counter(); import {module}; print(time.perf_counter() - t)"


def fresh_process_seconds(code: str) -> Tuple[float, float]:
    start = time.perf_counter()
    out = subprocess.run([sys.executable, "-c", code], check=True, capture_output=True, text=True).stdout
    return float(out), time.perf_counter() - start


def section_import(settings: Settings) -> Section:
    section = Section(
        "4. Import time in fresh processes",
        'python -c "import quenlo.sdk.velm_api" against -c "import requests"',
        ("measure", "import quenlo.sdk.velm_api, ms", "import requests, ms"),
    )
    ours: List[Tuple[float, float]] = []
    reference: List[Tuple[float, float]] = []
    fresh_process_seconds(IMPORT_SNIPPET.format(module="quenlo.sdk.velm_api"))  # fill the file cache
    for index in range(settings.import_runs):
        pair = (("quenlo.sdk.velm_api", ours), ("requests", reference))
        for module, out in pair if index % 2 == 0 else pair[::-1]:
            out.append(fresh_process_seconds(IMPORT_SNIPPET.format(module=module)))
    section.rows += [
        Row(
            "the import statement alone",
            1000 * statistics.median(x[0] for x in ours),
            1000 * statistics.median(x[0] for x in reference),
            1.15,
        ),
        Row(
            "the whole process (interpreter start, import, exit)",
            1000 * statistics.median(x[1] for x in ours),
            1000 * statistics.median(x[1] for x in reference),
            None,
        ),
    ]
    return section


def peak_resident() -> int:
    """Peak resident bytes of this process so far.

    VmHWM is the per-process figure behind ru_maxrss. ru_maxrss itself carries the parent's peak across fork and
    exec, so in a child of a large parent it would hide the child's own growth; VmHWM starts afresh at exec.
    """
    try:
        with open("/proc/self/status") as status:
            for line in status:
                if line.startswith("VmHWM:"):
                    return int(line.split()[1]) * 1024
    except OSError:
        pass
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024


def memory_child(target: str, kind: str, url: str) -> None:
    """Run in a fresh process: the peak resident growth of one call, printed as JSON."""
    if kind == "ours":
        client = velm_api.ApiClient(url)
        calls = {"bundle": lambda: client.get_bundle(), "export": lambda: client.export_pipeline("p")}
    else:
        session = bare_session()

        def bare_bundle() -> Any:
            response = session.get(url + "/rest/v1/system/bundle/generate", params={"generators": ""})
            response.raise_for_status()
            return zipfile.ZipFile(io.BytesIO(response.content), "r")

        def bare_export() -> Any:
            params = {
                "rev": 0,
                "attachment": False,
                "includeLibraryDefinitions": False,
                "includePlainTextCredentials": True,
            }
            response = session.get(url + "/rest/v1/pipeline/p/export", params=params)
            response.raise_for_status()
            return response.json()

        session.get(url + "/rest/v1/system/info").raise_for_status()  # open the connection
        calls = {"bundle": bare_bundle, "export": bare_export}
    gc.collect()
    before = peak_resident()
    result = calls[target]()
    growth = peak_resident() - before
    check = len(result.namelist()) if target == "bundle" else len(result["definition"]["stages"])
    print(json.dumps({"growth": growth, "check": check}))


def decoded_floor(path: str) -> int:
    """Peak growth of json.loads on the definition's text already in memory: the decoded result itself."""
    code = (
        "import gc, json, sys; sys.path.insert(0, {here!r}); from bench import peak_resident; "
        "text = open({path!r}, encoding='utf-8').read(); gc.collect(); "
        "b = peak_resident(); value = json.loads(text); print(peak_resident() - b)"
    ).format(here=HERE, path=path)
    return int(subprocess.run([sys.executable, "-c", code], check=True, capture_output=True, text=True).stdout)


def section_memory(settings: Settings) -> Section:
    section = Section(
        "5. Memory: peak resident growth of one call (fresh process each, VmHWM)",
        f"python benchmarks/bench.py --child memory ... against a server with a {settings.bundle_mb} MiB "
        f"archive and a {settings.export_mb} MiB definition",
        ("call", "velm_api growth / size", "bare requests growth / size"),
    )
    export_text = payloads.definition(settings.export_mb << 20)
    export_size = len(export_text)
    with tempfile.NamedTemporaryFile(suffix=".json", delete=False) as definition_file:
        definition_file.write(export_text)
    del export_text
    with Server("--bundle-mb", str(settings.bundle_mb), "--export-mb", str(settings.export_mb)) as server:
        with requests.get(server.url + "/rest/v1/system/bundle/generate", stream=True) as sized:
            bundle_size = int(sized.headers["Content-Length"])
        results: Dict[Tuple[str, str], Dict[str, Any]] = {}
        for target in ("bundle", "export"):
            for kind in ("ours", "bare"):
                out = subprocess.run(
                    [sys.executable, __file__, "--child", "memory", target, kind, server.url],
                    check=True,
                    capture_output=True,
                    text=True,
                ).stdout
                results[target, kind] = json.loads(out)
    try:
        floor = decoded_floor(definition_file.name)
    finally:
        os.unlink(definition_file.name)
    for target, size, limit, label in (
        ("bundle", bundle_size, 1.3, f"get_bundle ({bundle_size / 2**20:.0f} MiB)"),
        ("export", export_size, 3.0, f"export_pipeline ({export_size / 2**20:.1f} MiB)"),
    ):
        ours = results[target, "ours"]["growth"] / size
        bare = results[target, "bare"]["growth"] / size
        # The target is on growth against the size; the ratio column is ours against bare requests.
        row = Row(label, ours, bare, None)
        row.note = f"target {limit} × size: {'yes' if ours <= limit else '**no**'}"
        section.rows.append(row)
    section.text.append(
        f"The decoded definition alone (json.loads of the text already in memory) grows the peak by "
        f"{floor / export_size:.2f} × its size; requests' json() also holds the body and its decoded "
        f"text while it parses."
    )
    return section


def section_scale(settings: Settings) -> Section:
    section = Section(
        f"6. Scale: {settings.threads} clients in {settings.threads} threads against 1",
        "loopback server process (a thread per connection); get_pipeline_status in a loop",
        ("setting", "velm_api ops/s", "bare requests ops/s"),
    )
    with Server() as server:
        for threads in (1, settings.threads):
            ours = [velm_api.ApiClient(server.url) for _ in range(threads)]
            bare = [bare_session() for _ in range(threads)]
            url = server.url + "/rest/v1/pipeline/p/status"

            def ours_call(index: int) -> None:
                ours[index].get_pipeline_status("p")  # noqa: B023 (used within this iteration only)

            def bare_call(index: int) -> None:
                bare[index].request("GET", url, params={"rev": 0}).raise_for_status()  # noqa: B023

            # Slices in the order ours, bare, bare, ours, repeated: a drift of the machine weighs on both alike.
            slice_seconds = settings.scale_seconds / 4
            ours_runs: List[float] = []
            bare_runs: List[float] = []
            for _ in range(2):
                ours_runs.append(throughput(ours_call, threads, slice_seconds))
                bare_runs += [throughput(bare_call, threads, slice_seconds) for _ in range(2)]
                ours_runs.append(throughput(ours_call, threads, slice_seconds))
            a, b = statistics.mean(ours_runs), statistics.mean(bare_runs)
            section.rows.append(Row(f"{threads} thread{'s' if threads > 1 else ''}", a, b, None))
    return section


def throughput(call: Callable[[int], None], threads: int, seconds: float) -> float:
    counts = [0] * threads
    start = threading.Barrier(threads + 1)
    stop = threading.Event()

    def worker(index: int) -> None:
        call(index)
        start.wait()
        while not stop.is_set():
            call(index)
            counts[index] += 1

    workers = [threading.Thread(target=worker, args=(i,)) for i in range(threads)]
    for worker_thread in workers:
        worker_thread.start()
    start.wait()
    began = time.perf_counter()
    time.sleep(seconds)
    stop.set()
    for worker_thread in workers:
        worker_thread.join()
    return sum(counts) / (time.perf_counter() - began)


def section_share(settings: Settings) -> Section:
    section = Section(
        "7. The library's own share of a call (stub session: verbs answer at once)",
        "client.session replaced by a plain object whose get/post/put/delete return a prebuilt "
        "response; reference: benchmarks/baseline.py",
        ("operation", "velm_api µs/call", "pure-Python baseline µs/call"),
    )
    client, _ = in_memory_client()
    python_client = baseline.ApiClient(OFFLINE_URL, None)
    answers = {
        "get_pipeline_status": payloads.STATUS_RUNNING,
        "get_pipeline_history": payloads.HISTORY,
        "start_pipeline": payloads.STATUS_RUNNING,
    }
    for name, ours, theirs in share_operations(client, python_client, definitions_for(settings)):
        stub = StubSession(StubResponse(answers.get(name, payloads.STORED)))
        client.session = stub
        python_client.session = stub
        a, b, ratio = compare(ours, theirs, settings)
        section.rows.append(Row(name, us(a), us(b), 0.6, paired_ratio=ratio))
    section.rows.append(noise_floor(theirs, settings))
    # The glue alone: the companions answer with constants on both sides, so what is left is the compiled
    # layer against the Python one (plus the stub's two calls).
    query, url = {"rev": 0}, OFFLINE_URL + "/rest/v1/pipeline/p/status"
    companions = {"get_params": lambda parameters, exclusions: query, "join_url_parts": lambda *parts: url}
    with mock.patch.multiple(velm_api, **companions), mock.patch.multiple(baseline, **companions):
        for name, ours, theirs in list(share_operations(client, python_client, {}))[:3]:
            stub = StubSession(StubResponse(answers[name]))
            client.session = stub
            python_client.session = stub
            a, b, ratio = compare(ours, theirs, settings)
            section.rows.append(Row(f"{name}, glue only", us(a), us(b), None, paired_ratio=ratio))
    section.text.append("The glue-only rows answer get_params and join_url_parts with constants on both sides.")
    return section


def share_operations(
    client: Any, python_client: Any, definitions: Dict[str, Any]
) -> Iterator[Tuple[str, Callable[[], Any], Callable[[], Any]]]:
    for name in ("get_pipeline_status", "get_pipeline_history", "start_pipeline"):
        # Defaults bind this iteration's methods (a closure would see the last name).
        ours, plain = getattr(client, name), getattr(python_client, name)
        yield name, (lambda m=ours: m("p")), (lambda m=plain: m("p"))
    for label, definition in definitions.items():
        yield (
            f"update_pipeline ({label})",
            (lambda d=definition: client.update_pipeline("p", d)),
            (lambda d=definition: python_client.update_pipeline("p", d)),
        )


def section_virtual(settings: Settings) -> Section:
    figures = virtual_time.measure(settings.virtual_repeat, settings.virtual_seconds, settings.fixture_tests)
    section = Section(
        "8. Virtual time and the fixtures",
        "benchmarks/virtual_time.py's measures: an in-process simulator on virtual time, start_pipeline then "
        "wait_for_finished with the default pacing (one status poll per virtual second, over loopback); and the "
        f"set-up of {settings.fixture_tests} tests that use velm_engine and velm_client",
        ("measure", "real", "reference"),
    )
    hour, polls = figures["hour"], figures["hour_polls"]
    section.rows += [
        Row(
            "a half-minute run (3 batches of 10 s), ms (median)",
            figures["half_minute"] * 1000,
            30_000,
            None,
            f"reference: its virtual ms; median of {figures['repeat']}",
        ),
        Row(
            f"a {settings.virtual_seconds:g}-virtual-second run, s",
            hour,
            settings.virtual_seconds,
            None,
            f"reference: its virtual s; {polls} polls, {hour / max(polls, 1) * 1000:.2f} ms a poll",
        ),
        Row(
            "fixture set-up, first test (starts the engine), ms",
            figures["tls_setup"][0] * 1000,
            figures["plain_setup"][0] * 1000,
            None,
            "tls=True (a throwaway CA, a TLS handshake) against plain HTTP",
        ),
        Row(
            "fixture set-up, each later test, ms (median)",
            figures["tls_setup"][1] * 1000,
            figures["plain_setup"][1] * 1000,
            None,
            "tls=True against plain HTTP: a reset and a client that connects",
        ),
    ]
    return section


MANY_RUNS = 50


def section_many(settings: Settings) -> Section:
    requests_made = settings.many_requests
    section = Section(
        f"9. Many runs at once: CPU per status request, wait_all on {MANY_RUNS} runs against wait() on one",
        f"the engine simulator in this process on virtual time (pauses take no time); each measurement sends "
        f"{requests_made} status requests, by one wait() on a run that reports RUNNING that often, or by one "
        f"wait_all on {MANY_RUNS} such runs with {requests_made // MANY_RUNS} each; {settings.many_pairs} pairs, "
        "alternating which goes first",
        ("measure", f"wait_all, {MANY_RUNS} runs", "wait(), 1 run"),
    )
    from quenlo.sdk.simulator import EngineSimulator

    serial = itertools.count()
    with EngineSimulator(virtual_time=True) as engine:
        client = velm_api.ApiClient(engine.url)

        def commands(count: int, reads: int) -> List[Any]:
            made = []
            for _ in range(count):
                pid = f"bench{next(serial)}"
                engine.script_status(pid, ["RUNNING"] * reads + ["FINISHED"])
                made.append(velm_api.StartPipelineCommand(client, client.get_pipeline_status(pid).response))
            return made

        split = getattr(urllib.parse.urlsplit, "cache_info", None)  # an LRU cache from Python 3.11 on
        misses: Dict[str, int] = {}

        def cpu_per_request(wait: Callable[[], Any], name: str) -> float:
            gc.collect()
            engine.clear_requests()
            missed = split().misses if split else 0
            began = time.thread_time()
            wait()
            spent = time.thread_time() - began
            if split:
                misses[name] = split().misses - missed
            sent = sum(r.path.endswith("/status") for r in engine.requests)
            if sent != requests_made:
                raise AssertionError(f"{sent} status requests, not {requests_made}")
            return spent / sent

        def one() -> float:
            (command,) = commands(1, requests_made)
            return cpu_per_request(lambda: command.wait(timeout_sec=1e9), "one")

        def many() -> float:
            batch = commands(MANY_RUNS, requests_made // MANY_RUNS)
            return cpu_per_request(lambda: velm_api.wait_all(batch, timeout_sec=1e9), "many")

        one(), many()  # warm both paths
        ours: List[float] = []
        reference: List[float] = []
        for index in range(settings.many_pairs):
            if index % 2 == 0:
                ours.append(many())
                reference.append(one())
            else:
                reference.append(one())
                ours.append(many())
        client.session.close()
    ratio = statistics.median(a / b for a, b in zip(ours, reference))
    loop_ours, loop_reference = wait_loop_cost(settings)
    section.rows.append(
        Row(
            "the wait loop's own CPU per status read, µs (a client whose status read answers at once)",
            us(statistics.median(loop_ours)),
            us(statistics.median(loop_reference)),
            1.05,
            f"medians of {settings.many_pairs} pairs of {requests_made * 10} reads; no HTTP, no simulator",
            paired_ratio=statistics.median(a / b for a, b in zip(loop_ours, loop_reference)),
        )
    )
    section.rows.append(
        Row(
            "CPU of the waiting thread per status request, µs",
            us(statistics.median(ours)),
            us(statistics.median(reference)),
            1.05,
            f"medians; spread {us(min(ours)):.0f}-{us(max(ours)):.0f} µs against "
            f"{us(min(reference)):.0f}-{us(max(reference)):.0f} µs",
            paired_ratio=ratio,
        )
    )
    section.text.append(
        "The ratio is the median of the pairwise ratios; the target is wait_all's cost per request within 5 % "
        "of a single wait()'s."
    )
    if misses:
        section.text.append(
            f"What difference there is comes from urllib.parse's cache of 128 split URLs, which requests reads "
            f"three times a request: {MANY_RUNS} runs' status URLs taken in turn miss it "
            f"({misses['many']} misses in the last measurement of wait_all, {misses['one']} in wait()'s)."
        )
    return section


def wait_loop_cost(settings: Settings) -> Tuple[List[float], List[float]]:
    """Seconds of CPU per status read of wait_all on MANY_RUNS runs and of wait() on one, with a client whose
    status read answers at once from memory and a clock that moves on when slept on: the wait loop alone."""
    reads = settings.many_requests * 10

    class Answer:
        def __init__(self, body: bytes) -> None:
            self.content = body

        def json(self) -> Any:
            return json.loads(self.content)

    class Client(velm_api.ApiClient):
        def __init__(self) -> None:  # no engine: nothing to connect to
            self.left: Dict[str, int] = {}

        def get_pipeline_status(self, pipeline_id: str, rev: int = 0) -> Any:
            left = self.left[pipeline_id] = self.left[pipeline_id] - 1
            status = "RUNNING" if left > 0 else "FINISHED"
            answer = Answer(json.dumps({"pipelineId": pipeline_id, "status": status}).encode())
            return types.SimpleNamespace(response=answer)

    client = Client()
    now = [0.0]

    def waited(runs: int) -> float:
        client.left = {f"p{index}": reads // runs for index in range(runs)}
        commands = [
            velm_api.StartPipelineCommand(
                client, Answer(json.dumps({"pipelineId": pid, "status": "STARTING"}).encode())
            )
            for pid in client.left
        ]
        gc.collect()
        began = time.thread_time()
        if runs == 1:
            commands[0].wait(timeout_sec=1e12)
        else:
            velm_api.wait_all(commands, timeout_sec=1e12)
        return (time.thread_time() - began) / reads

    def sleep(seconds: float) -> None:
        now[0] += seconds

    ours: List[float] = []
    reference: List[float] = []
    with mock.patch("time.sleep", sleep), mock.patch("time.time", lambda: now[0]):
        for index in range(settings.many_pairs):
            if index % 2 == 0:
                ours.append(waited(MANY_RUNS))
                reference.append(waited(1))
            else:
                reference.append(waited(1))
                ours.append(waited(MANY_RUNS))
    return ours, reference


def callgrind_total(which: str, calls: int, operation: str) -> int:
    """The instructions callgrind counts in benchmarks/profile_call.py making ``calls`` calls of ``operation``."""
    with tempfile.TemporaryDirectory() as folder:
        out = os.path.join(folder, "callgrind.out")
        command = ["valgrind", "--tool=callgrind", f"--callgrind-out-file={out}", sys.executable]
        command += [os.path.join(HERE, "profile_call.py"), which, str(calls), operation]
        subprocess.run(command, check=True, capture_output=True, env={**os.environ, "PYTHONHASHSEED": "0"})
        with open(out, encoding="utf-8") as profile:
            for line in profile:
                if line.startswith(("summary:", "totals:")):
                    return int(line.split()[1])
    raise RuntimeError(f"callgrind wrote no total for {which} {calls} {operation}")


def section_instructions(settings: Settings) -> Section:
    calls = settings.instruction_calls
    section = Section(
        "10. Instructions per call (callgrind)",
        f"valgrind --tool=callgrind on benchmarks/profile_call.py (ours) and its baseline (py), PYTHONHASHSEED=0, "
        f"each run with {calls} calls on the stub session of section 7 and with none; the difference divided by "
        f"{calls}",
        ("per call, instructions", "ours", "plain Python (benchmarks/baseline.py)"),
    )
    if shutil.which("valgrind") is None:
        section.text.append("valgrind is not installed here: nothing was counted.")
        return section
    for operation in settings.instruction_operations:
        ours, plain = (
            (callgrind_total(which, calls, operation) - callgrind_total(which, 0, operation)) / calls
            for which in ("ours", "py")
        )
        section.rows.append(Row(f'{operation}("p")', ours, plain, None, "the call alone: start-up subtracted"))
    return section


SECTIONS: Dict[str, Callable[[Settings], Section]] = {
    "overhead": section_overhead,
    "loopback": section_loopback,
    "waits": section_waits,
    "import": section_import,
    "memory": section_memory,
    "scale": section_scale,
    "share": section_share,
    "virtual": section_virtual,
    "many": section_many,
    "instructions": section_instructions,
}


# ---------------------------------------------------------------------------------------------------------------
# Report


def installed(package: str) -> str:
    try:
        return version(package)
    except PackageNotFoundError:
        return "?"


def machine() -> List[Tuple[str, str]]:
    cpu = platform.processor() or "?"
    try:
        with open("/proc/cpuinfo") as info:
            cpu = next(line.split(":", 1)[1].strip() for line in info if line.startswith("model name"))
    except (OSError, StopIteration):
        pass
    try:
        memory = f"{os.sysconf('SC_PAGE_SIZE') * os.sysconf('SC_PHYS_PAGES') / 2**30:.0f} GiB"
    except (ValueError, OSError):
        memory = "?"
    try:
        commit = (
            subprocess.run(
                ["git", "rev-parse", "--short", "HEAD"], cwd=HERE, capture_output=True, text=True
            ).stdout.strip()
            or "?"
        )
    except OSError:
        commit = "?"
    return [
        ("machine", f"{platform.machine()}, {cpu}, {os.cpu_count()} cores, {memory}"),
        ("system", platform.platform()),
        ("Python", f"{platform.python_implementation()} {platform.python_version()}"),
        ("requests / urllib3", f"{requests.__version__} / {urllib3.__version__}"),
        ("quenlo-sdk", f"{version('quenlo-sdk')} (commit {commit}), built with nanobind {installed('nanobind')}"),
    ]


def figure(value: float) -> str:
    """A figure of a table: counts in the thousands as whole numbers, anything smaller to three decimals."""
    return f"{value:,.0f}" if abs(value) >= 10_000 else f"{value:.3f}"


def render(sections: Sequence[Section], settings: Settings, command: str, notes: str) -> str:
    lines = [
        "# Benchmarks",
        "",
        f"Written by `{command}` on {datetime.date.today().isoformat()}, in one run. A time per call is the "
        f"median of {settings.pairs} batches of about {settings.batch_seconds * 1000:g} ms; each batch of ours "
        "is paired with an adjacent batch of the reference (the order alternating), and a ratio is the median "
        "of the pairwise ratios, so a change in the machine's load falls on both sides.",
        "",
        "| | |",
        "|---|---|",
    ]
    lines += [f"| {k} | {v} |" for k, v in machine()]
    for section in sections:
        what, ours, reference = section.columns
        lines += [
            "",
            f"## {section.title}",
            "",
            f"Set-up: {section.command}.",
            "",
            f"| {what} | {ours} | {reference} | ratio | target | met | note |",
            "|---|---:|---:|---:|---:|---|---|",
        ]
        for row in section.rows:
            target = "" if row.target is None else f"≤ {row.target}"
            lines.append(
                f"| {row.name} | {figure(row.ours)} | {figure(row.reference)} | {row.ratio:.3f} | {target} | "
                f"{row.met} | {row.note} |"
            )
        if section.text:
            lines += [""] + section.text
    return with_notes("\n".join(lines) + "\n", notes)


def read_notes() -> str:
    """benchmarks/notes.md: what the figures mean and where the time goes, written by hand."""
    with open(os.path.join(HERE, "notes.md"), encoding="utf-8") as notes:
        return notes.read()


def with_notes(report: str, notes: str) -> str:
    """``report`` ending in ``notes``: the measured part is kept, any notes it held already are replaced."""
    notes = notes.strip()
    if not notes:
        return report
    first = notes.splitlines()[0]
    measured = report.split("\n" + first + "\n", 1)[0] if "\n" + first + "\n" in report else report
    return measured.rstrip("\n") + "\n\n" + notes + "\n"


def main(argv: Optional[Sequence[str]] = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--quick", action="store_true", help="a smoke run: every section, tiny sizes")
    parser.add_argument("--output", help="write the report here (default: print it)")
    parser.add_argument("--only", nargs="+", choices=list(SECTIONS), help="run only these sections")
    parser.add_argument(
        "--update-notes",
        metavar="REPORT",
        help="measure nothing: replace the closing notes of REPORT with benchmarks/notes.md",
    )
    parser.add_argument("--child", nargs="+", help=argparse.SUPPRESS)
    args = parser.parse_args(argv)
    if args.update_notes:
        with open(args.update_notes, encoding="utf-8") as report_file:
            old = report_file.read()
        with open(args.update_notes, "w", encoding="utf-8") as report_file:
            report_file.write(with_notes(old, read_notes()))
        return 0
    if args.child:
        memory_child(*args.child[1:])
        return 0
    settings = Settings.quick() if args.quick else Settings()
    sections = []
    for name in args.only or list(SECTIONS):
        began = time.perf_counter()
        sections.append(SECTIONS[name](settings))
        print(f"{name}: {time.perf_counter() - began:.1f} s", file=sys.stderr, flush=True)
    command = "python benchmarks/bench.py " + " ".join(argv if argv is not None else sys.argv[1:])
    report = render(sections, settings, command.strip(), "" if args.quick else read_notes())
    if args.output:
        with open(args.output, "w", encoding="utf-8") as out:
            out.write(report)
    else:
        print(report)
    return 0


if __name__ == "__main__":
    sys.exit(main())
