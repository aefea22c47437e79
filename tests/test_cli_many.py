"""velm start/wait with several pipeline ids: one wait for all of them, lines naming each run, one exit code by
the worst outcome, and one --json result record naming every run's outcome."""

from __future__ import annotations

import io
import json
import math
import os
import re
import signal
import subprocess
import sys
import time
from typing import Any, Dict, List

import pytest
from test_cli_terminal import ANSI, in_terminal

from quenlo.sdk.cli import main
from quenlo.sdk.simulator import EngineSimulator, error_body, sample_pipeline


class Run:
    def __init__(self, code: int, out: str, err: str, seconds: float) -> None:
        self.code, self.out, self.err, self.seconds = code, out, err, seconds

    @property
    def docs(self) -> List[Any]:
        return [json.loads(line) for line in self.out.splitlines()]


def velm(engine: EngineSimulator, *argv: str) -> Run:
    stdout, stderr = io.StringIO(), io.StringIO()
    began = time.monotonic()
    code = main([*argv, "--interval", "0.05"], stdout=stdout, stderr=stderr, environ={"VELM_URL": engine.url})
    return Run(code, stdout.getvalue(), stderr.getvalue(), time.monotonic() - began)


# How each pipeline of a test runs: it finishes, fails, or runs until stopped.
PLANS: Dict[str, Dict[str, Any]] = {
    "ok": {"batches": 3},
    "fails": {"batches": 3, "fail_after_batch": 1, "run_error": "Disk full"},
    "endless": {"batches": None},
}


def pipelines(engine: EngineSimulator, *plans: str) -> List[str]:
    ids = []
    for number, plan in enumerate(plans):
        pid = f"{plan}-{number}"
        engine.state.pipelines.import_pipeline(pid, sample_pipeline(pid, pid))
        engine.state.runs.configure(pid, **{"batch_interval": 0.05, "start_delay": 0.05, **PLANS[plan]})
        ids.append(pid)
    return ids


class TestOutcomes:
    @pytest.mark.parametrize(
        ("plans", "argv", "code", "failed"),
        [
            (("ok", "ok", "ok"), [], 0, 0),
            (("ok", "fails", "ok"), [], 1, 1),
            (("endless", "fails"), ["--timeout", "1"], 1, 2),  # a failure outranks a time-out
            (("ok", "endless"), ["--timeout", "1"], 3, 1),
        ],
    )
    def test_the_exit_code_is_the_worst_outcome(self, engine, plans, argv, code, failed):
        ids = pipelines(engine, *plans)
        run = velm(engine, "start", *ids, "--wait", *argv)
        assert run.code == code, run.err
        if code:
            assert len(run.err.splitlines()) == 1 and "Traceback" not in run.err
            assert run.err.startswith(f"velm: {failed} of {len(ids)} runs did not reach their target status: ")
        else:
            assert run.err == ""

    @pytest.mark.parametrize(
        ("plans", "argv", "code"),
        [
            (("ok", "ok"), [], 4),
            (("ok", "fails"), [], 1),  # a failure outranks a refusal, whatever their order
            (("ok", "endless"), ["--timeout", "1"], 4),  # a refusal outranks a time-out
        ],
    )
    def test_a_run_whose_status_cannot_be_read_is_named_and_ranked(self, engine, plans, argv, code):
        ids = pipelines(engine, *plans)
        engine.inject_fault("GET", f"/v1/pipeline/{ids[0]}/status", status=404)
        run = velm(engine, "start", *ids, "--wait", *argv)
        assert run.code == code
        assert f"{ids[0]}: the engine refused GET " in run.err
        assert any(line.startswith(f"{ids[0]}: the engine refused GET ") for line in run.out.splitlines())

    def test_pipe_lines_name_their_run_then_one_line_each_and_a_summary(self, engine):
        ids = pipelines(engine, "ok", "fails", "ok")
        run = velm(engine, "start", *ids, "--wait")
        lines = run.out.splitlines()
        progress, ends, summary = lines[:-4], lines[-4:-1], lines[-1]
        for pid in ids:
            own = [line for line in progress if line.startswith(f"{pid}: ")]
            assert own and own[0].startswith(f"{pid}: STARTING (") and len(own) == len(set(own))
        assert set(progress) <= {line for pid in ids for line in progress if line.startswith(f"{pid}: ")}
        assert ends[0].startswith(f"{ids[0]}: FINISHED after ") and ends[0].endswith("30 out, 0 in error)")
        assert ends[1].startswith(f"{ids[1]}: ended in RUN_ERROR: Disk full")
        assert summary == "3 runs: 2 finished, 1 failed"
        assert (
            run.err == f"velm: 1 of 3 runs did not reach their target status: {ids[1]}: ended in RUN_ERROR: Disk full\n"
        )

    def test_fail_fast_ends_at_the_first_failure_and_leaves_the_others_going(self, engine):
        ids = pipelines(engine, "endless", "fails")
        run = velm(engine, "start", *ids, "--wait", "--fail-fast")
        assert run.code == 1 and run.seconds < 5
        assert f"{ids[0]}: still going when the wait ended" in run.out
        assert engine.state.runs.status(ids[0])["status"] == "RUNNING"

    @pytest.mark.parametrize("ids", [["ok-0"], ["ok-0", "ok-1"]])
    def test_one_until_status_is_named_as_given(self, engine, ids):
        pipelines(engine, "ok", "ok")  # never started: they stay EDITED
        run = velm(engine, "wait", *ids, "--until", "RUNNING", "--timeout", "0.2")
        named = "ok-0: Timed out after 0.2 seconds while waiting for status RUNNING. (last status EDITED)"
        assert run.code == 3 and named in run.err, run.err

    def test_wait_reattaches_to_several_runs(self, engine):
        ids = pipelines(engine, "ok", "endless")
        for pid in ids:
            engine.state.runs.start(pid)
        run = velm(engine, "wait", *ids, "--until", "RUNNING,FINISHED")
        assert run.code == 0, run.err
        assert run.out.splitlines()[-1] == "2 runs: 2 finished"
        assert all(r.method == "GET" for r in engine.requests)


