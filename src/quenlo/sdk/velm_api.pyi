"""Abstractions to interact with the VELM REST API."""

from collections.abc import Callable, Iterable, Mapping
import io
import json
import logging
import threading
import time
import types
from typing import Any, ClassVar, IO
import zipfile

import requests
import urllib3
import urllib3.util.retry

from quenlo.sdk import velm_models as velm_models
from quenlo.sdk.exceptions import (
    BadRequestError as BadRequestError,
    InternalServerError as InternalServerError
)
from quenlo.sdk.transport import (
    EngineResponse as _EngineResponse,
    RetryingAdapter as _RetryingAdapter,
    deadline as _deadline
)
from quenlo.sdk.utils import (
    Version as Version,
    get_params as get_params,
    join_url_parts as join_url_parts,
    pipeline_json_encoder as pipeline_json_encoder,
    wait_for_condition as wait_for_condition
)
import quenlo.sdk.velm_models



ENGINE_AUTHENTICATION_METHOD_FORM: str = 'form'

REQUIRED_HEADERS: dict[str, str]

DEFAULT_VELM_API_VERSION: int = 1

logger: logging.Logger = ...

from quenlo.sdk.waits import ConnectError as ConnectError

from quenlo.sdk.waits import RunError as RunError

from quenlo.sdk.waits import RunningError as RunningError

from quenlo.sdk.waits import StartError as StartError

from quenlo.sdk.waits import StatusError as StatusError

from quenlo.sdk.waits import UnexpectedStatusError as UnexpectedStatusError

from quenlo.sdk.waits import WaitAllError as WaitAllError

from quenlo.sdk.waits import WaitCancelledError as WaitCancelledError

from quenlo.sdk.waits import WaitProgress as WaitProgress

from quenlo.sdk.waits import WaitTimeoutError as WaitTimeoutError

