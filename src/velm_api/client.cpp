#include "commands.hpp"

namespace velm {
namespace {

// ---------------------------------------------------------------------------------------------------------
// Construction and session

// Called by wait_for_condition until it returns a true value: reads the engine information and keeps the
// engine's version. Only HTTP failure statuses and a record without "version" are retried; anything else
// (a refused connection, a body that is not JSON) leaves the probe and the constructor.
nb::object velm_connectivity_established(nb::handle api_client) {
    try {
        nb::object version = api_client.attr("get_velm_info")()["version"];
        api_client.attr("version") = version;
        log("debug", "Connected to VELM v%s", version);
        return nb::borrow(Py_True);
    } catch (nb::python_error &e) {
        if (e.matches(global("requests").attr("HTTPError"))) {
            log("debug", "Call to VELM info endpoint failed. Trying again ...");
            return nb::none();
        }
        if (e.matches(PyExc_KeyError)) {
            log("debug", "Invalid VELM info received. Trying again ...");
            return nb::none();
        }
        throw;
    }
}

void client_init(nb::handle self, nb::object server_url, nb::object authentication_method,
                 nb::object username, nb::object password, nb::object api_version,
                 nb::object session_attributes, nb::object headers) {
    self.attr("server_url") = server_url;
    self.attr("authentication_method") = authentication_method;
    nb::object session = global("requests").attr("Session")();
    self.attr("session") = session;
    self.attr("api_version") = api_version;
    log("info", "Authentication method = %s", authentication_method);

    if (authentication_method.equal(global("ENGINE_AUTHENTICATION_METHOD_FORM"))) {
        if (username.is_none() || password.is_none())
            throw nb::value_error("username and password are mandatory parameters");
        session.attr("auth") = nb::make_tuple(username, password);
    }

    session.attr("headers").attr("update")(global("REQUIRED_HEADERS"));
    if (truthy(headers)) session.attr("headers").attr("update")(headers);

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
    nb::object probe =
        nb::cpp_function(&velm_connectivity_established, nb::name("velm_connectivity_established"));
    nb::list probe_args;
    probe_args.append(self);
    global("wait_for_condition")(probe, probe_args);
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
    return global("join_url_parts")(self.attr("server_url"), "/rest", endpoint);
}

// The response's own status check. requests quotes the URL in its message, and with it any user:password the
// server URL carries; the message is redacted as ours are, the error itself (type, response) left as it is.
void raise_for_status(nb::handle response) {
    try {
        response.attr("raise_for_status")();
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

void handle_http_error(nb::handle, nb::handle response) {
    nb::object status = response.attr("status_code");
    if (status.equal(nb::int_(500))) raise(global("InternalServerError")(response));
    if (status.equal(nb::int_(400))) raise(global("BadRequestError")(response));
    raise_for_status(response);
}

nb::object transport_get(nb::handle self, nb::handle endpoint, nb::handle params,
                         nb::handle absolute_endpoint) {
    nb::object url = url_of(self, endpoint, truthy(absolute_endpoint));
    nb::object response = self.attr("session").attr("get")(url, "params"_a = params_or_empty(params));
    self.attr("_handle_http_error")(response);
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
    nb::object response = self.attr("session").attr("post")(
        url, "params"_a = params_or_empty(params), "data"_a = body, "files"_a = files, "headers"_a = headers);
    self.attr("_handle_http_error")(response);
    return response;
}

nb::object transport_put(nb::handle self, nb::handle endpoint, nb::handle params, nb::handle data,
                         nb::handle is_data_format_json) {
    nb::object url = url_of(self, endpoint, false);
    nb::object body = nb::borrow(data);
    if (truthy(is_data_format_json)) body = global("json").attr("dumps")(truthy(data) ? body : nb::dict());
    nb::object response =
        self.attr("session").attr("put")(url, "params"_a = params_or_empty(params), "data"_a = body);
    self.attr("_handle_http_error")(response);
    return response;
}

nb::object transport_delete(nb::handle self, nb::handle endpoint, nb::handle params) {
    nb::object url = url_of(self, endpoint, false);
    nb::object response = self.attr("session").attr("delete")(url, "params"_a = params_or_empty(params));
    raise_for_status(response);
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
    nb::object response =
        self.attr("session").attr("get")(url, "params"_a = params_or_empty(params), "stream"_a = true);
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
                "headers: collections.abc.Mapping[str, str] | None = None) -> None"),
        "server_url"_a.none(), "authentication_method"_a.none() = nb::none(),
        "username"_a.none() = nb::none(), "password"_a.none() = nb::none(),
        "api_version"_a.none() = default_api_version, "session_attributes"_a.none() = nb::none(),
        "headers"_a.none() = nb::none(),
        "Connect to the engine at ``server_url``.\n\n"
        "Args:\n"
        "    server_url: base URL of the engine (scheme, host, port, optional path).\n"
        "    authentication_method: ``ENGINE_AUTHENTICATION_METHOD_FORM`` (\"form\") sends HTTP basic\n"
        "        credentials with every request; any other value sends none.\n"
        "    username, password: the credentials for form authentication (both required for it).\n"
        "    api_version: REST API version used in every path (default 1).\n"
        "    session_attributes: settings of the ``requests.Session`` to set, name to value\n"
        "        (``verify``, ``cert``, ``proxies``, ...), applied after the headers.\n"
        "    headers: extra headers sent with every request; they replace required ones of the same name.\n\n"
        "Raises:\n"
        "    ValueError: form authentication without username or password, or an unknown session\n"
        "        attribute.\n"
        "    TimeoutError: the engine did not answer its information endpoint with a version in time.\n"
        "    requests.ConnectionError: the engine could not be reached.");

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
        "Send DELETE and return the response; any status from 400 to 599 raises "
        "requests.HTTPError.");
    cls.def("_handle_http_error", &handle_http_error,
            nb::sig("def _handle_http_error(self, response: requests.Response) -> None"), "response"_a.none(),
            "Raise InternalServerError for 500, BadRequestError for 400 and requests.HTTPError for "
            "any other status from 400 to 599.");
    return cls;
}

}  // namespace velm