class TestJson:
    def test_progress_names_its_run_and_the_result_names_every_outcome(self, engine):
        ids = pipelines(engine, "ok", "fails", "endless")
        run = velm(engine, "--json", "start", *ids, "--wait", "--timeout", "1.5")
        *events, result = run.docs
        assert {e["subject"] for e in events} == set(ids) and all(e["event"] == "progress" for e in events)
        assert result["event"] == "result" and (result["exitCode"], result["kind"]) == (1, "failed")
        assert result["error"] == run.err[len("velm: ") :].rstrip("\n")
        runs = result["runs"]
        assert [r["subject"] for r in runs] == ids
        assert [(r["outcome"], r["exitCode"], r["status"]) for r in runs] == [
            ("done", 0, "FINISHED"),
            ("failed", 1, "RUN_ERROR"),
            ("timed-out", 3, "RUNNING"),
        ]
        assert runs[0]["record"]["status"] == "FINISHED" and runs[0]["counters"]["batches"] == 3
        assert runs[1]["record"]["message"] == "Disk full" and runs[1]["error"].endswith("Disk full")
        assert "error" not in runs[0] and runs[2]["record"]["status"] == "RUNNING"  # the last one read

    def test_runs_still_going_after_fail_fast_are_named_going(self, engine):
        ids = pipelines(engine, "endless", "fails")
        result = velm(engine, "--json", "start", *ids, "--wait", "--fail-fast").docs[-1]
        assert (result["exitCode"], result["kind"]) == (1, "failed")
        going, failed = result["runs"]
        assert (going["outcome"], going["exitCode"], "error" in going) == ("going", None, False)
        assert (failed["outcome"], failed["exitCode"]) == ("failed", 1)

    @pytest.mark.parametrize("json_mode", [True, False])
    def test_a_password_a_runs_error_echoes_is_never_shown(self, engine, json_mode):
        secret = "echo-s3cret"
        ids = pipelines(engine, "ok", "fails")
        engine.state.runs.configure(ids[1], run_error=f"login admin/{secret} refused")
        stdout, stderr = io.StringIO(), io.StringIO()
        argv = [*(["--json"] if json_mode else []), "start", *ids, "--wait", "--interval", "0.05"]
        env = {"VELM_URL": engine.url, "VELM_USER": "admin", "VELM_PASSWORD": secret}
        assert main(argv, stdout=stdout, stderr=stderr, environ=env) == 1
        shown = stdout.getvalue()
        if json_mode:  # the status records are the engine's own data, shown as read; each error line is not
            docs = [json.loads(line) for line in shown.splitlines()]
            for doc in [*docs, *docs[-1]["runs"]]:
                doc.pop("record", None)
            shown = json.dumps(docs)
        assert "login admin/*** refused" in stderr.getvalue() and secret not in shown + stderr.getvalue(), shown

    def test_all_done_is_one_result_record_with_exit_code_0(self, engine):
        ids = pipelines(engine, "ok", "ok")
        for pid in ids:
            engine.state.runs.start(pid)
        run = velm(engine, "--json", "wait", *ids, "--until", "STARTING", "--until", "RUNNING,FINISHED")
        result = run.docs[-1]
        assert run.code == 0 and run.err == ""
        assert (result["event"], result["exitCode"], result["kind"]) == ("result", 0, "done") and "error" not in result
        assert [r["outcome"] for r in result["runs"]] == ["done", "done"]
        assert sum(doc.get("event") == "result" for doc in run.docs) == 1