class ApiClient:
    """
    Client for the REST API of one VELM engine.

    Opens one HTTP session (``session``), installs the required headers, credentials and
    session settings, and waits until the engine answers its information endpoint before
    returning; ``version`` then holds the engine's version. Every REST operation is a
    method; each sends one request and returns the decoded JSON body or a command object.
    """

    server_url: str
    authentication_method: str | None
    session: requests.Session
    api_version: int
    version: str
    timeout: float | tuple[float | None, float | None] | None

    def __getstate__(self) -> dict[str, Any]:
        """The instance's attributes, which copy and pickle save and restore."""

    def __init__(self, server_url: str, authentication_method: str | None = None, username: str | None = None, password: str | None = None, api_version: int = 1, session_attributes: Mapping[str, Any] | None = None, headers: Mapping[str, str] | None = None, *, timeout: float | tuple[float | None, float | None] | None = None, retries: int | urllib3.util.retry.Retry | None = None, probe_timeout_sec: float = 60, probe_fail_fast: bool = False, probe_retry_unreachable: bool = False) -> None:
        """
        Connect to the engine at ``server_url``.

        Args:
            server_url: base URL of the engine (scheme, host, port, optional path).
            authentication_method: ``ENGINE_AUTHENTICATION_METHOD_FORM`` ("form") sends HTTP basic
                credentials with every request; any other value sends none.
            username, password: the credentials for form authentication (both required for it).
            api_version: REST API version used in every path (default 1).
            session_attributes: settings of the ``requests.Session`` to set, name to value
                (``verify``, ``cert``, ``proxies``, ...), applied after the headers.
            headers: extra headers sent with every request; they replace required ones of the same name.
            timeout: keyword only; seconds, or a (connect, read) pair, for every request the client
                sends, the probe's included (``client.timeout``), at most 2147483 seconds. None (the
                default) waits as long as the connection allows. Running out raises requests.Timeout
                (ConnectTimeout or ReadTimeout), with or without retries; the probe retries it only with
                probe_retry_unreachable.
            retries: keyword only; an int or a urllib3 ``Retry``, mounted for http:// and https://. An int
                retries connection failures and 502/503/504 answers to GET and HEAD that many times, with
                exponential back-off, honouring Retry-After. An ``adapters`` entry in session_attributes
                replaces these adapters. None (the default) retries nothing.
            probe_timeout_sec: keyword only; how long the probe keeps trying, 0 or more seconds (default
                60; 0 tries once; math.inf keeps trying until the engine answers with a version).
            probe_fail_fast: keyword only; a 4xx answer to the probe (but 408 and 429) raises its error
                (UnauthorizedError, NotFoundError, ...) at once instead of being retried. Default False.
            probe_retry_unreachable: keyword only; the probe retries connection failures and time-outs
                like failure answers until ``probe_timeout_sec``, for an engine that is still starting.
                Default False: they are raised at once.

        Raises:
            ValueError: form authentication without username or password, or an unknown session
                attribute, or an option out of range (a time-out that is not more than 0, NaN or
                infinite; a negative or NaN probe_timeout_sec), or a username or password outside Latin-1,
                which HTTP basic authentication cannot send (neither is shown).
            TypeError: an option of the wrong type.
            TimeoutError: the engine did not answer its information endpoint with a version in time; the
                message names the last answer, which is the error's ``__cause__``.
            requests.ConnectionError: the engine could not be reached; with probe_retry_unreachable,
                connection failures and time-outs end in the TimeoutError above instead.
            requests.Timeout: the engine did not answer within ``timeout``.
            UnauthorizedError, NotFoundError, ...: with probe_fail_fast, the probe's 4xx answer.

        Warns:
            UserWarning: a username or password given with a method other than the form method, which
                sends no credentials.
        """

    def __repr__(self) -> str:
        """The class, the server URL (credentials hidden) and the engine version."""

    def set_user(self, username: str | None, password: str | None) -> None:
        """
        Replace the credentials sent with every later request and forget the session cookies.

        A username or password of None removes the credentials altogether. Nothing is sent.

        Args:
            username: The user to log in as with later requests.
            password: That user's password; it is never logged or shown.

        Raises:
            ValueError: a username or password outside Latin-1, which HTTP basic authentication cannot send;
                the old credentials stay.
        """

    def close(self) -> None:
        """
        Close the client's session and its connections.

        The client can still be used afterwards: requests opens new connections as needed.
        """

    def __enter__(self) -> ApiClient:
        """
        Use the client in a ``with`` block, which closes its session at the end.
        """

    def __exit__(self, exc_type: type[BaseException] | None, exc_value: BaseException | None, traceback: types.TracebackType | None) -> None:
        """Close the session (``close()``); exceptions are not suppressed."""

    def _get(self, endpoint: str, params: Mapping[str, Any] | None = None, absolute_endpoint: bool | None = False) -> requests.Response:
        """
        Send GET to ``endpoint`` (under the server URL and "/rest" unless ``absolute_endpoint``) and
        return the response after its status check.
        """

    def _post(self, endpoint: str, absolute_endpoint: bool | None = False, params: Mapping[str, Any] | None = None, data: Any = None, files: Any = None, headers: Mapping[str, str | None] | None = None, is_data_format_json: bool | None = True) -> requests.Response:
        """
        Send POST and return the response after its status check.

        ``data`` is JSON-encoded (no body when empty) unless ``is_data_format_json`` is false;
        ``files`` makes a multipart form; a ``headers`` entry of None removes that header.
        """

    def _put(self, endpoint: str, params: Mapping[str, Any] | None = None, data: Any = None, is_data_format_json: bool | None = True) -> requests.Response:
        """
        Send PUT and return the response after its status check; an empty JSON body is sent as "{}".
        """

    def _delete(self, endpoint: str, params: Mapping[str, Any] | None = None) -> requests.Response:
        """
        Send DELETE and return the response; any status from 400 to 599 raises its
        EngineHTTPError class, 400 and 500 included as plain EngineHTTPError.
        """

    def _handle_http_error(self, response: requests.Response) -> None:
        """
        Raise InternalServerError for 500, BadRequestError for 400, and for any other status from 400
        to 599 its class in quenlo.sdk.exceptions (UnauthorizedError, NotFoundError, ...) or
        EngineHTTPError; every one is a requests.HTTPError.
        """

    def create_pipeline(self, pipeline_title: str, description: str | None = None, auto_generate_pipeline_id: bool | None = None, draft: bool | None = None, pipeline_type: str | None = 'HARVEL') -> Command:
        """
        Create an empty pipeline titled ``pipeline_title``.

        ``auto_generate_pipeline_id`` asks for an id made of the title without white space and a
        UUID (sent as ``autoGenerateName`` to engines older than 2.5.0.0); ``draft`` creates it
        without storing it.

        Args:
            pipeline_title: The new pipeline's title, placed in the path as one segment.
            description: Sent as the query value ``description``, left out when None.
            auto_generate_pipeline_id: Sent as the query value ``autoGeneratePipelineId``
                (``autoGenerateName`` before 2.5.0.0), left out when None.
            draft: Sent as the query value ``draft``, left out when None.
            pipeline_type: Sent as the query value ``pipelineType``, left out when None.

        Returns:
            A Command whose response holds the new pipeline's configuration.

        Request: PUT /pipeline/{pipeline_title}
        """

    def import_pipelines(self, pipelines_file: IO[bytes]) -> Any:
        """
        Upload an open archive of pipelines as the form field "file".

        The file is read during the upload and left open.

        Args:
            pipelines_file: A file open for reading in binary mode, such as an archive that
                ``export_pipelines`` wrote.

        Returns:
            The engine's answer as decoded JSON, or an empty dict when the body is empty.

        Request: POST /pipelines/import
        """

    def update_pipeline(self, pipeline_id: str, pipeline: Any, rev: int | None = 0, description: str | None = None) -> Command:
        """
        Replace a stored pipeline's definition with ``pipeline``; the response holds the stored definition.

        Args:
            pipeline_id: The pipeline's id, placed in the path as one segment.
            pipeline: Sent as the JSON body.
            rev: The pipeline's revision, sent as the query value ``rev``, left out when None.
            description: Sent as the query value ``description``, left out when None.

        Returns:
            A Command holding the engine's answer as ``response``.

        Request: POST /pipeline/{pipeline_id}
        """

    def delete_pipeline(self, pipeline_id: str) -> Command:
        """
        Delete a stored pipeline.

        Args:
            pipeline_id: The pipeline's id, placed in the path as one segment.

        Raises:
            requests.HTTPError: for any failure status, 400 and 500 included.

        Returns:
            A Command holding the engine's answer as ``response``.

        Request: DELETE /pipeline/{pipeline_id}
        """

    def get_pipeline_configuration(self, pipeline_id: str, rev: int | None = 0, get: str | None = 'pipeline') -> Any:
        """
        Read a stored pipeline; ``get`` names what to read.

        Args:
            pipeline_id: The pipeline's id, placed in the path as one segment.
            rev: The pipeline's revision, sent as the query value ``rev``, left out when None.
            get: Sent as the query value ``get``, left out when None.

        Returns:
            The decoded JSON body, or an empty dict when the body is empty.

        Request: GET /pipeline/{pipeline_id}
        """

    def update_pipeline_configuration(self, pipeline_id: str, pipeline_json: Any, rev: int | None = 0, description: str | None = None) -> Any:
        """
        Replace a stored pipeline's definition and read back the stored one.

        Args:
            pipeline_id: The pipeline's id, placed in the path as one segment.
            pipeline_json: Sent as the JSON body.
            rev: The pipeline's revision, sent as the query value ``rev``, left out when None.
            description: Sent as the query value ``description``, left out when None.

        Returns:
            The decoded JSON body, or an empty dict when the body is empty.

        Request: POST /pipeline/{pipeline_id}
        """

    def get_all_pipeline_configuration_info(self, filter_text: str | None = None, label: str | None = None, offset: int | None = None, len_: int | None = -1, order_by: str | None = 'NAME', order: str | None = 'ASC', include_status: bool | None = None) -> Command:
        """
        List the stored pipelines, filtered, paged and ordered; the response holds the list of pipeline
        information records.

        Args:
            filter_text: Sent as the query value ``filterText``, left out when None.
            label: Sent as the query value ``label``, left out when None.
            offset: Sent as the query value ``offset``, left out when None.
            len_: Sent as the query value ``len``, left out when None.
            order_by: Sent as the query value ``orderBy``, left out when None.
            order: Sent as the query value ``order``, left out when None.
            include_status: Sent as the query value ``includeStatus``, left out when None.

        Returns:
            A Command holding the engine's answer as ``response``.

        Request: GET /pipelines
        """

    def export_pipeline(self, pipeline_id: str, rev: int | None = 0, attachment: bool | None = False, include_library_definitions: bool | None = False, include_plain_text_credentials: bool | None = True) -> Any:
        """
        Export one pipeline; nothing is written to disk.

        Args:
            pipeline_id: The pipeline's id, placed in the path as one segment.
            rev: The pipeline's revision, sent as the query value ``rev``, left out when None.
            attachment: Sent as the query value ``attachment``, left out when None.
            include_library_definitions: Sent as the query value ``includeLibraryDefinitions``, left out when None.
            include_plain_text_credentials: Sent as the query value ``includePlainTextCredentials``, left out when None.

        Returns:
            The exported pipeline as decoded JSON, or an empty dict when the body is empty.

        Request: GET /pipeline/{pipeline_id}/export
        """

    def export_pipelines(self, body: Any, include_library_definitions: bool | None = False, include_plain_text_credentials: bool | None = True) -> Command:
        """
        Export the pipelines ``body`` names; the response holds the engine's archive, unread.

        Args:
            body: Sent as the JSON body.
            include_library_definitions: Sent as the query value ``includeLibraryDefinitions``, left out when None.
            include_plain_text_credentials: Sent as the query value ``includePlainTextCredentials``, left out when None.

        Returns:
            A Command holding the engine's answer as ``response``.

        Request: POST /pipelines/export
        """

    def import_pipeline(self, pipeline_id: str, pipeline_json: Any, rev: int | None = 0, overwrite: bool | None = False, draft: bool | None = False, include_library_definitions: bool | None = None, auto_generate_pipeline_id: bool | None = None) -> Any:
        """
        Import one pipeline from its exported JSON.

        Args:
            pipeline_id: The pipeline's id, placed in the path as one segment.
            pipeline_json: Sent as the JSON body.
            rev: The pipeline's revision, sent as the query value ``rev``, left out when None.
            overwrite: Sent as the query value ``overwrite``, left out when None.
            draft: Sent as the query value ``draft``, left out when None.
            include_library_definitions: Sent as the query value ``includeLibraryDefinitions``, left out when None.
            auto_generate_pipeline_id: Sent as the query value ``autoGeneratePipelineId``, left out when None.

        Returns:
            The engine's answer as decoded JSON, or an empty dict when the body is empty.

        Request: POST /pipeline/{pipeline_id}/import
        """

    def create_fragment(self, title: str, description: str | None = None, draft: bool | None = None, execution_mode: str | None = None, body: Any = None) -> Command:
        """
        Create a pipeline fragment titled ``title``; the response holds the new fragment.

        ``body`` is sent as given, without JSON encoding (None sends no body).

        Args:
            title: Placed in the path as one segment.
            description: Sent as the query value ``description``, left out when None.
            draft: Sent as the query value ``draft``, left out when None.
            execution_mode: Sent as the query value ``executionMode``, left out when None.
            body: Sent as the request body as given, not encoded as JSON.

        Returns:
            A Command holding the engine's answer as ``response``.

        Request: PUT /fragment/{title}
        """

    def import_fragment(self, fragment_id: str, fragment_json: Any, draft: bool | None = False, include_library_definitions: bool | None = None) -> Any:
        """
        Import a fragment from its exported JSON.

        Args:
            fragment_id: The fragment's id, placed in the path as one segment.
            fragment_json: Sent as the JSON body.
            draft: Sent as the query value ``draft``, left out when None.
            include_library_definitions: Sent as the query value ``includeLibraryDefinitions``, left out when None.

        Returns:
            The engine's answer as decoded JSON, or an empty dict when the body is empty.

        Request: POST /fragment/{fragment_id}/import
        """

    def start_pipeline(self, pipeline_id: str, rev: int | None = 0, runtime_parameters: Mapping[str, Any] | None = None) -> StartPipelineCommand:
        """
        Start a pipeline, overriding its parameters with ``runtime_parameters`` for this run.

        Args:
            pipeline_id: The pipeline's id, placed in the path as one segment.
            rev: The pipeline's revision, sent as the query value ``rev``, left out when None.
            runtime_parameters: Sent as the JSON body.

        Returns:
            StartPipelineCommand, whose waits follow the run to its end or to a counter target.

        Request: POST /pipeline/{pipeline_id}/start
        """

    def stop_pipeline(self, pipeline_id: str, rev: int | None = 0) -> StopPipelineCommand:
        """
        Ask a running pipeline to stop.

        Args:
            pipeline_id: The pipeline's id, placed in the path as one segment.
            rev: The pipeline's revision, sent as the query value ``rev``, left out when None.

        Returns:
            StopPipelineCommand; ``wait_for_stopped`` waits until it has stopped.

        Request: POST /pipeline/{pipeline_id}/stop
        """

    def force_stop_pipeline(self, pipeline_id: str, rev: int | None = 0) -> StopPipelineCommand:
        """
        Force a pipeline to stop.

        Args:
            pipeline_id: The pipeline's id, placed in the path as one segment.
            rev: The pipeline's revision, sent as the query value ``rev``, left out when None.

        Returns:
            StopPipelineCommand; ``wait_for_stopped`` waits until it has stopped.

        Request: POST /pipeline/{pipeline_id}/forceStop
        """

    def get_pipeline_status(self, pipeline_id: str, rev: int | None = 0, only_if_exists: bool | None = None) -> PipelineCommand:
        """
        Read a pipeline's status (the response is the status record); ``wait_for_status`` waits on it.

        Args:
            pipeline_id: The pipeline's id, placed in the path as one segment.
            rev: The pipeline's revision, sent as the query value ``rev``, left out when None.
            only_if_exists: Sent as the query value ``onlyIfExists``, left out when None.

        Returns:
            A PipelineCommand holding the engine's answer as ``response``.

        Request: GET /pipeline/{pipeline_id}/status
        """

    def reset_origin_offset(self, pipeline_id: str, rev: int | None = 0) -> Command:
        """
        Make the pipeline's origin start from the beginning on its next run.

        Args:
            pipeline_id: The pipeline's id, placed in the path as one segment.
            rev: The pipeline's revision, sent as the query value ``rev``, left out when None.

        Returns:
            A Command holding the engine's answer as ``response``.

        Request: POST /pipeline/{pipeline_id}/resetOffset
        """

    def get_pipeline_committed_offsets(self, pipeline_id: str, rev: int | None = 0) -> Command:
        """
        Read the origin offsets the engine has committed for a pipeline (``rev`` is not sent); the response
        holds the offsets.

        Args:
            pipeline_id: The pipeline's id, placed in the path as one segment.
            rev: The pipeline's revision, not sent to the engine.

        Returns:
            A Command holding the engine's answer as ``response``.

        Request: GET /pipeline/{pipeline_id}/committedOffsets
        """

    def update_pipeline_committed_offsets(self, pipeline_id: str, rev: int | None = 0, body: Any = None) -> Command:
        """
        Overwrite a pipeline's committed origin offsets with ``body``.

        Args:
            pipeline_id: The pipeline's id, placed in the path as one segment.
            rev: The pipeline's revision, sent as the query value ``rev``, left out when None.
            body: Sent as the JSON body.

        Returns:
            A Command holding the engine's answer as ``response``.

        Request: POST /pipeline/{pipeline_id}/committedOffsets
        """

    def get_pipeline_metrics(self, pipeline_id: str, rev: int | None = 0) -> Command:
        """
        Read the metrics of a pipeline's latest run; the response holds the metrics record: ``counters`` (each
        counter's ``count``), ``rates`` and ``progress`` (empty for a pipeline that never ran).

        Args:
            pipeline_id: The pipeline's id, placed in the path as one segment.
            rev: The pipeline's revision, sent as the query value ``rev``, left out when None.

        Returns:
            A Command holding the engine's answer as ``response``.

        Request: GET /pipeline/{pipeline_id}/metrics
        """

    def get_pipeline_history(self, pipeline_id: str, rev: int | None = 0) -> Any:
        """
        Read the history of a pipeline's runs.

        Args:
            pipeline_id: The pipeline's id, placed in the path as one segment.
            rev: The pipeline's revision, sent as the query value ``rev``, left out when None.

        Returns:
            The decoded JSON body, or an empty list when the body is empty.

        Request: GET /pipeline/{pipeline_id}/history
        """

    def get_pipeline_rules(self, pipeline_id: str, rev: int | None = 0) -> Command:
        """
        Read a pipeline's rules; the response holds the rules definition.

        Args:
            pipeline_id: The pipeline's id, placed in the path as one segment.
            rev: The pipeline's revision, sent as the query value ``rev``, left out when None.

        Returns:
            A Command holding the engine's answer as ``response``.

        Request: GET /pipeline/{pipeline_id}/rules
        """

    def update_pipeline_rules(self, pipeline_id: str, pipeline: Any, rev: int | None = 0) -> Command:
        """
        Replace a pipeline's rules with ``pipeline``, the rules definition; the response holds the stored rules.

        Args:
            pipeline_id: The pipeline's id, placed in the path as one segment.
            pipeline: Sent as the JSON body.
            rev: The pipeline's revision, sent as the query value ``rev``, left out when None.

        Returns:
            A Command holding the engine's answer as ``response``.

        Request: POST /pipeline/{pipeline_id}/rules
        """

    def get_pipeline_error_messages(self, pipeline_id: str, stage_instance_name: str, rev: int | None = 0, size: int | None = 10, edge: bool | None = False) -> Command:
        """
        Read the error messages one stage of a pipeline has collected; the response holds the stage's error messages.

        Args:
            pipeline_id: The pipeline's id, placed in the path as one segment.
            stage_instance_name: The name of the stage, sent as the query value ``stageInstanceName``, left out when None.
            rev: The pipeline's revision, sent as the query value ``rev``, left out when None.
            size: Sent as the query value ``size``, left out when None.
            edge: Sent as the query value ``edge``, left out when None.

        Returns:
            A Command holding the engine's answer as ``response``.

        Request: GET /pipeline/{pipeline_id}/errorMessages
        """

    def validate_pipeline(self, pipeline_id: str, rev: int | None = 0, timeout_sec: int | None = 2000) -> ValidateCommand:
        """
        Start a validation of a stored pipeline.

        ``timeout_sec`` travels to the engine as ``timeout``; the client does not wait on it.

        Args:
            pipeline_id: The pipeline's id, placed in the path as one segment.
            rev: The pipeline's revision, sent as the query value ``rev``, left out when None.
            timeout_sec: Sent as the query value ``timeout``, left out when None.

        Returns:
            ValidateCommand for the run (previewer id from the answer); ``wait_for_validate`` waits.

        Raises:
            KeyError: the answer has no ``previewerId``.

        Request: GET /pipeline/{pipeline_id}/validate
        """

    def run_pipeline_preview(self, pipeline_id: str, rev: int | None = 0, batches: int | None = 1, batch_size: int | None = 10, skip_targets: bool | None = True, end_stage: str | None = None, timeout: int | None = 2000, test_origin: bool | None = False, stage_outputs_to_override_json: Any = None) -> PreviewCommand:
        """
        Start a preview of a stored pipeline.

        Every setting travels in the query; the request has no body.

        Args:
            pipeline_id: The pipeline's id, placed in the path as one segment.
            rev: The pipeline's revision, sent as the query value ``rev``, left out when None.
            batches: Sent as the query value ``batches``, left out when None.
            batch_size: Sent as the query value ``batchSize``, left out when None.
            skip_targets: Sent as the query value ``skipTargets``, left out when None.
            end_stage: Sent as the query value ``endStage``, left out when None.
            timeout: Sent as the query value ``timeout``, left out when None.
            test_origin: Sent as the query value ``testOrigin``, left out when None.
            stage_outputs_to_override_json: Sent as the query value ``stageOutputsToOverrideJson``, left out when None.

        Returns:
            PreviewCommand for the run; ``wait_for_finished`` waits, ``preview`` reads the records.

        Raises:
            KeyError: the answer has no ``previewerId``.

        Request: POST /pipeline/{pipeline_id}/preview
        """

    def run_dynamic_pipeline_preview(self, preview_json: Any) -> PreviewCommand:
        """
        Start a preview of a pipeline the engine makes from ``preview_json``
        (POST /pipeline/dynamicPreview).

        Args:
            preview_json: Sent as the JSON body.

        Returns:
            PreviewCommand with the pipeline id and previewer id from the engine's answer.

        Raises:
            KeyError: the answer has no ``previewerId`` or no ``pipelineId``.

        Request: POST /pipeline/dynamicPreview
        """

    def run_dynamic_pipeline_preview_for_connection(self, preview_json: Any) -> ConnectionValidateCommand:
        """
        Start a dynamic preview that tests a connection.

        Args:
            preview_json: Sent as the JSON body.

        Returns:
            ConnectionValidateCommand with the pipeline id and previewer id from the engine's answer.

        Raises:
            KeyError: the answer has no ``previewerId`` or no ``pipelineId``.

        Request: POST /pipeline/dynamicPreview
        """

    def get_preview_status(self, pipeline_id: str, previewer_id: str) -> Command:
        """
        Read the state of a preview or validation run; the response holds the run's status record.

        Args:
            pipeline_id: The pipeline's id, placed in the path as one segment.
            previewer_id: The id of the validation or preview (``previewerId`` in the engine's answer), placed in the path as one segment.

        Returns:
            A Command holding the engine's answer as ``response``.

        Request: GET /pipeline/{pipeline_id}/preview/{previewer_id}/status
        """

    def get_preview_data(self, pipeline_id: str, previewer_id: str) -> PreviewCommand:
        """
        Read the output of a preview or validation run.

        Args:
            pipeline_id: The pipeline's id, placed in the path as one segment.
            previewer_id: The id of the validation or preview (``previewerId`` in the engine's answer), placed in the path as one segment.

        Returns:
            PreviewCommand for the two ids, whose response holds the preview data.

        Request: GET /pipeline/{pipeline_id}/preview/{previewer_id}
        """

    def capture_snapshot(self, pipeline_id: str, snapshot_name: str, snapshot_label: str | None, rev: int | None = 0, batches: int | None = 1, batch_size: int | None = 10, start_pipeline: bool | None = False, runtime_parameters: Mapping[str, Any] | None = None) -> SnapshotCommand:
        """
        Ask the engine to capture a snapshot.

        The runtime parameters are the JSON body ("{}" when there are none); the other settings
        travel in the query. The client starts nothing itself, even with ``start_pipeline``.

        Args:
            pipeline_id: The pipeline's id, placed in the path as one segment.
            snapshot_name: The snapshot's name, placed in the path as one segment.
            snapshot_label: The snapshot's label, sent as the query value ``snapshotLabel``, left out when None.
            rev: The pipeline's revision, sent as the query value ``rev``, left out when None.
            batches: Sent as the query value ``batches``, left out when None.
            batch_size: Sent as the query value ``batchSize``, left out when None.
            start_pipeline: Sent as the query value ``startPipeline``, left out when None.
            runtime_parameters: Sent as the JSON body.

        Returns:
            SnapshotCommand for the caller's pipeline id, name and label; ``wait_for_finished`` waits.

        Request: PUT /pipeline/{pipeline_id}/snapshot/{snapshot_name}
        """

    def get_snapshot_status(self, pipeline_id: str, snapshot_name: str, rev: int | None = 0) -> Command:
        """
        Read the status of a snapshot; the response holds the status record (with ``inProgress``).

        Args:
            pipeline_id: The pipeline's id, placed in the path as one segment.
            snapshot_name: The snapshot's name, placed in the path as one segment.
            rev: The pipeline's revision, sent as the query value ``rev``, left out when None.

        Returns:
            A Command holding the engine's answer as ``response``.

        Request: GET /pipeline/{pipeline_id}/snapshot/{snapshot_name}/status
        """

    def get_snapshot_data(self, pipeline_id: str, snapshot_name: str, snapshot_label: str | None, rev: int | None = 0) -> SnapshotCommand:
        """
        Read the records of a snapshot.

        Args:
            pipeline_id: The pipeline's id, placed in the path as one segment.
            snapshot_name: The snapshot's name, placed in the path as one segment.
            snapshot_label: The snapshot's label, sent as the query value ``snapshotLabel``, left out when None.
            rev: The pipeline's revision, sent as the query value ``rev``, left out when None.

        Returns:
            SnapshotCommand for the snapshot, whose response holds its data.

        Request: GET /pipeline/{pipeline_id}/snapshot/{snapshot_name}
        """

    def get_snapshots(self) -> Any:
        """
        List the snapshots of all pipelines.

        Returns:
            The decoded JSON body, or an empty list when the body is empty.

        Request: GET /pipelines/snapshots
        """

    def get_snapshots_by_pipeline(self, pipeline_id: str) -> Command:
        """
        List the snapshots of one pipeline; the response holds the list.

        Args:
            pipeline_id: The pipeline's id, placed in the path as one segment.

        Returns:
            A Command holding the engine's answer as ``response``.

        Request: GET /pipeline/{pipeline_id}/snapshots
        """

    def delete_snapshot(self, pipeline_id: str, snapshot_id: str, rev: int | None = 0) -> Command:
        """
        Delete a snapshot.

        Args:
            pipeline_id: The pipeline's id, placed in the path as one segment.
            snapshot_id: The snapshot's name, placed in the path as one segment.
            rev: The pipeline's revision, sent as the query value ``rev``, left out when None.

        Raises:
            requests.HTTPError: any failure status, 400 and 500 included.

        Returns:
            A Command holding the engine's answer as ``response``.

        Request: DELETE /pipeline/{pipeline_id}/snapshot/{snapshot_id}
        """

    def get_velm_info(self) -> dict[str, Any]:
        """
        Read the engine information record.

        Returns:
            The decoded JSON object (with ``version`` among its members), or an empty dict when the
            engine answered with an empty body.

        Request: GET /system/info
        """

    def get_velm_directories(self) -> dict[str, Any]:
        """
        Read the engine's directories (runtime, configuration, data, logs, resources, ...).

        Returns:
            The decoded JSON body, or an empty dict when the body is empty.

        Request: GET /system/directories
        """

    def get_velm_configuration(self) -> Command:
        """
        Read the engine's configuration properties; the response is the configuration object.

        Returns:
            A Command holding the engine's answer as ``response``.

        Request: GET /system/configuration
        """

    def get_velm_ui_configuration(self) -> Command:
        """
        Read the configuration the engine gives its user interface.

        Returns:
            A Command holding the engine's answer as ``response``.

        Request: GET /system/configuration/ui
        """

    def get_velm_id(self) -> Command:
        """
        Read the engine's id; the response carries the id.

        Returns:
            A Command holding the engine's answer as ``response``.

        Request: GET /system/info/id
        """

    def get_current_user(self) -> dict[str, Any]:
        """
        Read the user the client is logged in as, with its groups and roles.

        Returns:
            The decoded JSON object (the name under ``user``), or an empty dict when the body is
            empty.

        Request: GET /system/info/currentUser
        """

    def get_jmx_metrics(self) -> Command:
        """
        Read the engine's JMX metrics.

        Returns:
            A Command holding the engine's answer as ``response``.

        Request: GET /system/jmx
        """

    def get_system_stats(self) -> Command:
        """
        Read the engine's usage statistics settings.

        Returns:
            A Command holding the engine's answer as ``response``.

        Request: GET /system/stats
        """

    def opt_for_system_stats(self, opt: Any) -> Command:
        """
        Switch the engine's usage statistics on or off.

        Args:
            opt: sent unchanged as the query value ``active`` (for example "true" or "false").

        Returns:
            A Command holding the engine's answer as ``response``.

        Request: POST /system/stats
        """

    def get_logs(self, ending_offset: int | None = -1, extra_message: str | None = None, pipeline: str | quenlo.sdk.velm_models.Pipeline | None = None, severity: str | None = None) -> Command:
        """
        Read the engine's log: the response holds its entries that end at or before ``ending_offset``,
        oldest first; its header ``X-Velm-Log-Offset`` is the offset to pass to read further back.

        Args:
            ending_offset: where to stop reading (-1 for the end of the log; None leaves it out).
            extra_message: only entries whose message contains this text.
            pipeline: a pipeline id or a velm_models.Pipeline; only the entries of that pipeline.
            severity: only entries of that severity ("ERROR", "WARN", "INFO", ...).

        Returns:
            A Command holding the engine's answer as ``response``.

        Request: GET /system/logs
        """

    def get_definitions(self) -> Any:
        """
        Read the definitions of the engine's stages, services and expression functions.

        Raises:
            json.JSONDecodeError (requests' JSONDecodeError): the body is empty or not JSON.

        Returns:
            The decoded JSON body.

        Request: GET /definitions
        """

    def get_connection_definitions(self) -> Command:
        """
        Read the definitions of the engine's connection types.

        Returns:
            A Command holding the engine's answer as ``response``.

        Request: GET /definitions/connections
        """

    def get_stage_libraries_list(self, repo_url: str | None, installed_only: bool | None) -> Command:
        """
        List stage libraries.

        Args:
            repo_url: the repository to list from (None for the engine's own).
            installed_only: list only the libraries installed on the engine.

        Returns:
            A Command holding the engine's answer as ``response``.

        Request: GET /stageLibraries/list
        """

    def get_classpath_health(self) -> Any:
        """
        Read the classpath health of the installed stage libraries.

        Returns:
            The decoded JSON body, or an empty list when the body is empty.

        Request: GET /stageLibraries/classpathHealth
        """

    def get_alerts(self) -> Any:
        """
        Read the alerts raised by the rules of running pipelines.

        Returns:
            The decoded JSON body, or an empty list when the body is empty.

        Request: GET /pipelines/alerts
        """

    def get_bundle_generators(self) -> Any:
        """
        List the generators a support bundle can be assembled from.

        Returns:
            The decoded JSON body, or an empty list when the body is empty.

        Request: GET /system/bundle/list
        """

    def get_health_categories(self) -> Command:
        """
        List the categories of the engine's health report.

        Returns:
            A Command holding the engine's answer as ``response``.

        Request: GET /system/health/categories
        """

    def get_health_report(self, categories: Any = None) -> Command:
        """
        Read the engine's health report.

        Args:
            categories: the categories to report on (None for all).

        Returns:
            A Command holding the engine's answer as ``response``.

        Request: GET /system/health/report
        """

    def get_pipeline_acl(self, pipeline_id: str) -> dict[str, Any]:
        """
        Read the access control list of a pipeline.

        Args:
            pipeline_id: The pipeline's id, placed in the path as one segment.

        Returns:
            The decoded JSON body, or an empty dict when the body is empty.

        Request: GET /acl/{pipeline_id}
        """

    def set_pipeline_acl(self, pipeline_id: str, pipeline_acl_json: Any) -> Command:
        """
        Replace the access control list of a pipeline with ``pipeline_acl_json``.

        Args:
            pipeline_id: The pipeline's id, placed in the path as one segment.
            pipeline_acl_json: Sent as the JSON body.

        Returns:
            A Command holding the engine's answer as ``response``.

        Request: POST /acl/{pipeline_id}
        """

    def get_pipeline_permissions(self, pipeline_id: str) -> Any:
        """
        Read the permissions of a pipeline.

        Args:
            pipeline_id: The pipeline's id, placed in the path as one segment.

        Returns:
            The decoded JSON body, or an empty list when the body is empty.

        Request: GET /acl/{pipeline_id}/permissions
        """

    def get_acl_subjects(self) -> dict[str, Any]:
        """
        Read the subjects (users and groups) of the pipelines' access control lists.

        Returns:
            The decoded JSON body, or an empty dict when the body is empty.

        Request: GET /pipelines/subjects
        """

    def set_acl_subjects(self, subjects_json: Any) -> Command:
        """
        Write the subjects of the pipelines' access control lists.

        Args:
            subjects_json: Sent as the JSON body.

        Returns:
            A Command holding the engine's answer as ``response``.

        Request: POST /pipeline/subjects
        """

    def change_password(self, data_json: Any) -> Command:
        """
        Change the password of the user the client is logged in as.

        Reads the current user first, then posts ``data_json`` (the engine's change-password
        document) for that user. The client's own credentials are not changed: call set_user
        with the new password for later logins.

        Args:
            data_json: The change-password document, sent as the JSON body.

        Returns:
            A Command holding the engine's answer as ``response``.

        Raises:
            KeyError: the current-user record has no ``user``; nothing is posted.

        Request: GET /system/info/currentUser, then POST /usermanagement/users/{user}/changePassword
        """

    def get_bundle(self, generators: str | Iterable[str] | None = None) -> zipfile.ZipFile:
        """
        Have the engine assemble a support bundle and open it in memory.

        Args:
            generators: names of the generators to use, or one name (None or empty: the engine's
                default).

        Returns:
            A zipfile.ZipFile opened for reading over the bundle's bytes; nothing is written to
            disk.

        Raises:
            TypeError: a generator name is not text; nothing is sent.
            zipfile.BadZipFile: the engine's answer is not a ZIP archive.

        Request: GET /system/bundle/generate
        """

