#include "python_glue.hpp"

#include <pthread.h>
#include <unistd.h>

#ifdef __GLIBC__
#include <setjmp.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <ucontext.h>
// glibc's own functions behind C's pthread_cleanup_push (its header declares them for C only).
extern "C" void __pthread_register_cancel(__pthread_unwind_buf_t *buffer);
extern "C" void __pthread_unregister_cancel(__pthread_unwind_buf_t *buffer);
extern "C" [[noreturn]] void __pthread_unwind_next(__pthread_unwind_buf_t *buffer);
#endif

#include <algorithm>
#include <string>
#include <string_view>

namespace velm {

nb::handle module_object, binding_module;

#ifdef __GLIBC__
namespace {

// Where pthread_exit parks a thread: a cancellation buffer that the thread registers with glibc once, for the
// rest of its life (as C's pthread_cleanup_push registers one for a block), whose jump target is a frame on a
// small stack of the thread's own, its exit stack, which nothing else ever runs on.
//
// glibc's forced unwind checks each frame against the buffer before it runs anything of that frame, and jumps
// to the buffer at the first frame that lies past the buffer's stack position, positions being taken as
// offsets below the top of the thread's stack. The exit stack lies outside the thread's stack, so the very
// first frame is past it: glibc jumps at once, before any frame is unwound and before any personality routine
// runs. The thread is parked on its exit stack until the process ends, and its own stack is left as it was.
//
// The buffer is the thread's, not a call's: nothing registers or unregisters it per call, so calls that do
// not nest (greenlets, which swap slices of one stack in and out, or any other stack switching) cannot leave
// it pointing at a frame that has gone. The one frame it points into is on the exit stack, which is never
// left.
struct ExitPlace {
    __pthread_unwind_buf_t buffer;
    void *stack;
    ucontext_t *back;  // where the exit stack's first run returns to
};

constexpr size_t exit_stack_size = 64 << 10;
thread_local ExitPlace exit_place;  // zero at the thread's start: no exit stack yet

// A thread that ends normally gives its buffer and exit stack back: this is made, and its destructor set to
// run at the thread's end, when the thread gets its exit stack.
struct ExitPlaceRelease {
    ~ExitPlaceRelease() {
        if (!exit_place.stack) return;
        __pthread_unregister_cancel(&exit_place.buffer);
        munmap(exit_place.stack, exit_stack_size);
        exit_place.stack = nullptr;
    }
};
thread_local ExitPlaceRelease exit_place_release;

[[noreturn]] void park_thread() {
    // The process's main thread goes on ending as glibc ends it, from the buffer registered before this one,
    // without unwinding the frames on its stack: the process ends with its last thread (an interpreter of its
    // own that outlives the main one ends the main thread so), and the main thread's stack is never freed.
    if (getpid() == static_cast<pid_t>(syscall(SYS_gettid))) __pthread_unwind_next(&exit_place.buffer);
    // A parked thread takes no signal: the process's signals go to its threads that still run.
    sigset_t all;
    sigfillset(&all);
    pthread_sigmask(SIG_BLOCK, &all, nullptr);
    for (;;) pause();
}

// The exit stack's one frame: saves the jump target and goes back to prepare_thread_exit; glibc jumps here
// when it ends the thread. Not instrumented by the address sanitizer, which would take the exit stack for a
// broken one of the thread's.
__attribute__((no_sanitize_address)) void exit_stack_entry() {
    ExitPlace &place = exit_place;
    if (__sigsetjmp(reinterpret_cast<__jmp_buf_tag *>(static_cast<void *>(place.buffer.__cancel_jmp_buf)),
                    0) == 0)
        setcontext(place.back);
    park_thread();
}

}  // namespace

void prepare_thread_exit() {
    ExitPlace &place = exit_place;
    if (place.stack) return;
    void *stack = mmap(nullptr, exit_stack_size, PROT_READ | PROT_WRITE,
                       MAP_PRIVATE | MAP_ANONYMOUS | MAP_STACK, -1, 0);
    ucontext_t entry, back;
    // Out of memory: the call goes on unguarded rather than fail (a release, in a destructor, cannot fail),
    // and the thread's next call tries again.
    if (stack == MAP_FAILED) return;
    if (getcontext(&entry) != 0) {
        munmap(stack, exit_stack_size);
        return;
    }
    entry.uc_stack.ss_sp = stack;
    entry.uc_stack.ss_size = exit_stack_size;
    entry.uc_link = nullptr;
    makecontext(&entry, exit_stack_entry, 0);
    // getcontext returns a second time when the exit stack's frame has saved its jump target.
    volatile bool entered = false;
    place.back = &back;
    getcontext(&back);
    if (!entered) {
        entered = true;
        setcontext(&entry);
    }
    place.back = nullptr;
    place.stack = stack;
    __pthread_register_cancel(&place.buffer);
    static_cast<void>(&exit_place_release);
}
#else
void prepare_thread_exit() {}
#endif

nb::object vectorcall(nb::handle callable, PyObject *const *args, size_t nargs, nb::handle kwnames) {
    return guarded([&] {
        return PyObject_Vectorcall(callable.ptr(), args, nargs | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                   kwnames.ptr());
    });
}

nb::object vectorcall_method(nb::handle name, PyObject **args, size_t nargs, nb::handle kwnames) {
    return guarded([&] {
        return PyObject_VectorcallMethod(name.ptr(), args, nargs | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                         kwnames.ptr());
    });
}

nb::object attr(nb::handle obj, nb::handle name) {
    return guarded([&] { return PyObject_GetAttr(obj.ptr(), name.ptr()); });
}

nb::object attr(nb::handle obj, const char *name) {
    return guarded([&] { return PyObject_GetAttrString(obj.ptr(), name); });
}

namespace {

// The new reference `run()` returns; when it fails with `missing` (KeyError, AttributeError), the error is
// dropped inside the guard (its traceback may hold the last reference to something with a finalizer) and
// `otherwise()` is the answer.
template <typename Run, typename Otherwise>
nb::object unless_missing(PyObject *missing, Run &&run, Otherwise &&otherwise) {
    bool absent = false;
    nb::object result = guarded([&] {
        PyObject *value = run();
        if (value || !PyErr_ExceptionMatches(missing)) return value;
        PyErr_Clear();
        absent = true;
        Py_INCREF(Py_None);
        return Py_None;
    });
    return absent ? otherwise() : result;
}

}  // namespace

nb::object attr_or_none(nb::handle obj, nb::handle name) {
    return unless_missing(
        PyExc_AttributeError, [&] { return PyObject_GetAttr(obj.ptr(), name.ptr()); },
        [] { return nb::none(); });
}

nb::object member(nb::handle obj, const char *name, const char *what) {
    return unless_missing(
        PyExc_AttributeError, [&] { return PyObject_GetAttrString(obj.ptr(), name); },
        [&]() -> nb::object {
            raise_message(PyExc_TypeError, format("{} returned {!r}, which has no member {!r}", nb::str(what),
                                                  obj, nb::str(name)));
        });
}

void set_attr(nb::handle obj, nb::handle name, nb::handle value) {
    guarded_test([&] { return PyObject_SetAttr(obj.ptr(), name.ptr(), value.ptr()); });
}

void set_attr(nb::handle obj, const char *name, nb::handle value) {
    set_attr(obj, nb::str(name), value);
}

nb::object item(nb::handle obj, nb::handle key) {
    return guarded([&] { return PyObject_GetItem(obj.ptr(), key.ptr()); });
}

nb::object item(nb::handle obj, const char *key) {
    return item(obj, nb::str(key));
}

void release(nb::object &value) {
    PyObject *reference = value.release().ptr();
    if (reference)
        exit_safe([&] {
            Py_DECREF(reference);
            return 0;
        });
}

nb::handle intern(const char *text) {
    PyObject *name = PyUnicode_InternFromString(text);
    if (!name) throw nb::python_error();
    return name;
}

nb::handle keywords(std::initializer_list<const char *> names) {
    nb::handle tuple = PyTuple_New((Py_ssize_t)names.size());
    if (!tuple) throw nb::python_error();
    Py_ssize_t i = 0;
    for (const char *name : names) PyTuple_SetItem(tuple.ptr(), i++, intern(name).inc_ref().ptr());
    return tuple;
}

void sleep(nb::handle seconds) {
    static const nb::handle time = intern("time"), sleep = intern("sleep");
    call_method(global(time), sleep, seconds);
}

namespace {

// A native function's own method definition: its name, the trampoline, and what the trampoline calls.
struct Native {
    PyMethodDef definition;
    NativeCall call;
    void *function;
    void (*destroy)(void *function);
};

PyObject *native_trampoline(PyObject *capsule, PyObject *const *args, Py_ssize_t nargs) {
    const Native *native = static_cast<const Native *>(PyCapsule_GetPointer(capsule, nullptr));
    if (!native) return nullptr;
    try {
        const NativeEntry entry;
        return native->call(native->function, args, (size_t)nargs);
    } catch (nb::python_error &e) {
        e.restore();
    } catch (nb::builtin_exception &e) {
        const bool type_error = e.type() == nb::exception_type::type_error;
        const bool value_error = e.type() == nb::exception_type::value_error;
        PyErr_SetString(type_error    ? PyExc_TypeError
                        : value_error ? PyExc_ValueError
                                      : PyExc_RuntimeError,
                        e.what());
    } catch (const std::exception &e) {
        PyErr_SetString(PyExc_RuntimeError, e.what());
    }
    return nullptr;
}

}  // namespace

void check_arity(size_t expected, size_t given) {
    if (given != expected)
        raise_message(PyExc_TypeError, format("expected {} arguments, got {}", expected, given));
}

namespace {

// The lowest address of the calling thread's stack that an entry may start above: its low end plus what is
// kept free for the code that handles the RecursionError (1 MiB, or a quarter of a smaller stack). Null where
// the stack cannot be known. Measured, not counted: greenlets run many calls at once on one thread's stack
// without nesting them, and a count per thread would take them for recursion.
const char *stack_floor() {
#ifdef __linux__
    static thread_local const char *floor = [] {
        pthread_attr_t attributes;
        void *low = nullptr;
        size_t size = 0;
        if (pthread_getattr_np(pthread_self(), &attributes) != 0) return static_cast<const char *>(nullptr);
        const bool known = pthread_attr_getstack(&attributes, &low, &size) == 0 && low;
        pthread_attr_destroy(&attributes);
        return known ? static_cast<const char *>(low) + std::min<size_t>(size / 4, 1 << 20) : nullptr;
    }();
    return floor;
#else
    return nullptr;
#endif
}

}  // namespace

NativeEntry::NativeEntry() {
    // The frame's own address: a sanitizer may keep a function's locals elsewhere.
    const char *here = static_cast<const char *>(__builtin_frame_address(0));
    if (here < stack_floor())
        raise_message(PyExc_RecursionError,
                      nb::str("maximum recursion depth exceeded: client calls nested too deeply for the "
                              "thread's stack"));
    if (Py_EnterRecursiveCall(" in a client call")) throw nb::python_error();
}

NativeEntry::~NativeEntry() {
    Py_LeaveRecursiveCall();
}

nb::object native_function(const char *name, NativeCall call, void *function, void (*destroy)(void *)) {
    // The function holds the capsule, which holds the definition: the definition lives as long as the
    // function.
    Native *native =
        new Native{{name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(native_trampoline)),
                    METH_FASTCALL, nullptr},
                   call,
                   function,
                   destroy};
    nb::object capsule = nb::steal(PyCapsule_New(native, nullptr, [](PyObject *c) {
        Native *owned = static_cast<Native *>(PyCapsule_GetPointer(c, nullptr));
        if (owned->destroy) owned->destroy(owned->function);
        delete owned;
    }));
    if (!capsule) {
        delete native;
        throw nb::python_error();
    }
    return nb::steal(PyCFunction_New(&native->definition, capsule.ptr()));
}

