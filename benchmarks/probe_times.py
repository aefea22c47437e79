"""Wall time of the constructor's probe in the two cases a CI job meets: a wrong password with probe_fail_fast, and
an engine that starts two seconds after the client with probe_retry_unreachable.

python benchmarks/probe_times.py
"""

from __future__ import annotations

import socket
import threading
import time

from quenlo.sdk import velm_api
from quenlo.sdk.exceptions import UnauthorizedError
from quenlo.sdk.simulator import EngineSimulator


def wrong_password() -> float:
    with EngineSimulator(users={"admin": "admin"}) as engine:
        started = time.monotonic()
        try:
            velm_api.ApiClient(engine.url, "form", "admin", "wrong", probe_fail_fast=True)
        except UnauthorizedError:
            return time.monotonic() - started
    raise AssertionError("a wrong password was accepted")


def engine_starting_later(delay: float = 2.0) -> float:
    # Bound but not listening until the engine takes the port: connections to it are refused meanwhile.
    reserved = socket.socket()
    reserved.bind(("127.0.0.1", 0))
    port = reserved.getsockname()[1]
    engine = EngineSimulator(port=port)

    def start_later() -> None:
        time.sleep(delay)
        reserved.close()
        engine.start()

    starter = threading.Thread(target=start_later)
    started = time.monotonic()
    starter.start()
    try:
        velm_api.ApiClient(f"http://127.0.0.1:{port}", probe_retry_unreachable=True, probe_timeout_sec=30).close()
        return time.monotonic() - started
    finally:
        starter.join()
        engine.stop()


if __name__ == "__main__":
    print(f"wrong password, probe_fail_fast=True: {wrong_password():.3f} s")
    print(f"engine started 2 s after the client, probe_retry_unreachable=True: {engine_starting_later():.3f} s")