class Command:
    """
    The engine's answer to a request, kept with the client that made it.

    Attributes:
        api_client: the ApiClient that sent the request.
        response: the requests.Response; waits replace it with each answer they read.
    """

    api_client: ApiClient
    response: requests.Response

    def __init__(self, api_client: ApiClient, response: requests.Response) -> None:
        """Wrap ``response``, the answer to a request ``api_client`` made."""

    def __getstate__(self) -> dict[str, Any]:
        """The instance's attributes, which copy and pickle save and restore."""

class PipelineCommand(Command):
    """
    A command whose response is a pipeline status record; it can wait for a status.
    """

    ERROR_STATUSES: ClassVar[dict[str, type[StatusError]]]

    def wait_for_status(self, status: str | list[str] | tuple[str, ...], ignore_errors: bool | None = False, timeout_sec: float = 300) -> None:
        """
        Poll the pipeline's status once a second until it is ``status``.

        Args:
            status: one status ("FINISHED"), or a list of statuses any of which ends the wait (any
                other value, a tuple included, is compared as a whole).
            ignore_errors: keep polling past error statuses instead of raising.
            timeout_sec: seconds to wait.

        Raises:
            StartError, RunningError, RunError, ConnectError: the pipeline entered that error
                status (unless ``ignore_errors``).
            WaitTimeoutError: "Timed out after ... seconds while waiting for status ...".
        """

    def wait(self, until: str | Iterable[str] | None = None, *, timeout_sec: float | None = None, poll_interval: float = 1.0, backoff: float = 1.0, max_interval: float = 30.0, stop_on: Iterable[str] | None = None, on_progress: Callable[[WaitProgress], object] | None = None, cancel: threading.Event | None = None) -> dict[str, Any]:
        """
        Poll the pipeline until its status is ``until`` (required here) and return the final status record.
        Time-out 300 s.

        Args:
            until: the status, or several, that end the wait and return.
            timeout_sec: seconds before WaitTimeoutError (default: the time-out of the class's other wait).
            poll_interval: seconds between polls; each pause is ``backoff`` times the last, at most
                ``max_interval``, and never past the time-out.
            stop_on: statuses that end the wait at once with UnexpectedStatusError (default: FINISHED and
                STOPPED when not waited for; for validation and preview runs also INVALID and the error
                statuses).
            on_progress: called with a WaitProgress after each status read; what it raises ends the wait.
            cancel: a threading.Event; once set, the wait ends within one interval with WaitCancelledError.

        A pipeline's error statuses (START_ERROR, RUNNING_ERROR, RUN_ERROR, CONNECT_ERROR) raise their
        StatusError subclass unless waited for. A snapshot's status is FINISHED once ``inProgress`` is false,
        IN_PROGRESS before. Connection errors, time-outs and 502/503/504 answers are polled through until the
        time-out; other HTTP errors end the wait. ``response`` holds the last answer read.

        Returns:
            The final status record (a dict).

        Raises:
            WaitTimeoutError, UnexpectedStatusError, WaitCancelledError, StatusError
        """

