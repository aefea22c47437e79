"""Snapshots of the simulated engine: capture, status, data, lists and deletion."""

from __future__ import annotations

from collections.abc import Mapping, Sequence
from dataclasses import dataclass
from typing import Any

from .context import Context
from .documents import invalid_pipeline, run_batches
from .errors import not_found
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
    batch_size: int
    start_pipeline: bool
    runtime_parameters: dict[str, Any] | None
    progress: Progress
    captured: list[list[dict[str, Any]]]
    created: int = 0

    def info(self, in_progress: bool) -> dict[str, Any]:
        """The snapshot's status record."""
        return {
            "snapshot": self.name,
            "label": self.label,
            "pipelineId": self.pipeline_id,
            "rev": self.rev,
            "user": self.user,
            "created": self.created,
            "inProgress": in_progress,
            "batchCount": self.batches,
        }

    def data(self) -> dict[str, Any]:
        """The captured records; empty while the capture is still going on."""
        return {"batches": self.captured if self.progress.current is False else []}


class Snapshots:
    """Captured snapshots, by pipeline id and snapshot name.

    A capture stays in progress for ``capture_reads`` status reads (or, with ``step_seconds`` set, that many
    steps of the clock) and is complete after that.
    """

    def __init__(self, context: Context | None = None) -> None:
        self._ctx = context or Context()
        self._lock = self._ctx.lock
        self._clock = self._ctx.clock
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
        start_pipeline: bool = False,
        runtime_parameters: dict[str, Any] | None = None,
        issues: Mapping[str, Any] | None = None,
    ) -> StoredSnapshot:
        """Start capturing; a snapshot of the same name is replaced.

        A pipeline with ``issues`` cannot run, so nothing can be captured: the request is refused (400) with them.
        """
        if issues is not None:
            raise invalid_pipeline(pipeline_id, issues, "capture a snapshot of")
        states = [True] * self.capture_reads + [False]
        snapshot = StoredSnapshot(
            pipeline_id=pipeline_id,
            name=name,
            label=label,
            rev=rev,
            user=user,
            batches=batches,
            batch_size=batch_size,
            start_pipeline=start_pipeline,
            runtime_parameters=runtime_parameters,
            progress=Progress(states, self.step_seconds, self._clock),
            created=self._clock.now_ms(),
            captured=run_batches(stages, batches, batch_size, skip_targets=False),
        )
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

    def find(self, pipeline_id: str, name: str) -> StoredSnapshot | None:
        """The snapshot, or None."""
        with self._lock:
            return self._snapshots.get((pipeline_id, name))

    def read_status(self, pipeline_id: str, name: str) -> dict[str, Any]:
        """Answer a status read (which may take the capture a step further)."""
        with self._lock:
            snapshot = self.get(pipeline_id, name)
            return snapshot.info(snapshot.progress.read())

    def infos(self, pipeline_id: str | None = None) -> list[dict[str, Any]]:
        """The status records of all snapshots, or of one pipeline's, oldest first (listing takes no step)."""
        with self._lock:
            return [
                s.info(s.progress.current)
                for s in self._snapshots.values()
                if pipeline_id is None or s.pipeline_id == pipeline_id
            ]

    def delete(self, pipeline_id: str, name: str) -> None:
        """Forget a snapshot; 404 when there is none."""
        with self._lock:
            self.get(pipeline_id, name)
            del self._snapshots[(pipeline_id, name)]

    def script(self, pipeline_id: str, name: str, in_progress: Sequence[Any]) -> None:
        """Make successive status reads of the snapshot report these ``inProgress`` values."""
        with self._lock:
            self.get(pipeline_id, name).progress.script(in_progress)
