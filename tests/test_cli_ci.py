"""velm as a CI step a job can retry: the job of docs/exit-codes.md run under faults, waits that poll through an
unavailable engine, and the one shape of every --json result record (result.schema.json)."""

from __future__ import annotations

import contextlib
import io
import json
import os
import signal
import subprocess
import sys
import threading
import time
from importlib import resources
from pathlib import Path
from typing import Any, Dict, Iterator, List, Optional, Tuple

import jsonschema
import pytest
import trustme

from quenlo.sdk.cli import main
from quenlo.sdk.simulator import EngineSimulator, sample_pipeline

ROOT = Path(__file__).resolve().parent.parent
JOB = ROOT / "examples" / "ci-job.sh"
IDS = ("load-eu", "load-us")
SCHEMA = json.loads((resources.files("quenlo.sdk.cli") / "result.schema.json").read_text())


def arrange(engine: EngineSimulator, **plan: Any) -> None:
    for pid in IDS:
        engine.state.pipelines.import_pipeline(pid, sample_pipeline(pid, pid), overwrite=True)
        engine.state.runs.configure(pid, **{"batches": 3, "batch_interval": 0.3, "start_delay": 0.1, **plan})


def when_polled(engine: EngineSimulator, **fault: Any) -> threading.Thread:
    """Inject ``fault`` once the job's wait has read a status (it is then waiting)."""

    def inject() -> None:
        ends = time.monotonic() + 20
        while time.monotonic() < ends and not any(r.path.endswith("/status") for r in engine.requests):
            time.sleep(0.02)
        engine.inject_fault(**fault)

    thread = threading.Thread(target=inject, daemon=True)
    thread.start()
    return thread


@contextlib.contextmanager
def fault(name: str, engine: EngineSimulator, tmp_path: Path) -> Iterator[Dict[str, str]]:
    """The job's environment under the fault ``name``, with the engine arranged for it."""
    env = {"VELM_URL": engine.url}
    arrange(engine)
    if name == "503 on one start":
        arrange(engine, batch_interval=1.0)  # still going when the job tries again
        env["RUN_TIMEOUT"] = "20"
        engine.inject_fault("POST", "/v1/pipeline/load-us/start", status=503)
    elif name == "proxy's HTML page":
        engine.inject_fault("*", "/v1/*", status=200, not_json=True, count=None)
    elif name == "failing run":
        engine.state.runs.configure("load-us", fail_after_batch=1, run_error="Disk full")
    elif name == "run never ends":
        engine.state.runs.configure("load-eu", batches=None)
    elif name == "engine closed":
        env["VELM_URL"] = "http://127.0.0.1:9"
    elif name.startswith("away"):
        arrange(engine, batches=4, batch_interval=1.0)
        lasting = {"lasting": 2.0} if name == "away during the wait" else {}
        path = "/v1/*" if lasting else "/v1/pipeline/*"  # the probe of the next tries still answers
        thread = when_polled(engine, method="*", path=path, status=503, count=None, **lasting)
        yield {**env, "RUN_TIMEOUT": "20" if lasting else "3"}
        thread.join(timeout=20)
        return
    if name in ("wrong CA", "missing client certificate"):
        client_ca = name == "missing client certificate"
        with EngineSimulator(tls=True, tls_client_ca=client_ca or None) as tls_engine:
            bundle = tls_engine.ca_bundle
            if not client_ca:
                bundle = str(tmp_path / "other-ca.pem")
                trustme.CA().cert_pem.write_to_path(bundle)
            yield {"VELM_URL": tls_engine.url, "REQUESTS_CA_BUNDLE": str(bundle)}
        return
    yield env


def run_job(env: Dict[str, str]) -> Tuple[int, str, str]:
    environ = {key: value for key, value in os.environ.items() if not key.startswith("VELM_")}
    environ.update(
        PATH=os.pathsep.join([str(Path(sys.executable).parent), environ["PATH"]]),
        PIPELINES=" ".join(IDS),
        RETRY_PAUSES="0.1 0.1 0.1",  # four tries
        RUN_TIMEOUT="3",
    )
    environ.update(env)
    done = subprocess.run(["sh", str(JOB)], capture_output=True, text=True, env=environ, timeout=110)
    return done.returncode, done.stdout, done.stderr


