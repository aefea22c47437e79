"""A fake VELM engine for tests and demos: a real HTTP server on 127.0.0.1::

    with EngineSimulator(users={"admin": "secret"}, virtual_time=True) as engine:
        engine.state.pipelines.import_pipeline("orders", sample_pipeline("Orders", "orders"))
        engine.state.runs.configure("orders", batches=3, batch_interval=2.0)
        engine.inject_fault("GET", "/v1/system/info", status=503, count=2)

``EngineSimulator(tls=True)`` serves HTTPS with a throwaway certificate authority (``engine.ca_bundle``). With
pytest, the plugin gives the ``velm_engine`` and ``velm_client`` fixtures (docs/simulator.md). From a shell:
``python -m quenlo.sdk.simulator --port 18630 --user admin:admin --sample orders`` (``--tls`` for HTTPS).
"""

from __future__ import annotations

from .canned import Documents
from .clock import Clock, VirtualClock
from .context import EngineError, error_body
from .documents import pipeline_definition, sample_pipeline, sample_stages, stage
from .runs import RunPlan
from .server import DEFAULT_VERSION, EngineSimulator
from .state import MISSING, EngineState
from .traffic import Fault, RecordedRequest
from .transport import InMemoryTransport

__all__ = [
    "DEFAULT_VERSION",
    "MISSING",
    "Clock",
    "Documents",
    "EngineError",
    "EngineSimulator",
    "EngineState",
    "Fault",
    "InMemoryTransport",
    "RecordedRequest",
    "RunPlan",
    "VirtualClock",
    "error_body",
    "pipeline_definition",
    "sample_pipeline",
    "sample_stages",
    "stage",
]