nb::object def_method(nb::handle cls, const char *literal, nb::handle impl) {
    return call(attr(binding_module, "bind"), cls, nb::str(literal), impl, attr(module_object, "__dict__"));
}

namespace {

// Without a tp_init of their own, nanobind leaves the call to the interpreter instead of calling the __init__
// it bound.
PyType_Slot python_construction[] = {{Py_tp_init, nullptr}, {0, nullptr}};

}  // namespace

nb::type_slots construct_as_python() {
    return nb::type_slots(python_construction);
}

// copy and pickle refuse an extension type's instance unless it names its state; ours is all in __dict__,
// so an instance is copied and pickled as a plain Python object would be.
void copy_as_python(nb::handle cls) {
    def_method(cls, "python_glue.getstate", R"(
__getstate__(self) -> dict[str, typing.Any]
The instance's attributes, which copy and pickle save and restore.
)",
               [](nb::handle self) { return attr(self, "__dict__"); });
}

nb::object global(const char *name) {
    return attr(module_object, name);
}

nb::object global(nb::handle name) {
    // Read from the module's dict: a look-up of a str key there runs no Python code.
    PyObject *value = PyDict_GetItemWithError(PyModule_GetDict(module_object.ptr()), name.ptr());
    if (value) return nb::borrow(value);
    if (PyErr_Occurred()) throw nb::python_error();
    return attr(module_object, name);  // AttributeError, as Python raises it
}

