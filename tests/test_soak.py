"""The in-memory transport the soak runs on, and the soak itself (slow: ``make soak`` or ``pytest -m slow``)."""

from __future__ import annotations

import io
import json
import subprocess
import sys
import zipfile
from pathlib import Path
from typing import Any

import pytest
import requests

from quenlo.sdk import velm_api
from quenlo.sdk.constants import ENGINE_AUTHENTICATION_METHOD_FORM
from quenlo.sdk.exceptions import BadRequestError
from quenlo.sdk.simulator import EngineSimulator, InMemoryTransport, sample_pipeline

SOAK = Path(__file__).resolve().parent.parent / "tools" / "soak.py"
USERS = {"ann": "secret"}
# Made once: a sample pipeline carries a fresh uuid.
PIPELINE = sample_pipeline("A", "a b/c?d#e")
UPLOAD = json.dumps(sample_pipeline("Up", "up"))


def scenario(client: velm_api.ApiClient) -> list[Any]:
    """Operations that cover ids needing encoding, bodies of each kind, an upload and a change of user."""
    results: list[Any] = []
    imported = client.import_pipeline("a b/c?d#e", PIPELINE, overwrite=True)
    results.append(imported["definition"]["pipelineId"])
    results.append(client.get_pipeline_configuration("a b/c?d#e", get="info")["title"])
    results.append(client.create_pipeline("naïve", description="ünïcode").response.status_code)
    results.append(client.start_pipeline("a b/c?d#e", runtime_parameters={"k": "v"}).response.json()["status"])
    results.append(client.create_fragment("frag", body='{"raw": true}').response.status_code)
    results.append(client.get_bundle(["logs"]).namelist())
    archive = io.BytesIO()
    with zipfile.ZipFile(archive, "w") as bundle:
        bundle.writestr("up.json", UPLOAD)
    archive.seek(0)
    imported_all = client.import_pipelines(archive)
    results.append([entity["definition"]["pipelineId"] for entity in imported_all["imported"]])
    client.set_user("ann", "secret")
    results.append(client.get_current_user()["user"])
    return results


def wire(engine: EngineSimulator) -> list[tuple[Any, ...]]:
    """What the engine saw of each request; multipart boundaries and session tokens differ from run to run."""
    return [
        (
            r.method,
            r.path,
            r.query,
            r.user,
            (r.header("content-type") or "").split(";")[0],
            r.header("X-Requested-By"),
            r.header("Cookie") is not None,
            r.body if not (r.header("content-type") or "").startswith("multipart/") else len(r.body) > 0,
        )
        for r in engine.requests
    ]


def form_client(url: str, **kwargs: Any) -> velm_api.ApiClient:
    return velm_api.ApiClient(
        url, authentication_method=ENGINE_AUTHENTICATION_METHOD_FORM, username="ann", password="secret", **kwargs
    )


class TestInMemoryTransport:
    def test_the_engine_sees_what_it_sees_over_http(self) -> None:
        with EngineSimulator(users=USERS) as served:
            over_http = scenario(form_client(served.url))
            http_wire = wire(served)
        engine = EngineSimulator(users=USERS)  # never started: no socket at all
        transport = InMemoryTransport(engine)
        in_memory = scenario(form_client(transport.url, session_attributes=transport.session_attributes()))
        assert in_memory == over_http
        assert wire(engine) == http_wire
        # The session cookie is kept (later requests carry it) and forgotten by set_user.
        cookies = [sent[6] for sent in http_wire]
        assert cookies[0] is False and any(cookies)

    def test_failures_and_bodies_come_back_as_over_http(self) -> None:
        engine = EngineSimulator()
        transport = InMemoryTransport(engine)
        client = velm_api.ApiClient(transport.url, session_attributes=transport.session_attributes())
        engine.inject_fault("GET", "/v1/system/info", status=400)
        with pytest.raises(BadRequestError) as error:
            client.get_velm_info()
        assert error.value.status_code == 400 and "/rest/v1/system/info" in str(error.value)
        engine.inject_fault("GET", "/v1/system/info", status=503)
        with pytest.raises(requests.HTTPError) as other:
            client.get_velm_info()
        assert other.value.response.status_code == 503
        engine.inject_fault("GET", "/v1/system/info", empty=True)
        assert client.get_velm_info() == {}

    def test_mounts_on_an_existing_session(self) -> None:
        with EngineSimulator() as served:
            client = velm_api.ApiClient(served.url)
        engine = EngineSimulator()
        transport = InMemoryTransport(engine, url=client.server_url)
        transport.mount(client.session)
        assert client.get_velm_info()["version"] == engine.state.version
        assert [r.path for r in engine.requests] == ["/rest/v1/system/info"]


def run_soak(*args: str) -> tuple[int, dict[str, Any], str]:
    result = subprocess.run(
        [sys.executable, str(SOAK), *args], capture_output=True, text=True, timeout=900, check=False
    )
    return result.returncode, json.loads(result.stdout), result.stderr


@pytest.mark.slow
@pytest.mark.timeout(900)
def test_soak_leaks_nothing() -> None:
    code, report, stderr = run_soak()
    assert (report["operations"], report["waits"]) == (100_000, 1_000)
    assert report["rss_growth_bytes"] <= 2 * 2**20, report
    assert report["types_grown"] == {}, report
    # nanobind's leak check runs at interpreter exit and reports a leaked instance on standard error.
    assert "leaked" not in stderr, stderr
    assert code == 0, stderr


@pytest.mark.slow
@pytest.mark.timeout(300)
def test_soak_catches_a_planted_leak() -> None:
    code, report, _ = run_soak("--operations", "3000", "--waits", "30", "--rounds", "3", "--plant-leak")
    assert code == 1
    assert report["types_grown"]["quenlo.sdk.velm_api.PipelineCommand"] > 0


def test_soak_tool_runs_a_small_round() -> None:
    # Keeps the tool working between soak runs: every operation and wait of the mix, once or more. Resident
    # memory says nothing over so short a run (nor under AddressSanitizer, whose quarantine holds freed memory).
    code, report, stderr = run_soak("--operations", "600", "--waits", "20", "--rounds", "2", "--max-rss-growth", "1e12")
    assert code == 0, (report, stderr)
    assert report["requests_in_last_round"] > 300