class StartPipelineCommand(PipelineCommand):
    """
    The answer to a pipeline start; waits for the run to finish or for its counters.
    """

    def wait_for_finished(self, timeout_sec: float = 300) -> None:
        """
        Wait until the pipeline's status is FINISHED; an error status raises its StatusError.
        """

    def wait_for_pipeline_error_records_count(self, count: int, timeout_sec: float = 300) -> None:
        """Wait until the run has produced at least ``count`` error records."""

    def wait_for_pipeline_output_records_count(self, count: int, timeout_sec: float = 300) -> None:
        """Wait until the run has written at least ``count`` output records."""

    def wait_for_pipeline_batch_count(self, count: int, timeout_sec: float = 300) -> None:
        """Wait until the run has processed at least ``count`` batches."""

    def wait_for_counters_metric(self, metric_name: str, target_count: int, timeout_sec: float = 300) -> None:
        """
        Poll the pipeline's metrics once a second until counter ``metric_name`` reaches
        ``target_count``.

        Raises:
            StartError, RunningError, RunError, ConnectError: the pipeline entered an error status.
            WaitTimeoutError: "Did not reached metric ... of value ..." after ``timeout_sec``.
        """

    def wait(self, until: str | Iterable[str] | None = None, *, timeout_sec: float | None = None, poll_interval: float = 1.0, backoff: float = 1.0, max_interval: float = 30.0, stop_on: Iterable[str] | None = None, on_progress: Callable[[WaitProgress], object] | None = None, cancel: threading.Event | None = None) -> dict[str, Any]:
        """
        Poll the pipeline until its status is ``until`` (default FINISHED) and return the final status record.
        Time-out 300 s.

        Args:
            until: the status, or several, that end the wait and return.
            timeout_sec: seconds before WaitTimeoutError (default: the time-out of the class's other wait).
            poll_interval: seconds between polls; each pause is ``backoff`` times the last, at most
                ``max_interval``, and never past the time-out.
            stop_on: statuses that end the wait at once with UnexpectedStatusError (default: FINISHED and
                STOPPED when not waited for; for validation and preview runs also INVALID and the error
                statuses).
            on_progress: called with a WaitProgress after each status read; what it raises ends the wait.
            cancel: a threading.Event; once set, the wait ends within one interval with WaitCancelledError.

        A pipeline's error statuses (START_ERROR, RUNNING_ERROR, RUN_ERROR, CONNECT_ERROR) raise their
        StatusError subclass unless waited for. A snapshot's status is FINISHED once ``inProgress`` is false,
        IN_PROGRESS before. Connection errors, time-outs and 502/503/504 answers are polled through until the
        time-out; other HTTP errors end the wait. ``response`` holds the last answer read.

        Returns:
            The final status record (a dict).

        Raises:
            WaitTimeoutError, UnexpectedStatusError, WaitCancelledError, StatusError
        """