class TestRefusals:
    @pytest.mark.parametrize(
        ("argv", "needle"),
        [
            (["start", "a", "b", "a", "--wait"], "pipeline 'a' is given twice"),
            (["wait", "a", "a"], "pipeline 'a' is given twice"),
            (["start", "a", "b", "--fail-fast"], "--fail-fast applies to a wait"),
        ],
    )
    def test_usage_errors_send_nothing(self, engine, argv, needle):
        engine.clear_requests()
        run = velm(engine, *argv)
        assert run.code == 2 and needle in run.err
        assert not [r for r in engine.requests if "/pipeline/" in r.path]

    def test_a_start_refused_part_way_names_what_each_run_s_start_did(self, engine):
        ids = pipelines(engine, "endless", "endless")
        run = velm(engine, "--json", "start", ids[0], "missing", ids[1], "--wait")
        assert run.code == 4 and run.err.startswith("velm: missing: the engine refused POST ")
        assert run.err.rstrip().endswith(f"going on on the engine: {ids[0]}; not tried: {ids[1]}")
        runs = run.docs[-1]["runs"]
        assert [(r["subject"], r["start"], r["outcome"], r["exitCode"]) for r in runs] == [
            (ids[0], "started", "going", None),
            ("missing", "failed", "refused", 4),
            (ids[1], "not-tried", "not-tried", None),
        ]
        assert (runs[1]["httpStatus"], runs[1]["engineCode"]) == (404, "PIPELINE_UNKNOWN")
        assert engine.state.runs.status(ids[0])["status"] in ("STARTING", "RUNNING")
        assert not [r for r in engine.requests if r.path.endswith(f"/{ids[1]}/start")]

    def test_wait_names_an_unknown_id_as_its_run_s_outcome_and_waits_for_the_others(self, engine):
        ids = pipelines(engine, "fails", "ok")
        for pid in ids:
            engine.state.runs.start(pid)
        run = velm(engine, "--json", "wait", ids[0], "nope", ids[1])
        assert run.code == 1 and "nope: the engine refused GET " in run.err  # a failure outranks a refusal
        assert [(r["outcome"], r["status"]) for r in run.docs[-1]["runs"]] == [
            ("failed", "RUN_ERROR"),
            ("refused", None),
            ("done", "FINISHED"),
        ]


