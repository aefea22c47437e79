"""A guided tour of quenlo.sdk.velm_api against the embedded engine simulator.

Run with ``make demo``. Each step prints one line with its elapsed time; a failing step is named and the tour
exits non-zero.
"""

from __future__ import annotations

import json
import os
import subprocess
import sys
import time
import traceback
from typing import Any, Callable, Dict, List, Optional, Tuple

from quenlo.sdk import velm_api
from quenlo.sdk.constants import ENGINE_AUTHENTICATION_METHOD_FORM
from quenlo.sdk.simulator import EngineSimulator, sample_pipeline

USER, PASSWORD = "admin", "admin"


class Tour:
    """What the steps share: the engine, the client and what earlier steps made."""

    def __init__(self, engine: EngineSimulator) -> None:
        self.engine = engine
        self.client: Optional[velm_api.ApiClient] = None
        self.pipeline_id: Optional[str] = None

    @property
    def api(self) -> velm_api.ApiClient:
        assert self.client is not None, "not connected"
        return self.client

    @property
    def pid(self) -> str:
        """The id of the pipeline the tour created."""
        assert self.pipeline_id is not None, "no pipeline created yet"
        return self.pipeline_id


Step = Callable[[Tour], Any]
STEPS: List[Tuple[str, Step]] = []


def step(title: str) -> Callable[[Step], Step]:
    """Register a tour step; steps run in the order they are defined."""

    def register(function: Step) -> Step:
        STEPS.append((title, function))
        return function

    return register


# == connecting ==


@step("Connect to the engine")
def connect(tour: Tour) -> str:
    tour.client = velm_api.ApiClient(
        tour.engine.url, authentication_method=ENGINE_AUTHENTICATION_METHOD_FORM, username=USER, password=PASSWORD
    )
    return f"{tour.engine.url} answers, engine version {tour.api.version}"


@step("Read the engine information")
def engine_information(tour: Tour) -> str:
    info = tour.api.get_velm_info()
    return ", ".join(f"{key}={info[key]}" for key in ("version", "engineId", "builtAt") if key in info)


@step("Wait for a scripted pipeline status")
def scripted_status(tour: Tour) -> str:
    tour.engine.script_status("scripted", ["STARTING", "RUNNING", "FINISHED"])
    command = tour.api.get_pipeline_status("scripted")
    command.wait_for_status(["FINISHED", "STOPPED"], timeout_sec=30)
    return f"pipeline 'scripted' is {command.response.json()['status']}"


# == pipelines: store and import ==


@step("Create a pipeline")
def create_pipeline(tour: Tour) -> str:
    created = tour.api.create_pipeline("Tour pipeline", description="Made by the tour", auto_generate_pipeline_id=True)
    tour.pipeline_id = created.response.json()["pipelineId"]
    return f"stored as {tour.pipeline_id}"


@step("Import its definition")
def import_definition(tour: Tour) -> str:
    imported = tour.api.import_pipeline(tour.pid, sample_pipeline("Tour pipeline", tour.pid), overwrite=True)
    stages = imported["definition"]["stages"]
    info = tour.api.get_pipeline_configuration(tour.pid, get="info")
    return f"revision {info['rev']}: " + " -> ".join(f"{s['name']} ({s['type']})" for s in stages)


# == validation and preview ==


@step("Validate the pipeline")
def validate(tour: Tour) -> str:
    command = tour.api.validate_pipeline(tour.pid).wait_for_validate(timeout_sec=30)
    return f"pipeline {command.pipeline_id!r} is {command.response.json()['status']}"


@step("Preview the pipeline and show a few records per stage")
def preview(tour: Tour) -> str:
    command = tour.api.run_pipeline_preview(tour.pid, batches=2, batch_size=3).wait_for_finished()
    result = command.preview
    lines = [repr(result)]
    lines += [
        f"    {stage}: {[record.value for record in records[:2]]}" for stage, records in result.records_by_stage.items()
    ]
    return "\n".join(lines)


# == pipelines: run ==

# The start command, kept for the waits of the next steps.
RUN: Dict[str, velm_api.StartPipelineCommand] = {}


@step("Start it with runtime parameters")
def start_run(tour: Tour) -> str:
    # The simulator paces the run: four batches of ten records, 0.4 s apart.
    tour.engine.state.runs.configure(tour.pid, batches=4, batch_interval=0.4, start_delay=0.1)
    RUN["command"] = tour.api.start_pipeline(tour.pid, runtime_parameters={"batchSize": 10})
    status = RUN["command"].response.json()
    return f"{status['status']} with {status['parameters']}"


@step("Wait for two batches")
def wait_for_batches(tour: Tour) -> str:
    RUN["command"].wait_for_pipeline_batch_count(2, timeout_sec=30)
    counters = tour.api.get_pipeline_metrics(tour.pid).response.json()["counters"]
    batches = counters["pipeline.batchCount.counter"]["count"]
    return f"{batches} batches done, {counters['pipeline.batchOutputRecords.counter']['count']} records written"


@step("Wait until it has finished")
def wait_for_finish(tour: Tour) -> str:
    RUN["command"].wait_for_finished(timeout_sec=30)
    return f"status {RUN['command'].response.json()['status']}"


@step("Read its run history")
def read_history(tour: Tour) -> str:
    history = tour.api.get_pipeline_history(tour.pid)
    counters = history[0]["metrics"]["counters"]
    batches = counters["pipeline.batchCount.counter"]["count"]
    return f"{len(history)} run(s); the last {history[0]['status']} after {batches} batches"


# == snapshots ==