class StopPipelineCommand(PipelineCommand):
    """
    The answer to a pipeline stop or forced stop; waits for the pipeline to stop.
    """

    def wait_for_stopped(self, timeout_sec: float = 300) -> None:
        """
        Wait until the pipeline's status is STOPPED; an error status raises its StatusError.
        """

    def wait(self, until: str | Iterable[str] | None = None, *, timeout_sec: float | None = None, poll_interval: float = 1.0, backoff: float = 1.0, max_interval: float = 30.0, stop_on: Iterable[str] | None = None, on_progress: Callable[[WaitProgress], object] | None = None, cancel: threading.Event | None = None) -> dict[str, Any]:
        """
        Poll the pipeline until its status is ``until`` (default STOPPED) and return the final status record.
        Time-out 300 s.

        Args:
            until: the status, or several, that end the wait and return.
            timeout_sec: seconds before WaitTimeoutError (default: the time-out of the class's other wait).
            poll_interval: seconds between polls; each pause is ``backoff`` times the last, at most
                ``max_interval``, and never past the time-out.
            stop_on: statuses that end the wait at once with UnexpectedStatusError (default: FINISHED and
                STOPPED when not waited for; for validation and preview runs also INVALID and the error
                statuses).
            on_progress: called with a WaitProgress after each status read; what it raises ends the wait.
            cancel: a threading.Event; once set, the wait ends within one interval with WaitCancelledError.

        A pipeline's error statuses (START_ERROR, RUNNING_ERROR, RUN_ERROR, CONNECT_ERROR) raise their
        StatusError subclass unless waited for. A snapshot's status is FINISHED once ``inProgress`` is false,
        IN_PROGRESS before. Connection errors, time-outs and 502/503/504 answers are polled through until the
        time-out; other HTTP errors end the wait. ``response`` holds the last answer read.

        Returns:
            The final status record (a dict).

        Raises:
            WaitTimeoutError, UnexpectedStatusError, WaitCancelledError, StatusError
        """

