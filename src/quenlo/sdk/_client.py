"""The client's cold paths, run once per client: the constructor with its option checks and the probe that waits
for the engine, and ``__repr__`` and ``set_user``. What runs on every call is compiled; these are not.
"""

from __future__ import annotations

import warnings
from typing import Any, List, Optional, Tuple

import urllib3

from .exceptions import redact_url
from .transport import BoundedRetry, deadline, new_session
from .utils import seconds_of

# The longest time-out the socket layer takes everywhere: what fits in a C int of milliseconds.
_LONGEST_TIMEOUT = 2147483


def _check_timeout(value: Any) -> None:
    if isinstance(value, bool) or not isinstance(value, (int, float)):
        raise TypeError(f"timeout must be seconds or a (connect, read) pair, not {value!r}")
    number = float(value)
    if not number > 0:
        raise ValueError(f"timeout must be more than 0 seconds, not {value!r}")
    if not number <= _LONGEST_TIMEOUT:
        raise ValueError(f"timeout must be at most {_LONGEST_TIMEOUT} seconds (about 24 days), not {value!r}")


def _check_options(module: Any, timeout: Any, retries: Any, probe_timeout_sec: Any) -> Tuple[Any, Any]:
    """The client's ``timeout`` and its ``retries`` as a urllib3 ``Retry`` (or None), checked at construction so
    that a mistake shows there, not as requests' error on the first request; ``probe_timeout_sec`` is checked too.

    An int of retries retries connection failures and 502/503/504 answers to GET and HEAD (a repeated POST may
    start a pipeline twice), with exponential back-off and Retry-After honoured within bounds (BoundedRetry).
    The last failure answer is returned, not raised by urllib3, so it becomes the client's own HTTP error as
    without retries.
    """
    if isinstance(timeout, (tuple, list)):
        if len(timeout) != 2:
            raise ValueError("timeout must be seconds or a (connect, read) pair")
        for value in (timeout[0], timeout[1]):
            if value is not None:
                _check_timeout(value)
        timeout = (timeout[0], timeout[1])
    elif timeout is not None:
        _check_timeout(timeout)
    retry = None
    if retries is not None:
        retry_class = module.urllib3.util.Retry
        if isinstance(retries, retry_class):
            retry = retries
        elif isinstance(retries, bool) or not isinstance(retries, int):
            raise TypeError(f"retries must be an int or a urllib3 Retry, not {retries!r}")
        elif retries < 0:
            raise ValueError("retries must be 0 or more")
        else:
            # A Retry class of the caller's (patched into the module) is honoured as it is.
            retry = (BoundedRetry if retry_class is urllib3.util.Retry else retry_class)(
                total=retries,
                backoff_factor=0.5,
                status_forcelist=(502, 503, 504),
                allowed_methods=("GET", "HEAD"),
                respect_retry_after_header=True,
                raise_on_status=False,
            )
    # math.inf is a probe that keeps trying for as long as the caller lets it, as for the waits' timeout_sec.
    if not seconds_of(probe_timeout_sec, "probe_timeout_sec", allow_nan=False) >= 0:
        raise ValueError(f"probe_timeout_sec must be 0 seconds or more, not {probe_timeout_sec!r}")
    return timeout, retry


def _check_credentials(username: Any, password: Any) -> None:
    """Refuse credentials that HTTP basic authentication cannot send (text outside Latin-1) before they are
    stored, where requests would refuse them on every request with a UnicodeEncodeError that quotes them. The
    error shows neither the credential nor its characters."""
    for name, value in (("username", username), ("password", password)):
        if isinstance(value, str) and not _latin1(value):
            raise ValueError(
                f"The {name} holds a character that HTTP basic authentication cannot send (only Latin-1 can be "
                "sent; the value is not shown)"
            )


def _latin1(text: str) -> bool:
    try:
        text.encode("latin-1")
    except UnicodeEncodeError:
        return False
    return True


def _probe_retry(error: BaseException, fail_fast: bool, retry_unreachable: bool, requests_: Any) -> Optional[str]:
    """The debug message of a probe failure that is tried again, or None for one that ends the probe."""
    if isinstance(error, requests_.HTTPError):
        # A client error (4xx but 408 Request Timeout and 429 Too Many Requests) with fail_fast: no retry makes a
        # wrong password right.
        status = getattr(getattr(error, "response", None), "status_code", None)
        final = isinstance(status, int) and 400 <= status < 500 and status not in (408, 429)
        return None if fail_fast and final else "Call to VELM info endpoint failed. Trying again ..."
    if isinstance(error, KeyError):
        return "Invalid VELM info received. Trying again ..."
    # A TLS failure is not retried: a certificate that is not trusted stays untrusted, however long the wait.
    exceptions = requests_.exceptions
    if (
        retry_unreachable
        and isinstance(error, (exceptions.ConnectionError, exceptions.Timeout))
        and not isinstance(error, exceptions.SSLError)
    ):
        return "VELM could not be reached. Trying again ..."
    return None


