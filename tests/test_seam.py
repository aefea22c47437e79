"""Where the compiled module and Python meet: what a replaced companion hands back, calls that enter the client
again, and threads still inside a call when the program ends. Anything that could crash runs in its own
interpreter, so a crash shows as that process dying instead of the suite."""

from __future__ import annotations

import subprocess
import sys
import textwrap
from typing import Any

import pytest

from quenlo.sdk import velm_api
from quenlo.sdk.simulator import EngineSimulator, pipeline_definition, sample_stages
from quenlo.sdk.simulator.store import StoredPipeline


def run_script(script: str, *args: str) -> subprocess.CompletedProcess[str]:
    return subprocess.run(
        [sys.executable, "-c", textwrap.dedent(script), *args],
        capture_output=True,
        text=True,
        timeout=120,
        check=False,
    )


class TestWaitSettingsHandOff:
    """The wait loop reads the checked settings by name, and checks what it reads."""

    @pytest.mark.parametrize(
        ("replacement", "error"),
        [
            # One item short of the settings the loop needs, in the order they are listed.
            ("lambda *a: ('FINISHED', ('FINISHED',), 5, 1.0, 1.0, 30.0)", "TypeError: wait_settings() returned"),
            (
                "lambda *a: types.SimpleNamespace(**{k: v for k, v in vars_of(real(*a)).items() if k != 'stop_on'})",
                "TypeError: wait_settings() returned namespace(",
            ),
            (
                "lambda *a: types.SimpleNamespace(**{**vars_of(real(*a)), 'interval': 'soon'})",
                "TypeError: must be real number, not str",
            ),
            (
                "lambda *a: types.SimpleNamespace(**{**vars_of(real(*a)), 'targets': 3})",
                "TypeError: argument of type 'int' is not iterable",
            ),
        ],
        ids=["tuple-one-short", "member-missing", "interval-not-a-number", "targets-not-a-container"],
    )
    def test_a_replaced_wait_settings_is_refused_with_an_error(self, engine, replacement, error):
        engine.script_status("p1", ["RUNNING", "FINISHED"])
        result = run_script(f"""
            import types
            from quenlo.sdk import velm_api, waits
            real = waits.wait_settings
            def vars_of(settings):
                return {{name: getattr(settings, name) for name in type(settings).__slots__}}
            waits.wait_settings = {replacement}
            command = velm_api.ApiClient({engine.url!r}).get_pipeline_status("p1")
            try:
                command.wait("FINISHED", poll_interval=0.001)
            except Exception as e:
                print(f"{{type(e).__name__}}: {{e}}")
            """)
        assert (result.returncode, result.stderr) == (0, "")
        assert result.stdout.startswith(error)

    def test_settings_are_read_by_name_not_by_place(self, client, engine, clock):
        # A replacement that lists its members in another order still steers the wait.
        from quenlo.sdk import waits

        real = waits.wait_settings

        def reordered(*args: Any) -> Any:
            settings = real(*args)

            class Reordered:
                stop_on, max_interval, backoff = settings.stop_on, 4.0, 2.0
                interval, timeout_sec, targets, until = 1.0, settings.timeout_sec, settings.targets, settings.until

            return Reordered()

        engine.script_status("p1", ["RUNNING"] * 5 + ["FINISHED"])
        command = client.get_pipeline_status("p1")
        with pytest.MonkeyPatch.context() as patch:
            patch.setattr(waits, "wait_settings", reordered)
            assert command.wait("FINISHED")["status"] == "FINISHED"
        assert clock.sleeps == [1.0, 2.0, 4.0, 4.0, 4.0]


REENTRY = """
    import sys
    from quenlo.sdk import velm_api
    sys.setrecursionlimit(int(sys.argv[1]))
    class Again(velm_api.ApiClient):
        def _get(self, endpoint, params=None, absolute_endpoint=False):
            if endpoint.endswith("/status"):
                return self.get_pipeline_status("p1")
            return super()._get(endpoint, params, absolute_endpoint)
    client = Again({url!r})
    for attempt in range(2):
        try:
            client.get_pipeline_status("p1")
        except RecursionError as error:
            print("RecursionError:", error)
    print("version" in client.get_velm_info())
    """


class TestReentry:
    @pytest.mark.parametrize("limit", [1000, 30_000, 1_000_000])
    def test_an_operation_entered_again_through_its_verb_raises_recursion_error(self, engine, limit):
        result = run_script(REENTRY.format(url=engine.url), str(limit))
        assert (result.returncode, result.stderr) == (0, "")
        lines = result.stdout.splitlines()
        assert len(lines) == 3 and all(line.startswith("RecursionError: maximum recursion depth") for line in lines[:2])
        # The depth is given back as the errors unwind: the next call at the top works.
        assert lines[2] == "True"

    def test_calls_nested_below_the_bound_still_work_after_errors(self, client, engine):
        # Failing calls must not use up the bound: a thousand of them, then forty nested calls.
        for _ in range(1000):
            with pytest.raises(ValueError):
                client.get_pipeline_status("")
        engine.script_status("p1", ["RUNNING"])
        depth = 0

        class Nesting(velm_api.ApiClient):
            def _get(self, endpoint: str, params: Any = None, absolute_endpoint: Any = False) -> Any:
                nonlocal depth
                if not endpoint.endswith("/status"):
                    return super()._get(endpoint, params, absolute_endpoint)
                depth += 1
                if depth < 40:
                    return self.get_pipeline_status("p1").response
                return super()._get(endpoint, params, absolute_endpoint)

        assert Nesting(engine.url).get_pipeline_status("p1").response.json()["status"] == "RUNNING"
        assert depth == 40


EXIT = """
    import sys, threading, time
    from quenlo.sdk import velm_api
    url, pipeline, threads = sys.argv[1], sys.argv[2], int(sys.argv[3])
    client = velm_api.ApiClient(url)
    calls = [
        lambda: client.get_pipeline_status("p1"),
        lambda: client.get_pipeline_history(pipeline),
        lambda: client.get_pipeline_status("p1").wait("FINISHED", poll_interval=0.0005, timeout_sec=3600),
        lambda: client.get_bundle(),
    ]
    running = threading.Semaphore(0)
    def loop(call):
        running.release()
        while True:
            call()
    for i in range(threads):
        threading.Thread(target=loop, args=(calls[i % len(calls)],), daemon=True).start()
    for _ in range(threads):
        running.acquire()
    time.sleep(0.2)
    """


@pytest.fixture
def pipeline(engine: EngineSimulator) -> str:
    engine.state.pipelines.add(
        StoredPipeline(pipeline_id="p2", title="p2", definition=pipeline_definition("p2", "p2", stages=sample_stages()))
    )
    return "p2"


class TestExit:
    def test_daemon_threads_inside_every_kind_of_call_leave_the_exit_quiet(self, engine, pipeline):
        # Each thread is ended wherever it waits to run again: inside a request, a pause, a bundle's chunk
        # loop. Several runs at once, since each catches the threads at other points.
        engine.script_status("p1", ["RUNNING"])
        script = textwrap.dedent(EXIT)
        runs = [
            subprocess.Popen(
                [sys.executable, "-c", script, engine.url, pipeline, "12"],
                stdout=subprocess.PIPE,
                stderr=subprocess.PIPE,
                text=True,
            )
            for _ in range(4)
        ]
        results = [(run.wait(timeout=120), *run.communicate()) for run in runs]
        assert results == [(0, "", "")] * len(runs)
