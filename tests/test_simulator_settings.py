"""Every setting the simulator accepts, it serves: faults, plans, holds, resets and shell arguments it cannot serve
are refused when made, and what it accepts is answered completely and in bounded time."""

from __future__ import annotations

import json
import math
import threading
import time
import types
from pathlib import Path

import pytest
import requests
from werkzeug.test import Client

from quenlo.sdk.simulator import EngineSimulator, Fault, RunPlan, VirtualClock, sample_pipeline
from quenlo.sdk.simulator.__main__ import main as shell

HEADERS = {"X-Requested-By": "velm"}
INFO = "/v1/system/info"


@pytest.fixture
def engine():
    with EngineSimulator() as sim:
        yield sim


def get(engine: EngineSimulator, path: str, timeout: float = 5) -> requests.Response:
    return requests.get(engine.url + "/rest" + path, headers=HEADERS, timeout=timeout)


class TestFaults:
    @pytest.mark.parametrize(
        ("settings", "error", "says"),
        [
            ({"headers": {"X-Note": "€"}}, ValueError, "Latin-1 text"),
            ({"headers": {"X-Note": "a\r\nSet-Cookie: x=1"}}, ValueError, "without control characters"),
            ({"headers": {"X Note": "a"}}, ValueError, "a header name is a token"),
            ({"headers": {"Content-Length": "5"}}, ValueError, "writes Content-Length itself"),
            ({"headers": {"transfer-encoding": "chunked"}}, ValueError, "writes transfer-encoding itself"),
            ({"headers": {"X-Note": 1}}, ValueError, "Latin-1 text"),
            ({"headers": [("X-Note", "a")]}, TypeError, "headers must map"),
            ({"status": 100}, ValueError, "200 to 599"),
            ({"status": 600}, ValueError, "200 to 599"),
            ({"status": "503"}, TypeError, "whole number"),
            ({"status": True}, TypeError, "whole number"),
            ({"status": 204, "body": {"a": 1}}, ValueError, "has no body"),
            ({"status": 304, "not_json": True}, ValueError, "has no body"),
            ({"body": object()}, ValueError, "JSON-serialisable"),
            ({"count": 1.5}, TypeError, "count must be a whole number"),
            ({"count": 0}, ValueError, "count must be at least 1"),
            ({"delay": "1"}, TypeError, "delay must be a number"),
            ({"delay": -1}, ValueError, "at least 0"),
            ({"delay": math.nan}, ValueError, "at least 0"),
            ({"lasting": 0}, ValueError, "lasting must be a finite"),
            ({"lasting": math.inf}, ValueError, "lasting must be a finite"),
            ({"lasting": "3"}, TypeError, "lasting must be a number"),
        ],
    )
    def test_a_fault_that_cannot_be_served_is_refused_when_made(self, engine, settings, error, says):
        with pytest.raises(error, match=says):
            engine.inject_fault("GET", INFO, **settings)
        assert engine.faults.pending() == []

    @pytest.mark.parametrize("made", ["call", "words"])
    def test_a_lasting_fault_ends_on_time_whatever_its_count(self, engine, made):
        if made == "call":
            engine.inject_fault("GET", INFO, status=503, count=None, lasting=0.5)
        else:
            engine.faults.add(Fault.parse(f"GET {INFO} 503 count=* lasting=0.5"))
        assert [get(engine, INFO).status_code for _ in range(3)] == [503] * 3
        time.sleep(0.6)
        assert get(engine, INFO).status_code == 200 and engine.faults.pending() == []

    @pytest.mark.parametrize(("method", "error"), [("GET /x", ValueError), ("", ValueError), (None, ValueError)])
    def test_the_method_is_a_token_or_star(self, engine, method, error):
        with pytest.raises(error, match="method"):
            engine.inject_fault(method, INFO)

    @pytest.mark.parametrize(
        ("path", "error"),
        [
            ("v1/system/info", ValueError),
            ("", ValueError),
            (None, TypeError),
            # A request's path holds neither its query nor a fragment, nor a raw space or line end.
            ("/v1/pipelines?orderBy=name", ValueError),
            ("/v1/system/info#top", ValueError),
            ("/v1/pipeline/a b", ValueError),
            ("/v1/system/info\n", ValueError),
        ],
    )
    def test_a_path_that_no_request_can_match_is_refused(self, engine, path, error):
        with pytest.raises(error, match="path"):
            engine.inject_fault("GET", path)

    @pytest.mark.parametrize(
        ("settings", "status", "body"),
        [
            ({"status": 204, "headers": {"X-Note": "caf\u00e9"}}, 204, b""),
            ({"status": 299}, 299, b""),
            ({"status": 418, "body": "short and stout"}, 418, b"short and stout"),
            ({"status": 599}, 599, None),
            ({"status": 503, "not_json": True, "headers": {"Content-Type": "text/plain"}}, 503, None),
        ],
    )
    def test_what_a_fault_may_say_is_answered_completely(self, engine, settings, status, body):
        engine.inject_fault("GET", INFO, **settings)
        response = get(engine, INFO, timeout=5)  # a half-written answer would time out here
        assert response.status_code == status
        if body is not None:
            assert response.content == body
        for name, value in settings.get("headers", {}).items():
            assert response.headers[name].encode("latin-1").decode("latin-1") == value
        assert ("Content-Length" in response.headers) == (status != 204)  # 204 is framed by having no body
        assert get(engine, INFO).status_code == 200  # the next request is served as usual

    def test_the_not_json_word_of_the_shell_answers_html(self, engine):
        engine.faults.add(Fault.parse(f"GET {INFO} not-json"))
        response = get(engine, INFO)
        assert (response.status_code, response.headers["Content-Type"]) == (200, "text/html")
        assert response.content == b"<html><body>oops</body></html>"

    @pytest.mark.parametrize("delay", [3600, 1e308, math.inf])
    @pytest.mark.parametrize("release", ["stop", "reset"])
    def test_stop_and_reset_release_every_held_request(self, delay, release):
        engine = EngineSimulator().start()
        try:
            engine.inject_fault("GET", INFO, delay=delay, count=2)
            answers: list[requests.Response] = []
            held = [threading.Thread(target=lambda: answers.append(get(engine, INFO, timeout=30))) for _ in range(2)]
            for thread in held:
                thread.start()
            deadline = time.monotonic() + 5
            while len(engine.requests) < 2 and time.monotonic() < deadline:
                time.sleep(0.01)
            assert answers == []  # both held
            started = time.monotonic()
            getattr(engine, release)()
            for thread in held:
                thread.join(5)
            assert time.monotonic() - started < 3
            assert [(a.status_code, a.json()["error"]["code"]) for a in answers] == [(503, "SIMULATOR_STOPPING")] * 2
            if release == "reset":  # the engine goes on serving, and holds again only what is injected anew
                assert get(engine, INFO).status_code == 200
            else:  # a stopped engine's last answers close their connections: none is served on afterwards
                assert [a.headers.get("Connection") for a in answers] == ["close"] * 2
        finally:
            engine.stop()

    def test_a_stopped_engine_holds_no_request_that_reaches_it_late(self):
        # A request that meets its fault after stop() released the held ones (on a connection the server has not
        # closed yet) is answered at once too, not held for the fault's whole delay.
        engine = EngineSimulator().start()
        engine.stop()
        engine.inject_fault("GET", INFO, delay=math.inf)
        answers: list[int] = []
        late = threading.Thread(
            target=lambda: answers.append(Client(engine.wsgi_app).get("/rest" + INFO, headers=HEADERS).status_code),
            daemon=True,
        )
        late.start()
        late.join(3)
        assert answers == [503]