nb::object path_segment(nb::handle value) {
    // None is always a caller's mistake here; sending "None" as an id would address a resource by accident.
    if (value.is_none()) throw nb::type_error("None is not a valid path value (an id or name is required)");
    // str() as Python's formatting would; a text with no UTF-8 form fails here with UnicodeEncodeError.
    nb::object text = PyUnicode_CheckExact(value.ptr()) ? nb::borrow(value) : str_of(value);
    Py_ssize_t size = 0;
    const char *utf8 = PyUnicode_AsUTF8AndSize(text.ptr(), &size);
    if (!utf8) throw nb::python_error();
    const std::string_view view(utf8, (size_t)size);
    if (view.empty() || view == "." || view == "..")
        raise_message(PyExc_ValueError, format("not a valid path value: {!r}", value));
    // "%" too: requests leaves a valid escape as it is, and the engine would decode "a%2Fb" to "a/b".
    if (view.find_first_of("/?#%") == std::string_view::npos) return text;
    std::string out;
    for (char c : view) {
        if (c == '/' || c == '?' || c == '#' || c == '%')
            out += {'%', "0123456789ABCDEF"[c >> 4], "0123456789ABCDEF"[c & 15]};
        else
            out += c;
    }
    return nb::str(out.data(), out.size());
}