class TestHostileEngines:
    @pytest.mark.parametrize("argv", [[], ["--json"]])
    @pytest.mark.parametrize(
        ("source", "echo", "count"),
        [("environment", "refusal", 2), ("url", "refusal", 2), ("url", "record", 1), ("environment", "record", 2)],
    )
    def test_a_password_the_engine_echoes_back_is_never_shown(self, engine, argv, source, echo, count):
        secret = "echo-s3cret"
        ids = pipelines(engine, *["fails"] * count)
        if echo == "refusal":
            refusal = error_body(f"user admin with password {secret} is not known", "AUTH")
            engine.inject_fault("GET", f"/v1/pipeline/{ids[-1]}/status", status=403, body=refusal, count=None)
        for pid in ids:  # a run's own message can echo it too
            engine.state.runs.configure(pid, run_error=f"user admin with password {secret} is not known")
        env = {"VELM_URL": engine.url, "VELM_USER": "admin", "VELM_PASSWORD": secret}
        if source == "url":
            env = {"VELM_URL": engine.url.replace("://", f"://admin:{secret}@")}
        stdout, stderr = io.StringIO(), io.StringIO()
        code = main([*argv, "start", *ids, "--wait", "--interval", "0.05"], stdout=stdout, stderr=stderr, environ=env)
        assert code in (1, 4) and "with password *** is not known" in stdout.getvalue() + stderr.getvalue()
        assert secret not in stdout.getvalue() + stderr.getvalue()

    def test_an_engine_gone_silent_ends_near_the_timeout_whatever_the_runs_count(self, engine):
        ids = pipelines(engine, "endless", "endless", "endless")
        engine.inject_fault("GET", "/v1/pipeline/*", delay=math.inf, count=None)  # statuses and counters
        run = velm(engine, "--timeout-http", "4", "start", *ids, "--wait", "--timeout", "1")
        # The last status read had no answer: the engine was unavailable at --timeout, which a retry may fix.
        assert run.code == 5 and run.seconds < 3, run.err


def test_live_lines_per_run_and_a_summary_on_a_terminal(engine: EngineSimulator) -> None:
    ids = pipelines(engine, "ok", "fails")
    for pid in ids:
        engine.state.runs.configure(pid, batch_interval=0.15)
    code, output = in_terminal(["start", *ids, "--wait", "--interval", "0.2"], {"VELM_URL": engine.url})
    assert code == 1, output
    text = ANSI.sub("", output)
    lines = [line.strip() for line in re.split(r"[\r\n]", text) if line.strip()]
    drawn = {pid: re.findall(rf"{pid}\s+([A-Z_]+)\s+elapsed ([\d.]+) s", text) for pid in ids}
    for pid in ids:  # each run has its own line, redrawn as it changes
        assert len(set(drawn[pid])) >= 2, drawn
    assert "\x1b[" in output
    summary = lines.index("2 runs: 1 finished, 1 failed")
    assert lines[summary - 2].startswith(f"✔ {ids[0]}: FINISHED after ")
    assert lines[summary - 1].startswith(f"✘ {ids[1]}: ended in RUN_ERROR: Disk full")
    # An ended run's line stands still while the others are waited for.
    ended = {elapsed for status, elapsed in drawn[ids[1]] if status == "RUN_ERROR"}
    assert len(ended) == 1, drawn


def test_ctrl_c_stops_waiting_for_every_run_and_leaves_them_going(engine: EngineSimulator) -> None:
    ids = pipelines(engine, "endless", "endless")
    env = {**os.environ, "VELM_URL": engine.url, "PYTHONUNBUFFERED": "1"}
    process = subprocess.Popen(
        [sys.executable, "-m", "quenlo.sdk.cli", "start", *ids, "--wait", "--interval", "0.2"],
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
        env=env,
    )
    try:
        seen, deadline = "", time.monotonic() + 15
        while "RUNNING" not in seen and time.monotonic() < deadline:
            seen += process.stdout.readline()  # type: ignore[union-attr]
        process.send_signal(signal.SIGINT)
        assert process.wait(timeout=10) == 130
        err = process.stderr.read()  # type: ignore[union-attr]
        assert "stopped waiting for 2 runs" in err and "Traceback" not in err
    finally:
        process.kill()
    assert [engine.state.runs.status(pid)["status"] for pid in ids] == ["RUNNING", "RUNNING"]
