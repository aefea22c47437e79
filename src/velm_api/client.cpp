#include <memory>

#include "commands.hpp"

namespace velm {
namespace {

// ---------------------------------------------------------------------------------------------------------
// Construction and session

// Called by wait_for_condition until it returns a true value: reads the engine information and keeps the
// engine's version. Only HTTP failure statuses and a record without "version" are retried; anything else
// (a refused connection, a time-out, a body that is not JSON) leaves the probe and the constructor. A retried
// failure is kept in `last_failure`, so that giving up can name it.
nb::object velm_connectivity_established(nb::handle api_client, nb::object &last_failure) {
    try {
        nb::object version = api_client.attr("get_velm_info")()["version"];
        api_client.attr("version") = version;
        log("debug", "Connected to VELM v%s", version);
        return nb::borrow(Py_True);
    } catch (nb::python_error &e) {
        if (e.matches(global("requests").attr("HTTPError"))) {
            last_failure = exception_of(e);
            log("debug", "Call to VELM info endpoint failed. Trying again ...");
            return nb::none();
        }
        if (e.matches(PyExc_KeyError)) {
            last_failure = exception_of(e);
            log("debug", "Invalid VELM info received. Trying again ...");
            return nb::none();
        }
        throw;
    }
}

// "401 Unauthorized from <url>", or what was wrong with an answer that came without a version.
nb::object describe_probe_failure(nb::handle self, nb::handle failure) {
    nb::object response = nb::getattr(failure, "response", nb::none());
    if (!response.is_none()) {
        nb::object reason = response.attr("reason");
        return nb::str("{} {} from {}")
            .attr("format")(response.attr("status_code"), reason.is_none() ? nb::str("") : reason,
                            global("_redact_url")(response.attr("url")));
    }
    nb::object url = global("join_url_parts")(self.attr("server_url"), nb::str("/rest"),
                                              endpoint(self, "/v{}/system/info"));
    return nb::str("an information record without a version from {}")
        .attr("format")(global("_redact_url")(url));
}

// The probe, run by wait_for_condition as the text has it. When it gives up, its TimeoutError names the last
// failure and has it as its cause: "not met within 60 seconds" alone does not tell a wrong password from a
// wrong base path.
void run_probe(nb::handle self, nb::handle probe_timeout_sec) {
    auto last_failure = std::make_shared<nb::object>();
    nb::object probe = nb::cpp_function(
        [last_failure](nb::handle api_client) {
            return velm_connectivity_established(api_client, *last_failure);
        },
        nb::name("velm_connectivity_established"));
    nb::list probe_args;
    probe_args.append(self);
    try {
        // The default is wait_for_condition's own, so the call stays as it was when nothing is given.
        if (probe_timeout_sec.equal(nb::int_(60)))
            global("wait_for_condition")(probe, probe_args);
        else
            global("wait_for_condition")(probe, probe_args, "timeout"_a = probe_timeout_sec);
    } catch (nb::python_error &e) {
        // Taken out of the probe, which a traceback frame may keep alive: the exception must not hold itself.
        nb::object failure = std::move(*last_failure);
        if (!e.matches(PyExc_TimeoutError) || !failure.is_valid()) throw;
        nb::handle error = e.value();
        nb::str text = nb::str(error);
        nb::object stem = text.attr("rstrip")(".");
        error.attr("args") = nb::make_tuple(
            nb::str("{}; last answer: {}").attr("format")(stem, describe_probe_failure(self, failure)));
        error.attr("__cause__") = failure;
        throw;
    }
    last_failure->reset();
}

// The client's time-out: None, seconds, or a (connect, read) pair, each None or seconds. Checked here so a
// mistake shows at construction, not as requests' error on the first request.
nb::object checked_timeout(nb::handle timeout) {
    if (timeout.is_none()) return nb::none();
    auto seconds = [](nb::handle value, bool none_allowed) {
        if (none_allowed && value.is_none()) return;
        if (!is_seconds(value))
            raise_message(PyExc_TypeError,
                          format("timeout must be seconds or a (connect, read) pair, not {!r}", value));
        if (!(to_double(value) > 0))
            raise_message(PyExc_ValueError, format("timeout must be more than 0 seconds, not {!r}", value));
    };
    if (PyTuple_Check(timeout.ptr()) || PyList_Check(timeout.ptr())) {
        if (nb::len(timeout) != 2) throw nb::value_error("timeout must be seconds or a (connect, read) pair");
        seconds(timeout[0], true);
        seconds(timeout[1], true);
        return nb::make_tuple(timeout[0], timeout[1]);
    }
    seconds(timeout, false);
    return nb::borrow(timeout);
}

// An int: retry connection failures and 502/503/504 answers to GET and HEAD (a repeated POST may start a
// pipeline twice), with exponential back-off and Retry-After honoured. The last failure answer is returned,
// not raised by urllib3, so it becomes our own HTTP error as without retries.
nb::object checked_retries(nb::handle retries) {
    nb::object retry_class = global("urllib3").attr("util").attr("Retry");
    if (nb::isinstance(retries, retry_class)) return nb::borrow(retries);
    if (PyBool_Check(retries.ptr()) || !PyLong_Check(retries.ptr()))
        raise_message(PyExc_TypeError,
                      format("retries must be an int or a urllib3 Retry, not {!r}", retries));
    if (nb::int_(retries) < nb::int_(0)) throw nb::value_error("retries must be 0 or more");
    return retry_class("total"_a = retries, "backoff_factor"_a = 0.5,
                       "status_forcelist"_a = nb::make_tuple(502, 503, 504),
                       "allowed_methods"_a = nb::make_tuple("GET", "HEAD"),
                       "respect_retry_after_header"_a = true, "raise_on_status"_a = false);
}

void client_init(nb::handle self, nb::object server_url, nb::object authentication_method,
                 nb::object username, nb::object password, nb::object api_version,
                 nb::object session_attributes, nb::object headers, nb::object timeout, nb::object retries,
                 nb::object probe_timeout_sec) {
    // The options are checked before anything is stored or sent.
    timeout = checked_timeout(timeout);
    if (!retries.is_none()) retries = checked_retries(retries);
    seconds_of(probe_timeout_sec, "probe_timeout_sec");
    self.attr("server_url") = server_url;
    self.attr("authentication_method") = authentication_method;
    nb::object session = global("requests").attr("Session")();
    self.attr("session") = session;
    self.attr("api_version") = api_version;
    self.attr("timeout") = timeout;
    log("info", "Authentication method = %s", authentication_method);

    if (authentication_method.equal(global("ENGINE_AUTHENTICATION_METHOD_FORM"))) {
        if (username.is_none() || password.is_none())
            throw nb::value_error("username and password are mandatory parameters");
        session.attr("auth") = nb::make_tuple(username, password);
    }

    session.attr("headers").attr("update")(global("REQUIRED_HEADERS"));
    if (truthy(headers)) session.attr("headers").attr("update")(headers);

    // Before session_attributes, which may replace anything set so far: an "adapters" entry replaces these.
    if (!retries.is_none()) {
        nb::object adapter =
            global("requests").attr("adapters").attr("HTTPAdapter")("max_retries"_a = retries);
        session.attr("mount")("http://", adapter);
        session.attr("mount")("https://", adapter);
    }

    if (truthy(session_attributes)) {
        for (nb::handle item : session_attributes.attr("items")()) {
            nb::object name = item[0];
            // A misspelt setting ("verfy") would otherwise be stored and silently never used.
            if (!nb::hasattr(session, name))
                raise_message(PyExc_ValueError, format("unknown session attribute: {!r}", name));
            nb::setattr(session, name, item[1]);
        }
    }

    if (!truthy(session.attr("verify"))) {
        nb::object urllib3 = global("urllib3");
        urllib3.attr("disable_warnings")(urllib3.attr("exceptions").attr("InsecureRequestWarning"));
    }

    log("debug", "Confirming connectivity to Harvel server ...");
    run_probe(self, probe_timeout_sec);
}

void client_close(nb::handle self) {
    self.attr("session").attr("close")();
}

nb::object client_enter(nb::handle self) {
    return nb::borrow(self);
}

void client_exit(nb::handle self, nb::handle, nb::handle, nb::handle) {
    self.attr("close")();
}

nb::object client_repr(nb::handle self) {
    nb::object url = nb::getattr(self, "server_url", nb::none());
    nb::object version = nb::getattr(self, "version", nb::none());
    return nb::str("<{} server_url={!r} version={!r}>")
        .attr("format")(self.attr("__class__").attr("__name__"),
                        url.is_none() ? url : global("_redact_url")(url), version);
}

void set_user(nb::handle self, nb::object username, nb::object password) {
    nb::object session = self.attr("session");
    // A missing name or password means "no credentials", never the text "None" as a credential.
    if (username.is_none() || password.is_none())
        session.attr("auth") = nb::none();
    else
        session.attr("auth") = nb::make_tuple(username, password);
    session.attr("cookies").attr("clear")();
}

// ---------------------------------------------------------------------------------------------------------
// Transport

nb::object url_of(nb::handle self, nb::handle endpoint, bool absolute) {
    if (absolute) return nb::borrow(endpoint);
    static const nb::handle join = intern("join_url_parts"), server_url = intern("server_url"),
                            rest = intern("/rest");
    return call(global(join), attr(self, server_url), rest, endpoint);
}

// The response's own status check. requests quotes the URL in its message, and with it any user:password the
// server URL carries; the message is redacted as ours are, the error itself (type, response) left as it is.
void raise_for_status(nb::handle response) {
    static const nb::handle raise_for_status_name = intern("raise_for_status");
    try {
        call_method(response, raise_for_status_name);
    } catch (nb::python_error &e) {
        if (e.matches(global("requests").attr("HTTPError"))) {
            nb::handle error = e.value();
            error.attr("args") = nb::make_tuple(global("_redact_url")(nb::str(error)));
        }
        throw;
    }
}

// requests sends no query string for an empty mapping; anything falsy becomes one.
nb::object params_or_empty(nb::handle params) {
    if (!truthy(params)) return nb::dict();
    return nb::borrow(params);
}

// The keywords every session call gets besides its own: the client's time-out, when one is set. Without one
// the call is exactly what it was before the option existed.
nb::dict request_options(nb::handle self) {
    nb::dict options;
    nb::object timeout = nb::getattr(self, "timeout", nb::none());
    if (!timeout.is_none()) options["timeout"] = timeout;
    return options;
}

// The client's time-out, or null when it has none.
nb::object timeout_of(nb::handle self) {
    static const nb::handle timeout = intern("timeout");
    nb::object value = guarded([&] {
        PyObject *result = PyObject_GetAttr(self.ptr(), timeout.ptr());
        if (!result && PyErr_ExceptionMatches(PyExc_AttributeError)) {
            PyErr_Clear();
            result = Py_NewRef(Py_None);
        }
        return result;
    });
    return value.is_none() ? nb::object() : value;
}

// Raise the error class for a failure status (EngineHTTPError or its class for that status) with the
// response; a response whose status is no failure is left to its own check. On delete, 400 and 500 stay
// plain.
void raise_engine_error(nb::handle response, bool plain_400_500) {
    static const nb::handle status_code = intern("status_code");
    nb::object status = attr(response, status_code);
    // A success, the common case, needs no class: only the response's own check, as always.
    if (PyLong_Check(status.ptr()) && PyLong_AsLong(status.ptr()) < 400 && !PyErr_Occurred())
        return raise_for_status(response);
    PyErr_Clear();
    nb::object error = call(global("_error_class_for"), status);
    if (error.is_none()) return raise_for_status(response);
    if (plain_400_500 && (status.equal(nb::int_(400)) || status.equal(nb::int_(500))))
        error = global("_EngineHTTPError");
    raise(call(error, response));
}

void handle_http_error(nb::handle, nb::handle response) {
    nb::object status = response.attr("status_code");
    if (status.equal(nb::int_(500))) raise(global("InternalServerError")(response));
    if (status.equal(nb::int_(400))) raise(global("BadRequestError")(response));
    raise_engine_error(response, false);
}

nb::object transport_get(nb::handle self, nb::handle endpoint, nb::handle params,
                         nb::handle absolute_endpoint) {
    static const nb::handle session = intern("session"), get = intern("get"),
                            check = intern("_handle_http_error"), with_params = keywords({"params"}),
                            with_timeout = keywords({"params", "timeout"});
    nb::object url = url_of(self, endpoint, truthy(absolute_endpoint));
    nb::object timeout = timeout_of(self);
    nb::object response =
        timeout
            ? call_method_kw(attr(self, session), get, with_timeout, url, params_or_empty(params), timeout)
            : call_method_kw(attr(self, session), get, with_params, url, params_or_empty(params));
    call_method(self, check, response);
    return response;
}

nb::object transport_post(nb::handle self, nb::handle endpoint, nb::handle absolute_endpoint,
                          nb::handle params, nb::handle data, nb::handle files, nb::handle headers,
                          nb::handle is_data_format_json) {
    nb::object url = url_of(self, endpoint, truthy(absolute_endpoint));
    nb::object body = nb::none();
    if (!truthy(is_data_format_json))
        body = nb::borrow(data);
    else if (truthy(data))
        body = global("json").attr("dumps")(data, "default"_a = global("pipeline_json_encoder"));
    nb::object response =
        self.attr("session").attr("post")(url, "params"_a = params_or_empty(params), "data"_a = body,
                                          "files"_a = files, "headers"_a = headers, **request_options(self));
    self.attr("_handle_http_error")(response);
    return response;
}

nb::object transport_put(nb::handle self, nb::handle endpoint, nb::handle params, nb::handle data,
                         nb::handle is_data_format_json) {
    nb::object url = url_of(self, endpoint, false);
    nb::object body = nb::borrow(data);
    if (truthy(is_data_format_json)) body = global("json").attr("dumps")(truthy(data) ? body : nb::dict());
    nb::object response = self.attr("session").attr("put")(url, "params"_a = params_or_empty(params),
                                                           "data"_a = body, **request_options(self));
    self.attr("_handle_http_error")(response);
    return response;
}

nb::object transport_delete(nb::handle self, nb::handle endpoint, nb::handle params) {
    nb::object url = url_of(self, endpoint, false);
    nb::object response = self.attr("session").attr("delete")(url, "params"_a = params_or_empty(params),
                                                              **request_options(self));
    // The text leaves delete's failures to the response's own check: no 400/500 classes here.
    raise_engine_error(response, true);
    return response;
}

// Our own _get for a body that is wanted whole in an io.BytesIO. requests builds `content` by joining its
// chunks, so for a moment it holds the body twice; streamed, each chunk goes straight into the buffer and
// the peak is one copy. The request on the wire is the same: `stream` only changes how the body is read.
// An error answer is read in full before the status check, so the exception's response has its content as
// it would without streaming. The buffer grows only by what has arrived: the declared Content-Length is not
// needed (urllib3 already holds the body to it where it frames the body) and is never trusted for a size.
nb::object streamed_get(nb::handle self, nb::handle endpoint, nb::handle params) {
    nb::object url = url_of(self, endpoint, false);
    nb::object response = self.attr("session").attr("get")(url, "params"_a = params_or_empty(params),
                                                           "stream"_a = true, **request_options(self));
    if (!truthy(response.attr("ok"))) response.attr("content");
    self.attr("_handle_http_error")(response);
    nb::object buffer = global("io").attr("BytesIO")();
    nb::object write = buffer.attr("write");
    for (nb::handle chunk : response.attr("iter_content")(1 << 20)) write(chunk);
    buffer.attr("seek")(0);
    response.attr("close")();  // the body is read: this hands the connection back to the pool
    return buffer;
}

}  // namespace

nb::object get_into_buffer(nb::handle self, nb::handle endpoint, nb::handle params) {
    // Streaming needs our own _get (a replaced one is called as it is) and a requests session.
    nb::object get = self.attr("_get");
    nb::object session_class = global("requests").attr("Session");
    if (nb::getattr(get, "__func__", nb::none()).is(global("_own_get")) &&
        PyType_Check(session_class.ptr()) && nb::isinstance(self.attr("session"), session_class))
        return streamed_get(self, endpoint, params);
    return global("io").attr("BytesIO")(get("endpoint"_a = endpoint, "params"_a = params).attr("content"));
}

ClientClass init_client(nb::module_ &m) {
    ClientClass cls(m, "ApiClient", nb::dynamic_attr(), nb::is_weak_referenceable(), construct_as_python(),
                    "Client for the REST API of one VELM engine.\n\n"
                    "Opens one HTTP session (``session``), installs the required headers, credentials and\n"
                    "session settings, and waits until the engine answers its information endpoint before\n"
                    "returning; ``version`` then holds the engine's version. Every REST operation is a\n"
                    "method; each sends one request and returns the decoded JSON body or a command object.");

    copy_as_python(cls);
    const nb::object default_api_version = m.attr("DEFAULT_VELM_API_VERSION");
    cls.def(
        "__init__", &client_init,
        nb::sig("def __init__(self, server_url: str, authentication_method: str | None = None, "
                "username: str | None = None, password: str | None = None, api_version: int = 1, "
                "session_attributes: collections.abc.Mapping[str, typing.Any] | None = None, "
                "headers: collections.abc.Mapping[str, str] | None = None, *, "
                "timeout: float | tuple[float | None, float | None] | None = None, "
                "retries: int | urllib3.util.retry.Retry | None = None, "
                "probe_timeout_sec: float = 60) -> None"),
        "server_url"_a.none(), "authentication_method"_a.none() = nb::none(),
        "username"_a.none() = nb::none(), "password"_a.none() = nb::none(),
        "api_version"_a.none() = default_api_version, "session_attributes"_a.none() = nb::none(),
        "headers"_a.none() = nb::none(), nb::kw_only(), "timeout"_a.none() = nb::none(),
        "retries"_a.none() = nb::none(), "probe_timeout_sec"_a = 60,
        "Connect to the engine at ``server_url``.\n\n"
        "Args:\n"
        "    server_url: base URL of the engine (scheme, host, port, optional path).\n"
        "    authentication_method: ``ENGINE_AUTHENTICATION_METHOD_FORM`` (\"form\") sends HTTP basic\n"
        "        credentials with every request; any other value sends none.\n"
        "    username, password: the credentials for form authentication (both required for it).\n"
        "    api_version: REST API version used in every path (default 1).\n"
        "    session_attributes: settings of the ``requests.Session`` to set, name to value\n"
        "        (``verify``, ``cert``, ``proxies``, ...), applied after the headers.\n"
        "    headers: extra headers sent with every request; they replace required ones of the same name.\n"
        "    timeout: keyword only; seconds, or a (connect, read) pair, for every request the client sends,\n"
        "        the probe's included (``client.timeout``). None (the default) waits as long as the\n"
        "        connection allows. Running out raises requests.Timeout, which the probe does not retry.\n"
        "    retries: keyword only; an int or a urllib3 ``Retry``, mounted for http:// and https://. An int\n"
        "        retries connection failures and 502/503/504 answers to GET and HEAD that many times, with\n"
        "        exponential back-off, honouring Retry-After. An ``adapters`` entry in session_attributes\n"
        "        replaces these adapters. None (the default) retries nothing.\n"
        "    probe_timeout_sec: keyword only; how long the probe keeps trying (default 60 seconds).\n\n"
        "Raises:\n"
        "    ValueError: form authentication without username or password, or an unknown session\n"
        "        attribute, or an option out of range.\n"
        "    TypeError: an option of the wrong type.\n"
        "    TimeoutError: the engine did not answer its information endpoint with a version in time; the\n"
        "        message names the last answer, which is the error's ``__cause__``.\n"
        "    requests.ConnectionError: the engine could not be reached.\n"
        "    requests.Timeout: the engine did not answer within ``timeout``.");

    cls.def("close", &client_close, nb::sig("def close(self) -> None"),
            "Close the client's session and its connections.\n\n"
            "The client can still be used afterwards: requests opens new connections as needed.");
    cls.def("__enter__", &client_enter, nb::sig("def __enter__(self) -> ApiClient"),
            "Use the client in a ``with`` block, which closes its session at the end.");
    cls.def(
        "__exit__", &client_exit,
        nb::sig("def __exit__(self, exc_type: type[BaseException] | None, exc_value: BaseException | None, "
                "traceback: types.TracebackType | None) -> None"),
        "exc_type"_a.none(), "exc_value"_a.none(), "traceback"_a.none(),
        "Close the session (``close()``); exceptions are not suppressed.");
    cls.def("__repr__", &client_repr, nb::sig("def __repr__(self) -> str"),
            "The class, the server URL (credentials hidden) and the engine version.");

    cls.def("set_user", &set_user,
            nb::sig("def set_user(self, username: str | None, password: str | None) -> None"),
            "username"_a.none(), "password"_a.none(),
            "Replace the credentials sent with every later request and forget the session cookies.\n\n"
            "A username or password of None removes the credentials altogether. Nothing is sent.");

    cls.def(
        "_get", &transport_get,
        nb::sig(
            "def _get(self, endpoint: str, params: collections.abc.Mapping[str, typing.Any] | None = None, "
            "absolute_endpoint: bool | None = False) -> requests.Response"),
        "endpoint"_a.none(), "params"_a.none() = nb::none(), "absolute_endpoint"_a.none() = false,
        "Send GET to ``endpoint`` (under the server URL and \"/rest\" unless ``absolute_endpoint``) "
        "and return the response after its status check.");
    // Kept in the module namespace (not in C++) so that it goes with the module at exit.
    m.attr("_own_get") = cls.attr("_get");
    cls.def(
        "_post", &transport_post,
        nb::sig("def _post(self, endpoint: str, absolute_endpoint: bool | None = False, "
                "params: collections.abc.Mapping[str, typing.Any] | None = None, data: typing.Any = None, "
                "files: typing.Any = None, headers: collections.abc.Mapping[str, str | None] | None = None, "
                "is_data_format_json: bool | None = True) -> requests.Response"),
        "endpoint"_a.none(), "absolute_endpoint"_a.none() = false, "params"_a.none() = nb::none(),
        "data"_a.none() = nb::none(), "files"_a.none() = nb::none(), "headers"_a.none() = nb::none(),
        "is_data_format_json"_a.none() = true,
        "Send POST and return the response after its status check.\n\n"
        "``data`` is JSON-encoded (no body when empty) unless ``is_data_format_json`` is false;\n"
        "``files`` makes a multipart form; a ``headers`` entry of None removes that header.");
    cls.def(
        "_put", &transport_put,
        nb::sig(
            "def _put(self, endpoint: str, params: collections.abc.Mapping[str, typing.Any] | None = None, "
            "data: typing.Any = None, is_data_format_json: bool | None = True) -> requests.Response"),
        "endpoint"_a.none(), "params"_a.none() = nb::none(), "data"_a.none() = nb::none(),
        "is_data_format_json"_a.none() = true,
        "Send PUT and return the response after its status check; an empty JSON body is sent as "
        "\"{}\".");
    cls.def(
        "_delete", &transport_delete,
        nb::sig("def _delete(self, endpoint: str, params: collections.abc.Mapping[str, typing.Any] | None = "
                "None) -> requests.Response"),
        "endpoint"_a.none(), "params"_a.none() = nb::none(),
        "Send DELETE and return the response; any status from 400 to 599 raises its\n"
        "EngineHTTPError class, 400 and 500 included as plain EngineHTTPError.");
    cls.def("_handle_http_error", &handle_http_error,
            nb::sig("def _handle_http_error(self, response: requests.Response) -> None"), "response"_a.none(),
            "Raise InternalServerError for 500, BadRequestError for 400, and for any other status from 400\n"
            "to 599 its class in quenlo.sdk.exceptions (UnauthorizedError, NotFoundError, ...) or\n"
            "EngineHTTPError; every one is a requests.HTTPError.");
    return cls;
}

}  // namespace velm