@pytest.mark.parametrize(
    ("name", "retries", "code"),
    [
        ("503 on one start", 1, 0),  # the retry attaches to the run the first try started
        ("wrong CA", 0, 7),  # velm set up wrong: never tried again
        ("missing client certificate", 0, 7),
        ("proxy's HTML page", 0, 6),
        ("failing run", 0, 1),
        ("run never ends", 0, 3),
        ("away during the wait", 0, 0),  # polled through
        ("away for the whole wait", 3, 5),
        ("engine closed", 3, 5),
    ],
)
def test_the_ci_job_decides_right_under_each_fault(
    engine: EngineSimulator, tmp_path: Path, name: str, retries: int, code: int
) -> None:
    with fault(name, engine, tmp_path) as env:
        returned, out, err = run_job(env)
    assert (err.count("trying again"), returned) == (retries, code), err
    if name == "503 on one start":  # one run each: the first try's run of load-eu was waited for, not refused
        starts = [r.path.split("/")[-2] for r in engine.requests if r.method == "POST"]
        assert starts == ["load-eu", "load-us", "load-eu", "load-us"]
        assert len(engine.state.runs.history("load-eu")) == 1, engine.state.runs.history("load-eu")
    if name == "failing run":
        assert "Disk full" in out  # the job printed the history of the runs
    if name == "away for the whole wait":
        assert "last failure: the engine is unavailable" in err and "503" in err, err


def test_the_documented_job_is_the_tested_one() -> None:
    page = (ROOT / "docs" / "exit-codes.md").read_text()
    assert "```sh\n" + JOB.read_text() + "```" in page


# -- waits that poll through an unavailable engine -----------------------------------------------------------------


def velm(engine: EngineSimulator, *argv: str) -> Tuple[int, List[Any], str, float]:
    stdout, stderr = io.StringIO(), io.StringIO()
    began = time.monotonic()
    code = main(["--json", *argv], stdout=stdout, stderr=stderr, environ={"VELM_URL": engine.url})
    docs = [json.loads(line) for line in stdout.getvalue().splitlines()]
    jsonschema.validate(docs[-1], SCHEMA)
    return code, docs, stderr.getvalue(), time.monotonic() - began


@pytest.mark.parametrize(
    ("ids", "outage", "timeout", "code", "outcomes"),
    [
        (IDS, 1.0, "15", 0, ["done", "done"]),  # the first status reads too are polled through
        (IDS[:1], 1.0, "15", 0, ["done"]),
        (IDS, None, "1.5", 5, ["unreachable", "unreachable"]),  # away to the end: worth a retry
        (IDS[:1], None, "1.5", 5, ["unreachable"]),
        ((IDS[0], "nope", IDS[1]), 1.0, "15", 4, ["done", "refused", "done"]),
        (("--fail-fast", IDS[0], "nope", IDS[1]), 1.0, "15", 4, ["going", "refused", "going"]),  # none waited for
    ],
)
def test_wait_polls_through_an_engine_that_answers_503(
    engine: EngineSimulator, ids: Tuple[str, ...], outage: Optional[float], timeout: str, code: int, outcomes: List[str]
) -> None:
    arrange(engine, batches=2)
    for pid in IDS:
        engine.state.runs.start(pid)
    engine.inject_fault("GET", "/v1/pipeline/*", status=503, count=None, lasting=outage)
    returned, docs, err, seconds = velm(engine, "wait", *ids, "--timeout", timeout, "--interval", "0.2")
    result = docs[-1]
    assert (returned, [run["outcome"] for run in result["runs"]]) == (code, outcomes), err
    if code == 5:
        assert seconds < 3 and "last failure: the engine is unavailable" in err
        assert all(run["polls"] > 1 and run["elapsed"] > 1 for run in result["runs"]), result  # the reads tried
        assert all(run["httpStatus"] == 503 and run["engineCode"] == "SIMULATOR_FAULT" for run in result["runs"])


