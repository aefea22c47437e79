"""A minimal pure-Python rendering of the client's call path, the yardstick for the compiled layer.

It takes the same steps as ``quenlo.sdk.velm_api`` for the operations the benchmark times, with the same
companions: the endpoint with each path value kept to one segment, ``get_params`` over the operation's
arguments, ``join_url_parts``, ``json.dumps`` with ``pipeline_json_encoder``, the 400/500 mapping and the
command construction. It is written the way a plain Python client would be, without tricks, so the difference
between the two is what compiling the glue buys.
"""

from __future__ import annotations

import json
from typing import Any, Optional

from quenlo.sdk.exceptions import BadRequestError, InternalServerError
from quenlo.sdk.utils import get_params, join_url_parts, pipeline_json_encoder


def _segment(value: Any) -> str:
    if value is None:
        raise TypeError("None is not a valid path value (an id or name is required)")
    text = str(value)
    if text in ("", ".", ".."):
        raise ValueError(f"not a valid path value: {value!r}")
    return text.replace("/", "%2F").replace("?", "%3F").replace("#", "%23")


class Command:
    """The engine's answer to a request, kept with the client that made it."""

    def __init__(self, api_client: Any, response: Any) -> None:
        self.api_client = api_client
        self.response = response


class PipelineCommand(Command):
    """A command whose response is a pipeline status record."""


class StartPipelineCommand(PipelineCommand):
    """The answer to a pipeline start."""


class ApiClient:
    """The client with its session already set up (no connectivity probe: the benchmark builds it bare)."""

    def __init__(self, server_url: str, session: Any, api_version: int = 1) -> None:
        self.server_url = server_url
        self.session = session
        self.api_version = api_version

    # -- transport

    def _get(self, endpoint: str, params: Optional[dict] = None, absolute_endpoint: bool = False) -> Any:
        url = endpoint if absolute_endpoint else join_url_parts(self.server_url, "/rest", endpoint)
        response = self.session.get(url, params=params or {})
        self._handle_http_error(response)
        return response

    def _post(
        self,
        endpoint: str,
        absolute_endpoint: bool = False,
        params: Optional[dict] = None,
        data: Any = None,
        files: Any = None,
        headers: Any = None,
        is_data_format_json: bool = True,
    ) -> Any:
        url = endpoint if absolute_endpoint else join_url_parts(self.server_url, "/rest", endpoint)
        if is_data_format_json:
            data = json.dumps(data, default=pipeline_json_encoder) if data else None
        response = self.session.post(url, params=params or {}, data=data, files=files, headers=headers)
        self._handle_http_error(response)
        return response

    def _handle_http_error(self, response: Any) -> None:
        if response.status_code == 500:
            raise InternalServerError(response)
        if response.status_code == 400:
            raise BadRequestError(response)
        response.raise_for_status()

    # -- the operations the benchmark times

    def get_pipeline_status(self, pipeline_id: Any, rev: Any = 0, only_if_exists: Any = None) -> PipelineCommand:
        response = self._get(
            endpoint="/v{}/pipeline/{}/status".format(_segment(self.api_version), _segment(pipeline_id)),
            params=get_params(parameters=locals(), exclusions=("self", "pipeline_id")),
        )
        return PipelineCommand(self, response)

    def get_pipeline_history(self, pipeline_id: Any, rev: Any = 0) -> Any:
        response = self._get(
            endpoint="/v{}/pipeline/{}/history".format(_segment(self.api_version), _segment(pipeline_id)),
            params={"rev": rev},
        )
        return response.json() if response.content else []

    def start_pipeline(self, pipeline_id: Any, rev: Any = 0, runtime_parameters: Any = None) -> StartPipelineCommand:
        response = self._post(
            endpoint="/v{}/pipeline/{}/start".format(_segment(self.api_version), _segment(pipeline_id)),
            params={"rev": rev},
            data=runtime_parameters,
        )
        return StartPipelineCommand(self, response)

    def update_pipeline(self, pipeline_id: Any, pipeline: Any, rev: Any = 0, description: Any = None) -> Command:
        response = self._post(
            endpoint="/v{}/pipeline/{}".format(_segment(self.api_version), _segment(pipeline_id)),
            params=get_params(parameters=locals(), exclusions=("self", "pipeline_id", "pipeline")),
            data=pipeline,
        )
        return Command(self, response)
