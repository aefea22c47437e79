"""Abstractions to interact with the VELM REST API."""

import io as io
import json as json
import logging as logging
import threading
import time as time
import zipfile as zipfile
from types import TracebackType
from typing import IO, Any, Callable, ClassVar, Dict, Iterable, List, Mapping, Optional, Sequence, Tuple, Type, Union

import requests as requests
import urllib3 as urllib3

from . import velm_models as velm_models
from .constants import ENGINE_AUTHENTICATION_METHOD_FORM as ENGINE_AUTHENTICATION_METHOD_FORM
from .exceptions import BadRequestError as BadRequestError
from .exceptions import InternalServerError as InternalServerError
from .utils import Version as Version
from .utils import get_params as get_params
from .utils import join_url_parts as join_url_parts
from .utils import pipeline_json_encoder as pipeline_json_encoder
from .utils import wait_for_condition as wait_for_condition

logger: logging.Logger
REQUIRED_HEADERS: Dict[str, str]
DEFAULT_VELM_API_VERSION: int

_JSON = Any
_Status = Union[str, List[str]]
_Statuses = Union[str, Iterable[str]]
_Timeout = Union[float, Tuple[Optional[float], Optional[float]]]

class StatusError(Exception):
    """Parent class for pipeline status errors."""

    response: Dict[str, Any]
    message: Optional[str]
    def __init__(self, response: Dict[str, Any]) -> None: ...

class StartError(StatusError):
    """Pipeline start error."""

class RunningError(StatusError):
    """Pipeline running error."""

class RunError(StatusError):
    """Pipeline run error."""

class ConnectError(StatusError):
    """Pipeline connect error."""

class UnexpectedStatusError(StatusError):
    """A wait ended because the work reached a final status other than the one waited for."""

    status: str
    def __init__(self, response: Dict[str, Any], status: str, text: Optional[str] = None) -> None: ...

class WaitTimeoutError(TimeoutError):
    """A wait ran out of time. A TimeoutError, so also the Exception some waits were documented to raise."""

    timeout_sec: Optional[float]
    elapsed: Optional[float]
    response: Optional[requests.Response]
    last_status: Optional[str]
    def __init__(
        self,
        message: str,
        *,
        timeout_sec: Optional[float] = None,
        elapsed: Optional[float] = None,
        response: Optional[requests.Response] = None,
        last_status: Optional[str] = None,
    ) -> None: ...

class WaitCancelledError(Exception):
    """A wait ended because its cancel event was set."""

class WaitProgress:
    """What a wait hands its ``on_progress`` callback after each status it reads."""

    status: str
    elapsed: float
    remaining: float
    polls: int
    record: Dict[str, Any]
    def __init__(self, status: str, elapsed: float, remaining: float, polls: int, record: Dict[str, Any]) -> None: ...
    def __repr__(self) -> str: ...

class Command:
    """The engine's answer to a request, kept with the client that made it."""

    api_client: ApiClient
    response: requests.Response
    def __init__(self, api_client: ApiClient, response: requests.Response) -> None: ...

class PipelineCommand(Command):
    """A command whose response is a pipeline status record; it can wait for a status."""

    ERROR_STATUSES: ClassVar[Dict[str, Type[StatusError]]]
    def __init__(self, api_client: ApiClient, response: requests.Response) -> None: ...
    def wait_for_status(self, status: _Status, ignore_errors: bool = False, timeout_sec: float = 300) -> None: ...
    def wait(
        self,
        until: Optional[_Statuses] = None,
        *,
        timeout_sec: Optional[float] = None,
        poll_interval: float = 1.0,
        backoff: float = 1.0,
        max_interval: float = 30.0,
        stop_on: Optional[Iterable[str]] = None,
        on_progress: Optional[Callable[[WaitProgress], object]] = None,
        cancel: Optional[threading.Event] = None,
    ) -> Dict[str, Any]: ...

