// Small helpers shared by every source of the extension: module-level name look-up, logging, endpoint
// formatting, the query hand-off and the "decoded body or empty" return.
#pragma once

#include <nanobind/nanobind.h>
#include <nanobind/stl/string.h>

#include <initializer_list>
#include <string>
#include <utility>

namespace nb = nanobind;
using namespace nb::literals;

namespace velm {

// The module object and its namespace, set once while the module executes; they live as long as the
// interpreter.
extern nb::handle module_object;
extern nb::handle module_dict;

// The Python string for `text`, a literal naming something (an attribute, a module global, a key): made and
// interned on first use and kept, like the names in a code object, so later uses cost a table probe.
nb::object name(const char *text);

// A module-level name, looked up in the module's namespace at the moment of use so that a patched or rebound
// name is honoured.
nb::object global(const char *text);

// Log through the module's `logger` with a printf-style template and separate arguments.
template <typename... Args>
void log(const char *level, const char *message, Args &&...args) {
    global("logger").attr(name(level))(message, std::forward<Args>(args)...);
}

// Format an endpoint template such as "/v{}/pipeline/{}/status": the first "{}" takes the client's
// api_version, the others the given values. Each value stays one path segment: "/", "?", "#" and "%" are
// percent-encoded, and an empty text, "." or ".." (which no encoding keeps one segment) raises ValueError,
// and None raises TypeError.
nb::str endpoint(nb::handle self, const char *path_template, std::initializer_list<nb::handle> values = {});

// The query of an operation: get_params(parameters=arguments, exclusions=exclusions).
nb::object query(const nb::dict &arguments, nb::handle exclusions);

// A tuple of names, for the exclusions of get_params: made once per set of literals and kept.
nb::tuple names(std::initializer_list<const char *> items);

// The decoded JSON body of a response, or `empty` when the body has no bytes.
nb::object decoded_or(nb::handle response, nb::object empty);

// Python truth of a value ("if value:").
bool truthy(nb::handle value);

// True when the response has a non-empty body.
bool has_body(nb::handle response);

// Raise an exception instance as the current Python error.
[[noreturn]] void raise(nb::handle exception);

// Wall-clock seconds and the one-second pause of the waits, through the module's `time`.
double now();
void sleep_one_second();

}  // namespace velm
