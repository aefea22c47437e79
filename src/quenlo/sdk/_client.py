"""The client's cold paths, run once per client: the constructor with its option checks and the probe that waits
for the engine, and ``__repr__`` and ``set_user``, declared and documented here and set on ApiClient at import.
What runs on every call is compiled; these are not.
"""

from __future__ import annotations

import collections.abc
import inspect
import typing
import warnings
from typing import Any, List, Optional, Tuple

import urllib3
import urllib3.util.retry

from .exceptions import redact_url
from .transport import BoundedRetry, deadline, new_session
from .utils import seconds_of

# The longest time-out the socket layer takes everywhere: what fits in a C int of milliseconds.
_LONGEST_TIMEOUT = 2147483


def _shown(value: Any) -> str:
    """``value`` for an error message: its repr, or its size for an int too long to show (or to convert)."""
    if isinstance(value, int) and not -(10**20) < value < 10**20:
        return f"an int of about {value.bit_length() * 30103 // 100000 + 1} digits"
    return repr(value)


def _check_timeout(value: Any) -> None:
    if isinstance(value, bool) or not isinstance(value, (int, float)):
        raise TypeError(f"timeout must be seconds or a (connect, read) pair, not {value!r}")
    # Compared as given: an int too large for a float is out of range, not an OverflowError.
    if not value > 0:
        raise ValueError(f"timeout must be more than 0 seconds, not {_shown(value)}")
    if not value <= _LONGEST_TIMEOUT:
        raise ValueError(f"timeout must be at most {_LONGEST_TIMEOUT} seconds (about 24 days), not {_shown(value)}")


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
    if isinstance(probe_timeout_sec, int) and not -1e308 < probe_timeout_sec < 1e308:
        # Past what a float holds, no deadline can be computed from it.
        raise ValueError(
            "probe_timeout_sec must be 0 or more seconds that a float holds (math.inf: no limit), not "
            + _shown(probe_timeout_sec)
        )
    if not seconds_of(probe_timeout_sec, "probe_timeout_sec", allow_nan=False) >= 0:
        raise ValueError(f"probe_timeout_sec must be 0 seconds or more, not {_shown(probe_timeout_sec)}")
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


# The extension module, set by install(): the constructor looks up there the names it uses (requests, urllib3,
# logger, wait_for_condition, ...), so that a patch of the module's name is honoured as in a Python module.
_module: Any = None


class ClientMethods:
    """The methods of ApiClient written in Python, which run once per client or seldom: install() sets them on
    the class as its own. What runs on every call is compiled."""

    def __init__(
        self,
        server_url: str,
        authentication_method: str | None = None,
        username: str | None = None,
        password: str | None = None,
        api_version: int = 1,
        session_attributes: collections.abc.Mapping[str, typing.Any] | None = None,
        headers: collections.abc.Mapping[str, str] | None = None,
        *,
        timeout: float | tuple[float | None, float | None] | None = None,
        retries: int | urllib3.util.retry.Retry | None = None,
        probe_timeout_sec: float = 60,
        probe_fail_fast: bool = False,
        probe_retry_unreachable: bool = False,
    ) -> None:
        """Connect to the engine at ``server_url``.

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
        module = _module
        # The options are checked before anything is stored or sent.
        checked_timeout, retry = _check_options(module, timeout, retries, probe_timeout_sec)
        self.server_url = server_url
        self.authentication_method = authentication_method
        session = new_session(module)
        self.session = session
        self.api_version = api_version
        self.timeout = checked_timeout
        module.logger.info("Authentication method = %s", authentication_method)

        form = module.ENGINE_AUTHENTICATION_METHOD_FORM
        if authentication_method == form:
            if username is None or password is None:
                raise ValueError("username and password are mandatory parameters")
            _check_credentials(username, password)
            session.auth = (username, password)
        elif username is not None or password is not None:
            # Given for nothing: say so, rather than let the engine's 401 be the first sign. The warning names
            # the caller's line.
            warnings.warn(
                "No credentials will be sent: the username and password are used only with the form "
                f"authentication method ({form!r}), not with {authentication_method!r}",
                UserWarning,
                stacklevel=2,
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
        _probe(self, probe_timeout_sec, probe_fail_fast, probe_retry_unreachable, module)

    def __repr__(self) -> str:
        """The class, the server URL (credentials hidden) and the engine version."""
        url = getattr(self, "server_url", None)
        version = getattr(self, "version", None)
        shown = None if url is None else redact_url(url)
        return f"<{self.__class__.__name__} server_url={shown!r} version={version!r}>"

    def set_user(self, username: str | None, password: str | None) -> None:
        """Replace the credentials sent with every later request and forget the session cookies.

        A username or password of None removes the credentials altogether. Nothing is sent.

        Args:
            username: The user to log in as with later requests.
            password: That user's password; it is never logged or shown.

        Raises:
            ValueError: a username or password outside Latin-1, which HTTP basic authentication cannot send;
                the old credentials stay.
        """
        session = self.session
        # A missing name or password means "no credentials", never "None" sent as a credential.
        if username is None or password is None:
            session.auth = None
        else:
            _check_credentials(username, password)
            session.auth = (username, password)
        session.cookies.clear()


def install(cls: type, module: Any) -> None:
    """Set the methods of ClientMethods on ``cls``, ApiClient, as its own (named after it and its module, so
    that help(), pickle and the stub see them there); the constructor looks its names up in ``module``."""
    global _module
    _module = module
    for name in ("__init__", "__repr__", "set_user"):
        function = vars(ClientMethods)[name]
        function.__qualname__ = f"{cls.__name__}.{name}"
        function.__module__ = module.__name__
        # Dedented, as Python 3.13 leaves it and as the compiled methods have theirs.
        function.__doc__ = inspect.cleandoc(function.__doc__ or "")
        setattr(cls, name, function)