class StartPipelineCommand(PipelineCommand):
    """The answer to a pipeline start; waits for the run to finish or for its counters."""

    def __init__(self, api_client: ApiClient, response: requests.Response) -> None: ...
    def wait_for_finished(self, timeout_sec: float = 300) -> None: ...
    def wait_for_pipeline_error_records_count(self, count: int, timeout_sec: float = 300) -> None: ...
    def wait_for_pipeline_output_records_count(self, count: int, timeout_sec: float = 300) -> None: ...
    def wait_for_pipeline_batch_count(self, count: int, timeout_sec: float = 300) -> None: ...
    def wait_for_counters_metric(self, metric_name: str, target_count: int, timeout_sec: float = 300) -> None: ...
    def wait(
        self,
        until: Optional[_Statuses] = None,
        *,
        timeout_sec: Optional[float] = None,
        poll_interval: float = 1.0,
        backoff: float = 1.0,
        max_interval: float = 30.0,
        stop_on: Optional[Iterable[str]] = None,
        on_progress: Optional[Callable[[WaitProgress], object]] = None,
        cancel: Optional[threading.Event] = None,
    ) -> Dict[str, Any]: ...

class StopPipelineCommand(PipelineCommand):
    """The answer to a pipeline stop or forced stop; waits for the pipeline to stop."""

    def __init__(self, api_client: ApiClient, response: requests.Response) -> None: ...
    def wait_for_stopped(self, timeout_sec: float = 300) -> None: ...
    def wait(
        self,
        until: Optional[_Statuses] = None,
        *,
        timeout_sec: Optional[float] = None,
        poll_interval: float = 1.0,
        backoff: float = 1.0,
        max_interval: float = 30.0,
        stop_on: Optional[Iterable[str]] = None,
        on_progress: Optional[Callable[[WaitProgress], object]] = None,
        cancel: Optional[threading.Event] = None,
    ) -> Dict[str, Any]: ...

class ValidateCommand(Command):
    """A running validation; waits for its outcome."""

    pipeline_id: str
    previewer_id: str
    def __init__(
        self, api_client: ApiClient, response: requests.Response, pipeline_id: str, previewer_id: str
    ) -> None: ...
    def wait_for_validate(self, timeout_sec: float = 60) -> ValidateCommand: ...
    def wait(
        self,
        until: Optional[_Statuses] = None,
        *,
        timeout_sec: Optional[float] = None,
        poll_interval: float = 1.0,
        backoff: float = 1.0,
        max_interval: float = 30.0,
        stop_on: Optional[Iterable[str]] = None,
        on_progress: Optional[Callable[[WaitProgress], object]] = None,
        cancel: Optional[threading.Event] = None,
    ) -> Dict[str, Any]: ...

class PreviewCommand(Command):
    """A preview run; waits for it and reads its records."""

    pipeline_id: str
    previewer_id: str
    def __init__(
        self, api_client: ApiClient, response: requests.Response, pipeline_id: str, previewer_id: str
    ) -> None: ...
    def wait_for_finished(self, timeout_sec: float = 30) -> PreviewCommand: ...
    def wait(
        self,
        until: Optional[_Statuses] = None,
        *,
        timeout_sec: Optional[float] = None,
        poll_interval: float = 1.0,
        backoff: float = 1.0,
        max_interval: float = 30.0,
        stop_on: Optional[Iterable[str]] = None,
        on_progress: Optional[Callable[[WaitProgress], object]] = None,
        cancel: Optional[threading.Event] = None,
    ) -> Dict[str, Any]: ...
    @property
    def preview(self) -> velm_models.Preview: ...

