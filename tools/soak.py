"""Soak the client: many mixed operations and command waits, watching memory and object counts for leaks.

Every request goes to an in-process engine simulator through :class:`InMemoryTransport` (no sockets), and the
one-second pauses of the waits are patched out, so the run measures the client and little else. The work is split
into rounds that each do the same thing against a freshly reset simulator; after the warm-up round the resident
memory and the number of GC-tracked objects of every type are taken, and again after the last round. A leak of
references in the extension keeps objects alive, so it shows as a type that grows with the rounds.

    python tools/soak.py                              # 100,000 operations and 1,000 waits in 10 rounds
    python tools/soak.py --operations 5000 --waits 50 --plant-leak   # shows that a leak is caught

Prints one JSON report and exits 0 when the run is clean: resident memory grew by at most --max-rss-growth bytes
and no type gained more than --max-type-growth objects. ``make soak`` runs it through tools/check_leaks.py, which
also fails the run when nanobind reports an instance still alive as the interpreter exits.
"""

from __future__ import annotations

import argparse
import collections
import gc
import json
import os
import re
import sys
import time
import urllib.parse
from typing import Any, Callable
from unittest import mock

import requests

from quenlo.sdk import velm_api
from quenlo.sdk.constants import ENGINE_AUTHENTICATION_METHOD_FORM
from quenlo.sdk.exceptions import BadRequestError, InternalServerError
from quenlo.sdk.simulator import EngineSimulator, InMemoryTransport, sample_pipeline
from quenlo.sdk.simulator.state import EngineState

USER, PASSWORD = "soak", "soak-password"
PIPELINE = "orders"
SECOND = "orders copy/2"  # an id that needs encoding, so that path goes through every round