class ValidateCommand(Command):
    """
    A running validation (``pipeline_id``, ``previewer_id``); waits for its outcome.
    """

    pipeline_id: str
    previewer_id: str

    def __init__(self, api_client: ApiClient, response: requests.Response, pipeline_id: str, previewer_id: str) -> None:
        """Wrap the answer to a validation request."""

    def wait_for_validate(self, timeout_sec: float = 60) -> ValidateCommand:
        """
        Poll the validation once a second until it is no longer VALIDATING; return the command.

        When it ended in anything but VALID, ``response`` then holds the preview data (with the
        issues found); otherwise it holds the last status.

        Raises:
            WaitTimeoutError: "Timed out after ... seconds while waiting for validation.\"
        """

    def wait(self, until: str | Iterable[str] | None = None, *, timeout_sec: float | None = None, poll_interval: float = 1.0, backoff: float = 1.0, max_interval: float = 30.0, stop_on: Iterable[str] | None = None, on_progress: Callable[[WaitProgress], object] | None = None, cancel: threading.Event | None = None) -> dict[str, Any]:
        """
        Poll the validation until its status is ``until`` (default VALID) and return the final status record.
        Time-out 60 s.

        Args:
            until: the status, or several, that end the wait and return.
            timeout_sec: seconds before WaitTimeoutError (default: the time-out of the class's other wait).
            poll_interval: seconds between polls; each pause is ``backoff`` times the last, at most
                ``max_interval``, and never past the time-out.
            stop_on: statuses that end the wait at once with UnexpectedStatusError (default: FINISHED and
                STOPPED when not waited for; for validation and preview runs also INVALID and the error
                statuses).
            on_progress: called with a WaitProgress after each status read; what it raises ends the wait.
            cancel: a threading.Event; once set, the wait ends within one interval with WaitCancelledError.

        A pipeline's error statuses (START_ERROR, RUNNING_ERROR, RUN_ERROR, CONNECT_ERROR) raise their
        StatusError subclass unless waited for. A snapshot's status is FINISHED once ``inProgress`` is false,
        IN_PROGRESS before. Connection errors, time-outs and 502/503/504 answers are polled through until the
        time-out; other HTTP errors end the wait. ``response`` holds the last answer read.

        Returns:
            The final status record (a dict).

        Raises:
            WaitTimeoutError, UnexpectedStatusError, WaitCancelledError, StatusError
        """

