#include "client.hpp"

namespace velm {
namespace {

// The client's error class for a failure status (exceptions.raise_http_error), then the response's own check,
// whose message quotes the URL and any user:password in it: that message is redacted as ours are.
void check_status(nb::handle response, bool on_delete) {
    static const nb::handle status_code = intern("status_code"),
                            raise_for_status = intern("raise_for_status"),
                            raise_http_error = intern("_raise_http_error");
    nb::object status = attr(response, status_code);
    const long code = PyLong_Check(status.ptr()) ? PyLong_AsLong(status.ptr()) : -1;
    if (code == -1) PyErr_Clear();  // no int, or too large for a long: no success either
    // A success, the common case, needs no class.
    if (code < 0 || code >= 400)
        call(global(raise_http_error), module_object, response, status, nb::bool_(on_delete));
    try {
        call_method(response, raise_for_status);
    } catch (nb::python_error &e) {
        if (e.matches(attr(global("requests"), "HTTPError")))
            set_attr(e.value(), "args", nb::make_tuple(call(global("_redact_url"), str_of(e.value()))));
        throw;
    }
}

// Whether `response` is a plain requests.Response: not a subclass, not a stand-in.
bool plain_response(nb::handle response) {
    static const nb::handle requests = intern("requests"), response_name = intern("Response");
    return response.type().is(attr_or_none(global(requests), response_name));
}

// A plain requests.Response made an EngineResponse in place, whose json() names the request when the body
// is not JSON; anything else (a subclass, a stand-in) is left as it is.
nb::object engine_response(nb::object response) {
    static const nb::handle engine_response_name = intern("_EngineResponse"),
                            class_name = intern("__class__");
    if (plain_response(response)) set_attr(response, class_name, global(engine_response_name));
    return response;
}

// Whether self.<name> is the client's method `own` bound to self: not replaced on the instance (a wrapper
// that forwards its attributes to the method it wraps, another client's method), in a subclass or on the
// class.
bool is_own(nb::handle self, nb::handle name, nb::handle own) {
    static const nb::handle func = intern("__func__"), bound_to = intern("__self__"),
                            method_type = intern("_method_type");
    nb::object method = attr(self, name);
    return method.type().is(global(method_type)) && attr(method, func).is(own) &&
           attr(method, bound_to).is(self);
}

// session.<verb>(url, params=..., <values>..., timeout=...), the time-out only when the client has one:
// `keywords` names params and the values, `timed` the same and timeout. The URL is `endpoint` under the
// server URL and "/rest" unless it is absolute already. A falsy query goes as {}.
template <typename... Values>
nb::object send_as_is(nb::handle self, nb::handle verb, nb::handle keywords, nb::handle timed,
                      nb::handle endpoint, bool absolute, nb::handle params, const Values &...values) {
    static const nb::handle timeout_name = intern("timeout"), session = intern("session"),
                            join = intern("join_url_parts"), server_url = intern("server_url"),
                            rest = intern("/rest");
    nb::object url =
        absolute ? nb::borrow(endpoint) : call(global(join), attr(self, server_url), rest, endpoint);
    nb::object query = truthy(params) ? nb::borrow(params) : nb::dict();
    nb::object timeout = attr_or_none(self, timeout_name);
    if (timeout.is_none()) return call_method_kw(attr(self, session), verb, keywords, url, query, values...);
    return call_method_kw(attr(self, session), verb, timed, url, query, values..., timeout);
}

// send_as_is, the response made an EngineResponse.
template <typename... Values>
nb::object send(nb::handle self, nb::handle verb, nb::handle keywords, nb::handle timed, nb::handle endpoint,
                bool absolute, nb::handle params, const Values &...values) {
    return engine_response(send_as_is(self, verb, keywords, timed, endpoint, absolute, params, values...));
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
    return checked(self, send(self, get, kw, timed, endpoint, truthy(absolute_endpoint), params));
}

}  // namespace

bool runs_own_get(nb::handle self) {
    static const nb::handle get = intern("_get"), check = intern("_handle_http_error"),
                            own_get = intern("_own_get"), own_check = intern("_own_handle_http_error");
    return is_own(self, get, global(own_get)) && is_own(self, check, global(own_check));
}

nb::object get_checked(nb::handle self, nb::handle endpoint, nb::handle params, bool engine) {
    static const nb::handle get = intern("get"), kw = keywords({"params"}),
                            timed = keywords({"params", "timeout"}), content = intern("_content");
    nb::object response = send_as_is(self, get, kw, timed, endpoint, false, params);
    // A body not read yet (the session streams; requests keeps _content False until then, and pickles it) is
    // read as an EngineResponse reads it: one that stalls raises ReadTimeout, as every other read of the
    // client does, not requests' ConnectionError. Only a plain requests.Response is asked: a stand-in may
    // have none.
    if (engine || (plain_response(response) && attr_or_none(response, content).is(Py_False)))
        engine_response(response);
    try {
        check_status(response, false);
    } catch (nb::python_error &) {
        engine_response(response);  // the error holds the response: an EngineResponse, as always
        throw;
    }
    return response;
}

nb::object engine_json(nb::handle response) {
    static const nb::handle engine_response_name = intern("_EngineResponse"), json = intern("json"),
                            own_json = intern("_own_json");
    if (!plain_response(response)) return call_method(response, json);
    nb::object decode = attr(global(engine_response_name), json);
    // A patch of EngineResponse.json receives what response.json() hands it.
    if (!decode.is(global(own_json))) {
        engine_response(nb::borrow(response));
        return call_method(response, json);
    }
    try {
        return call(decode, response);
    } catch (nb::python_error &) {
        engine_response(nb::borrow(response));  // the error holds the response: an EngineResponse, as always
        throw;
    }
}

namespace {

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
    return checked(
        self, send(self, post, kw, timed, endpoint, truthy(absolute_endpoint), params, body, files, headers));
}

nb::object transport_put(nb::handle self, nb::handle endpoint, nb::handle params, nb::handle data,
                         nb::handle is_data_format_json) {
    static const nb::handle put = intern("put"), kw = keywords({"params", "data"}),
                            timed = keywords({"params", "data", "timeout"});
    nb::object body = nb::borrow(data);
    if (truthy(is_data_format_json))
        body = call(attr(global("json"), "dumps"), truthy(data) ? body : nb::dict());
    return checked(self, send(self, put, kw, timed, endpoint, false, params, body));
}

nb::object transport_delete(nb::handle self, nb::handle endpoint, nb::handle params) {
    static const nb::handle verb = intern("delete"), kw = keywords({"params"}),
                            timed = keywords({"params", "timeout"});
    nb::object response = send(self, verb, kw, timed, endpoint, false, params);
    check_status(response, true);
    return response;
}

}  // namespace

