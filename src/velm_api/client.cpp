#include "client.hpp"

#include <cstring>
#include <string>

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
    if (!headers.is_none() && truthy(headers)) session.attr("headers").attr("update")(headers);

    if (!session_attributes.is_none() && truthy(session_attributes)) {
        for (nb::handle item : session_attributes.attr("items")()) {
            nb::object name = item[0];
            // A misspelt setting ("verfy") would otherwise be stored and silently never used.
            if (!nb::hasattr(session, name))
                throw nb::value_error(
                    ("unknown session attribute: " + nb::cast<std::string>(nb::repr(name))).c_str());
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

nb::object get_velm_info(nb::handle self) {
    nb::object response = call_get(self, "endpoint"_a = endpoint(self, "/v{}/system/info"));
    return decoded_or(response, nb::dict());
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
    return global("join_url_parts")(self.attr("server_url"), name("/rest"), endpoint);
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
    if (params.is_none() || !truthy(params)) return nb::dict();
    return nb::borrow(params);
}

// "status == code" as Python compares it; a plain int (what requests gives) is compared without building
// the other int.
bool status_is(nb::handle status, long code) {
    if (PyLong_CheckExact(status.ptr())) {
        int overflow = 0;
        long value = PyLong_AsLongAndOverflow(status.ptr(), &overflow);
        return overflow == 0 && value == code;
    }
    return status.equal(nb::int_(code));
}

void handle_http_error(nb::handle, nb::handle response) {
    nb::object status = response.attr("status_code");
    if (status_is(status, 500)) raise(global("InternalServerError")(response));
    if (status_is(status, 400)) raise(global("BadRequestError")(response));
    raise_for_status(response);
}

// self._handle_http_error(response), through Python only when it was replaced.
void check_status(nb::handle self, nb::handle response) {
    if (owns_method(self, "_handle_http_error"))
        handle_http_error(self, response);
    else
        self.attr("_handle_http_error")(response);
}

nb::object transport_get(nb::handle self, nb::handle endpoint, nb::handle params,
                         nb::handle absolute_endpoint) {
    nb::object url = url_of(self, endpoint, truthy(absolute_endpoint));
    nb::object response = self.attr("session").attr("get")(url, "params"_a = params_or_empty(params));
    check_status(self, response);
    return response;
}

// Our own _get for a body that is wanted whole in an io.BytesIO. requests builds `content` by joining its
// chunks, so for a moment it holds the body twice; streamed, each chunk goes straight into the buffer and
// the peak is one copy. The request on the wire is the same: `stream` only changes how the body is read.
// An error answer is read in full before the status check, so the exception's response has its content as
// it would without streaming.
// The body's size as the engine declared it, when what we read is exactly that (no content encoding that
// requests would undo); -1 when it is not known.
Py_ssize_t declared_length(nb::handle response) {
    nb::object headers = response.attr("headers");
    nb::object encoding = headers.attr("get")("content-encoding");
    if (!encoding.is_none() && !encoding.equal(nb::str("identity"))) return -1;
    nb::object length = headers.attr("get")("content-length");
    if (length.is_none()) return -1;
    nb::object digits = length.attr("strip")();
    if (!truthy(digits.attr("isdigit")())) return -1;
    Py_ssize_t size = PyNumber_AsSsize_t(nb::int_(digits).ptr(), nullptr);
    if (size == -1 && PyErr_Occurred()) throw nb::python_error();
    return size;
}

// The streamed body in an io.BytesIO. With a declared length the chunks are copied into one bytes object of
// that size, which io.BytesIO then shares rather than copies: the body is held once. A BytesIO grown write by
// write may copy itself as it grows (some interpreters do), so that is only the path for an unknown length.
nb::object read_body(nb::handle response) {
    nb::object bytes_io = global("io").attr("BytesIO");
    nb::object chunks = response.attr("iter_content")(1 << 20);
    const Py_ssize_t expected = declared_length(response);
    if (expected >= 0) {
        nb::object body = nb::steal(PyBytes_FromStringAndSize(nullptr, expected));
        if (!body.is_valid()) throw nb::python_error();
        Py_ssize_t used = 0;
        nb::object overflow;  // set when the engine sent more than it declared
        for (nb::handle chunk : chunks) {
            if (overflow.is_valid()) {
                overflow.attr("write")(chunk);
                continue;
            }
            char *data = nullptr;
            Py_ssize_t size = 0;
            if (PyBytes_AsStringAndSize(chunk.ptr(), &data, &size) < 0) throw nb::python_error();
            if (used + size > expected) {
                overflow = bytes_io(nb::bytes(PyBytes_AS_STRING(body.ptr()), (size_t)used));
                body.reset();
                overflow.attr("seek")(0, 2);
                overflow.attr("write")(chunk);
                continue;
            }
            std::memcpy(PyBytes_AS_STRING(body.ptr()) + used, data, (size_t)size);
            used += size;
        }
        if (overflow.is_valid()) {
            overflow.attr("seek")(0);
            return overflow;
        }
        if (used != expected) {
            PyObject *raw = body.release().ptr();
            if (_PyBytes_Resize(&raw, used) < 0) throw nb::python_error();  // frees raw on failure
            body = nb::steal(raw);
        }
        return bytes_io(body);
    }
    nb::object buffer = bytes_io();
    nb::object write = buffer.attr("write");
    for (nb::handle chunk : chunks) write(chunk);
    buffer.attr("seek")(0);
    return buffer;
}

nb::object transport_get_into_buffer(nb::handle self, nb::handle endpoint, nb::handle params) {
    nb::object url = url_of(self, endpoint, false);
    nb::object response =
        self.attr("session").attr("get")(url, "params"_a = params_or_empty(params), "stream"_a = true);
    int failed = PyObject_RichCompareBool(response.attr("status_code").ptr(), nb::int_(400).ptr(), Py_GE);
    if (failed < 0) throw nb::python_error();
    if (failed) response.attr("content");
    check_status(self, response);
    nb::object buffer = read_body(response);
    response.attr("close")();  // the body is read: this hands the connection back to the pool
    return buffer;
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
    check_status(self, response);
    return response;
}

nb::object transport_put(nb::handle self, nb::handle endpoint, nb::handle params, nb::handle data,
                         nb::handle is_data_format_json) {
    nb::object url = url_of(self, endpoint, false);
    nb::object body = nb::borrow(data);
    if (truthy(is_data_format_json)) body = global("json").attr("dumps")(truthy(data) ? body : nb::dict());
    nb::object response =
        self.attr("session").attr("put")(url, "params"_a = params_or_empty(params), "data"_a = body);
    check_status(self, response);
    return response;
}

nb::object transport_delete(nb::handle self, nb::handle endpoint, nb::handle params) {
    nb::object url = url_of(self, endpoint, false);
    nb::object response = self.attr("session").attr("delete")(url, "params"_a = params_or_empty(params));
    raise_for_status(response);
    return response;
}

// The class and its version tag as the module left them. CPython gives a type a new tag whenever anything on
// it (or a base) is set or deleted, so an unchanged tag means every method is still the one bound here.
PyTypeObject *client_type = nullptr;
unsigned int client_type_version = 0;

nb::handle or_default(nb::handle value, PyObject *fallback) {
    return value.is_valid() ? value : nb::handle(fallback);
}

// Whether the type carries a version tag that still stands. Up to 3.11 a flag says so; from 3.12 a tag of 0
// means none (the type changed, or none was assigned: look-ups no longer assign one, so the module asks).
bool valid_version_tag(PyTypeObject *type) {
#if PY_VERSION_HEX >= 0x030C0000
    return type->tp_version_tag != 0;
#else
    return PyType_HasFeature(type, Py_TPFLAGS_VALID_VERSION_TAG);
#endif
}

}  // namespace

void remember_client_class(ClientClass &client) {
    auto *type = (PyTypeObject *)client.ptr();
#if PY_VERSION_HEX >= 0x030C0000
    PyUnstable_Type_AssignVersionTag(type);
#else
    // A look-up assigns the type its version tag if it has none yet.
    _PyType_Lookup(type, name("_get").ptr());
#endif
    if (!valid_version_tag(type)) return;
    client_type = type;
    client_type_version = type->tp_version_tag;
}

bool owns_method(nb::handle self, const char *method) {
    PyTypeObject *type = Py_TYPE(self.ptr());
    if (type != client_type || !valid_version_tag(type) || type->tp_version_tag != client_type_version)
        return false;
    // An instance attribute of the same name (client._get = ...) comes before the class's method.
    if (type->tp_dictoffset > 0) {
        PyObject *dict = *(PyObject **)((char *)self.ptr() + type->tp_dictoffset);
        if (dict) {
            PyObject *own = PyDict_GetItemWithError(dict, name(method).ptr());
            if (own) return false;
            if (PyErr_Occurred()) throw nb::python_error();
        }
    }
    return true;
}

nb::object call_get_into_buffer(nb::handle self, nb::handle endpoint, nb::handle params) {
    // Streaming needs a requests session; any other session object gets the plain call.
    nb::object session_class = global("requests").attr("Session");
    if (owns_method(self, "_get") && PyType_Check(session_class.ptr()) &&
        nb::isinstance(self.attr("session"), session_class))
        return transport_get_into_buffer(self, endpoint, params);
    nb::object response = call_get(self, "endpoint"_a = endpoint, "params"_a = params);
    return global("io").attr("BytesIO")(response.attr("content"));
}

void VerbArguments::set(const char *keyword, nb::handle value) {
    static const char *const keywords[] = {"endpoint", "params",  "data",
                                           "files",    "headers", "is_data_format_json"};
    nb::handle *slots[] = {&endpoint, &params, &data, &files, &headers, &is_data_format_json};
    for (size_t index = 0; index < 6; ++index) {
        if (std::strcmp(keyword, keywords[index]) != 0) continue;
        *slots[index] = value;
        given |= 1u << index;
        return;
    }
    throw nb::type_error(
        ("a transport verb got an unexpected keyword argument " + std::string(keyword)).c_str());
}

// The verb with the defaults its Python signature gives the keywords left out. A keyword the verb does not
// take is refused as Python would refuse it.
nb::object direct_verb(nb::handle self, const char *verb, const VerbArguments &a) {
    constexpr unsigned endpoint = 1, params = 2, data = 4, files = 8, headers = 16, is_json = 32;
    const bool get = std::strcmp(verb, "_get") == 0, post = std::strcmp(verb, "_post") == 0,
               put = std::strcmp(verb, "_put") == 0;
    const unsigned accepted = get    ? endpoint | params
                              : post ? endpoint | params | data | files | headers | is_json
                              : put  ? endpoint | params | data | is_json
                                     : endpoint | params;
    if ((a.given & ~accepted) != 0 || (a.given & endpoint) == 0)
        throw nb::type_error((std::string(verb) + "(): incompatible keyword arguments").c_str());
    nb::handle query = or_default(a.params, Py_None);
    if (get) return transport_get(self, a.endpoint, query, Py_False);
    if (post)
        return transport_post(self, a.endpoint, Py_False, query, or_default(a.data, Py_None),
                              or_default(a.files, Py_None), or_default(a.headers, Py_None),
                              or_default(a.is_data_format_json, Py_True));
    if (put)
        return transport_put(self, a.endpoint, query, or_default(a.data, Py_None),
                             or_default(a.is_data_format_json, Py_True));
    return transport_delete(self, a.endpoint, query);
}

ClientClass init_client(nb::module_ &m) {
    ClientClass cls(m, "ApiClient", nb::dynamic_attr(),
                    "Client for the REST API of one VELM engine.\n\n"
                    "Opens one HTTP session (``session``), installs the required headers, credentials and\n"
                    "session settings, and waits until the engine answers its information endpoint before\n"
                    "returning; ``version`` then holds the engine's version. Every REST operation is a\n"
                    "method; each sends one request and returns the decoded JSON body or a command object.");

    const nb::object default_api_version = m.attr("DEFAULT_VELM_API_VERSION");
    cls.def(
        "__init__", &client_init, "server_url"_a.none(), "authentication_method"_a = nb::none(),
        "username"_a = nb::none(), "password"_a = nb::none(), "api_version"_a = default_api_version,
        "session_attributes"_a = nb::none(), "headers"_a = nb::none(),
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

    cls.def("get_velm_info", &get_velm_info,
            "Read the engine information record (GET /system/info).\n\n"
            "Returns:\n"
            "    The decoded JSON object (with ``version`` among its members), or an empty dict when the\n"
            "    engine answered with an empty body.");
    cls.def("set_user", &set_user, "username"_a.none(), "password"_a.none(),
            "Replace the credentials sent with every later request and forget the session cookies.\n\n"
            "A username or password of None removes the credentials altogether. Nothing is sent.");

    cls.def("_get", &transport_get, "endpoint"_a.none(), "params"_a = nb::none(),
            "absolute_endpoint"_a = false,
            "Send GET to ``endpoint`` (under the server URL and \"/rest\" unless ``absolute_endpoint``) "
            "and return the response after its status check.");
    cls.def("_post", &transport_post, "endpoint"_a.none(), "absolute_endpoint"_a = false,
            "params"_a = nb::none(), "data"_a = nb::none(), "files"_a = nb::none(), "headers"_a = nb::none(),
            "is_data_format_json"_a = true,
            "Send POST and return the response after its status check.\n\n"
            "``data`` is JSON-encoded (no body when empty) unless ``is_data_format_json`` is false;\n"
            "``files`` makes a multipart form; a ``headers`` entry of None removes that header.");
    cls.def("_put", &transport_put, "endpoint"_a.none(), "params"_a = nb::none(), "data"_a = nb::none(),
            "is_data_format_json"_a = true,
            "Send PUT and return the response after its status check; an empty JSON body is sent as "
            "\"{}\".");
    cls.def("_delete", &transport_delete, "endpoint"_a.none(), "params"_a = nb::none(),
            "Send DELETE and return the response; any status from 400 to 599 raises "
            "requests.HTTPError.");
    cls.def("_handle_http_error", &handle_http_error, "response"_a.none(),
            "Raise InternalServerError for 500, BadRequestError for 400 and requests.HTTPError for "
            "any other status from 400 to 599.");
    return cls;
}

}  // namespace velm