class TestPlans:
    @pytest.mark.parametrize(
        "plan",
        [
            {"records_per_batch": 100_000_000, "error_records_per_batch": 100_000_000},
            {"batches": None, "batch_interval": 1e-9},
            {"batch_interval": 5e-324},
            {"batches": None, "batch_interval": 5e-324, "records_per_batch": 2**53 - 1, "error_records_per_batch": 7},
        ],
    )
    def test_status_reads_answer_at_once_whatever_the_plan_says(self, engine, plan):
        now = [0.0]
        engine.state.runs.clock = lambda: now[0]
        engine.state.pipelines.import_pipeline("p", sample_pipeline("p", "p"))
        engine.state.runs.configure("p", start_delay=0, error_stage="sink", **plan)
        requests.post(engine.url + "/rest/v1/pipeline/p/start", headers=HEADERS, timeout=5)
        now[0] = 3600.0  # an hour's batches are due at the first read
        started = time.monotonic()
        for what in ("status", "metrics", "history"):
            assert get(engine, f"/v1/pipeline/p/{what}").status_code == 200
        assert time.monotonic() - started < 2  # milliseconds when idle; generous for a loaded machine
        assert len(engine.state.runs.error_messages("p", "sink", size=1000)) <= 100

    def test_the_newest_error_messages_are_kept_however_many_batches_one_read_settles(self):
        engine = EngineSimulator()  # not started: the state alone
        runs = engine.state.runs
        now = [0.0]
        runs.clock = lambda: now[0]
        engine.state.pipelines.import_pipeline("p", sample_pipeline("p", "p"))
        plan = {"records_per_batch": 5, "error_records_per_batch": 3, "error_stage": "sink"}
        runs.configure("p", batches=50, batch_interval=1.0, start_delay=0, **plan)
        runs.start("p")
        now[0] = 100.0
        assert runs.status("p")["status"] == "FINISHED"  # type: ignore[index]
        messages = [m["message"] for m in runs.error_messages("p", "sink", size=1000)]
        # 100 kept of 150, newest first: batch 50 down to the last record of batch 17
        assert len(messages) == 100
        assert messages[0] == "Record 3 of batch 50 failed: simulated bad value"
        assert messages[1] == "Record 2 of batch 50 failed: simulated bad value"
        assert messages[-1] == "Record 3 of batch 17 failed: simulated bad value"
        assert runs.metrics("p")["counters"]["pipeline.batchErrorRecords.counter"]["count"] == 150  # type: ignore[index]

    @pytest.mark.parametrize(
        ("field", "value", "error"),
        [
            ("batches", -1, ValueError),
            ("batches", 2**53, ValueError),
            ("records_per_batch", 1.5, TypeError),
            ("records_per_batch", True, TypeError),
            ("batch_interval", math.inf, ValueError),
            ("batch_interval", math.nan, ValueError),
            ("start_delay", -0.1, ValueError),
            ("stop_delay", "1", TypeError),
            ("fail_after_batch", -1, ValueError),
            ("run_error", None, TypeError),
            ("run_error", "disk \udc80 full", ValueError),  # a lone surrogate: no UTF-8 answer or log line holds it
            ("start_error", "\ud800", ValueError),
        ],
    )
    def test_a_plan_refuses_numbers_it_cannot_run(self, field, value, error):
        with pytest.raises(error, match=field):
            RunPlan(**{field: value})
        with pytest.raises(error, match=field):
            EngineSimulator().state.runs.configure("p", **{field: value})

    def test_a_failed_start_is_an_error_in_the_engine_log(self):
        engine = EngineSimulator()
        runs = engine.state.runs
        runs.clock = lambda: 10.0
        runs.configure("p", start_error="No such driver", start_delay=0)
        runs.start("p")
        assert runs.status("p")["status"] == "START_ERROR"  # type: ignore[index]
        (line,) = [line for line in engine.state.log.text().splitlines() if "Run of 'p' failed" in line]
        assert " ERROR runner [pipeline p] " in line and line.endswith("failed (START_ERROR): No such driver")


