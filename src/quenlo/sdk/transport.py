"""The client's HTTP pieces: its session, the adapter that carries its retries, and answers whose JSON errors
name the request.

All are internal to :class:`quenlo.sdk.velm_api.ApiClient`: it opens an :class:`EngineSession`, mounts
:class:`RetryingAdapter` when given ``retries=``, and makes every plain :class:`requests.Response` its transport
returns an :class:`EngineResponse`.
"""

from __future__ import annotations

from typing import Any

import requests
import urllib3
from requests.adapters import HTTPAdapter

from .exceptions import EngineJSONDecodeError

__all__ = ["EngineResponse", "EngineSession", "RetryingAdapter"]


class RetryingAdapter(HTTPAdapter):
    """An :class:`HTTPAdapter` whose retries end in the error a single try would raise.

    When urllib3's retries run out on a read time-out, requests reports "Max retries exceeded" as
    :class:`requests.ConnectionError`; here it is :class:`requests.ReadTimeout`, as without retries, so that a slow
    engine is told apart from one that cannot be reached. Connect time-outs (:class:`requests.ConnectTimeout`) and
    connection failures (:class:`requests.ConnectionError`) come out as requests raises them.
    """

    def send(self, request: requests.PreparedRequest, *args: Any, **kwargs: Any) -> requests.Response:
        try:
            return super().send(request, *args, **kwargs)
        except requests.exceptions.ConnectionError as error:
            exhausted = error.args[0] if error.args else None
            if isinstance(exhausted, urllib3.exceptions.MaxRetryError) and isinstance(
                exhausted.reason, urllib3.exceptions.ReadTimeoutError
            ):
                raise requests.ReadTimeout(exhausted, request=request) from exhausted
            raise


class EngineSession(requests.Session):
    """The client's :class:`requests.Session`: what the caller set wins over the environment.

    requests lets ``REQUESTS_CA_BUNDLE`` or ``CURL_CA_BUNDLE`` replace a session's own ``verify``. Here a
    ``verify`` set on the session (False, or a CA bundle) is used for every request it sends. A session whose
    ``verify`` is left True keeps requests' behaviour (the environment's bundle, else the default one), a
    ``verify`` given with a single request is taken as requests takes it, and proxies from the environment
    (``HTTPS_PROXY``, ``NO_PROXY``) stay honoured.
    """

    def merge_environment_settings(self, url: Any, proxies: Any, stream: Any, verify: Any, cert: Any) -> Any:
        settings = super().merge_environment_settings(url, proxies, stream, verify, cert)
        if verify is None and self.verify is not True and self.verify is not None:
            settings["verify"] = self.verify
        return settings


def new_session(module: Any) -> Any:
    """The session of a new client: an :class:`EngineSession`, unless the module's ``requests.Session`` has been
    replaced (a mock, a class of the caller's), which is then honoured as it is."""
    session_class = module.requests.Session
    return EngineSession() if session_class is requests.Session else session_class()


class EngineResponse(requests.Response):
    """A :class:`requests.Response` whose :meth:`json` names the request when the body is not JSON."""

    def json(self, **kwargs: Any) -> Any:
        """The decoded JSON body.

        Raises:
            EngineJSONDecodeError: the body is not JSON, or nested too deeply to decode (a kind of
                :class:`requests.JSONDecodeError`); its message names the method, the URL (credentials hidden), the
                status and the start of the body.
        """
        try:
            return super().json(**kwargs)
        except requests.JSONDecodeError as error:
            raise EngineJSONDecodeError.for_response(self, error) from None
        except RecursionError:  # JSON nested deeper than the decoder goes is no more readable than broken JSON
            raise EngineJSONDecodeError.for_response(self, ValueError("nested too deeply to decode")) from None


def raise_http_error(module: Any, response: Any, status: Any, on_delete: bool) -> None:
    """Raise the client's error for a failure ``status`` of ``response``: InternalServerError for 500,
    BadRequestError for 400 (plain EngineHTTPError for both on delete), and for any other status from 400 to 599
    its class in quenlo.sdk.exceptions. Returns for any other status: the response's own check follows."""
    if not on_delete and status == 500:
        raise module.InternalServerError(response)
    if not on_delete and status == 400:
        raise module.BadRequestError(response)
    error = module._error_class_for(status)
    if error is not None:
        raise (module._EngineHTTPError if on_delete and status in (400, 500) else error)(response)
