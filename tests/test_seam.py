"""Where the compiled module and Python meet: what a replaced companion hands back, calls that enter the client
again, and threads still inside a call when the program ends. Anything that could crash runs in its own
interpreter, so a crash shows as that process dying instead of the suite."""

from __future__ import annotations

import os
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
    """The wait loop hands wait() its class's defaults by name, reads the checked settings by name, and checks
    what it reads."""

    @pytest.mark.parametrize(
        ("make", "until", "timeout", "errors_stop"),
        [
            (lambda: velm_api.PipelineCommand(None, None), None, 300, False),
            (lambda: velm_api.StartPipelineCommand(None, None), "FINISHED", 300, False),
            (lambda: velm_api.StopPipelineCommand(None, None), "STOPPED", 300, False),
            (lambda: velm_api.ValidateCommand(None, None, "p", "r"), "VALID", 60, True),
            (lambda: velm_api.PreviewCommand(None, None, "p", "r"), "FINISHED", 30, True),
            (lambda: velm_api.ConnectionValidateCommand(None, None, "p", "r"), "FINISHED", 120, True),
            (lambda: velm_api.SnapshotCommand(None, None, "p", "s", None), "FINISHED", 30, False),
        ],
        ids=["pipeline", "start", "stop", "validate", "preview", "connection", "snapshot"],
    )
    def test_each_class_hands_its_defaults_by_keyword(self, monkeypatch, make, until, timeout, errors_stop):
        from quenlo.sdk import waits

        handed: dict[str, Any] = {}

        def record(**given: Any) -> Any:
            handed.update(given)
            raise LookupError("recorded")

        monkeypatch.setattr(waits, "wait_settings", record)
        with pytest.raises(LookupError, match="recorded"):
            make().wait(poll_interval=2.0)
        assert handed == {
            **dict(default_until=until, default_timeout=timeout, until=None, timeout_sec=None, poll_interval=2.0),
            **dict(backoff=1.0, max_interval=30.0, stop_on=None, on_progress=None, cancel=None),
            "error_statuses": velm_api.PipelineCommand.ERROR_STATUSES if errors_stop else None,
        }

    def test_a_replaced_wait_settings_handing_back_the_wrong_thing_is_refused(self, engine):
        # Each of these crashed the wait when its result was read by position; one interpreter runs them all.
        engine.script_status("p1", ["RUNNING", "FINISHED"])
        result = run_script(f"""
            import types
            from quenlo.sdk import velm_api, waits
            real = waits.wait_settings
            def named(changes={{}}, **given):
                settings = real(**given)
                members = {{name: getattr(settings, name) for name in type(settings).__slots__}}
                return types.SimpleNamespace(**{{**members, **changes}})
            def without_stop_on(**given):
                settings = named(**given)
                del settings.stop_on
                return settings
            class Failing:
                @property
                def until(self):
                    raise RuntimeError("no settings today")
            command = velm_api.ApiClient({engine.url!r}).get_pipeline_status("p1")
            for replacement in [
                lambda **given: ("FINISHED", ("FINISHED",), 5, 1.0, 1.0, 30.0),  # a tuple, one item short
                without_stop_on,
                lambda **given: named({{"interval": "soon"}}, **given),
                lambda **given: Failing(),  # what reading a member raises is not taken for its absence
            ]:
                waits.wait_settings = replacement
                try:
                    command.wait("FINISHED", poll_interval=0.001)
                except Exception as e:
                    print(f"{{type(e).__name__}}: {{e}}")
            """)
        assert (result.returncode, result.stderr) == (0, "")
        lines = result.stdout.splitlines()
        assert [line.split(" returned ")[0] for line in lines[:2]] == ["TypeError: wait_settings()"] * 2
        assert lines[0].endswith("which has no member 'until'") and lines[1].endswith("which has no member 'stop_on'")
        assert lines[2:] == ["TypeError: must be real number, not str", "RuntimeError: no settings today"]

    def test_an_error_reading_an_optional_attribute_is_not_taken_for_its_absence(self, engine):
        class Failing(velm_api.ApiClient):
            failing = False

            @property
            def timeout(self) -> Any:
                if self.failing:
                    raise RuntimeError("no time-out today")
                return None

            @timeout.setter
            def timeout(self, value: Any) -> None:
                pass

        client = Failing(engine.url)
        client.failing = True
        with pytest.raises(RuntimeError, match="no time-out today"):
            client.get_velm_info()

    def test_settings_are_read_by_name_not_by_place(self, client, engine, clock):
        # A replacement that lists its members in another order still steers the wait.
        from quenlo.sdk import waits

        real = waits.wait_settings

        def reordered(**given: Any) -> Any:
            settings = real(**given)

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
        def get_preview_data(self, pipeline_id, previewer_id):
            return command.preview
    client = Again({url!r})
    command = velm_api.PreviewCommand(client, None, "p1", "r1")
    for call in [lambda: client.get_pipeline_status("p1"), lambda: command.preview] * 2:
        try:
            call()
        except RecursionError as error:
            print("RecursionError:", error)
    print("version" in client.get_velm_info())
    """


class TestReentry:
    @pytest.mark.parametrize("limit", [1000, 30_000])
    def test_an_entry_reached_again_from_python_raises_recursion_error(self, engine, limit):
        # An operation through an overridden verb, a property through the operation it reads; each twice.
        result = run_script(REENTRY.format(url=engine.url), str(limit))
        assert (result.returncode, result.stderr) == (0, "")
        lines = result.stdout.splitlines()
        assert len(lines) == 5 and all(line.startswith("RecursionError: maximum recursion depth") for line in lines[:4])
        # The depth is given back as the errors unwind: the next call at the top works.
        assert lines[4] == "True"

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
    ] + [lambda: client.get_bundle()] * 3
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

    # A call that fails after reading its answer drops that answer as the error unwinds; the last reference's
    # release runs Python code (a response's finalizer; here a __del__ that pauses makes the moment likely).
    DROPPED = """
        import operator, sys, threading, time
        import requests
        from quenlo.sdk import velm_api
        url, kind = sys.argv[1], sys.argv[2]
        class Answer:
            status_code, content = 200, b"{}"
            def __init__(self, body):
                self.body = body
            def json(self):
                return self.body
            def __del__(self):
                time.sleep(0.001)
        class Unreadable(Answer):
            content = property(operator.itemgetter(0))  # raises from C, with no frame that holds the answer
        class Busy(Answer):
            status_code = 503
        local = threading.local()
        class Canned(velm_api.ApiClient):
            def _get(self, endpoint, params=None, absolute_endpoint=False):
                if endpoint.endswith(("/validate", "/metrics", "/snapshot/s1", "/snapshot/s1/status")):
                    return Answer([])  # no member the call reads
                if endpoint.endswith("/generate"):
                    return Unreadable({})
                if endpoint.endswith("/status") and getattr(local, "cancel", None):
                    local.cancel.set()  # the wait ends at its next turn, with this failure kept as its cause
                    raise requests.HTTPError(response=Busy({}))
                return super()._get(endpoint, params, absolute_endpoint)
        client = Canned(url)
        def cancelled_wait():
            local.cancel = None
            command = client.get_pipeline_status("p1")
            local.cancel = threading.Event()
            command.wait("FINISHED", poll_interval=0.0001, cancel=local.cancel)
        calls = {
            "operation": lambda: client.validate_pipeline("p1"),
            "counter wait": lambda: velm_api.StartPipelineCommand(
                client, client.get_pipeline_status("p1").response
            ).wait_for_pipeline_batch_count(1),
            "property": lambda: velm_api.SnapshotCommand(client, None, "p1", "s1", None).snapshot,
            "bundle": lambda: client.get_bundle(),
            "cancelled wait": cancelled_wait,
        }
        running = threading.Semaphore(0)
        def loop(call):
            running.release()
            while True:
                try:
                    call()
                except (TypeError, AttributeError, velm_api.WaitCancelledError):
                    pass
        for _ in range(8):
            threading.Thread(target=loop, args=(calls[kind],), daemon=True).start()
        for _ in range(8):
            running.acquire()
        time.sleep(0.1)
        """

    def test_an_answer_dropped_by_a_failing_call_leaves_the_exit_quiet(self, engine):
        # One run per kind of call, all at once: the pausing __del__ makes each fault show in every run.
        engine.script_status("p1", ["RUNNING"])
        script = textwrap.dedent(self.DROPPED)
        runs = {
            kind: subprocess.Popen([sys.executable, "-c", script, engine.url, kind], stderr=subprocess.PIPE, text=True)
            for kind in ["operation", "counter wait", "property", "bundle", "cancelled wait"]
        }
        outcomes = {kind: (run.wait(timeout=120), run.communicate()[1]) for kind, run in runs.items()}
        assert outcomes == {kind: (0, "") for kind in runs}


class TestInterpreters:
    # An interpreter of its own on the main thread, left at exit: the process's finalization ends the main
    # thread, which made calls; its leak report runs in the interpreter that exits.
    LEFT = """
        import sys, _xxsubinterpreters as interpreters
        from quenlo.sdk import velm_api
        velm_api.ApiClient(sys.argv[1])
        inner = interpreters.create()
        interpreters.run_string(inner, f"from quenlo.sdk import velm_api; velm_api.ApiClient({sys.argv[1]!r})")
        if sys.argv[2] == "destroyed":
            interpreters.destroy(inner)
        print("ran")
        """

    @pytest.mark.parametrize("inner", ["left", "destroyed"])
    def test_an_interpreter_of_its_own_then_exit_is_quiet(self, engine, inner):
        pytest.importorskip("_xxsubinterpreters")
        probe = "import _xxsubinterpreters as i, quenlo.sdk.velm_api as m\n"
        probe += "i.run_string(i.create(), f'import {m.__name__}')"
        if run_script(probe).returncode != 0:  # an older interpreter cannot load it in an interpreter of its own
            pytest.skip("the module cannot be imported in an interpreter of its own here")
        runs = [run_script(self.LEFT, engine.url, inner) for _ in range(3)]
        # requests warns in an interpreter of its own that it finds no character detection.
        assert [(run.returncode, run.stdout, "Exception" in run.stderr) for run in runs] == [(0, "ran\n", False)] * 3


class TestGreenlets:
    # Greenlets interleave reads and wait_all on one stack, each switching away inside its calls, as a green
    # socket read does. In a daemon thread, the exit ends the thread wherever it is, inside a call or between;
    # on the main thread, the exit leaves them paused inside their calls, holding what they use.
    EXIT = """
        import sys, threading, time
        import greenlet
        from quenlo.sdk import velm_api
        lets = []
        def hub(rounds):
            client = velm_api.ApiClient(sys.argv[1])
            session = client.session
            def switch(*_):
                greenlet.getcurrent().parent.switch()
            class Green:
                headers = session.headers
                def get(self, *args, **kwargs):
                    switch()
                    return session.get(*args, **kwargs)
            client.session = Green()
            def reads():
                while True:
                    client.get_pipeline_status("p1")
            def waits():
                while True:
                    commands = [client.get_pipeline_status("p1") for _ in range(3)]
                    velm_api.wait_all(commands, "FINISHED", poll_interval=0.0005, timeout_sec=3600, on_progress=switch)
            lets[:] = [greenlet.greenlet(work) for work in (reads, reads, waits, waits)]
            for _ in range(rounds):
                for let in lets:
                    let.switch()
                time.sleep(0)
        if sys.argv[2] == "thread":
            threading.Thread(target=hub, args=(sys.maxsize,), daemon=True).start()
            time.sleep(0.3)
        else:
            hub(50)
        """

    # A greenlet's stack slice is copied back over the address sanitizer's marks of the frames of another: our
    # instrumented frames under a switch are then reported whatever they do, so the sanitizer cannot judge this.
    @pytest.mark.skipif("libasan" in os.environ.get("LD_PRELOAD", ""), reason="greenlet swaps instrumented frames")
    @pytest.mark.parametrize("where", ["thread", "main"])
    def test_calls_that_do_not_nest_then_exit_leave_the_exit_quiet(self, engine, where):
        pytest.importorskip("greenlet")
        engine.script_status("p1", ["RUNNING"])
        script = textwrap.dedent(self.EXIT)
        runs = [
            subprocess.Popen([sys.executable, "-c", script, engine.url, where], stderr=subprocess.PIPE, text=True)
            for _ in range(6)
        ]
        assert [(run.wait(timeout=120), run.communicate()[1]) for run in runs] == [(0, "")] * len(runs)

    # greenlet saves a paused greenlet by copying its slice of the C stack, a read the address sanitizer stops.
    @pytest.mark.skipif("libasan" in os.environ.get("LD_PRELOAD", ""), reason="greenlet copies stack memory")
    def test_many_waits_at_once_on_one_thread_are_not_taken_for_recursion(self, engine):
        # Greenlets run calls side by side on one thread's stack: none is nested in another.
        greenlet = pytest.importorskip("greenlet")
        engine.script_status("p1", ["RUNNING"])
        client = velm_api.ApiClient(engine.url)
        session = client.session
        parked: list[Any] = []
        outcomes: list[str] = []

        class Switching:
            headers = session.headers

            def get(self, url: str, **kwargs: Any) -> Any:
                parked.append(greenlet.getcurrent())
                greenlet.getcurrent().parent.switch()
                return session.get(url, **kwargs)

        client.session = Switching()

        def wait() -> None:
            try:
                client.get_pipeline_status("p1").wait("FINISHED", poll_interval=0.001, timeout_sec=0.05)
            except Exception as error:  # noqa: BLE001
                outcomes.append(type(error).__name__)

        for _ in range(120):
            greenlet.greenlet(wait).switch()
        while parked:
            parked.pop(0).switch()
        assert outcomes == ["WaitTimeoutError"] * 120
