#include "python_glue.hpp"

namespace velm {

nb::handle module_object;

nb::object global(const char *name) {
    return module_object.attr(name);
}

std::string path_segment(nb::handle value) {
    // None is always a caller's mistake here; sending the text "None" would address a resource by accident.
    if (value.is_none()) throw nb::type_error("None is not a valid path value (an id or name is required)");
    // Python's own UTF-8 encoding: text it cannot encode (a lone surrogate) raises UnicodeEncodeError.
    nb::str text_object = nb::str(value);
    Py_ssize_t size = 0;
    const char *utf8 = PyUnicode_AsUTF8AndSize(text_object.ptr(), &size);
    if (!utf8) throw nb::python_error();
    const std::string text(utf8, (size_t)size);
    if (text.empty() || text == "." || text == "..")
        throw nb::value_error(("not a valid path value: " + nb::cast<std::string>(nb::repr(value))).c_str());
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        switch (c) {
            case '/': out += "%2F"; break;
            case '?': out += "%3F"; break;
            case '#': out += "%23"; break;
            // requests leaves a valid escape as it is, and the engine would decode "a%2Fb" to "a/b".
            case '%': out += "%25"; break;
            default: out += c;
        }
    }
    return out;
}

std::string endpoint(nb::handle self, const char *path_template, std::initializer_list<nb::handle> values) {
    std::string out;
    const nb::object api_version = self.attr("api_version");
    auto next = values.begin();
    bool first = true;
    for (const char *p = path_template; *p; ++p) {
        if (p[0] == '{' && p[1] == '}') {
            if (first) {
                out += path_segment(api_version);
                first = false;
            } else {
                out += path_segment(*next++);
            }
            ++p;
        } else {
            out += *p;
        }
    }
    return out;
}

nb::object query(const nb::dict &arguments, nb::handle exclusions) {
    return global("get_params")("parameters"_a = arguments, "exclusions"_a = exclusions);
}

nb::tuple names(std::initializer_list<const char *> items) {
    nb::list list;
    for (const char *item : items) list.append(nb::str(item));
    return nb::tuple(list);
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

void raise(nb::handle exception) {
    PyErr_SetObject((PyObject *)Py_TYPE(exception.ptr()), exception.ptr());
    throw nb::python_error();
}

double now() {
    // PyFloat_AsDouble rather than a C++ cast, so a clock that returns no number raises TypeError.
    double seconds = PyFloat_AsDouble(global("time").attr("time")().ptr());
    if (seconds == -1.0 && PyErr_Occurred()) throw nb::python_error();
    return seconds;
}

void sleep_one_second() {
    global("time").attr("sleep")(1);
}

}  // namespace velm