def _describe_probe_failure(client: Any, failure: BaseException, module: Any) -> str:
    """What the probe's last failure was: "401 Unauthorized from <url>", an answer that came without a version, or
    why there was no answer at all."""
    response = getattr(failure, "response", None)
    if response is not None:
        reason = "" if response.reason is None else response.reason
        return f"{response.status_code} {reason} from {module._redact_url(response.url)}"
    if not isinstance(failure, KeyError):
        return f"no answer ({type(failure).__name__}: {module._redact_url(str(failure))})"
    version = str(client.api_version)  # one path segment, as the client's paths have it
    for character, escape in (("%", "%25"), ("/", "%2F"), ("?", "%3F"), ("#", "%23")):
        version = version.replace(character, escape)
    url = module.join_url_parts(client.server_url, "/rest", f"/v{version}/system/info")
    return f"an information record without a version from {module._redact_url(url)}"


def _probe(client: Any, timeout_sec: Any, fail_fast: Any, retry_unreachable: Any, module: Any) -> None:
    """Wait, through the module's ``wait_for_condition``, until the engine answers its information endpoint with
    a version, and keep it as ``client.version``.

    HTTP failure statuses and a record without "version" are tried again; with ``fail_fast`` client errors are
    not, and with ``retry_unreachable`` an engine that cannot be reached (yet) is. Anything else (a body that is
    not JSON, say) leaves the probe. When it gives up, its TimeoutError names the last failure and has it as its
    cause: "not met within 60 seconds" alone does not tell a wrong password from a wrong base path.
    """
    module.logger.debug("Confirming connectivity to Harvel server ...")
    fail_fast, retry_unreachable = bool(fail_fast), bool(retry_unreachable)
    failures: List[BaseException] = []

    def velm_connectivity_established(api_client: Any) -> Optional[bool]:
        try:
            version = api_client.get_velm_info()["version"]
            api_client.version = version
            module.logger.debug("Connected to VELM v%s", version)
            return True
        except BaseException as error:
            retry = _probe_retry(error, fail_fast, retry_unreachable, module.requests)
            if retry is None:
                raise
            failures[:] = [error]
            module.logger.debug(retry)
            return None

    try:
        # No retry of the transport's pauses past the probe's deadline. The default is wait_for_condition's own,
        # so the call stays as it was when nothing is given.
        with deadline(timeout_sec):
            if timeout_sec == 60:
                module.wait_for_condition(velm_connectivity_established, [client])
            else:
                module.wait_for_condition(velm_connectivity_established, [client], timeout=timeout_sec)
    except TimeoutError as error:
        if failures:
            stem = str(error).rstrip(".")
            error.args = (f"{stem}; last answer: {_describe_probe_failure(client, failures[0], module)}",)
            error.__cause__ = failures[0]
        raise
    finally:
        failures.clear()  # a traceback frame may keep the probe alive: the exception must not hold itself


def client_repr(client: Any) -> str:
    """The class, the server URL (credentials hidden) and the engine version."""
    url = getattr(client, "server_url", None)
    version = getattr(client, "version", None)
    return f"<{client.__class__.__name__} server_url={None if url is None else redact_url(url)!r} version={version!r}>"


def set_user(client: Any, username: Any, password: Any) -> None:
    """Replace the session's credentials and forget its cookies."""
    session = client.session
    # A missing name or password means "no credentials", never "None" sent as a credential.
    if username is None or password is None:
        session.auth = None
    else:
        _check_credentials(username, password)
        session.auth = (username, password)
    session.cookies.clear()


def init_client(
    module: Any,
    client: Any,
    server_url: Any,
    authentication_method: Any,
    username: Any,
    password: Any,
    api_version: Any,
    session_attributes: Any,
    headers: Any,
    timeout: Any,
    retries: Any,
    probe_timeout_sec: Any,
    probe_fail_fast: Any,
    probe_retry_unreachable: Any,
) -> None:
    """``ApiClient.__init__``, documented there; the options are checked before anything is stored or sent."""
    timeout, retry = _check_options(module, timeout, retries, probe_timeout_sec)
    client.server_url = server_url
    client.authentication_method = authentication_method
    session = new_session(module)
    client.session = session
    client.api_version = api_version
    client.timeout = timeout
    module.logger.info("Authentication method = %s", authentication_method)

    form = module.ENGINE_AUTHENTICATION_METHOD_FORM
    if authentication_method == form:
        if username is None or password is None:
            raise ValueError("username and password are mandatory parameters")
        _check_credentials(username, password)
        session.auth = (username, password)
    elif username is not None or password is not None:
        # Given for nothing: say so, rather than let the engine's 401 be the first sign. Level 3: past this
        # function and __init__ to its caller, whose line the warning then names.
        warnings.warn(
            "No credentials will be sent: the username and password are used only with the form authentication "
            f"method ({form!r}), not with {authentication_method!r}",
            UserWarning,
            stacklevel=3,
        )

    session.headers.update(module.REQUIRED_HEADERS)
    if headers:
        session.headers.update(headers)
    # Before session_attributes, which may replace anything set so far: an "adapters" entry replaces these.
    if retry is not None:
        adapter = module._RetryingAdapter(max_retries=retry)
        for prefix in ("http://", "https://"):
            session.mount(prefix, adapter)
    if session_attributes:
        for name, value in session_attributes.items():
            # A misspelt setting ("verfy") would otherwise be stored and silently never used.
            if not (isinstance(name, str) and hasattr(session, name)):
                raise ValueError(f"unknown session attribute: {name!r}")
            setattr(session, name, value)
    if not session.verify:
        module.urllib3.disable_warnings(module.urllib3.exceptions.InsecureRequestWarning)
    _probe(client, probe_timeout_sec, probe_fail_fast, probe_retry_unreachable, module)
