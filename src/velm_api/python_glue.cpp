#include "python_glue.hpp"

#include <string>

namespace velm {

nb::handle module_object;

nb::object global(const char *name) {
    return module_object.attr(name);
}

namespace {

void append_path_segment(std::string &out, nb::handle value) {
    // None is always a caller's mistake here; sending the text "None" would address a resource by accident.
    if (value.is_none()) throw nb::type_error("None is not a valid path value (an id or name is required)");
    // str() as Python's formatting would; a text with no UTF-8 form fails here with UnicodeEncodeError.
    nb::str shown(value);
    Py_ssize_t size = 0;
    const char *utf8 = PyUnicode_AsUTF8AndSize(shown.ptr(), &size);
    if (!utf8) throw nb::python_error();
    const std::string text(utf8, (size_t)size);
    if (text.empty() || text == "." || text == "..")
        raise_message(PyExc_ValueError, format("not a valid path value: {!r}", value));
    for (char c : text) {
        // "%" too: requests leaves a valid escape as it is, and the engine would decode "a%2Fb" to "a/b".
        switch (c) {
            case '/': out += "%2F"; break;
            case '?': out += "%3F"; break;
            case '#': out += "%23"; break;
            case '%': out += "%25"; break;
            default: out += c;
        }
    }
}

}  // namespace

nb::str endpoint(nb::handle self, const char *path_template, std::initializer_list<nb::handle> values) {
    std::string out;
    const nb::object api_version = self.attr("api_version");
    auto next = values.begin();
    bool first = true;
    for (const char *p = path_template; *p; ++p) {
        if (p[0] == '{' && p[1] == '}') {
            append_path_segment(out, first ? nb::handle(api_version) : *next++);
            first = false;
            ++p;
        } else {
            out += *p;
        }
    }
    return nb::str(out.data(), out.size());
}

nb::dict mapping(std::initializer_list<Argument> entries) {
    nb::dict result;
    for (const Argument &entry : entries) result[entry.first] = entry.second;
    return result;
}

nb::object params(nb::handle self, std::initializer_list<Argument> arguments,
                  std::initializer_list<const char *> exclusions) {
    nb::dict parameters;
    parameters["self"] = self;
    for (const Argument &argument : arguments) parameters[argument.first] = argument.second;
    // One name goes as that name, several as a tuple.
    nb::list excluded;
    for (const char *name : exclusions) excluded.append(name);
    nb::object exclusion = excluded.size() == 1 ? excluded[0] : nb::tuple(excluded);
    return global("get_params")("parameters"_a = parameters, "exclusions"_a = exclusion);
}

bool truthy(nb::handle value) {
    int result = PyObject_IsTrue(value.ptr());
    if (result < 0) throw nb::python_error();
    return result == 1;
}

bool has_body(nb::handle response) {
    return nb::len(nb::object(response.attr("content"))) != 0;
}

nb::object decoded_or(nb::handle response, nb::object empty) {
    if (has_body(response)) return response.attr("json")();
    return empty;
}

nb::object command(nb::handle self, nb::handle response) {
    return global("Command")(self, response);
}

void raise(nb::handle value) {
    nb::handle base(PyExc_BaseException);
    if (nb::isinstance(value, base)) {
        PyErr_SetObject(value.type().ptr(), value.ptr());
        throw nb::python_error();
    }
    if (PyType_Check(value.ptr()) && PyObject_IsSubclass(value.ptr(), base.ptr()) == 1) raise(value());
    throw nb::type_error("exceptions must derive from BaseException");
}

void raise_message(nb::handle type, nb::handle message) {
    PyErr_SetObject(type.ptr(), message.ptr());
    throw nb::python_error();
}

nb::object python_class(nb::module_ &m, const char *name, nb::handle base, const char *doc, nb::dict body) {
    body["__module__"] = m.attr("__name__");
    body["__doc__"] = doc;
    nb::object cls = nb::module_::import_("builtins").attr("type")(name, nb::make_tuple(base), body);
    m.attr(name) = cls;
    return cls;
}

bool contains(nb::handle container, nb::handle value) {
    int result = PySequence_Contains(container.ptr(), value.ptr());
    if (result < 0) throw nb::python_error();
    return result == 1;
}

bool is_seconds(nb::handle value) {
    return !PyBool_Check(value.ptr()) && (PyLong_Check(value.ptr()) || PyFloat_Check(value.ptr()));
}

double seconds_of(nb::handle value, const char *argument) {
    if (!is_seconds(value))
        raise_message(PyExc_TypeError, format("{} must be a number of seconds, not {!r}", argument, value));
    return to_double(value);
}

nb::object pipeline_id_of(nb::handle record) {
    try {
        return record["pipelineId"];
    } catch (nb::python_error &e) {
        if (!e.matches(PyExc_KeyError)) throw;
        return record["name"];
    }
}

nb::object exception_of(nb::python_error &e) {
    e.restore();
#if PY_VERSION_HEX >= 0x030C0000
    return nb::steal(PyErr_GetRaisedException());
#else
    PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    if (traceback) PyException_SetTraceback(value, traceback);
    Py_XDECREF(type);
    Py_XDECREF(traceback);
    return nb::steal(value);
#endif
}

double to_double(nb::handle value) {
    double result = PyFloat_AsDouble(value.ptr());
    if (result == -1.0 && PyErr_Occurred()) throw nb::python_error();
    return result;
}

double now() {
    return to_double(global("time").attr("time")());
}

void sleep_one_second() {
    global("time").attr("sleep")(1);
}

}  // namespace velm
