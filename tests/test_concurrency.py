"""Threads: clients on several threads at once do not crash and do not see each other's pipelines or
credentials; one client shared by several threads for plain operations does not crash either.

The extension holds the GIL while it runs and lets it go only inside the Python it calls (requests, the socket),
so threads interleave at every request. The full run (8 threads x 500 operations) is slow; a shorter one runs by
default.
"""

from __future__ import annotations

import re
import threading
from collections import Counter
from collections.abc import Iterator
from typing import Any
from unittest import mock

import pytest

from quenlo.sdk import velm_api
from quenlo.sdk.constants import ENGINE_AUTHENTICATION_METHOD_FORM
from quenlo.sdk.simulator import EngineSimulator, sample_pipeline

THREADS = 8
# The operations one cycle of a worker makes (each is one request).
CYCLE = 8


@pytest.fixture
def engine() -> Iterator[EngineSimulator]:
    users = {f"user{index}": f"password{index}" for index in range(THREADS)}
    with EngineSimulator(users=users) as simulator:
        simulator.state.runs.configure_defaults(batches=1, batch_interval=0, start_delay=0, stop_delay=0)
        yield simulator


@pytest.fixture(autouse=True)
def no_pause() -> Iterator[None]:
    with mock.patch("time.sleep", new=lambda seconds: None):
        yield


def worker(url: str, index: int, operations: int, start: threading.Barrier, problems: list[str]) -> None:
    """``operations`` requests as user ``index``, on pipelines of its own; every answer is checked."""
    user = f"user{index}"
    prefix = f"t{index}-"

    def expect(what: str, got: Any, wanted: Any) -> None:
        if got != wanted:
            problems.append(f"{user} {what}: got {got!r}, wanted {wanted!r}")

    try:
        client = velm_api.ApiClient(
            url, authentication_method=ENGINE_AUTHENTICATION_METHOD_FORM, username=user, password=f"password{index}"
        )
        start.wait()
        for cycle in range(operations // CYCLE):
            pid = f"{prefix}{cycle}"
            # A pipeline with stages: one without them is invalid and would never start.
            expect("created", client.import_pipeline(pid, sample_pipeline(pid, pid))["definition"]["pipelineId"], pid)
            expect("read", client.get_pipeline_configuration(pid, get="info")["pipelineId"], pid)
            expect("current user", client.get_current_user()["user"], user)
            command = client.start_pipeline(pid)
            expect("started", command.response.json()["pipelineId"], pid)
            command.wait_for_finished(timeout_sec=30)  # one status poll
            expect("finished", command.response.json()["status"], "FINISHED")
            listed = client.get_all_pipeline_configuration_info(filter_text=prefix).response.json()
            expect("listed", sorted(p["pipelineId"] for p in listed), [pid])
            expect("history", len(client.get_pipeline_history(pid)), 1)
            client.delete_pipeline(pid)
    except Exception as error:  # noqa: BLE001 - every failure of a thread is reported, not lost with it
        problems.append(f"{user}: {type(error).__name__}: {error}")


def run_threads(engine: EngineSimulator, operations: int) -> None:
    problems: list[str] = []
    start = threading.Barrier(THREADS)
    threads = [
        threading.Thread(target=worker, args=(engine.url, index, operations, start, problems), name=f"worker{index}")
        for index in range(THREADS)
    ]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(timeout=600)
    assert not any(thread.is_alive() for thread in threads)
    assert problems == []

    # The engine's view: every request authenticated, each one as the user whose pipelines it names.
    per_user: Counter[str] = Counter()
    for request in engine.requests:
        assert request.user is not None, request.path
        per_user[request.user] += 1
        named = re.search(r"/t(\d+)-\d+(/|$)", request.path)
        if named:
            assert request.user == f"user{named.group(1)}", (request.user, request.path)
        if "filterText=t" in request.query:
            assert request.query.startswith(f"filterText=t{request.user[4:]}-")
    cycles = operations // CYCLE
    # the probe, then eight requests per cycle
    assert per_user == {f"user{index}": 1 + CYCLE * cycles for index in range(THREADS)}


def test_eight_threads_with_their_own_clients(engine):
    run_threads(engine, operations=64)


@pytest.mark.slow
@pytest.mark.timeout(600)
def test_eight_threads_with_their_own_clients_500_operations_each(engine):
    run_threads(engine, operations=504)  # 63 whole cycles: at least 500 requests a thread


def test_one_client_shared_by_threads_for_plain_operations(engine):
    client = velm_api.ApiClient(
        engine.url, authentication_method=ENGINE_AUTHENTICATION_METHOD_FORM, username="user0", password="password0"
    )
    for index in range(4):
        client.create_pipeline(f"shared{index}")
    problems: list[str] = []
    start = threading.Barrier(4)

    def use(index: int) -> None:
        pid = f"shared{index}"
        try:
            start.wait()
            for _ in range(50):
                if client.get_pipeline_configuration(pid, get="info")["pipelineId"] != pid:
                    problems.append(f"{pid}: another pipeline's answer")
                if client.get_pipeline_status(pid).response.json()["pipelineId"] != pid:
                    problems.append(f"{pid}: another pipeline's status")
                client.get_velm_info()
        except Exception as error:  # noqa: BLE001
            problems.append(f"{pid}: {type(error).__name__}: {error}")

    threads = [threading.Thread(target=use, args=(index,)) for index in range(4)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(timeout=120)
    assert problems == []
    assert {request.user for request in engine.requests} == {"user0"}
    assert len(engine.requests) == 1 + 4 + 4 * 50 * 3
