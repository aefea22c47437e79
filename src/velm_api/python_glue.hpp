// Small helpers shared by every source of the extension: calls into Python that are safe at exit, methods
// with Python signatures, module-level name look-up, logging, endpoints and Python's own semantics.
#pragma once

#include <nanobind/nanobind.h>

#include <initializer_list>
#include <type_traits>
#include <utility>

namespace nb = nanobind;
using namespace nb::literals;

namespace velm {

// The module and its companion quenlo.sdk._binding, set once while the module executes.
extern nb::handle module_object, binding_module;

// On CPython 3.9 to 3.13 a thread that cannot retake the interpreter lock at shutdown (a daemon thread inside
// a request or a sleep when the program ends) is ended with pthread_exit. Its forced unwind would run our C++
// destructors without the lock, and in a wheel with libc++ linked in, crash in their personality routines.
// Any C API call that may run Python code (a call, an iteration, an attribute or item read, a truth test, a
// comparison, a release that may run a finalizer) may be where that happens. So every such call goes through
// `exit_safe`, which first gives its thread a place to be parked in instead (prepare_thread_exit). The `run`
// handed to it makes raw C API calls only; never use nanobind's own call, attribute, item, iteration or
// comparison operators, which run Python code outside it. The helpers below are that one path.

// Make sure that pthread_exit parks the calling thread, at once and for good, instead of unwinding its stack
// (python_glue.cpp says how). Cheap after the thread's first call; never throws.
void prepare_thread_exit();

// run(), with the thread parked instead of unwound should the interpreter end it meanwhile.
template <typename Run>
auto exit_safe(Run &&run) -> decltype(run()) {
    prepare_thread_exit();
    return run();
}

// The new reference `run()` returns, or python_error when it returns null with the Python error set.
template <typename Run>
nb::object guarded(Run &&run) {
    PyObject *result = exit_safe(run);
    if (!result) throw nb::python_error();
    return nb::steal(result);
}

// The 0 or 1 `run()` returns as a bool, or python_error when it returns -1 with the Python error set.
template <typename Run>
bool guarded_test(Run &&run) {
    const int result = exit_safe(run);
    if (result < 0) throw nb::python_error();
    return result != 0;
}

// Give up `value`'s reference where its release may run Python code (a finalizer closing a response, a
// generator left unfinished): an object that may be the last reference to such a value goes this way.
void release(nb::object &value);

// An object that may hold the last reference to such a value (a response): its reference is given up through
// release() when its scope ends, also when an error unwinds that scope.
class Owned : public nb::object {
public:
    Owned() = default;
    Owned(nb::object &&value) : nb::object(std::move(value)) {}  // NOLINT(google-explicit-constructor)
    Owned(Owned &&) = default;
    Owned &operator=(Owned &&) = default;
    ~Owned() { velm::release(*this); }
};

// callable(*args): `nargs` positional values, then one value per name in `kwnames` (a tuple of str, or null).
nb::object vectorcall(nb::handle callable, PyObject *const *args, size_t nargs, nb::handle kwnames = {});

// args[0].<name>(*args[1:]), looked up as Python does; args[-1] is scratch space for the call.
nb::object vectorcall_method(nb::handle name, PyObject **args, size_t nargs, nb::handle kwnames = {});

// callable(positional..., keyword values...) with the keyword names in `kwnames`, a tuple made by keywords().
template <typename... Args>
nb::object call_kw(nb::handle callable, nb::handle kwnames, const Args &...args) {
    PyObject *argv[] = {nullptr, nb::handle(args).ptr()...};
    const size_t keywords = kwnames ? (size_t)PyTuple_Size(kwnames.ptr()) : 0;
    return vectorcall(callable, argv + 1, sizeof...(Args) - keywords, kwnames);
}

template <typename... Args>
nb::object call(nb::handle callable, const Args &...args) {
    return call_kw(callable, nb::handle(), args...);
}

// self.<name>(positional..., keyword values...), with `name` from intern() and `kwnames` from keywords().
template <typename... Args>
nb::object call_method_kw(nb::handle self, nb::handle name, nb::handle kwnames, const Args &...args) {
    PyObject *argv[] = {nullptr, self.ptr(), nb::handle(args).ptr()...};
    const size_t keywords = kwnames ? (size_t)PyTuple_Size(kwnames.ptr()) : 0;
    return vectorcall_method(name, argv + 1, 1 + sizeof...(Args) - keywords, kwnames);
}

template <typename... Args>
nb::object call_method(nb::handle self, nb::handle name, const Args &...args) {
    return call_method_kw(self, name, nb::handle(), args...);
}

nb::object attr(nb::handle obj, nb::handle name);
nb::object attr(nb::handle obj, const char *name);

// getattr(obj, name, None): None when `obj` has no such attribute (an AttributeError); other errors
// propagate.
nb::object attr_or_none(nb::handle obj, nb::handle name);

// obj.<name> of an object Python code handed to C++, `what` naming where it came from ("wait_settings()"): a
// missing member is a TypeError that says so.
nb::object member(nb::handle obj, const char *name, const char *what);

// obj.<name> = value (a subclass's __setattr__ or property may run).
void set_attr(nb::handle obj, nb::handle name, nb::handle value);
void set_attr(nb::handle obj, const char *name, nb::handle value);

// obj[key] (a record's own __getitem__ may run).
nb::object item(nb::handle obj, nb::handle key);
nb::object item(nb::handle obj, const char *key);

// `for value in iterable: body(value)`, each step of the iteration guarded; what `body` raises propagates
// after the iterator is released.
template <typename Body>
void for_each(nb::object iterable, Body &&body) {
    nb::object iterator = guarded([&] { return PyObject_GetIter(iterable.ptr()); });
    release(iterable);
    try {
        for (;;) {
            nb::object value = nb::steal(exit_safe([&] { return PyIter_Next(iterator.ptr()); }));
            if (!value.is_valid()) {
                if (PyErr_Occurred()) throw nb::python_error();
                break;
            }
            body(nb::handle(value));
            release(value);
        }
    } catch (...) {
        release(iterator);  // an unfinished generator runs its own clean-up here
        throw;
    }
    release(iterator);
}

// An interned str, kept for the life of the process (`static const nb::handle name = intern("name");`).
nb::handle intern(const char *text);

// A tuple of interned keyword names for call_kw and call_method_kw, kept for the life of the process.
nb::handle keywords(std::initializer_list<const char *> names);

// time.sleep(seconds) and time.time() through the module's `time`.
void sleep(nb::handle seconds);
double now();

// Set on `cls` the method `literal` declares, one raw string literal in the shape of an operation row:
//
//   R"(
//   wait_for_stopped(self, timeout_sec: float = 300) -> None
//   Wait until the pipeline's status is STOPPED; an error status raises its StatusError.
//   )"
//
// its Python signature ("name(self, a: int | None = 0) -> T", which may go on over lines inside its
// parentheses), for an operation with logic of its own its request line ("PUT /pipeline/{pipeline_title}"),
// then its docstring. The method is a Python function compiled from the signature whose body is `return
// impl(self, a, ...)` (see quenlo.sdk._binding.bind): Python binds the arguments, with its own errors,
// defaults and keywords, and inspect.signature, help() and the stub show the signature. Returns it.
nb::object def_method(nb::handle cls, const char *literal, nb::handle impl);

// A Python callable named `name` taking its arguments by position, with no conversion, that returns
// call(function, args, nargs): a new reference, or null with the Python error set. A python_error,
// nb::type_error or nb::value_error thrown there becomes that Python error. `destroy`, if any, gets
// `function` when it goes. The name says where the work happens ("rows.run", "client.get"): profilers and the
// compiled method's source show it. It is a literal, kept for the life of the process.
using NativeCall = PyObject *(*)(void *function, PyObject *const *args, size_t nargs);
nb::object native_function(const char *name, NativeCall call, void *function,
                           void (*destroy)(void *) = nullptr);

// A call from Python into C++ for as long as it lives: it counts against Python's recursion limit, and none
// starts within the last MiB of the thread's stack, so that an entry reached again from Python (an operation
// through an overridden verb, a wait from its own callback) raises RecursionError whatever the limit, before
// the stack runs out. Every native_function call is one; a function that nanobind binds itself (a property)
// makes its own.
class NativeEntry {
public:
    NativeEntry();  // python_error: RecursionError
    ~NativeEntry();
    NativeEntry(const NativeEntry &) = delete;
    NativeEntry &operator=(const NativeEntry &) = delete;
};

void check_arity(size_t expected, size_t given);

template <typename R, typename... Args, size_t... I>
PyObject *call_native(void *function, PyObject *const *args, size_t nargs, std::index_sequence<I...>) {
    check_arity(sizeof...(Args), nargs);
    auto typed = reinterpret_cast<R (*)(Args...)>(function);
    if constexpr (std::is_void_v<R>) {
        typed(nb::handle(args[I])...);
        return nb::none().release().ptr();
    } else {
        return nb::object(typed(nb::handle(args[I])...)).release().ptr();
    }
}

// def_method with a C++ function or captureless lambda of nb::handle arguments, its native entry named
// `name`.
template <typename R, typename... Args>
nb::object def_method(nb::handle cls, const char *name, const char *literal, R (*function)(Args...)) {
    NativeCall call = [](void *f, PyObject *const *args, size_t nargs) {
        return call_native<R, Args...>(f, args, nargs, std::index_sequence_for<Args...>{});
    };
    return def_method(cls, literal, native_function(name, call, reinterpret_cast<void *>(function)));
}
template <typename Func,
          typename = std::enable_if_t<std::is_class_v<Func> && !std::is_base_of_v<nb::handle, Func>>>
nb::object def_method(nb::handle cls, const char *name, const char *literal, Func impl) {
    return def_method(cls, name, literal, +impl);
}

// The type slots that make a class constructed as a Python class is: the interpreter runs
// type(self).__init__, found along the MRO, so a subclass without a constructor of its own uses its base's
// and a replaced __init__ is honoured.
nb::type_slots construct_as_python();

// Make instances of `cls` copied and pickled as plain Python objects are, by their __dict__.
void copy_as_python(nb::handle cls);

// A module-level name, looked up in the module at the moment of use, so that a patched name is honoured.
nb::object global(const char *name);
nb::object global(nb::handle name);

// Log through the module's `logger` with a printf-style template and separate arguments.
template <typename... Args>
void log(const char *level, const char *message, Args &&...args) {
    call(attr(global("logger"), level), nb::str(message), nb::cast(std::forward<Args>(args))...);
}

// "/v{}/pipeline/{}/status" with the client's api_version for the first "{}" and the values for the others,
// each as one path segment (see path_segment).
nb::str endpoint(nb::handle self, const char *path_template, std::initializer_list<nb::handle> values = {});

// str(value) as one path segment: "/", "?", "#" and "%" percent-encoded; ValueError for "", "." and ".." (no
// encoding keeps them one segment), TypeError for None.
nb::object path_segment(nb::handle value);

// A mapping such as {"count": -1}.
nb::dict mapping(std::initializer_list<std::pair<const char *, nb::handle>> entries);

// `if value:`, `value in container`, `a <op> b` (op: Py_EQ, Py_LT, ...), `isinstance(value, cls)`, and
// whether a response has a non-empty body.
bool truthy(nb::handle value);
bool contains(nb::handle container, nb::handle value);
bool compare(nb::handle a, nb::handle b, int op);
bool is_instance(nb::handle value, nb::handle cls);
bool has_body(nb::handle response);

// `raise value` as Python does it: an exception instance is raised, an exception class is instantiated,
// and anything else gives "TypeError: exceptions must derive from BaseException".
[[noreturn]] void raise(nb::handle value);

// The exception a caught python_error carries, as an exception instance (before 3.12 an error raised from C
// may be held as its type and arguments only), so it can be kept, chained or raised again. `e` is emptied.
nb::object exception_of(nb::python_error &e);

// The pipeline id of a status record: "pipelineId", or "name" when that key is missing.
nb::object pipeline_id_of(nb::handle record);

// Raise `type` with `message`, a Python string (so a repr that has no UTF-8 form is kept as it is).
[[noreturn]] void raise_message(nb::handle type, nb::handle message);

// "text".format(values...) and "text" % (values...), as Python formats them.
template <typename... Values>
nb::str format(const char *text, Values &&...values) {
    return nb::borrow<nb::str>(
        call(attr(nb::str(text), "format"), nb::cast(std::forward<Values>(values))...));
}
template <typename... Values>
nb::str percent(const char *text, Values &&...values) {
    return nb::borrow<nb::str>(
        call(attr(nb::str(text), "__mod__"), nb::make_tuple(std::forward<Values>(values)...)));
}

// A number as a C double, with Python's TypeError or OverflowError.
double to_double(nb::handle value);

// str(value).
nb::object str_of(nb::handle value);

}  // namespace velm