class ConnectionValidateCommand(Command):
    """A dynamic preview that tests a connection; waits for it and fetches its outcome."""

    pipeline_id: str
    previewer_id: str
    def __init__(
        self, api_client: ApiClient, response: requests.Response, pipeline_id: str, previewer_id: str
    ) -> None: ...
    def wait_for_validate(self, timeout_sec: float = 120) -> ConnectionValidateCommand: ...
    def wait(
        self,
        until: Optional[_Statuses] = None,
        *,
        timeout_sec: Optional[float] = None,
        poll_interval: float = 1.0,
        backoff: float = 1.0,
        max_interval: float = 30.0,
        stop_on: Optional[Iterable[str]] = None,
        on_progress: Optional[Callable[[WaitProgress], object]] = None,
        cancel: Optional[threading.Event] = None,
    ) -> Dict[str, Any]: ...

class SnapshotCommand(Command):
    """A snapshot capture; waits for it and reads the snapshot."""

    pipeline_id: str
    snapshot_name: str
    snapshot_label: str
    def __init__(
        self,
        api_client: ApiClient,
        response: requests.Response,
        pipeline_id: str,
        snapshot_name: str,
        snapshot_label: str,
    ) -> None: ...
    def wait_for_finished(self, timeout_sec: float = 30) -> SnapshotCommand: ...
    def wait(
        self,
        until: Optional[_Statuses] = None,
        *,
        timeout_sec: Optional[float] = None,
        poll_interval: float = 1.0,
        backoff: float = 1.0,
        max_interval: float = 30.0,
        stop_on: Optional[Iterable[str]] = None,
        on_progress: Optional[Callable[[WaitProgress], object]] = None,
        cancel: Optional[threading.Event] = None,
    ) -> Dict[str, Any]: ...
    @property
    def snapshot(self) -> velm_models.Snapshot: ...