class PreviewCommand(Command):
    """
    A preview run (``pipeline_id``, ``previewer_id``); waits for it and reads its records.
    """

    pipeline_id: str
    previewer_id: str

    def __init__(self, api_client: ApiClient, response: requests.Response, pipeline_id: str, previewer_id: str) -> None:
        """Wrap the answer to a preview request."""

    def wait_for_finished(self, timeout_sec: float = 30) -> PreviewCommand:
        """
        Poll the preview once a second until it is FINISHED; return the command.

        Raises:
            WaitTimeoutError: "Timed out after ... seconds while waiting for status FINISHED.\"
        """

    @property
    def preview(self) -> quenlo.sdk.velm_models.Preview:
        """
        The preview's data as a new ``velm_models.Preview`` (one request on every read).
        """

    def wait(self, until: str | Iterable[str] | None = None, *, timeout_sec: float | None = None, poll_interval: float = 1.0, backoff: float = 1.0, max_interval: float = 30.0, stop_on: Iterable[str] | None = None, on_progress: Callable[[WaitProgress], object] | None = None, cancel: threading.Event | None = None) -> dict[str, Any]:
        """
        Poll the preview until its status is ``until`` (default FINISHED) and return the final status record.
        Time-out 30 s.

        Args:
            until: the status, or several, that end the wait and return.
            timeout_sec: seconds before WaitTimeoutError (default: the time-out of the class's other wait).
            poll_interval: seconds between polls; each pause is ``backoff`` times the last, at most
                ``max_interval``, and never past the time-out.
            stop_on: statuses that end the wait at once with UnexpectedStatusError (default: FINISHED and
                STOPPED when not waited for; for validation and preview runs also INVALID and the error
                statuses).
            on_progress: called with a WaitProgress after each status read; what it raises ends the wait.
            cancel: a threading.Event; once set, the wait ends within one interval with WaitCancelledError.

        A pipeline's error statuses (START_ERROR, RUNNING_ERROR, RUN_ERROR, CONNECT_ERROR) raise their
        StatusError subclass unless waited for. A snapshot's status is FINISHED once ``inProgress`` is false,
        IN_PROGRESS before. Connection errors, time-outs and 502/503/504 answers are polled through until the
        time-out; other HTTP errors end the wait. ``response`` holds the last answer read.

        Returns:
            The final status record (a dict).

        Raises:
            WaitTimeoutError, UnexpectedStatusError, WaitCancelledError, StatusError
        """