@step("Capture a snapshot, wait for it, read it and delete it")
def snapshot(tour: Tour) -> str:
    pipeline_id = tour.pid
    command = tour.api.capture_snapshot(pipeline_id, "tour-snapshot", "Taken by the tour", batch_size=2)
    captured = command.wait_for_finished(timeout_sec=30).snapshot
    listed = [s["snapshot"] for s in tour.api.get_snapshots_by_pipeline(pipeline_id).response.json()]
    first_stage = captured.stage_names[0]
    records = [record.value for record in captured.records(first_stage)]
    tour.api.delete_snapshot(pipeline_id, command.snapshot_name)
    left = [s["snapshot"] for s in tour.api.get_snapshots()]
    return f"{captured!r}\n    {first_stage}: {records}\n    listed {listed}, after deletion {left}"


# == pipelines: export ==


@step("Export it")
def export(tour: Tour) -> str:
    exported = tour.api.export_pipeline(tour.pid, include_library_definitions=True)
    libraries = sorted({d["library"] for d in exported["libraries"]})
    stages = exported["definition"]["stages"]
    return f"{len(stages)} stages using {', '.join(libraries)}; {len(json.dumps(exported))} bytes of JSON"


# == engine system and access control ==


@step("Engine directories, id and current user")
def engine_and_user(tour: Tour) -> str:
    directories = tour.api.get_velm_directories()
    engine_id = tour.api.get_velm_id().response.json()["id"]
    user = tour.api.get_current_user()
    return (
        f"engine {engine_id[:8]}..., logs in {directories['logs']}; "
        f"logged in as {user['user']} (roles {', '.join(user['roles'])}; groups {', '.join(user['groups'])})"
    )


@step("Health report")
def health_report(tour: Tour) -> str:
    report = tour.api.get_health_report().response.json()
    return "; ".join(
        f"{category['label']}: " + ", ".join(f"{check['name']}={check['value']}" for check in category["checks"])
        for category in report["categories"]
    )


@step("Support bundle, member by member")
def support_bundle(tour: Tour) -> str:
    generators = [generator["id"] for generator in tour.api.get_bundle_generators()]
    bundle = tour.api.get_bundle(generators)
    return f"{len(bundle.namelist())} members: " + ", ".join(
        f"{info.filename} ({info.file_size} B)" for info in bundle.infolist()
    )


@step("Read and write a pipeline's access control list")
def pipeline_acl(tour: Tour) -> str:
    acl = tour.api.get_pipeline_acl(tour.pid)
    before = len(acl["grants"])
    acl["grants"].append({"grantee": "operators", "type": "GROUP", "actions": ["READ", "EXECUTE"]})
    tour.api.set_pipeline_acl(tour.pid, acl)
    grants = tour.api.get_pipeline_permissions(tour.pid)
    subjects = tour.api.get_acl_subjects()
    return (
        f"{tour.pipeline_id}: {before} -> {len(grants)} grants ("
        + ", ".join(f"{g['grantee']}:{'/'.join(g['actions'])}" for g in grants)
        + f"); subjects users={subjects['users']} groups={subjects['groups']}"
    )


@step("Change the password; the old one is refused")
def change_password(tour: Tour) -> str:
    from requests import HTTPError

    new_password = PASSWORD + "-rotated"
    tour.api.change_password({"id": USER, "oldPassword": PASSWORD, "newPassword": new_password})
    tour.api.set_user(USER, PASSWORD)  # a fresh login with the old password
    try:
        tour.api.get_velm_info()
    except HTTPError as refused:
        status = getattr(refused.response, "status_code", "?")
        outcome = f"old password refused with HTTP {status}"
    else:
        raise AssertionError("the old password was still accepted")
    tour.api.set_user(USER, new_password)
    return f"{outcome}; logged in again as {tour.api.get_current_user()['user']} with the new one"


# == the command line ==


@step("Drive the engine through the velm command line, as a CI job would")
def command_line(tour: Tour) -> str:
    # A CI account of its own; the password travels in the environment, never on the command line.
    tour.engine.add_user("ci", "ci-secret")
    tour.engine.state.runs.configure(tour.pid, batches=3, batch_interval=0.2, start_delay=0.1)
    env = {**os.environ, "VELM_URL": tour.engine.url, "VELM_USER": "ci", "VELM_PASSWORD": "ci-secret"}
    lines = []
    for argv, expected in (
        (["pipelines"], 0),
        (["start", tour.pid, "--param", "batchSize=10", "--wait", "--timeout", "30"], 0),
        (["history", tour.pid], 0),
        (["status", "no-such-pipeline"], 4),  # the engine refuses: exit 4, its message on one line
    ):
        result = subprocess.run(
            [sys.executable, "-m", "quenlo.sdk.cli", *argv], capture_output=True, text=True, env=env, timeout=120
        )
        lines.append(f"$ velm {' '.join(argv)}    # exit {result.returncode}")
        lines += [f"    {line}" for line in (result.stdout + result.stderr).splitlines()]
        if result.returncode != expected:
            raise AssertionError(f"velm {' '.join(argv)} exited {result.returncode}, not {expected}")
    return "\n" + "\n".join(lines)


def main() -> int:
    with EngineSimulator(users={USER: PASSWORD}) as engine:
        tour = Tour(engine)
        started = time.monotonic()
        for number, (title, function) in enumerate(STEPS, 1):
            step_started = time.monotonic()
            try:
                outcome = function(tour)
            except Exception as error:  # the tour reports any failure by step
                print(f"[{time.monotonic() - step_started:6.2f} s] {number:2d}. {title}: FAILED: {error!r}")
                traceback.print_exc()
                return 1
            print(f"[{time.monotonic() - step_started:6.2f} s] {number:2d}. {title}: {outcome}")
        print(f"Tour complete: {len(STEPS)} steps in {time.monotonic() - started:.2f} s.")
    return 0


if __name__ == "__main__":
    sys.exit(main())