nb::object get_into_buffer(nb::handle self, nb::handle endpoint, nb::handle params) {
    static const nb::handle with_query = keywords({"endpoint", "params"}), get = intern("get"),
                            kw = keywords({"params", "stream"}),
                            timed = keywords({"params", "stream", "timeout"}), get_name = intern("_get"),
                            own_get = intern("_own_get"), iter_content = intern("iter_content"),
                            seek = intern("seek"), close = intern("close");
    nb::object session_class = attr(global("requests"), "Session");
    if (!is_own(self, get_name, global(own_get)) || !PyType_Check(session_class.ptr()) ||
        !is_instance(attr(self, "session"), session_class)) {  // a replaced _get is called as it is
        Owned response = call_kw(attr(self, get_name), with_query, endpoint, params);
        nb::object content = attr(response, "content");
        return call(attr(global("io"), "BytesIO"), content);
    }
    // The response may be the last reference to a streamed body, whose release runs Python code.
    Owned response = send(self, get, kw, timed, endpoint, false, params, nb::bool_(true));
    if (!truthy(attr(response, "ok"))) attr(response, "content");  // read whole for the error's response
    checked(self, response);
    nb::object buffer = call(attr(global("io"), "BytesIO"));
    nb::object write = attr(buffer, "write");
    for_each(call_method(response, iter_content, nb::int_(1 << 20)),
             [&](nb::handle chunk) { call(write, chunk); });
    call_method(buffer, seek, nb::int_(0));
    call_method(response, close);  // the body is read: this hands the connection back to the pool
    return buffer;
}