@pytest.mark.parametrize(("count", "fault"), [(8, {"delay": 60.0}), (8, {"status": 503}), (1, {"delay": 60.0})])
def test_wait_on_many_runs_of_an_unavailable_engine_ends_by_its_timeout(
    engine: EngineSimulator, count: int, fault: Dict[str, Any]
) -> None:
    ids = [f"run-{place}" for place in range(count)]
    for pid in ids:
        engine.state.pipelines.import_pipeline(pid, sample_pipeline(pid, pid))
    engine.inject_fault("GET", "/v1/pipeline/*", count=None, **fault)
    returned, docs, err, seconds = velm(engine, "wait", *ids, "--timeout", "1", "--interval", "0.2")
    assert (returned, {run["outcome"] for run in docs[-1]["runs"]}) == (5, {"unreachable"}), err
    assert seconds < 2, seconds  # not one more read of each run once the time is up


@pytest.mark.parametrize("ids", [IDS, IDS[:1]])
def test_an_engine_silent_during_a_counters_read_is_unavailable_not_a_slow_run(
    engine: EngineSimulator, ids: Tuple[str, ...]
) -> None:
    arrange(engine, batches=None)
    for pid in ids:  # --json reads each run's counters after a status: that read holds the wait to its end
        engine.state.runs.start(pid)
        engine.inject_fault("GET", f"/v1/pipeline/{pid}/metrics", delay=60.0, count=None)
    returned, docs, err, seconds = velm(engine, "wait", *ids, "--timeout", "1.5", "--interval", "0.2")
    assert (returned, "last failure: the engine did not answer" in err) == (5, True), err
    assert seconds < 2.5, seconds


@pytest.mark.parametrize("ids", [IDS, IDS[:1]])
def test_wait_holds_its_timeout_across_the_first_status_reads(engine: EngineSimulator, ids: Tuple[str, ...]) -> None:
    arrange(engine, batches=None)
    for pid in ids:
        engine.state.runs.start(pid)
    engine.inject_fault("GET", "/v1/pipeline/*", status=503, count=None, lasting=2.0)
    returned, docs, err, seconds = velm(engine, "wait", *ids, "--timeout", "3", "--interval", "0.2")
    assert (returned, [run["outcome"] for run in docs[-1]["runs"]]) == (3, ["timed-out"] * len(ids)), err
    assert seconds < 4.3  # not the 2 s of the first reads more


@pytest.mark.parametrize(
    ("setup", "argv", "code", "starts"),
    [
        ("starting", IDS, 0, ["attached", "started"]),  # a run still STARTING is going too
        ("running", (IDS[0], "nope", IDS[1]), 4, ["attached", "failed", "not-tried"]),
        ("status unreadable", IDS, 4, ["failed", "not-tried"]),  # the status read is what failed
    ],
)
def test_start_attach_names_what_each_start_did(
    engine: EngineSimulator, setup: str, argv: Tuple[str, ...], code: int, starts: List[str]
) -> None:
    arrange(engine, batch_interval=0.5, start_delay=1.0 if setup == "starting" else 0.1)
    engine.state.runs.start(IDS[0])
    time.sleep(0 if setup == "starting" else 0.3)
    if setup == "status unreadable":
        engine.inject_fault("GET", f"/v1/pipeline/{IDS[0]}/status", status=500, count=None)
    returned, docs, err, _ = velm(engine, "start", "--attach", *argv)
    runs = docs[-1]["runs"]
    assert (returned, [run["start"] for run in runs]) == (code, starts), err
    assert runs[0].get("httpStatus") == (500 if setup == "status unreadable" else None)


# -- one result shape --------------------------------------------------------------------------------------------