class TestReset:
    def test_a_refused_reset_changes_nothing(self):
        holder = EngineSimulator(virtual_time=True).start()
        engine = EngineSimulator(version="1.0.0").start()
        try:
            engine.state.pipelines.import_pipeline("p", sample_pipeline("p", "p"))
            engine.inject_fault("GET", INFO, status=503)
            get(engine, "/v1/pipelines")
            state, logged = engine.state, engine.requests
            with pytest.raises(RuntimeError, match="another simulator already runs on virtual time"):
                engine.reset(virtual_time=True, version="2.0.0", users={"a": "b"})
            assert not engine.virtual_time and not engine.clock.virtual
            assert engine.state is state and engine.requests == logged and len(engine.faults.pending()) == 1
            engine.reset()  # a later reset keeps the settings the refused one did not change
            assert engine.state.version == "1.0.0" and not engine.state.users.required
            assert isinstance(holder.clock, VirtualClock)
        finally:
            engine.stop()
            holder.stop()

    def test_canned_documents_are_handed_out_as_copies(self, engine):
        alerts = engine.documents["alerts"]
        alerts.append({"text": "changed by a test"})
        info = engine.state.info()
        info["version"] = "0.0.0"
        assert engine.documents["alerts"] == []
        assert get(engine, INFO).json()["version"] == "5.6.0"
        assert get(engine, "/v1/pipelines/alerts").json() == []