class ApiClient:
    """Client for the REST API of one VELM engine."""

    server_url: str
    authentication_method: Optional[str]
    session: requests.Session
    api_version: int
    version: str
    timeout: Optional[_Timeout]
    def __init__(
        self,
        server_url: str,
        authentication_method: Optional[str] = None,
        username: Optional[str] = None,
        password: Optional[str] = None,
        api_version: int = 1,
        session_attributes: Optional[Mapping[str, Any]] = None,
        headers: Optional[Mapping[str, str]] = None,
        *,
        timeout: Optional[_Timeout] = None,
        retries: Union[int, urllib3.util.Retry, None] = None,
        probe_timeout_sec: float = 60,
    ) -> None: ...
    def close(self) -> None: ...
    def __enter__(self) -> ApiClient: ...
    def __exit__(
        self,
        exc_type: Optional[Type[BaseException]],
        exc_value: Optional[BaseException],
        traceback: Optional[TracebackType],
    ) -> None: ...
    def __repr__(self) -> str: ...

    # Session
    def get_velm_info(self) -> Dict[str, Any]: ...
    def set_user(self, username: Optional[str], password: Optional[str]) -> None: ...

    # Transport
    def _get(
        self, endpoint: str, params: Optional[Mapping[str, Any]] = None, absolute_endpoint: bool = False
    ) -> requests.Response: ...
    def _post(
        self,
        endpoint: str,
        absolute_endpoint: bool = False,
        params: Optional[Mapping[str, Any]] = None,
        data: Any = None,
        files: Optional[Mapping[str, IO[bytes]]] = None,
        headers: Optional[Mapping[str, Optional[str]]] = None,
        is_data_format_json: bool = True,
    ) -> requests.Response: ...
    def _put(
        self,
        endpoint: str,
        params: Optional[Mapping[str, Any]] = None,
        data: Any = None,
        is_data_format_json: bool = True,
    ) -> requests.Response: ...
    def _delete(self, endpoint: str, params: Optional[Mapping[str, Any]] = None) -> requests.Response: ...
    def _handle_http_error(self, response: requests.Response) -> None: ...

    # Pipeline status and the queries the waits poll with
    def get_pipeline_status(
        self, pipeline_id: str, rev: int = 0, only_if_exists: Optional[bool] = None
    ) -> PipelineCommand: ...
    def get_preview_status(self, pipeline_id: str, previewer_id: str) -> Command: ...
    def get_preview_data(self, pipeline_id: str, previewer_id: str) -> PreviewCommand: ...
    def get_snapshot_status(self, pipeline_id: str, snapshot_name: str, rev: int = 0) -> Command: ...
    def get_snapshot_data(
        self, pipeline_id: str, snapshot_name: str, snapshot_label: str, rev: int = 0
    ) -> SnapshotCommand: ...

    # Pipeline store
    def create_pipeline(
        self,
        pipeline_title: str,
        description: Optional[str] = None,
        auto_generate_pipeline_id: Optional[bool] = None,
        draft: Optional[bool] = None,
        pipeline_type: str = "HARVEL",
    ) -> Command: ...
    def update_pipeline(
        self, pipeline_id: str, pipeline: _JSON, rev: int = 0, description: Optional[str] = None
    ) -> Command: ...
    def delete_pipeline(self, pipeline_id: str) -> Command: ...
    def get_pipeline_configuration(self, pipeline_id: str, rev: int = 0, get: str = "pipeline") -> Any: ...
    def update_pipeline_configuration(
        self, pipeline_id: str, pipeline_json: _JSON, rev: int = 0, description: Optional[str] = None
    ) -> Any: ...
    def get_all_pipeline_configuration_info(
        self,
        filter_text: Optional[str] = None,
        label: Optional[str] = None,
        offset: Optional[int] = None,
        len_: int = -1,
        order_by: str = "NAME",
        order: str = "ASC",
        include_status: Optional[bool] = None,
    ) -> Command: ...

    # Import, export and fragments
    def export_pipeline(
        self,
        pipeline_id: str,
        rev: int = 0,
        attachment: bool = False,
        include_library_definitions: bool = False,
        include_plain_text_credentials: bool = True,
    ) -> Any: ...
    def export_pipelines(
        self, body: _JSON, include_library_definitions: bool = False, include_plain_text_credentials: bool = True
    ) -> Command: ...
    def import_pipeline(
        self,
        pipeline_id: str,
        pipeline_json: _JSON,
        rev: int = 0,
        overwrite: bool = False,
        draft: bool = False,
        include_library_definitions: Optional[bool] = None,
        auto_generate_pipeline_id: Optional[bool] = None,
    ) -> Any: ...
    def import_pipelines(self, pipelines_file: IO[bytes]) -> Any: ...
    def create_fragment(
        self,
        title: str,
        description: Optional[str] = None,
        draft: Optional[bool] = None,
        execution_mode: Optional[str] = None,
        body: Union[str, bytes, None] = None,
    ) -> Command: ...
    def import_fragment(
        self,
        fragment_id: str,
        fragment_json: _JSON,
        draft: bool = False,
        include_library_definitions: Optional[bool] = None,
    ) -> Any: ...

    # Run control
    def start_pipeline(
        self, pipeline_id: str, rev: int = 0, runtime_parameters: Optional[Mapping[str, Any]] = None
    ) -> StartPipelineCommand: ...
    def stop_pipeline(self, pipeline_id: str, rev: int = 0) -> StopPipelineCommand: ...
    def force_stop_pipeline(self, pipeline_id: str, rev: int = 0) -> StopPipelineCommand: ...
    def reset_origin_offset(self, pipeline_id: str, rev: int = 0) -> Command: ...
    def get_pipeline_committed_offsets(self, pipeline_id: str, rev: int = 0) -> Command: ...
    def update_pipeline_committed_offsets(
        self, pipeline_id: str, rev: int = 0, body: Optional[Mapping[str, Any]] = None
    ) -> Command: ...

    # Monitoring and rules
    def get_pipeline_metrics(self, pipeline_id: str, rev: int = 0) -> Command: ...
    def get_pipeline_history(self, pipeline_id: str, rev: int = 0) -> List[Dict[str, Any]]: ...
    def get_pipeline_rules(self, pipeline_id: str, rev: int = 0) -> Command: ...
    def update_pipeline_rules(self, pipeline_id: str, pipeline: _JSON, rev: int = 0) -> Command: ...
    def get_pipeline_error_messages(
        self, pipeline_id: str, stage_instance_name: str, rev: int = 0, size: int = 10, edge: bool = False
    ) -> Command: ...

    # Validation and preview
    def validate_pipeline(self, pipeline_id: str, rev: int = 0, timeout_sec: int = 2000) -> ValidateCommand: ...
    def run_pipeline_preview(
        self,
        pipeline_id: str,
        rev: int = 0,
        batches: int = 1,
        batch_size: int = 10,
        skip_targets: bool = True,
        end_stage: Optional[str] = None,
        timeout: int = 2000,
        test_origin: bool = False,
        stage_outputs_to_override_json: Optional[str] = None,
    ) -> PreviewCommand: ...
    def run_dynamic_pipeline_preview(self, preview_json: _JSON) -> PreviewCommand: ...
    def run_dynamic_pipeline_preview_for_connection(self, preview_json: _JSON) -> ConnectionValidateCommand: ...

    # Snapshots
    def capture_snapshot(
        self,
        pipeline_id: str,
        snapshot_name: str,
        snapshot_label: str,
        rev: int = 0,
        batches: int = 1,
        batch_size: int = 10,
        start_pipeline: bool = False,
        runtime_parameters: Optional[Mapping[str, Any]] = None,
    ) -> SnapshotCommand: ...
    def get_snapshots(self) -> List[Dict[str, Any]]: ...
    def get_snapshots_by_pipeline(self, pipeline_id: str) -> Command: ...
    def delete_snapshot(self, pipeline_id: str, snapshot_id: str, rev: int = 0) -> Command: ...

    # Engine information and configuration
    def get_velm_directories(self) -> Dict[str, Any]: ...
    def get_velm_configuration(self) -> Command: ...
    def get_velm_ui_configuration(self) -> Command: ...
    def get_velm_id(self) -> Command: ...
    def get_current_user(self) -> Dict[str, Any]: ...
    def get_jmx_metrics(self) -> Command: ...
    def get_system_stats(self) -> Command: ...
    def opt_for_system_stats(self, opt: str) -> Command: ...
    def get_logs(
        self,
        ending_offset: int = -1,
        extra_message: Optional[str] = None,
        pipeline: Optional[velm_models.Pipeline] = None,
        severity: Optional[str] = None,
    ) -> Command: ...
    def change_password(self, data_json: _JSON) -> Command: ...

    # Definitions, libraries, health and bundles
    def get_definitions(self) -> Any: ...
    def get_connection_definitions(self) -> Command: ...
    def get_stage_libraries_list(self, repo_url: Optional[str], installed_only: bool) -> Command: ...
    def get_classpath_health(self) -> List[Any]: ...
    def get_alerts(self) -> List[Dict[str, Any]]: ...
    def get_bundle_generators(self) -> List[Dict[str, Any]]: ...
    def get_bundle(self, generators: Optional[Sequence[str]] = None) -> zipfile.ZipFile: ...
    def get_health_categories(self) -> Command: ...
    def get_health_report(self, categories: Optional[Sequence[str]] = None) -> Command: ...

    # Access control
    def get_pipeline_acl(self, pipeline_id: str) -> Dict[str, Any]: ...
    def set_pipeline_acl(self, pipeline_id: str, pipeline_acl_json: _JSON) -> Command: ...
    def get_pipeline_permissions(self, pipeline_id: str) -> List[Dict[str, Any]]: ...
    def get_acl_subjects(self) -> Dict[str, Any]: ...
    def set_acl_subjects(self, subjects_json: _JSON) -> Command: ...