@pytest.mark.parametrize(
    ("argv", "setup", "code"),
    [
        (["start", IDS[0]], None, 0),
        (["start", *IDS], None, 0),
        (["start", IDS[0], "--wait"], None, 0),
        (["start", IDS[0], "--wait"], "fails", 1),
        (["start", *IDS, "--wait"], "fails", 1),
        (["start", "nope", *IDS], None, 4),
        (["start", *IDS], "running", 4),  # a run already going is refused without --attach
        (["start", "--attach", *IDS, "--wait"], "running", 0),
        (["stop", IDS[0]], None, 4),
        (["wait", IDS[0], "--timeout", "0.3"], None, 3),
        (["wait", "nope"], None, 4),
        (["validate", IDS[0]], None, 0),
        (["--probe-timeout", "0.5", "start", *IDS], "down", 5),
        (["start", IDS[0], IDS[0]], None, 2),
        (["--probe-timeout", "0.5", "info"], "down", 5),
        (["--timeout-http", "0.5", "start", *IDS], "start unanswered", 5),  # it may have started: retry
        (["--timeout-http", "0.5", "start", IDS[1]], "start unanswered", 5),
    ],
)
def test_every_result_record_and_error_document_has_the_documented_shape(
    engine: EngineSimulator, argv: List[str], setup: Optional[str], code: int
) -> None:
    arrange(engine, batch_interval=0.05)
    for pid in IDS if setup == "fails" else ():
        engine.state.runs.configure(pid, fail_after_batch=1)
    if setup == "running":  # still going when velm reads its status after the refused start
        engine.state.runs.configure(IDS[0], batch_interval=0.5)
        engine.state.runs.start(IDS[0])
    if setup == "down":
        engine.inject_fault("*", "/v1/*", status=503, count=None)
    if setup == "start unanswered":  # the engine starts the run after velm gave up on the answer
        engine.state.runs.configure(IDS[1], batch_interval=0.5)
        engine.inject_fault("POST", f"/v1/pipeline/{IDS[1]}/start", delay=1.0)
    returned, docs, err, _ = velm(engine, *argv, *([] if "info" in argv else ["--interval", "0.05"]))
    last = docs[-1]  # checked against the schema by velm()
    assert (returned, last["exitCode"]) == (code, code), err
    if "runs" in last:  # one entry per run named, whatever happened to it
        assert [run["subject"] for run in last["runs"]] == [word for word in argv if word in (*IDS, "nope")]
    if setup == "running" and code == 4:
        assert [run.get("start") for run in last["runs"]] == ["failed", "not-tried"]
        assert (last["runs"][0]["httpStatus"], last["runs"][0]["engineCode"]) == (400, "PIPELINE_STATE")
        assert (last["httpStatus"], last["engineCode"]) == (400, "PIPELINE_STATE")  # why, at the top as well
    if setup == "down" and "runs" in last:  # the engine could not be reached: no run was tried
        assert [(run["outcome"], run["start"]) for run in last["runs"]] == [("not-tried", "not-tried")] * 2
    if "--attach" in argv:
        assert [run["start"] for run in last["runs"]] == ["attached", "started"]
    if setup == "start unanswered":  # and a retry with --attach waits for the run the engine started
        assert last["runs"][-1]["start"] == "failed" and "retry with --attach" in err, err
        time.sleep(0.6)
        retried = velm(engine, "start", "--attach", IDS[1], "--wait", "--interval", "0.05")[1][-1]
        assert (retried["exitCode"], retried["runs"][0]["start"]) == (0, "attached")


def test_the_schema_ships_with_the_package_and_refuses_a_record_without_runs() -> None:
    jsonschema.Draft202012Validator.check_schema(SCHEMA)
    with pytest.raises(jsonschema.ValidationError):
        jsonschema.validate({"event": "result", "exitCode": 0, "kind": "done"}, SCHEMA)


@pytest.mark.parametrize("ids", [(*IDS, "load-ap"), ("load-ap",)])
def test_ctrl_c_during_a_start_names_the_runs_already_started(engine: EngineSimulator, ids: Tuple[str, ...]) -> None:
    arrange(engine, batches=None)
    engine.state.pipelines.import_pipeline("load-ap", sample_pipeline("ap", "load-ap"))
    engine.inject_fault("POST", "/v1/pipeline/load-ap/start", delay=30.0)  # held until Ctrl-C
    env = {**os.environ, "VELM_URL": engine.url}
    argv = [sys.executable, "-m", "quenlo.sdk.cli", "--json", "start", *ids, "--wait"]
    process = subprocess.Popen(argv, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, env=env)
    try:
        ends = time.monotonic() + 20
        while time.monotonic() < ends and not any(r.path.endswith("load-ap/start") for r in engine.requests):
            time.sleep(0.02)
        process.send_signal(signal.SIGINT)
        out, err = process.communicate(timeout=10)
    finally:
        process.kill()
    result = json.loads(out.splitlines()[-1])
    jsonschema.validate(result, SCHEMA)
    assert (process.returncode, err.count("\n")) == (130, 1), err
    assert [run["start"] for run in result["runs"]] == ["started"] * (len(ids) - 1) + ["failed"]
    assert "retry with --attach" in result["runs"][-1]["error"]
