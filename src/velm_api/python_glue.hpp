// Small helpers shared by every source of the extension: module-level name look-up, logging, endpoint
// formatting, the query hand-off and the "decoded body or empty" return.
#pragma once

#include <nanobind/nanobind.h>

#include <initializer_list>
#include <utility>

namespace nb = nanobind;
using namespace nb::literals;

namespace velm {

// The module object, set once while the module executes; it lives as long as the interpreter.
extern nb::handle module_object;

// A module-level name, looked up in the module's namespace at the moment of use so that a patched or rebound
// name is honoured.
nb::object global(const char *name);

// Log through the module's `logger` with a printf-style template and separate arguments.
template <typename... Args>
void log(const char *level, const char *message, Args &&...args) {
    global("logger").attr(level)(message, std::forward<Args>(args)...);
}

// Format an endpoint template such as "/v{}/pipeline/{}/status": the first "{}" takes the client's
// api_version, the others the given values. Each value stays one path segment: "/", "?", "#" and "%" are
// percent-encoded, and an empty text, "." or ".." (which no encoding keeps one segment) raises ValueError,
// and None raises TypeError.
nb::str endpoint(nb::handle self, const char *path_template, std::initializer_list<nb::handle> values = {});

// One argument of an operation, by its name in the signature.
using Argument = std::pair<const char *, nb::handle>;

// The query of an operation that hands its arguments to get_params:
// get_params(parameters={"self": self, <arguments in signature order>}, exclusions=(<exclusions>)).
nb::object params(nb::handle self, std::initializer_list<Argument> arguments,
                  std::initializer_list<const char *> exclusions);

// A mapping the operation builds itself, such as {"rev": rev}.
nb::dict mapping(std::initializer_list<Argument> entries);

// The decoded JSON body of a response, or `empty` when the body has no bytes.
nb::object decoded_or(nb::handle response, nb::object empty);

// Command(self, response): the plain wrapper most operations return, built through the module's name.
nb::object command(nb::handle self, nb::handle response);

// Python truth of a value ("if value:"); None is false.
bool truthy(nb::handle value);

// True when the response has a non-empty body.
bool has_body(nb::handle response);

// `raise value` as Python does it: an exception instance is raised, an exception class is instantiated,
// and anything else gives "TypeError: exceptions must derive from BaseException".
[[noreturn]] void raise(nb::handle value);

// The exception a caught python_error carries, as an exception instance. Before 3.12 the interpreter may
// hold an error raised from C (a KeyError from a subscript) as its type and arguments only; such an error is
// made into its instance here, so it can be kept, chained or raised again. `e` is emptied.
nb::object exception_of(nb::python_error &e);

// `value in container`, as Python tests it.
bool contains(nb::handle container, nb::handle value);

// Whether `value` is a number of seconds: an int or a float, and not a bool.
bool is_seconds(nb::handle value);

// `value` as seconds; TypeError "<argument> must be a number of seconds, not <repr>" for anything else.
double seconds_of(nb::handle value, const char *argument);

// The pipeline id of a status record: "pipelineId", or "name" when that key is missing.
nb::object pipeline_id_of(nb::handle record);

// Raise `type` with `message`, a Python string (built with Python's own formatting, so a repr that has no
// UTF-8 form is kept as it is).
[[noreturn]] void raise_message(nb::handle type, nb::handle message);

// "text".format(values...) and "text" % (values...), as Python formats them.
template <typename... Values>
nb::str format(const char *text, Values &&...values) {
    return nb::str(nb::str(text).attr("format")(std::forward<Values>(values)...));
}
template <typename... Values>
nb::str percent(const char *text, Values &&...values) {
    return nb::str(nb::str(text).attr("__mod__")(nb::make_tuple(std::forward<Values>(values)...)));
}

// A number as a C double, with Python's errors: TypeError for a non-number, OverflowError for an int too
// large for a float.
double to_double(nb::handle value);

// Create the Python class `name` in module `m`, as a class statement would (type(name, (base,), body)), with
// `doc` and the module's name, and set it on the module. `body` holds its methods, if any.
nb::object python_class(nb::module_ &m, const char *name, nb::handle base, const char *doc,
                        nb::dict body = nb::dict());

// Wall-clock seconds and the one-second pause of the waits, through the module's `time`.
double now();
void sleep_one_second();

}  // namespace velm