@pytest.mark.parametrize(
    ("argv", "says"),
    [
        (["--port", "70000"], "a port is 0 to 65535"),
        (["--port", "65536"], "a port is 0 to 65535"),
        (["--port", "-1"], "a port is 0 to 65535"),
        (["--port", "http"], "expected a port number"),
        (["--sample", ""], "a pipeline id cannot be ''"),
        (["--sample", ".."], "a pipeline id cannot be '..'"),
        (["--plan", ".:batches=1"], "a pipeline id cannot be '.'"),
        (["--fault", f"GET {INFO} 503 header=X-Note:€"], "Latin-1 text"),
        (["--fault", f"GET {INFO} 100"], "200 to 599"),
        (["--fault", f"GET {INFO} count=some"], "count takes a whole number"),
        (["--fault", f"GET {INFO} delay=soon"], "delay takes seconds"),
        (["--fault", f"GET {INFO} 204 not-json"], "has no body"),
        (["--plan", "p:records_per_batch=99999999999999999999"], "at most"),
        (["--plan", "p:batch_interval=inf"], "finite"),
        (["--tls-cert", "c.pem"], "--tls-cert and --tls-key go together"),
        (["--tls", "--tls-key", "k.pem", "--tls-cert", "c.pem"], "either --tls or --tls-cert"),
        (["--tls-client-ca"], "names the CA of --tls"),
        (["--tls-cert", "/nonexistent/c.pem", "--tls-key", "/nonexistent/k.pem"], "argument --tls-cert: cannot read"),
        (["--tls-cert", __file__, "--tls-key", "/nonexistent/k.pem"], "argument --tls-key: cannot read"),
        (["--tls", "--tls-client-ca", "/nonexistent/ca.pem"], "argument --tls-client-ca: cannot read"),
        (["--tls-cert", __file__, "--tls-key", __file__], "argument --tls-cert/--tls-key: cannot serve HTTPS"),
    ],
)
def test_bad_shell_arguments_get_a_one_line_usage_error(capsys, argv, says):
    with pytest.raises(SystemExit) as exit_:
        shell(argv)
    err = capsys.readouterr().err
    assert exit_.value.code == 2 and says in err
    assert len(err.strip().splitlines()) == 1 and "Traceback" not in err


@pytest.mark.parametrize(
    ("export", "says"),
    [
        ("[" * 100_000 + "]" * 100_000, "nested too deeply"),
        (json.dumps({"definition": {"stages": "none"}}), "the engine refuses"),
        (None, "larger than 64 MiB"),  # a device that never ends
    ],
)
def test_a_pipeline_file_the_engine_cannot_take_is_a_usage_error(capsys, tmp_path, export, says):
    path = tmp_path / "deep.json"
    if export is None:
        path = Path("/dev/zero")
    else:
        path.write_text(export)
    with pytest.raises(SystemExit) as exit_:
        shell(["--pipeline", str(path)])
    err = capsys.readouterr().err
    assert exit_.value.code == 2 and says in err and len(err.strip().splitlines()) == 1


def test_the_shell_plan_accepts_a_run_that_fails_as_soon_as_it_runs(monkeypatch):
    from quenlo.sdk.simulator import __main__ as module

    arranged: list[EngineSimulator] = []

    class Recorded(EngineSimulator):
        def start(self) -> Recorded:
            arranged.append(self)
            return super().start()

    monkeypatch.setattr(module, "EngineSimulator", Recorded)

    class CtrlC:  # what the shell waits on until Ctrl-C: here it comes at once
        def wait(self) -> None:
            raise KeyboardInterrupt

    monkeypatch.setattr(module, "threading", types.SimpleNamespace(Event=CtrlC))
    assert shell(["--sample", "p", "--plan", "p:fail_after_batch=0,start_delay=0"]) == 0
    runs = arranged[0].state.runs
    runs.clock = lambda: 5.0
    runs.start("p")
    assert runs.status("p")["status"] == "RUN_ERROR"  # type: ignore[index]
