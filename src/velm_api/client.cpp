#include <cmath>
#include <memory>

#include "commands.hpp"

namespace velm {
namespace {

// ---------------------------------------------------------------------------------------------------------
// Construction and session

// The probe's keyword options; both off by default.
struct ProbeOptions {
    // A client error (4xx but 408 and 429) ends the probe at once: no retry makes a wrong password right.
    bool fail_fast = false;
    // Connection failures and time-outs are retried like failure statuses: the engine may still be starting.
    bool retry_unreachable = false;
};

// Whether the HTTP error `e` is an answer no retry changes: 4xx, but 408 (Request Timeout) and 429 (Too Many
// Requests), which ask for another try.
bool is_final_answer(nb::python_error &e) {
    nb::object response = nb::getattr(e.value(), "response", nb::none());
    nb::object status = nb::getattr(response, "status_code", nb::none());
    if (!PyLong_Check(status.ptr())) return false;
    const long code = PyLong_AsLong(status.ptr());
    if (code == -1 && PyErr_Occurred()) {
        PyErr_Clear();  // too large for a long: no 4xx either
        return false;
    }
    return code >= 400 && code < 500 && code != 408 && code != 429;
}

// Whether `e` says the engine could not be reached or did not answer in time. A TLS failure is left out: a
// certificate that is not trusted stays untrusted, however long the probe waits.
bool is_unreachable(nb::python_error &e) {
    nb::object exceptions = attr(global("requests"), "exceptions");
    return (e.matches(attr(exceptions, "ConnectionError")) || e.matches(attr(exceptions, "Timeout"))) &&
           !e.matches(attr(exceptions, "SSLError"));
}

// Called by wait_for_condition until it returns a true value: reads the engine information and keeps the
// engine's version. HTTP failure statuses and a record without "version" are retried, and with the options,
// client errors are not and an unreachable engine is; anything else (a body that is not JSON, say) leaves the
// probe and the constructor. A retried failure is kept in `last_failure`, so that giving up can name it.
nb::object velm_connectivity_established(nb::handle api_client, nb::object &last_failure,
                                         ProbeOptions options) {
    try {
        nb::object version = call_method(api_client, intern("get_velm_info"))["version"];
        nb::setattr(api_client, "version", version);
        log("debug", "Connected to VELM v%s", version);
        return nb::borrow(Py_True);
    } catch (nb::python_error &e) {
        const char *retry = nullptr;
        if (e.matches(attr(global("requests"), "HTTPError")))
            retry = options.fail_fast && is_final_answer(e)
                        ? nullptr
                        : "Call to VELM info endpoint failed. Trying again ...";
        else if (e.matches(PyExc_KeyError))
            retry = "Invalid VELM info received. Trying again ...";
        else if (options.retry_unreachable && is_unreachable(e))
            retry = "VELM could not be reached. Trying again ...";
        if (!retry) throw;
        last_failure = exception_of(e);
        log("debug", retry);
        return nb::none();
    }
}

// "401 Unauthorized from <url>", what was wrong with an answer that came without a version, or why there was
// no answer at all.
nb::object describe_probe_failure(nb::handle self, nb::handle failure) {
    nb::object response = nb::getattr(failure, "response", nb::none());
    if (response.is_none() && !nb::isinstance(failure, nb::handle(PyExc_KeyError)))
        return format("no answer ({}: {})", attr(failure.type(), "__name__"),
                      call(global("_redact_url"), nb::str(failure)));
    if (!response.is_none()) {
        nb::object reason = attr(response, "reason");
        return format("{} {} from {}", attr(response, "status_code"), reason.is_none() ? nb::str("") : reason,
                      call(global("_redact_url"), attr(response, "url")));
    }
    nb::object url = call(global("join_url_parts"), attr(self, "server_url"), nb::str("/rest"),
                          endpoint(self, "/v{}/system/info"));
    return format("an information record without a version from {}", call(global("_redact_url"), url));
}

// The probe, run by wait_for_condition. When it gives up, its TimeoutError names the last failure and has
// it as its cause: "not met within 60 seconds" alone does not tell a wrong password from a wrong base path.
void run_probe(nb::handle self, nb::handle probe_timeout_sec, ProbeOptions options) {
    static const nb::handle with_timeout = keywords({"timeout"});
    auto last_failure = std::make_shared<nb::object>();
    nb::object probe = nb::cpp_function(
        [last_failure, options](nb::handle api_client) {
            return velm_connectivity_established(api_client, *last_failure, options);
        },
        nb::name("velm_connectivity_established"));
    nb::list probe_args;
    probe_args.append(self);
    try {
        // The default is wait_for_condition's own, so the call stays as it was when nothing is given.
        if (probe_timeout_sec.equal(nb::int_(60)))
            call(global("wait_for_condition"), probe, probe_args);
        else
            call_kw(global("wait_for_condition"), with_timeout, probe, probe_args, probe_timeout_sec);
    } catch (nb::python_error &e) {
        // Taken out of the probe, which a traceback frame may keep alive: the exception must not hold itself.
        nb::object failure = std::move(*last_failure);
        if (!e.matches(PyExc_TimeoutError) || !failure.is_valid()) throw;
        nb::handle error = e.value();
        nb::object stem = call_method(nb::str(error), intern("rstrip"), nb::str("."));
        nb::setattr(
            error, "args",
            nb::make_tuple(format("{}; last answer: {}", stem, describe_probe_failure(self, failure))));
        nb::setattr(error, "__cause__", failure);
        throw;
    }
    last_failure->reset();
}

// The longest time-out the socket layer takes everywhere: what fits in a C int of milliseconds.
constexpr double longest_timeout = 2147483;

// The client's time-out: None, seconds, or a (connect, read) pair, each None or seconds. Checked here so a
// mistake shows at construction, not as requests' error on the first request.
nb::object checked_timeout(nb::handle timeout) {
    if (timeout.is_none()) return nb::none();
    auto seconds = [](nb::handle value, bool none_allowed) {
        if (none_allowed && value.is_none()) return;
        if (!is_seconds(value))
            raise_message(PyExc_TypeError,
                          format("timeout must be seconds or a (connect, read) pair, not {!r}", value));
        const double number = to_double(value);
        if (!(number > 0))
            raise_message(PyExc_ValueError, format("timeout must be more than 0 seconds, not {!r}", value));
        if (!(number <= longest_timeout))
            raise_message(PyExc_ValueError,
                          format("timeout must be at most {} seconds (about 24 days), not {!r}",
                                 nb::int_((long)longest_timeout), value));
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
    nb::object retry_class = attr(attr(global("urllib3"), "util"), "Retry");
    if (nb::isinstance(retries, retry_class)) return nb::borrow(retries);
    if (PyBool_Check(retries.ptr()) || !PyLong_Check(retries.ptr()))
        raise_message(PyExc_TypeError,
                      format("retries must be an int or a urllib3 Retry, not {!r}", retries));
    if (nb::int_(retries) < nb::int_(0)) throw nb::value_error("retries must be 0 or more");
    static const nb::handle settings =
        keywords({"total", "backoff_factor", "status_forcelist", "allowed_methods",
                  "respect_retry_after_header", "raise_on_status"});
    return call_kw(retry_class, settings, retries, nb::float_(0.5), nb::make_tuple(502, 503, 504),
                   nb::make_tuple("GET", "HEAD"), nb::bool_(true), nb::bool_(false));
}

void client_init(nb::handle self, nb::handle server_url, nb::handle authentication_method,
                 nb::handle username, nb::handle password, nb::handle api_version,
                 nb::handle session_attributes, nb::handle headers, nb::handle timeout, nb::handle retries,
                 nb::handle probe_timeout_sec, nb::handle probe_fail_fast,
                 nb::handle probe_retry_unreachable) {
    // The options are checked before anything is stored or sent.
    nb::object checked = checked_timeout(timeout);
    nb::object retry = retries.is_none() ? nb::none() : checked_retries(retries);
    if (std::isnan(seconds_of(probe_timeout_sec, "probe_timeout_sec")))
        throw nb::value_error("probe_timeout_sec must be a number of seconds, not nan");
    nb::setattr(self, "server_url", server_url);
    nb::setattr(self, "authentication_method", authentication_method);
    nb::object requests = global("requests");
    nb::object session = call(attr(requests, "Session"));
    nb::setattr(self, "session", session);
    nb::setattr(self, "api_version", api_version);
    nb::setattr(self, "timeout", checked);
    log("info", "Authentication method = %s", authentication_method);

    if (authentication_method.equal(global("ENGINE_AUTHENTICATION_METHOD_FORM"))) {
        if (username.is_none() || password.is_none())
            throw nb::value_error("username and password are mandatory parameters");
        nb::setattr(session, "auth", nb::make_tuple(username, password));
    } else if (!username.is_none() || !password.is_none()) {
        // Given for nothing: say so, rather than let the engine's 401 be the first sign.
        nb::str message = format(
            "No credentials will be sent: the username and password are used only with the form "
            "authentication method ({!r}), not with {!r}",
            global("ENGINE_AUTHENTICATION_METHOD_FORM"), authentication_method);
        // Level 2: past __init__'s own Python frame to its caller, whose line the warning then names.
        guarded([&]() -> PyObject * {
            if (PyErr_WarnEx(PyExc_UserWarning, message.c_str(), 2) != 0) return nullptr;
            Py_INCREF(Py_None);
            return Py_None;
        });
    }

    nb::object update = attr(attr(session, "headers"), "update");
    call(update, global("REQUIRED_HEADERS"));
    if (truthy(headers)) call(update, headers);

    // Before session_attributes, which may replace anything set so far: an "adapters" entry replaces these.
    if (!retry.is_none()) {
        static const nb::handle max_retries = keywords({"max_retries"});
        nb::object adapter = call_kw(global("_RetryingAdapter"), max_retries, retry);
        for (const char *prefix : {"http://", "https://"})
            call_method(session, intern("mount"), nb::str(prefix), adapter);
    }

    if (truthy(session_attributes)) {
        for (nb::handle item : call_method(session_attributes, intern("items"))) {
            nb::object name = item[0];
            // A misspelt setting ("verfy") would otherwise be stored and silently never used.
            if (!nb::hasattr(session, name))
                raise_message(PyExc_ValueError, format("unknown session attribute: {!r}", name));
            nb::setattr(session, name, item[1]);
        }
    }

    if (!truthy(attr(session, "verify"))) {
        nb::object urllib3 = global("urllib3");
        call(attr(urllib3, "disable_warnings"), attr(attr(urllib3, "exceptions"), "InsecureRequestWarning"));
    }

    log("debug", "Confirming connectivity to Harvel server ...");
    run_probe(self, probe_timeout_sec,
              ProbeOptions{truthy(probe_fail_fast), truthy(probe_retry_unreachable)});
}

nb::object client_repr(nb::handle self) {
    nb::object url = nb::getattr(self, "server_url", nb::none());
    nb::object version = nb::getattr(self, "version", nb::none());
    return format("<{} server_url={!r} version={!r}>", attr(attr(self, "__class__"), "__name__"),
                  url.is_none() ? url : call(global("_redact_url"), url), version);
}

void set_user(nb::handle self, nb::handle username, nb::handle password) {
    nb::object session = attr(self, "session");
    // A missing name or password means "no credentials", never "None" sent as a credential.
    nb::object auth = nb::none();
    if (!username.is_none() && !password.is_none()) auth = nb::make_tuple(username, password);
    nb::setattr(session, "auth", auth);
    call_method(attr(session, "cookies"), intern("clear"));
}

// ---------------------------------------------------------------------------------------------------------
// Transport

// The full URL of `endpoint`: under the server URL and "/rest" unless it is absolute already.
nb::object url_of(nb::handle self, nb::handle endpoint, bool absolute) {
    static const nb::handle join = intern("join_url_parts"), server_url = intern("server_url"),
                            rest = intern("/rest");
    if (absolute) return nb::borrow(endpoint);
    return call(global(join), attr(self, server_url), rest, endpoint);
}

// The response's own status check. requests quotes the URL in its message, and with it any user:password the
// server URL carries; the message is redacted as ours are, the error itself (type, response) left as it is.
void raise_for_status(nb::handle response) {
    static const nb::handle raise_for_status_name = intern("raise_for_status");
    try {
        call_method(response, raise_for_status_name);
    } catch (nb::python_error &e) {
        if (e.matches(attr(global("requests"), "HTTPError"))) {
            nb::handle error = e.value();
            nb::setattr(error, "args", nb::make_tuple(call(global("_redact_url"), nb::str(error))));
        }
        throw;
    }
}

// A status code as a C long, or -1 when it is no int (or too large for one): such a status is compared as
// Python compares it.
long status_number(nb::handle status) {
    if (!PyLong_Check(status.ptr())) return -1;
    const long code = PyLong_AsLong(status.ptr());
    if (code == -1) PyErr_Clear();
    return code;
}

bool status_is(nb::handle status, long code, long wanted) {
    return code >= 0 ? code == wanted : status.equal(nb::int_(wanted));
}

// Raise the error class for a failure status (EngineHTTPError or its class for that status) with the
// response; a response whose status is no failure is left to its own check. On delete, 400 and 500 stay
// plain.
void raise_engine_error(nb::handle response, nb::handle status, long code, bool plain_400_500) {
    // A success, the common case, needs no class: only the response's own check.
    if (code >= 0 && code < 400) return raise_for_status(response);
    nb::object error = call(global("_error_class_for"), status);
    if (error.is_none()) return raise_for_status(response);
    if (plain_400_500 && (status_is(status, code, 400) || status_is(status, code, 500)))
        error = global("_EngineHTTPError");
    raise(call(error, response));
}

void handle_http_error(nb::handle, nb::handle response) {
    static const nb::handle status_code = intern("status_code");
    nb::object status = attr(response, status_code);
    const long code = status_number(status);
    if (status_is(status, code, 500)) raise(call(global("InternalServerError"), response));
    if (status_is(status, code, 400)) raise(call(global("BadRequestError"), response));
    raise_engine_error(response, status, code, false);
}

// An answer of a requests session, made an EngineResponse in place: its json() then names the request when
// the body is not JSON. Anything else (a subclass, a stand-in, any answer when the module's `requests` is
// replaced by one without Response) is left as it is.
nb::object engine_response(nb::object response) {
    static const nb::handle response_name = intern("Response"),
                            engine_response_name = intern("_EngineResponse");
    if (response.type().is(nb::getattr(global("requests"), response_name, nb::none())))
        nb::setattr(response, "__class__", global(engine_response_name));
    return response;
}

// The session's verb with the query and the other keywords of the request, and the client's time-out when it
// has one: session.<verb>(url, params=..., <values>..., timeout=...). `keywords` names params and the values,
// `timed` the same and timeout. requests sends no query string for an empty mapping; anything falsy goes as
// {}.
template <typename... Values>
nb::object send(nb::handle self, nb::handle verb, nb::handle keywords, nb::handle timed, nb::handle url,
                nb::handle params, const Values &...values) {
    static const nb::handle timeout_name = intern("timeout"), session = intern("session");
    nb::object query = truthy(params) ? nb::borrow(params) : nb::dict();
    nb::object timeout = nb::getattr(self, timeout_name, nb::none());
    if (timeout.is_none())
        return engine_response(call_method_kw(attr(self, session), verb, keywords, url, query, values...));
    return engine_response(call_method_kw(attr(self, session), verb, timed, url, query, values..., timeout));
}

nb::object checked(nb::handle self, nb::object response) {
    static const nb::handle check = intern("_handle_http_error");
    call_method(self, check, response);
    return response;
}

nb::object transport_get(nb::handle self, nb::handle endpoint, nb::handle params,
                         nb::handle absolute_endpoint) {
    static const nb::handle get = intern("get"), kw = keywords({"params"}),
                            timed = keywords({"params", "timeout"});
    return checked(self,
                   send(self, get, kw, timed, url_of(self, endpoint, truthy(absolute_endpoint)), params));
}

nb::object transport_post(nb::handle self, nb::handle endpoint, nb::handle absolute_endpoint,
                          nb::handle params, nb::handle data, nb::handle files, nb::handle headers,
                          nb::handle is_data_format_json) {
    static const nb::handle post = intern("post"), kw = keywords({"params", "data", "files", "headers"}),
                            with_default = keywords({"default"}),
                            timed = keywords({"params", "data", "files", "headers", "timeout"});
    nb::object body = nb::borrow(data);
    if (truthy(is_data_format_json))
        body = truthy(data) ? call_kw(attr(global("json"), "dumps"), with_default, data,
                                      global("pipeline_json_encoder"))
                            : nb::none();
    nb::object url = url_of(self, endpoint, truthy(absolute_endpoint));
    return checked(self, send(self, post, kw, timed, url, params, body, files, headers));
}

nb::object transport_put(nb::handle self, nb::handle endpoint, nb::handle params, nb::handle data,
                         nb::handle is_data_format_json) {
    static const nb::handle put = intern("put"), kw = keywords({"params", "data"}),
                            timed = keywords({"params", "data", "timeout"});
    nb::object body = nb::borrow(data);
    if (truthy(is_data_format_json))
        body = call(attr(global("json"), "dumps"), truthy(data) ? body : nb::dict());
    return checked(self, send(self, put, kw, timed, url_of(self, endpoint, false), params, body));
}

nb::object transport_delete(nb::handle self, nb::handle endpoint, nb::handle params) {
    static const nb::handle verb = intern("delete"), kw = keywords({"params"}),
                            timed = keywords({"params", "timeout"});
    nb::object response = send(self, verb, kw, timed, url_of(self, endpoint, false), params);
    // Failures of delete get their classes, but 400 and 500 stay plain EngineHTTPError.
    nb::object status = attr(response, "status_code");
    raise_engine_error(response, status, status_number(status), true);
    return response;
}

// Our own _get for a body that is wanted whole in an io.BytesIO. requests builds `content` by joining its
// chunks, so for a moment it holds the body twice; streamed, each chunk goes straight into the buffer and
// the peak is one copy. The request on the wire is the same: `stream` only changes how the body is read.
// An error answer is read in full before the status check, so the exception's response has its content as
// it would without streaming. The buffer grows only by what has arrived: the declared Content-Length is not
// needed (urllib3 already holds the body to it where it frames the body) and is never trusted for a size.
nb::object streamed_get(nb::handle self, nb::handle endpoint, nb::handle params) {
    static const nb::handle get = intern("get"), kw = keywords({"params", "stream"}),
                            timed = keywords({"params", "stream", "timeout"});
    nb::object response = send(self, get, kw, timed, url_of(self, endpoint, false), params, nb::bool_(true));
    if (!truthy(attr(response, "ok"))) attr(response, "content");
    checked(self, response);
    nb::object buffer = call(attr(global("io"), "BytesIO"));
    nb::object write = attr(buffer, "write");
    for (nb::handle chunk : call_method(response, intern("iter_content"), nb::int_(1 << 20)))
        call(write, chunk);
    call_method(buffer, intern("seek"), nb::int_(0));
    call_method(response, intern("close"));  // the body is read: this hands the connection back to the pool
    return buffer;
}

}  // namespace

nb::object get_into_buffer(nb::handle self, nb::handle endpoint, nb::handle params) {
    // Streaming needs our own _get (a replaced one is called as it is) and a requests session.
    nb::object get = attr(self, "_get");
    nb::object session_class = attr(global("requests"), "Session");
    if (nb::getattr(get, "__func__", nb::none()).is(global("_own_get")) &&
        PyType_Check(session_class.ptr()) && nb::isinstance(attr(self, "session"), session_class))
        return streamed_get(self, endpoint, params);
    static const nb::handle with_query = keywords({"endpoint", "params"});
    nb::object response = call_kw(get, with_query, endpoint, params);
    return call(attr(global("io"), "BytesIO"), attr(response, "content"));
}

ClientClass init_client(nb::module_ &m) {
    ClientClass cls(m, "ApiClient", nb::dynamic_attr(), nb::is_weak_referenceable(), construct_as_python(),
                    "Client for the REST API of one VELM engine.\n\n"
                    "Opens one HTTP session (``session``), installs the required headers, credentials and\n"
                    "session settings, and waits until the engine answers its information endpoint before\n"
                    "returning; ``version`` then holds the engine's version. Every REST operation is a\n"
                    "method; each sends one request and returns the decoded JSON body or a command object.");
    copy_as_python(cls);
    def_method(
        cls,
        "__init__(self, server_url: str, authentication_method: str | None = None, "
        "username: str | None = None, password: str | None = None, api_version: int = 1, "
        "session_attributes: collections.abc.Mapping[str, typing.Any] | None = None, "
        "headers: collections.abc.Mapping[str, str] | None = None, *, "
        "timeout: float | tuple[float | None, float | None] | None = None, "
        "retries: int | urllib3.util.retry.Retry | None = None, probe_timeout_sec: float = 60, "
        "probe_fail_fast: bool = False, probe_retry_unreachable: bool = False) -> None",
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
        "    timeout: keyword only; seconds, or a (connect, read) pair, for every request the client\n"
        "        sends, the probe's included (``client.timeout``), at most 2147483 seconds. None (the\n"
        "        default) waits as long as the connection allows. Running out raises requests.Timeout\n"
        "        (ConnectTimeout or ReadTimeout), with or without retries; the probe retries it only with\n"
        "        probe_retry_unreachable.\n"
        "    retries: keyword only; an int or a urllib3 ``Retry``, mounted for http:// and https://. An int\n"
        "        retries connection failures and 502/503/504 answers to GET and HEAD that many times, with\n"
        "        exponential back-off, honouring Retry-After. An ``adapters`` entry in session_attributes\n"
        "        replaces these adapters. None (the default) retries nothing.\n"
        "    probe_timeout_sec: keyword only; how long the probe keeps trying (default 60 seconds).\n"
        "    probe_fail_fast: keyword only; a 4xx answer to the probe (but 408 and 429) raises its error\n"
        "        (UnauthorizedError, NotFoundError, ...) at once instead of being retried. Default False.\n"
        "    probe_retry_unreachable: keyword only; the probe retries connection failures and time-outs\n"
        "        like failure answers until ``probe_timeout_sec``, for an engine that is still starting.\n"
        "        Default False: they are raised at once.\n\n"
        "Raises:\n"
        "    ValueError: form authentication without username or password, or an unknown session\n"
        "        attribute, or an option out of range (a NaN or infinite time-out among them).\n"
        "    TypeError: an option of the wrong type.\n"
        "    TimeoutError: the engine did not answer its information endpoint with a version in time; the\n"
        "        message names the last answer, which is the error's ``__cause__``.\n"
        "    requests.ConnectionError: the engine could not be reached; with probe_retry_unreachable,\n"
        "        connection failures and time-outs end in the TimeoutError above instead.\n"
        "    requests.Timeout: the engine did not answer within ``timeout``.\n"
        "    UnauthorizedError, NotFoundError, ...: with probe_fail_fast, the probe's 4xx answer.\n\n"
        "Warns:\n"
        "    UserWarning: a username or password given with a method other than the form method, which\n"
        "        sends no credentials.",
        client_init);
    def_method(cls, "close(self) -> None",
               "Close the client's session and its connections.\n\n"
               "The client can still be used afterwards: requests opens new connections as needed.",
               [](nb::handle self) { call_method(attr(self, "session"), intern("close")); });
    def_method(cls, "__enter__(self) -> ApiClient",
               "Use the client in a ``with`` block, which closes its session at the end.",
               [](nb::handle self) { return nb::borrow(self); });
    def_method(
        cls,
        "__exit__(self, exc_type: type[BaseException] | None, exc_value: BaseException | None, "
        "traceback: types.TracebackType | None) -> None",
        "Close the session (``close()``); exceptions are not suppressed.",
        [](nb::handle self, nb::handle, nb::handle, nb::handle) { call_method(self, intern("close")); });
    def_method(cls, "__repr__(self) -> str",
               "The class, the server URL (credentials hidden) and the engine version.", client_repr);
    def_method(cls, "set_user(self, username: str | None, password: str | None) -> None",
               "Replace the credentials sent with every later request and forget the session cookies.\n\n"
               "A username or password of None removes the credentials altogether. Nothing is sent.",
               set_user);
    def_method(
        cls,
        "_get(self, endpoint: str, params: collections.abc.Mapping[str, typing.Any] | None = None, "
        "absolute_endpoint: bool | None = False) -> requests.Response",
        "Send GET to ``endpoint`` (under the server URL and \"/rest\" unless ``absolute_endpoint``) and "
        "return the response after its status check.",
        transport_get);
    // Kept in the module namespace (not in C++) so that it goes with the module at exit.
    m.attr("_own_get") = cls.attr("_get");
    def_method(cls,
               "_post(self, endpoint: str, absolute_endpoint: bool | None = False, "
               "params: collections.abc.Mapping[str, typing.Any] | None = None, data: typing.Any = None, "
               "files: typing.Any = None, headers: collections.abc.Mapping[str, str | None] | None = None, "
               "is_data_format_json: bool | None = True) -> requests.Response",
               "Send POST and return the response after its status check.\n\n"
               "``data`` is JSON-encoded (no body when empty) unless ``is_data_format_json`` is false;\n"
               "``files`` makes a multipart form; a ``headers`` entry of None removes that header.",
               transport_post);
    def_method(
        cls,
        "_put(self, endpoint: str, params: collections.abc.Mapping[str, typing.Any] | None = None, "
        "data: typing.Any = None, is_data_format_json: bool | None = True) -> requests.Response",
        "Send PUT and return the response after its status check; an empty JSON body is sent as \"{}\".",
        transport_put);
    def_method(
        cls,
        "_delete(self, endpoint: str, params: collections.abc.Mapping[str, typing.Any] | None = None) -> "
        "requests.Response",
        "Send DELETE and return the response; any status from 400 to 599 raises its\n"
        "EngineHTTPError class, 400 and 500 included as plain EngineHTTPError.",
        transport_delete);
    def_method(
        cls, "_handle_http_error(self, response: requests.Response) -> None",
        "Raise InternalServerError for 500, BadRequestError for 400, and for any other status from 400\n"
        "to 599 its class in quenlo.sdk.exceptions (UnauthorizedError, NotFoundError, ...) or\n"
        "EngineHTTPError; every one is a requests.HTTPError.",
        handle_http_error);
    return cls;
}

}  // namespace velm
