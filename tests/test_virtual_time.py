"""Virtual time: the client's waits and the engine's runs share one clock that jumps instead of sleeping."""

from __future__ import annotations

import socket
import time
from collections.abc import Iterator

import pytest

from quenlo.sdk import transport, utils, velm_api
from quenlo.sdk.simulator import EngineSimulator, VirtualClock, sample_pipeline


def status_polls(engine: EngineSimulator, pid: str) -> int:
    return sum(r.method == "GET" and r.path.endswith(f"/pipeline/{pid}/status") for r in engine.requests)


def seams_are_real() -> bool:
    return velm_api.time is time and utils.time is time and transport.time is time


@pytest.fixture
def virtual() -> Iterator[EngineSimulator]:
    with EngineSimulator(virtual_time=True) as engine:
        engine.state.pipelines.import_pipeline("p", sample_pipeline("p", "p"))
        yield engine


class TestWaits:
    def test_a_run_of_seconds_finishes_at_once_and_every_poll_is_made(self, virtual):
        virtual.state.runs.configure("p", batches=3, batch_interval=2.0, start_delay=0.1)
        client = velm_api.ApiClient(virtual.url)
        wall = time.perf_counter()

        command = client.start_pipeline("p")
        command.wait_for_finished()

        assert time.perf_counter() - wall < 5  # it would take over six seconds on the system clock
        assert command.response.json()["status"] == "FINISHED"
        # FINISHED at 6.1 virtual seconds: polls one second apart, at 1, 2, ... 7, each one a request.
        assert status_polls(virtual, "p") == 7
        assert virtual.clock.elapsed == pytest.approx(7.0)
        metrics = client.get_pipeline_metrics("p").response.json()
        assert metrics["counters"]["pipeline.batchCount.counter"]["count"] == 3

    def test_deadlines_count_virtual_seconds(self, virtual):
        virtual.state.runs.configure("p", batches=None)  # runs until stopped
        client = velm_api.ApiClient(virtual.url)
        command = client.start_pipeline("p")

        with pytest.raises(Exception, match="Timed out after 30 seconds"):
            command.wait_for_finished(timeout_sec=30)

        assert 29 <= virtual.clock.elapsed <= 32
        assert 29 <= status_polls(virtual, "p") <= 32

    def test_the_connectivity_probe_retries_on_the_virtual_clock(self, virtual):
        virtual.inject_fault("GET", "/v1/system/info", status=503, count=3)
        before = virtual.clock.time()

        client = velm_api.ApiClient(virtual.url)

        assert client.version == "5.6.0"
        assert virtual.clock.time() - before == pytest.approx(3.0)
        assert [r.path for r in virtual.requests].count("/rest/v1/system/info") == 4

    def test_a_retry_pauses_on_the_virtual_clock(self, virtual):
        client = velm_api.ApiClient(virtual.url, retries=2)
        virtual.inject_fault("GET", "/v1/system/info", status=503, headers={"Retry-After": "3"}, count=2)
        before, wall = virtual.clock.time(), time.perf_counter()

        assert client.get_velm_info()["version"] == "5.6.0"

        assert time.perf_counter() - wall < 3  # six seconds on the system clock
        assert virtual.clock.time() - before == pytest.approx(6.0)

    def test_previews_that_step_on_the_clock_follow_the_virtual_one(self, virtual):
        virtual.state.previews.step_seconds = 10.0  # one state every ten seconds: 30 s to FINISHED
        client = velm_api.ApiClient(virtual.url)

        preview = client.run_pipeline_preview("p").wait_for_finished(timeout_sec=60)

        assert preview.response.json()["status"] == "FINISHED"
        assert 30 <= virtual.clock.elapsed <= 32

    def test_timestamps_are_virtual_too(self, virtual):
        stamp = virtual.clock.now_ms()
        virtual.clock.advance(3600)
        client = velm_api.ApiClient(virtual.url)
        record = client.start_pipeline("p").response.json()
        assert record["changed"] == stamp + 3_600_000
        assert virtual.last_request is not None and virtual.last_request.time == pytest.approx(stamp / 1000 + 3600)


class TestBinding:
    def test_only_while_running_and_restored_however_it_ends(self):
        engine = EngineSimulator(virtual_time=True)
        assert seams_are_real()
        with pytest.raises(KeyError):
            with engine:
                assert velm_api.time is engine.clock and utils.time is engine.clock and transport.time is engine.clock
                raise KeyError("the test failed")
        assert seams_are_real()

    def test_one_virtual_simulator_at_a_time(self, virtual):
        other = EngineSimulator(virtual_time=True)
        with pytest.raises(RuntimeError, match="virtual time"):
            other.start()
        assert not other.running
        assert velm_api.time is virtual.clock  # the first keeps the client's clock
        with EngineSimulator() as plain:  # a simulator on the system clock leaves it alone
            assert plain.clock is not virtual.clock and velm_api.time is virtual.clock

    def test_a_port_in_use_is_an_os_error_and_leaves_the_clock_real(self):
        with socket.socket() as taken:
            taken.bind(("127.0.0.1", 0))
            taken.listen()
            engine = EngineSimulator(virtual_time=True, port=taken.getsockname()[1])
            with pytest.raises(OSError):
                engine.start()
        assert seams_are_real() and not engine.running
        with EngineSimulator(virtual_time=True) as other:  # nothing holds the client's clock
            assert velm_api.time is other.clock

    def test_a_second_one_may_start_once_the_first_has_stopped(self):
        with EngineSimulator(virtual_time=True):
            pass
        with EngineSimulator(virtual_time=True) as engine:
            assert velm_api.time is engine.clock
        assert seams_are_real()

    def test_reset_switches_virtual_time_on_and_off_while_running(self):
        with EngineSimulator() as engine:
            engine.reset(virtual_time=True)
            first = engine.clock
            assert isinstance(first, VirtualClock) and velm_api.time is first
            engine.reset()  # the setting stays; the clock starts afresh with the state
            assert isinstance(engine.clock, VirtualClock) and engine.clock is not first
            assert velm_api.time is engine.clock
            engine.reset(virtual_time=False)
            assert seams_are_real() and not engine.clock.virtual


class TestVirtualClock:
    def test_stands_still_until_slept_on_or_advanced(self):
        clock = VirtualClock()
        start_time, start_mono = clock.time(), clock.monotonic()
        time.sleep(0.01)
        assert (clock.time(), clock.monotonic()) == (start_time, start_mono)
        clock.sleep(2.5)
        clock.advance(0.5)
        assert clock.time() - start_time == pytest.approx(3.0)
        assert clock.perf_counter() - start_mono == pytest.approx(3.0)
        assert clock.monotonic_ns() - int(start_mono * 1e9) == pytest.approx(3e9, rel=1e-6)

    @pytest.mark.parametrize("move", ["sleep", "advance"])
    def test_refuses_to_go_back(self, move):
        clock = VirtualClock()
        with pytest.raises(ValueError):
            getattr(clock, move)(-1)
        assert clock.elapsed == 0

    def test_hands_other_names_to_the_time_module(self):
        clock = VirtualClock()
        assert clock.strftime("%Y", clock.gmtime(0)) == "1970"
        with pytest.raises(AttributeError):
            clock.no_such_function  # noqa: B018
