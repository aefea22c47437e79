#include "python_glue.hpp"

#include <charconv>
#include <cstdint>
#include <cstring>

namespace velm {

nb::handle module_object;
nb::handle module_dict;

namespace {

// Interned names by the address of their literal. The text is compared too, so a pointer that is not a
// literal (and may later hold other text) never picks up a stale entry.
struct NameSlot {
    const char *text;
    PyObject *value;
};
constexpr size_t name_slots = 256;
NameSlot name_table[name_slots];

bool holds(const NameSlot &slot, const char *text) {
    Py_ssize_t size = 0;
    const char *utf8 = PyUnicode_AsUTF8AndSize(slot.value, &size);
    return std::strncmp(utf8, text, (size_t)size) == 0 && text[size] == '\0';
}

}  // namespace

nb::object name(const char *text) {
    size_t index = (size_t)((reinterpret_cast<std::uintptr_t>(text) * 0x9E3779B97F4A7C15ull) >> 56);
    for (size_t probe = 0; probe < name_slots; ++probe) {
        NameSlot &slot = name_table[(index + probe) % name_slots];
        if (slot.text == text && holds(slot, text)) return nb::borrow(slot.value);
        if (slot.text == nullptr) {
            PyObject *value = PyUnicode_InternFromString(text);
            if (!value) throw nb::python_error();
            slot.text = text;
            slot.value = value;  // the table keeps this reference for good
            return nb::borrow(value);
        }
    }
    // Only reached with far more distinct names than the module has; stay correct, just uncached.
    return nb::str(text);
}

nb::object global(const char *text) {
    nb::object key = name(text);
    PyObject *value = PyDict_GetItemWithError(module_dict.ptr(), key.ptr());
    if (value) return nb::borrow(value);
    if (PyErr_Occurred()) throw nb::python_error();
    // Not in the namespace (deleted by the caller): the module's own look-up raises the usual AttributeError.
    return module_object.attr(key);
}

namespace {

// The endpoint being built: on the stack for every path the module has, on the heap past that.
class PathBuilder {
public:
    void append(const char *text, size_t size) {
        if (heap_.empty() && used_ + size <= sizeof(buffer_)) {
            std::memcpy(buffer_ + used_, text, size);
            used_ += size;
            return;
        }
        if (heap_.empty()) heap_.assign(buffer_, used_);
        heap_.append(text, size);
    }
    nb::str str() const {
        return heap_.empty() ? nb::str(buffer_, used_) : nb::str(heap_.data(), heap_.size());
    }

private:
    char buffer_[256];
    size_t used_ = 0;
    std::string heap_;
};

void append_path_segment(PathBuilder &out, nb::handle value) {
    // None is always a caller's mistake here; sending the text "None" would address a resource by accident.
    if (value.is_none()) throw nb::type_error("None is not a valid path value (an id or name is required)");
    // A plain int (the api_version) is written straight in; an exact str is used as it is; anything else (a
    // str subclass included) goes through str() as Python's formatting would.
    if (PyLong_CheckExact(value.ptr())) {
        int overflow = 0;
        long long number = PyLong_AsLongLongAndOverflow(value.ptr(), &overflow);
        if (!overflow) {
            char digits[24];
            char *end = std::to_chars(digits, digits + sizeof(digits), number).ptr;
            out.append(digits, (size_t)(end - digits));
            return;
        }
    }
    nb::object text = PyUnicode_CheckExact(value.ptr()) ? nb::borrow(value) : nb::str(value);
    Py_ssize_t size = 0;
    const char *utf8 = PyUnicode_AsUTF8AndSize(text.ptr(), &size);
    if (!utf8) throw nb::python_error();
    if (size == 0 || (utf8[0] == '.' && (size == 1 || (size == 2 && utf8[1] == '.'))))
        throw nb::value_error(("not a valid path value: " + nb::cast<std::string>(nb::repr(value))).c_str());
    const char *run = utf8;
    const char *end = utf8 + size;
    for (const char *p = utf8; p != end; ++p) {
        // "%" too: requests leaves a valid escape as it is, and the engine would decode "a%2Fb" to "a/b".
        const char *escape = *p == '/'   ? "%2F"
                             : *p == '?' ? "%3F"
                             : *p == '#' ? "%23"
                             : *p == '%' ? "%25"
                                         : nullptr;
        if (!escape) continue;
        out.append(run, (size_t)(p - run));
        out.append(escape, 3);
        run = p + 1;
    }
    out.append(run, (size_t)(end - run));
}

}  // namespace

nb::str endpoint(nb::handle self, const char *path_template, std::initializer_list<nb::handle> values) {
    PathBuilder out;
    const nb::object api_version = self.attr("api_version");
    auto next = values.begin();
    bool first = true;
    const char *literal = path_template;
    for (const char *p = path_template; *p; ++p) {
        if (p[0] != '{' || p[1] != '}') continue;
        out.append(literal, (size_t)(p - literal));
        append_path_segment(out, first ? nb::handle(api_version) : *next++);
        first = false;
        literal = p + 2;
        ++p;
    }
    out.append(literal, std::strlen(literal));
    return out.str();
}

nb::object query(const nb::dict &arguments, nb::handle exclusions) {
    return global("get_params")("parameters"_a = arguments, "exclusions"_a = exclusions);
}

namespace {

// Exclusion tuples by the literals they hold, built on first use and kept (tuples are immutable, so every
// call can hand get_params the same one). Checked name by name, address and text, as in name().
struct NamesSlot {
    const char *items[8];
    size_t size;
    PyObject *tuple;
};
constexpr size_t names_slots = 64;
NamesSlot names_table[names_slots];
size_t names_used = 0;

bool holds(const NamesSlot &slot, std::initializer_list<const char *> items) {
    if (slot.size != items.size()) return false;
    size_t index = 0;
    for (const char *item : items) {
        if (slot.items[index] != item) return false;
        Py_ssize_t size = 0;
        const char *utf8 = PyUnicode_AsUTF8AndSize(PyTuple_GET_ITEM(slot.tuple, index), &size);
        if (std::strncmp(utf8, item, (size_t)size) != 0 || item[size] != '\0') return false;
        ++index;
    }
    return true;
}

nb::tuple make_names(std::initializer_list<const char *> items) {
    nb::tuple tuple = nb::steal<nb::tuple>(PyTuple_New((Py_ssize_t)items.size()));
    if (!tuple.is_valid()) throw nb::python_error();
    Py_ssize_t index = 0;
    for (const char *item : items) PyTuple_SET_ITEM(tuple.ptr(), index++, name(item).release().ptr());
    return tuple;
}

}  // namespace

nb::tuple names(std::initializer_list<const char *> items) {
    for (size_t index = 0; index < names_used; ++index)
        if (holds(names_table[index], items)) return nb::borrow<nb::tuple>(names_table[index].tuple);
    nb::tuple tuple = make_names(items);
    if (names_used == names_slots || items.size() > 8) return tuple;  // far past what the module uses
    NamesSlot &slot = names_table[names_used++];
    size_t index = 0;
    for (const char *item : items) slot.items[index++] = item;
    slot.size = items.size();
    slot.tuple = tuple.inc_ref().ptr();  // the table keeps this reference for good
    return tuple;
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
    return nb::cast<double>(global("time").attr("time")());
}

void sleep_one_second() {
    global("time").attr("sleep")(1);
}

}  // namespace velm