class Soak:
    """One client, one simulator, and the operations and waits a round cycles through."""

    def __init__(self, plant_leak: bool = False) -> None:
        self.engine = EngineSimulator(users={USER: PASSWORD})
        self.transport = InMemoryTransport(self.engine)
        self.client = velm_api.ApiClient(
            self.transport.url,
            authentication_method=ENGINE_AUTHENTICATION_METHOD_FORM,
            username=USER,
            password=PASSWORD,
            session_attributes=self.transport.session_attributes(),
        )
        self.planted: list[Any] = []
        self.plant_leak = plant_leak
        self.operations: list[Callable[[], Any]] = self._operations()
        self.waits: list[Callable[[], Any]] = self._waits()

    # -- arranging -----------------------------------------------------------------------------------------

    def reset(self) -> None:
        """A fresh engine state, as the round before found it; the client keeps its session."""
        self.engine.state = EngineState(users={USER: PASSWORD})
        self.engine.clear_requests()
        self.engine.clear_faults()
        self.client.import_pipeline(PIPELINE, sample_pipeline("Orders", PIPELINE), overwrite=True)
        self.client.import_pipeline(SECOND, sample_pipeline("Orders copy", SECOND), overwrite=True)
        # Runs that end as soon as they are read, so waits do not depend on the clock.
        self.engine.state.runs.configure_defaults(batches=1, batch_interval=0, start_delay=0, stop_delay=0)

    # -- the mix -------------------------------------------------------------------------------------------

    def _expect(self, error: type, call: Callable[[], Any]) -> Callable[[], Any]:
        def run() -> Any:
            try:
                call()
            except error as caught:
                return caught
            raise AssertionError(f"{call} did not raise {error.__name__}")

        return run

    def _fault_then(self, path: str, error: type, call: Callable[[], Any], **fault: Any) -> Callable[[], Any]:
        def run() -> Any:
            self.engine.inject_fault("*", path, **fault)
            return self._expect(error, call)()

        return run

    def _keep(self, call: Callable[[], Any]) -> Callable[[], Any]:
        def run() -> Any:
            result = call()
            if self.plant_leak:
                self.planted.append(result)
            return result

        return run

    def _operations(self) -> list[Callable[[], Any]]:
        c = self.client
        unencodable = {"when": object()}
        return [
            lambda: c.get_velm_info(),
            lambda: c.get_pipeline_configuration(PIPELINE),
            lambda: c.get_pipeline_configuration(SECOND, get="info"),
            lambda: c.get_all_pipeline_configuration_info(label="x").response.json(),
            lambda: c.export_pipeline(PIPELINE, include_library_definitions=True),
            lambda: c.export_pipelines([PIPELINE, SECOND]).response.content,
            lambda: c.import_pipeline(SECOND, sample_pipeline("Orders copy", SECOND), overwrite=True),
            lambda: c.create_pipeline("scratch pipeline"),
            lambda: c.delete_pipeline("scratch pipeline"),
            lambda: c.update_pipeline_rules(PIPELINE, c.get_pipeline_rules(PIPELINE).response.json()),
            self._keep(lambda: c.get_pipeline_status(PIPELINE)),
            lambda: c.get_pipeline_metrics(PIPELINE),
            lambda: c.get_pipeline_history(PIPELINE),
            lambda: c.get_pipeline_committed_offsets(PIPELINE),
            lambda: c.get_pipeline_error_messages(PIPELINE, "sink", size=5),
            lambda: c.get_snapshots(),
            lambda: c.get_snapshots_by_pipeline(PIPELINE),
            lambda: c.get_current_user(),
            lambda: c.get_velm_directories(),
            lambda: c.get_velm_configuration(),
            lambda: c.get_velm_id(),
            lambda: c.get_jmx_metrics(),
            lambda: c.get_system_stats(),
            lambda: c.get_logs(severity="ERROR"),
            lambda: c.get_classpath_health(),
            lambda: c.get_alerts(),
            lambda: c.get_bundle_generators(),
            lambda: c.get_bundle(["logs"]).namelist(),
            lambda: c.get_health_categories(),
            lambda: c.get_health_report(),
            lambda: c.get_pipeline_acl(PIPELINE),
            lambda: c.get_pipeline_permissions(PIPELINE),
            lambda: c.get_acl_subjects(),
            lambda: c.set_user(USER, PASSWORD),
            # failures: each one goes through a different error path of the extension
            self._expect(requests.HTTPError, lambda: c.get_pipeline_configuration("no such pipeline")),
            self._expect(requests.HTTPError, lambda: c.delete_pipeline("no such pipeline")),
            self._fault_then("/v1/system/info", BadRequestError, c.get_velm_info, status=400),
            self._fault_then("/v1/pipelines*", InternalServerError, c.get_snapshots, status=500),
            self._fault_then("/v1/system/info", ValueError, c.get_velm_info, not_json=True),
            self._expect(ValueError, lambda: c.get_pipeline_status("..")),
            self._expect(TypeError, lambda: c.get_pipeline_status(None)),
            self._expect(TypeError, lambda: c.start_pipeline(PIPELINE, runtime_parameters=unencodable)),
            self._expect(TypeError, lambda: c.get_pipeline_status()),
        ]

    def _waits(self) -> list[Callable[[], Any]]:
        c, engine = self.client, self.engine

        def scripted() -> None:
            engine.script_status("scripted", ["STARTING", "RUNNING", "FINISHED"])
            c.get_pipeline_status("scripted").wait_for_status(["FINISHED", "STOPPED"], timeout_sec=30)

        def failing() -> None:
            engine.script_status("failing", ["RUNNING", {"status": "RUN_ERROR", "message": "disk full"}])
            try:
                c.get_pipeline_status("failing").wait_for_status("FINISHED", timeout_sec=30)
            except velm_api.RunError as error:
                assert error.message == "disk full"
            else:
                raise AssertionError("RunError expected")

        def timed_out() -> None:
            try:
                c.get_pipeline_status(PIPELINE).wait_for_status("FINISHED", timeout_sec=0)
            except Exception as error:  # noqa: BLE001 - the documented time-out is a plain Exception
                assert "Timed out" in str(error)

        def run_to_end() -> None:
            command = c.start_pipeline(PIPELINE, runtime_parameters={"batchSize": 5})
            command.wait_for_pipeline_batch_count(1, timeout_sec=30)
            command.wait_for_finished(timeout_sec=30)

        def stopped() -> None:
            engine.state.runs.configure(SECOND, batches=None)
            c.start_pipeline(SECOND).wait_for_status("RUNNING", timeout_sec=30)
            c.stop_pipeline(SECOND).wait_for_stopped(timeout_sec=30)

        def previewed() -> None:
            command = c.run_pipeline_preview(PIPELINE, batch_size=3).wait_for_finished(timeout_sec=30)
            assert command.preview is not None

        def validated() -> None:
            c.validate_pipeline(PIPELINE).wait_for_validate(timeout_sec=30)

        def connection() -> None:
            request = {"type": "CONNECTION_VERIFIER", "parameters": {"connection": {"connectionId": "db"}}}
            c.run_dynamic_pipeline_preview_for_connection(request).wait_for_validate(timeout_sec=30)

        def snapshot() -> None:
            command = c.capture_snapshot(PIPELINE, "soak", "soak label", batch_size=2).wait_for_finished(30)
            assert command.snapshot is not None
            c.delete_snapshot(PIPELINE, "soak")

        return [scripted, failing, timed_out, run_to_end, stopped, previewed, validated, connection, snapshot]

    def round(self, operations: int, waits: int) -> None:
        """Reset the engine, then do ``operations`` operations and ``waits`` waits, interleaved."""
        self.reset()
        every = max(1, operations // max(1, waits))
        done_waits = 0
        for index in range(operations):
            self.operations[index % len(self.operations)]()
            if index % every == every - 1 and done_waits < waits:
                self.waits[done_waits % len(self.waits)]()
                done_waits += 1
        for index in range(done_waits, waits):
            self.waits[index % len(self.waits)]()


# -- measuring ---------------------------------------------------------------------------------------------


def resident_bytes() -> int:
    """The resident set size of this process now (not its peak)."""
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def tracked_objects(*ignore: Any) -> dict[str, int]:
    """How many GC-tracked objects of each type are alive, after a full collection, less ``ignore``.

    The standard library's bounded caches (parsed URLs, compiled patterns) are emptied first: they fill with
    the URLs of each round's new preview ids up to their limit, which is not a leak.
    """
    urllib.parse.clear_cache()
    re.purge()
    gc.collect()
    skipped = {id(item) for item in ignore} | {id(ignore)}
    return dict(
        collections.Counter(
            f"{type(o).__module__}.{type(o).__qualname__}" for o in gc.get_objects() if id(o) not in skipped
        )
    )


def soak(operations: int, waits: int, rounds: int, plant_leak: bool = False) -> dict[str, Any]:
    """Run the soak and return its figures."""
    started = time.perf_counter()
    per_round_ops = operations // rounds
    per_round_waits = waits // rounds
    with mock.patch("time.sleep", new=lambda seconds: None):
        runner = Soak(plant_leak=plant_leak)
        runner.round(per_round_ops, per_round_waits)  # warm-up: caches, imports, interned names
        tracked_objects()  # the first census itself leaves a few objects behind
        rss_per_round: list[int] = []
        objects_baseline = tracked_objects()
        rss_baseline = resident_bytes()
        rss_per_round.append(rss_baseline)
        for _ in range(rounds - 1):
            runner.round(per_round_ops, per_round_waits)
            rss_per_round.append(resident_bytes())
        objects_final = tracked_objects(objects_baseline, rss_per_round)
        rss_final = resident_bytes()
        requests_last_round = len(runner.engine.requests)
        del runner
    grown = {
        name: objects_final[name] - objects_baseline.get(name, 0)
        for name in objects_final
        if objects_final[name] > objects_baseline.get(name, 0)
    }
    return {
        "operations": per_round_ops * rounds,
        "waits": per_round_waits * rounds,
        "rounds": rounds,
        "requests_in_last_round": requests_last_round,
        "seconds": round(time.perf_counter() - started, 1),
        "rss_after_warmup_bytes": rss_baseline,
        "rss_growth_bytes": rss_final - rss_baseline,
        "rss_per_round_mib": [round(value / 2**20, 2) for value in rss_per_round],
        "tracked_objects_after_warmup": sum(objects_baseline.values()),
        "tracked_objects_final": sum(objects_final.values()),
        "types_grown": dict(sorted(grown.items(), key=lambda item: -item[1])),
    }


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--operations", type=int, default=100_000)
    parser.add_argument("--waits", type=int, default=1_000)
    parser.add_argument("--rounds", type=int, default=10)
    parser.add_argument("--max-rss-growth", type=float, default=2 * 2**20, help="bytes (default 2 MiB)")
    parser.add_argument("--max-type-growth", type=int, default=0, help="objects per type (default 0)")
    parser.add_argument(
        "--plant-leak", action="store_true", help="keep every status command read, to show that a leak is caught"
    )
    args = parser.parse_args(argv)

    report = soak(args.operations, args.waits, args.rounds, plant_leak=args.plant_leak)
    failures = []
    if report["rss_growth_bytes"] > args.max_rss_growth:
        failures.append(f"resident memory grew by {report['rss_growth_bytes']} bytes")
    leaking = {name: count for name, count in report["types_grown"].items() if count > args.max_type_growth}
    if leaking:
        failures.append(f"types grew: {leaking}")
    report["failures"] = failures
    print(json.dumps(report, indent=2))
    gc.collect()
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
