"""The README's uses of the waits' errors and progress events, of wait_all, and of ``ApiClient.timeout``, as a
user writes them.

``make lint`` type-checks this file with mypy --strict and pyright: each ``assert_type`` fails where a type
checker sees ``Any`` or a wrong type instead of what the README promises. It is checked, never run.
"""

from __future__ import annotations

import threading
from typing import Any, Dict, List, Optional, Tuple, Union

import requests
from typing_extensions import assert_type

from quenlo.sdk.doctor import Check, check_engine, worst_kind
from quenlo.sdk.exceptions import EngineHTTPError, NotFoundError
from quenlo.sdk.velm_api import (
    ApiClient,
    RunError,
    StatusError,
    UnexpectedStatusError,
    WaitAllError,
    WaitCancelledError,
    WaitProgress,
    WaitTimeoutError,
    wait_all,
)


def show(event: WaitProgress) -> None:
    print(f"{event.status} after {event.elapsed:.1f} s, {event.remaining:.0f} s left")
    assert_type(event.status, str)
    assert_type(event.elapsed, float)
    assert_type(event.remaining, float)
    assert_type(event.polls, int)
    assert_type(event.record, Dict[str, Any])


def steerable_wait(client: ApiClient) -> None:
    command = client.get_pipeline_status("hourly")
    cancel = threading.Event()
    try:
        record = command.wait(
            "FINISHED", poll_interval=0.1, backoff=2, max_interval=5, timeout_sec=600, on_progress=show, cancel=cancel
        )
        print("done:", record["status"])
    except UnexpectedStatusError as error:
        assert_type(error.status, str)
        assert_type(error.response, Dict[str, Any])
        assert_type(error.message, Optional[str])
    except WaitCancelledError:
        print("cancelled; last answer:", command.response.json()["status"])
    except WaitTimeoutError as error:
        print("still", error.last_status, "after", error.elapsed, "s")
        assert_type(error.timeout_sec, Optional[float])
        assert_type(error.elapsed, Optional[float])
        assert_type(error.last_status, Optional[str])
        assert_type(error.response, Optional[requests.Response])


def many_runs(client: ApiClient) -> None:
    regions = ("load-eu", "load-us", "load-apac")
    commands = [client.start_pipeline(name) for name in regions]
    try:
        records = wait_all(
            commands,
            timeout_sec=1800,
            poll_interval=0.1,
            on_progress=lambda place, event: print(regions[place], event.status),
            fail_fast=True,
        )
        assert_type(records, List[Dict[str, Any]])
        print("all finished:", [record["status"] for record in records])
    except WaitAllError as error:
        for name, outcome in zip(regions, error.outcomes):
            assert_type(outcome, Union[Dict[str, Any], Exception, None])
            print(name, outcome if isinstance(outcome, Exception) else outcome and outcome["status"])


def status_errors(client: ApiClient) -> None:
    try:
        client.get_pipeline_status("nightly").wait_for_status("FINISHED", timeout_sec=10)
    except RunError as error:
        print("run failed:", error.message)
        assert_type(error.response, Dict[str, Any])
    except StatusError as error:
        assert_type(error.message, Optional[str])


def time_outs(client: ApiClient) -> None:
    assert_type(client.timeout, Union[float, Tuple[Optional[float], Optional[float]], None])
    client.timeout = (3.05, 30)
    client.timeout = 10
    client.timeout = None


def http_errors(client: ApiClient) -> None:
    try:
        client.get_pipeline_configuration("nightly")
    except NotFoundError as error:
        missing: int = error.status_code
        print("no such pipeline:", missing)
    except EngineHTTPError as error:
        code: int = error.status_code
        assert_type(error.status_code, int)
        print("the engine answered", code, error.engine_message)


def doctor_smoke_test(url: str, password: str) -> None:
    checks = check_engine(url, username="admin", password=password, verify="corp-ca.pem", timeout=(3.05, 30))
    assert_type(checks, List[Check])
    assert_type(worst_kind(checks), Optional[str])
    assert_type(checks[0].hint, Optional[str])
    assert_type(checks[0].as_dict(), Dict[str, Any])