nb::class_<ApiClient> init_client(nb::module_ &m, nb::handle methods) {
    nb::class_<ApiClient> cls(
        m, "ApiClient", nb::dynamic_attr(), nb::is_weak_referenceable(), construct_as_python(),
        "Client for the REST API of one VELM engine.\n\n"
        "Opens one HTTP session (``session``), installs the required headers, credentials and\n"
        "session settings, and waits until the engine answers its information endpoint before\n"
        "returning; ``version`` then holds the engine's version. Every REST operation is a\n"
        "method; each sends one request and returns the decoded JSON body or a command object.");
    copy_as_python(cls);
    // The constructor, __repr__ and set_user run once per client or seldom: Python, declared and documented
    // in the companion, which sets them on the class.
    call(attr(methods, "install"), cls, m);
    def_method(cls, "client.close", R"(
close(self) -> None
Close the client's session and its connections.

The client can still be used afterwards: requests opens new connections as needed.
)",
               [](nb::handle self) {
                   static const nb::handle close = intern("close");
                   call_method(attr(self, "session"), close);
               });
    def_method(cls, "client.enter", R"(
__enter__(self) -> ApiClient
Use the client in a ``with`` block, which closes its session at the end.
)",
               [](nb::handle self) { return nb::borrow(self); });
    def_method(cls, "client.exit", R"(
__exit__(self, exc_type: type[BaseException] | None, exc_value: BaseException | None,
         traceback: types.TracebackType | None) -> None
Close the session (``close()``); exceptions are not suppressed.
)",
               [](nb::handle self, nb::handle, nb::handle, nb::handle) {
                   static const nb::handle close = intern("close");
                   call_method(self, close);
               });
    def_method(cls, "client.get", R"(
_get(self, endpoint: str, params: collections.abc.Mapping[str, typing.Any] | None = None,
     absolute_endpoint: bool | None = False) -> requests.Response
Send GET to ``endpoint`` (under the server URL and "/rest" unless ``absolute_endpoint``) and
return the response after its status check.
)",
               transport_get);
    def_method(cls, "client.post", R"(
_post(self, endpoint: str, absolute_endpoint: bool | None = False,
      params: collections.abc.Mapping[str, typing.Any] | None = None, data: typing.Any = None,
      files: typing.Any = None, headers: collections.abc.Mapping[str, str | None] | None = None,
      is_data_format_json: bool | None = True) -> requests.Response
Send POST and return the response after its status check.

``data`` is JSON-encoded (no body when empty) unless ``is_data_format_json`` is false;
``files`` makes a multipart form; a ``headers`` entry of None removes that header.
)",
               transport_post);
    def_method(cls, "client.put", R"(
_put(self, endpoint: str, params: collections.abc.Mapping[str, typing.Any] | None = None,
     data: typing.Any = None, is_data_format_json: bool | None = True) -> requests.Response
Send PUT and return the response after its status check; an empty JSON body is sent as "{}".
)",
               transport_put);
    def_method(cls, "client.delete", R"(
_delete(self, endpoint: str, params: collections.abc.Mapping[str, typing.Any] | None = None) -> requests.Response
Send DELETE and return the response; any status from 400 to 599 raises its
EngineHTTPError class, 400 and 500 included as plain EngineHTTPError.
)",
               transport_delete);
    def_method(cls, "client.handle_http_error", R"(
_handle_http_error(self, response: requests.Response) -> None
Raise InternalServerError for 500, BadRequestError for 400, and for any other status from 400
to 599 its class in quenlo.sdk.exceptions (UnauthorizedError, NotFoundError, ...) or
EngineHTTPError; every one is a requests.HTTPError.
)",
               [](nb::handle, nb::handle response) { check_status(response, false); });
    // What the direct GETs compare with (runs_own_get, get_into_buffer, engine_json), kept in the module
    // namespace (not in C++) so that it goes with the module at exit.
    m.attr("_own_get") = cls.attr("_get");
    m.attr("_own_handle_http_error") = cls.attr("_handle_http_error");
    m.attr("_own_json") = global("_EngineResponse").attr("json");
    m.attr("_method_type") = nb::module_::import_("types").attr("MethodType");
    return cls;
}

}  // namespace velm