class ConnectionValidateCommand(Command):
    """
    A dynamic preview that tests a connection; waits for it and fetches its outcome.
    """

    pipeline_id: str
    previewer_id: str

    def __init__(self, api_client: ApiClient, response: requests.Response, pipeline_id: str, previewer_id: str) -> None:
        """Wrap the answer to a connection validation request."""

    def wait_for_validate(self, timeout_sec: float = 120) -> ConnectionValidateCommand:
        """
        Poll until the run has left CREATED, STARTING, RUNNING and VALIDATING, then fetch the
        preview data into ``response``; return the command.

        Raises:
            WaitTimeoutError: "Timed out after ... seconds while waiting for validation.\"
        """

    def wait(self, until: str | Iterable[str] | None = None, *, timeout_sec: float | None = None, poll_interval: float = 1.0, backoff: float = 1.0, max_interval: float = 30.0, stop_on: Iterable[str] | None = None, on_progress: Callable[[WaitProgress], object] | None = None, cancel: threading.Event | None = None) -> dict[str, Any]:
        """
        Poll the connection validation until its status is ``until`` (default FINISHED) and return the final status record.
        Time-out 120 s.

        Args:
            until: the status, or several, that end the wait and return.
            timeout_sec: seconds before WaitTimeoutError (default: the time-out of the class's other wait).
            poll_interval: seconds between polls; each pause is ``backoff`` times the last, at most
                ``max_interval``, and never past the time-out.
            stop_on: statuses that end the wait at once with UnexpectedStatusError (default: FINISHED and
                STOPPED when not waited for; for validation and preview runs also INVALID and the error
                statuses).
            on_progress: called with a WaitProgress after each status read; what it raises ends the wait.
            cancel: a threading.Event; once set, the wait ends within one interval with WaitCancelledError.

        A pipeline's error statuses (START_ERROR, RUNNING_ERROR, RUN_ERROR, CONNECT_ERROR) raise their
        StatusError subclass unless waited for. A snapshot's status is FINISHED once ``inProgress`` is false,
        IN_PROGRESS before. Connection errors, time-outs and 502/503/504 answers are polled through until the
        time-out; other HTTP errors end the wait. ``response`` holds the last answer read.

        Returns:
            The final status record (a dict).

        Raises:
            WaitTimeoutError, UnexpectedStatusError, WaitCancelledError, StatusError
        """

class SnapshotCommand(Command):
    """
    A snapshot capture (``pipeline_id``, ``snapshot_name``, ``snapshot_label``); waits for it
    and reads the snapshot.
    """

    pipeline_id: str
    snapshot_name: str
    snapshot_label: str | None

    def __init__(self, api_client: ApiClient, response: requests.Response, pipeline_id: str, snapshot_name: str, snapshot_label: str | None) -> None:
        """Wrap the answer to a snapshot request."""

    def wait_for_finished(self, timeout_sec: float = 30) -> SnapshotCommand:
        """
        Poll the capture once a second until it is no longer in progress; return the command.

        Raises:
            WaitTimeoutError: "Timed out after ... seconds while waiting for status FINISHED.\"
        """

    @property
    def snapshot(self) -> quenlo.sdk.velm_models.Snapshot:
        """
        The snapshot's status joined with its data, as a new ``velm_models.Snapshot``
        (two requests on every read).
        """

    def wait(self, until: str | Iterable[str] | None = None, *, timeout_sec: float | None = None, poll_interval: float = 1.0, backoff: float = 1.0, max_interval: float = 30.0, stop_on: Iterable[str] | None = None, on_progress: Callable[[WaitProgress], object] | None = None, cancel: threading.Event | None = None) -> dict[str, Any]:
        """
        Poll the snapshot until its status is ``until`` (default FINISHED) and return the final status record.
        Time-out 30 s.

        Args:
            until: the status, or several, that end the wait and return.
            timeout_sec: seconds before WaitTimeoutError (default: the time-out of the class's other wait).
            poll_interval: seconds between polls; each pause is ``backoff`` times the last, at most
                ``max_interval``, and never past the time-out.
            stop_on: statuses that end the wait at once with UnexpectedStatusError (default: FINISHED and
                STOPPED when not waited for; for validation and preview runs also INVALID and the error
                statuses).
            on_progress: called with a WaitProgress after each status read; what it raises ends the wait.
            cancel: a threading.Event; once set, the wait ends within one interval with WaitCancelledError.

        A pipeline's error statuses (START_ERROR, RUNNING_ERROR, RUN_ERROR, CONNECT_ERROR) raise their
        StatusError subclass unless waited for. A snapshot's status is FINISHED once ``inProgress`` is false,
        IN_PROGRESS before. Connection errors, time-outs and 502/503/504 answers are polled through until the
        time-out; other HTTP errors end the wait. ``response`` holds the last answer read.

        Returns:
            The final status record (a dict).

        Raises:
            WaitTimeoutError, UnexpectedStatusError, WaitCancelledError, StatusError
        """

def wait_all(commands: Iterable[Command], until: str | Iterable[str] | None = None, *, timeout_sec: float | None = None, poll_interval: float = 1.0, backoff: float = 1.0, max_interval: float = 30.0, stop_on: Iterable[str] | None = None, on_progress: Callable[[int, WaitProgress], object] | None = None, cancel: threading.Event | None = None, fail_fast: bool = False) -> list[dict[str, Any]]:
    """
    Wait for several runs at once, on the caller's thread, and return their final status records
    once every run has reached its target.

    Each command is waited on as its own ``wait()`` would, with the same keywords: its class's
    default target and time-out when ``until`` or ``timeout_sec`` is None, the statuses that end
    it early, its connection failures polled through. Each round sends one status request per
    run still going (a pipeline command's first record is the answer it holds), then pauses once,
    as ``wait()`` does between polls; no pause runs past the nearest time-out. Nothing is stopped
    on the engine.

    Args:
        commands: the commands whose runs to wait for (an iterable; a generator is read once).
        until: the status, or several, that end each run's wait (default: its class's target).
        timeout_sec: seconds before a run's WaitTimeoutError (default: its class's time-out).
        poll_interval: seconds between rounds; each pause is ``backoff`` times the last, at most
            ``max_interval``, and never past the nearest time-out.
        backoff: the factor each pause grows by (1: fixed).
        max_interval: the longest pause, in seconds.
        stop_on: statuses that end a run at once with UnexpectedStatusError (default: as for
            ``wait()``).
        on_progress: called with the command's place in ``commands`` and a WaitProgress after
            each status read; what it raises ends wait_all as it is.
        cancel: a threading.Event; once set, wait_all ends within one interval with
            WaitCancelledError.
        fail_fast: raise as soon as one run ends otherwise than at its target, without waiting for
            the others.

    Returns:
        The final status records (dicts), in the order of ``commands``.

    Raises:
        WaitAllError: a run ended otherwise (an error or stop status, its time-out, a failed
            request); ``outcomes`` holds each run's record or the exception its ``wait()`` would
            have raised (None for runs still going when ``fail_fast`` ended the wait).
        WaitCancelledError: ``cancel`` was set.
        TypeError: an item of ``commands`` is not a command that can wait.
    """