nb::str endpoint(nb::handle self, const char *path_template, std::initializer_list<nb::handle> values) {
    static const nb::handle api_version = intern("api_version");
    nb::list segments;
    segments.append(path_segment(attr(self, api_version)));
    for (nb::handle value : values) segments.append(path_segment(value));
    nb::object format = attr(nb::str(path_template), "format"),
               args = nb::steal(PyList_AsTuple(segments.ptr()));
    return nb::borrow<nb::str>(guarded([&] { return PyObject_Call(format.ptr(), args.ptr(), nullptr); }));
}

nb::dict mapping(std::initializer_list<std::pair<const char *, nb::handle>> entries) {
    nb::dict result;
    for (const auto &entry : entries) result[entry.first] = entry.second;
    return result;
}

bool truthy(nb::handle value) {
    return guarded_test([&] { return PyObject_IsTrue(value.ptr()); });
}

bool compare(nb::handle a, nb::handle b, int op) {
    return guarded_test([&] { return PyObject_RichCompareBool(a.ptr(), b.ptr(), op); });
}

bool is_instance(nb::handle value, nb::handle cls) {
    return guarded_test([&] { return PyObject_IsInstance(value.ptr(), cls.ptr()); });
}

bool has_body(nb::handle response) {
    static const nb::handle content = intern("content");
    nb::object body = attr(response, content);
    const Py_ssize_t size = exit_safe([&] { return PyObject_Size(body.ptr()); });
    if (size < 0) throw nb::python_error();
    return size != 0;
}

void raise(nb::handle value) {
    // The type's own flags, as Python's raise reads them (no __instancecheck__ runs).
    if (PyExceptionInstance_Check(value.ptr())) {
        PyErr_SetObject(PyExceptionInstance_Class(value.ptr()), value.ptr());
        throw nb::python_error();
    }
    if (PyExceptionClass_Check(value.ptr())) raise(call(value));
    throw nb::type_error("exceptions must derive from BaseException");
}

void raise_message(nb::handle type, nb::handle message) {
    PyErr_SetObject(type.ptr(), message.ptr());
    throw nb::python_error();
}

bool contains(nb::handle container, nb::handle value) {
    return guarded_test([&] { return PySequence_Contains(container.ptr(), value.ptr()); });
}

nb::object pipeline_id_of(nb::handle record) {
    static const nb::handle pipeline_id = intern("pipelineId"), name = intern("name");
    return unless_missing(
        PyExc_KeyError, [&] { return PyObject_GetItem(record.ptr(), pipeline_id.ptr()); },
        [&] { return item(record, name); });
}

nb::object exception_of(nb::python_error &e) {
    e.restore();
#if PY_VERSION_HEX >= 0x030C0000
    return nb::steal(PyErr_GetRaisedException());
#else
    PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    // Normalizing may construct the exception, which runs its class's Python code.
    exit_safe([&] {
        PyErr_NormalizeException(&type, &value, &traceback);
        return 0;
    });
    if (traceback) PyException_SetTraceback(value, traceback);
    Py_XDECREF(type);
    Py_XDECREF(traceback);
    return nb::steal(value);
#endif
}

double to_double(nb::handle value) {
    // A number of another kind converts through its own __float__ or __index__.
    const double result = exit_safe([&] { return PyFloat_AsDouble(value.ptr()); });
    if (result == -1.0 && PyErr_Occurred()) throw nb::python_error();
    return result;
}

nb::object str_of(nb::handle value) {
    return guarded([&] { return PyObject_Str(value.ptr()); });
}

double now() {
    static const nb::handle time = intern("time");
    return to_double(call_method(global(time), time));
}

}  // namespace velm
