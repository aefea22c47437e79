"""Snapshots of the simulated engine: capture, status, data, lists and deletion."""

from __future__ import annotations

from collections.abc import Mapping, Sequence
from dataclasses import dataclass
from typing import Any

from .context import Context, not_found
from .documents import invalid_pipeline, run_batches
from .previews import Progress


@dataclass
class StoredSnapshot:
    """One captured (or capturing) snapshot."""

    pipeline_id: str
    name: str
    label: str | None
    rev: str
    user: str | None
    batches: int
    runtime_parameters: dict[str, Any] | None
    progress: Progress
    captured: list[list[dict[str, Any]]]
    created: int = 0

    def info(self, in_progress: bool) -> dict[str, Any]:
        """The snapshot's status record."""
        names = ("snapshot", "label", "pipelineId", "rev", "user", "created", "inProgress", "batchCount")
        values = (self.name, self.label, self.pipeline_id, self.rev, self.user, self.created, in_progress, self.batches)
        return dict(zip(names, values))

    def data(self) -> dict[str, Any]:
        """The captured records; empty while the capture is still going on."""
        return {"batches": self.captured if self.progress.current is False else []}


class Snapshots:
    """Captured snapshots, by pipeline id and snapshot name. A capture stays in progress for ``capture_reads``
    status reads (or, with ``step_seconds`` set, that many steps of the clock) and is complete after that."""

    def __init__(self, context: Context | None = None) -> None:
        self._ctx = context or Context()
        self._lock = self._ctx.lock
        self._snapshots: dict[tuple[str, str], StoredSnapshot] = {}
        self.step_seconds: float | None = None
        self.capture_reads = 2

    def capture(
        self,
        pipeline_id: str,
        name: str,
        stages: Sequence[Mapping[str, Any]],
        *,
        label: str | None,
        rev: str = "0",
        user: str | None = None,
        batches: int = 1,
        batch_size: int = 10,
        runtime_parameters: dict[str, Any] | None = None,
        issues: Mapping[str, Any] | None = None,
    ) -> StoredSnapshot:
        """Start capturing, replacing a snapshot of the same name; a pipeline with ``issues`` cannot run, so its
        capture is refused (400) with them."""
        if issues is not None:
            raise invalid_pipeline(pipeline_id, issues, "capture a snapshot of")
        progress = Progress([True] * self.capture_reads + [False], self.step_seconds, self._ctx.clock)
        captured = run_batches(stages, batches, batch_size, skip_targets=False)
        snapshot = StoredSnapshot(pipeline_id, name, label, rev, user, batches, runtime_parameters, progress, captured)
        snapshot.created = self._ctx.now_ms()
        with self._lock:
            self._snapshots[(pipeline_id, name)] = snapshot
        self._ctx.log.add("INFO", "snapshot", f"Snapshot '{name}' of '{pipeline_id}' capturing", pipeline_id, user)
        return snapshot

    def get(self, pipeline_id: str, name: str) -> StoredSnapshot:
        """The snapshot; 404 when there is none."""
        with self._lock:
            snapshot = self._snapshots.get((pipeline_id, name))
        if snapshot is None:
            raise not_found(f"Snapshot '{name}' of pipeline '{pipeline_id}' does not exist", "SNAPSHOT_UNKNOWN")
        return snapshot

    def read_status(self, pipeline_id: str, name: str) -> dict[str, Any]:
        """Answer a status read (which may take the capture a step further)."""
        with self._lock:
            snapshot = self.get(pipeline_id, name)
            return snapshot.info(snapshot.progress.read())

    def infos(self, pipeline_id: str | None = None) -> list[dict[str, Any]]:
        """The status records of all snapshots, or of one pipeline's, oldest first (listing takes no step)."""
        with self._lock:
            found = [s for s in self._snapshots.values() if pipeline_id in (None, s.pipeline_id)]
            return [s.info(s.progress.current) for s in found]

    def delete(self, pipeline_id: str, name: str) -> None:
        """Forget a snapshot; 404 when there is none."""
        with self._lock:
            self.get(pipeline_id, name)
            del self._snapshots[(pipeline_id, name)]

    def script(self, pipeline_id: str, name: str, in_progress: Sequence[Any]) -> None:
        """Make successive status reads of the snapshot report these ``inProgress`` values."""
        with self._lock:
            self.get(pipeline_id, name).progress.script(in_progress)
