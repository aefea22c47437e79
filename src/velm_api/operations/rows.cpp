// The executor of the operation rows (see operations.hpp). A row is read once, when it is bound, into what
// each call needs (quenlo.sdk._binding.prepare_row, a PreparedRow whose members are read here by name and
// checked); every call then builds the query and the path from it.
#include <algorithm>
#include <string_view>
#include <vector>

#include "operations.hpp"

namespace velm {
namespace {

// The modes of a row, read from the words quenlo.sdk._binding.PreparedRow writes, in the enums' order.
enum Query { no_query, get_params_query, own_query };
const char *const query_words[] = {"none", "get_params", "mapping"};
enum Returns { json, json_or_dict, json_or_list, command };
const char *const returns_words[] = {"json", "json or {}", "json or []", "command"};

struct Operation {
    size_t arity = 0;               // the arguments, the client included
    nb::object verb, keywords;      // "_get", ...; the verb's keyword names, endpoint first
    bool get = false;               // the verb is "_get"
    std::vector<nb::object> texts;  // the path's texts around its ids: one more than `ids`
    std::vector<int> ids;           // the argument of each id; -1 for the api version
    Query query = no_query;
    std::vector<nb::object> keys;  // get_params: every argument name; a mapping of its own: the query keys
    std::vector<int> values;       // the argument of each key of a mapping of its own
    nb::object exclusions;
    int body = -1;  // the argument sent as the body
    bool as_given = false;
    Returns returns = command;
    nb::object command_class;       // the command class's name in the module
    std::vector<nb::object> reads;  // the members of the answer read, in order
    std::vector<int> extras;        // the command's further arguments; -1 - k: reads[k]
};

// The members of a PreparedRow, read by name. Anything unexpected (a member missing, of another type, or an
// index outside the arguments) is a TypeError or ValueError at import, naming the row's method.
class Reader {
public:
    Reader(nb::handle prepared, nb::handle method) : prepared_(prepared), method_(method) {}

    nb::object member(const char *name) const {
        try {
            return attr(prepared_, name);
        } catch (nb::python_error &e) {
            if (!e.matches(PyExc_AttributeError)) throw;
            fail(PyExc_TypeError, name, "is missing");
        }
    }

    nb::object text(const char *name) const {
        nb::object value = member(name);
        if (!PyUnicode_Check(value.ptr())) fail(PyExc_TypeError, name, "must be a str", value);
        return value;
    }

    long number(const char *name, long low, long high) const {
        return number_of(member(name), name, low, high);
    }

    // The place in `words` of the str member `name`, one of them as written there.
    template <size_t count>
    size_t word(const char *name, const char *const (&words)[count]) const {
        nb::object value = text(name);
        for (size_t i = 0; i < count; ++i)
            if (PyUnicode_CompareWithASCIIString(value.ptr(), words[i]) == 0) return i;
        fail(PyExc_ValueError, name, "is not a word the executor knows", value);
    }

    std::vector<nb::object> texts(const char *name) const {
        std::vector<nb::object> result;
        for (nb::handle item : items(name)) {
            if (!PyUnicode_Check(item.ptr())) fail(PyExc_TypeError, name, "must hold str items", item);
            result.push_back(nb::borrow(item));
        }
        return result;
    }

    std::vector<int> numbers(const char *name, long low, long high) const {
        std::vector<int> result;
        for (nb::handle item : items(name)) result.push_back((int)number_of(item, name, low, high));
        return result;
    }

    [[noreturn]] void fail(PyObject *type, const char *name, const char *problem,
                           nb::handle value = nb::handle()) const {
        nb::str message =
            format("the prepared row of {} is not one the executor can run: {} {}", method_, name, problem);
        if (value.is_valid()) message = format("{}, not {!r}", message, value);
        raise_message(type, message);
    }

private:
    // An exact tuple: iterating it runs no Python code.
    nb::object items(const char *name) const {
        nb::object value = member(name);
        if (!PyTuple_CheckExact(value.ptr())) fail(PyExc_TypeError, name, "must be a tuple", value);
        return value;
    }

    long number_of(nb::handle value, const char *name, long low, long high) const {
        if (!PyLong_Check(value.ptr()) || PyBool_Check(value.ptr()))
            fail(PyExc_TypeError, name, "must be an int", value);
        int overflow = 0;
        const long result = PyLong_AsLongAndOverflow(value.ptr(), &overflow);
        if (overflow || result < low || result > high) fail(PyExc_ValueError, name, "is out of range", value);
        return result;
    }

    nb::handle prepared_, method_;
};

Operation read_row(nb::handle prepared, nb::handle method) {
    const Reader row(prepared, method);
    Operation op;
    // Every index below is checked against the arguments: the executor reads args[index] unchecked.
    op.arity = (size_t)row.number("arity", 1, 64);
    const long last = (long)op.arity - 1;
    op.verb = row.text("verb");
    op.get = PyUnicode_CompareWithASCIIString(op.verb.ptr(), "_get") == 0;
    op.texts = row.texts("texts");
    op.ids = row.numbers("ids", -1, last);
    if (op.texts.size() != op.ids.size() + 1)
        row.fail(PyExc_ValueError, "texts", "must be one more than ids");
    op.query = (Query)row.word("query", query_words);
    op.keys = row.texts("keys");
    op.values = row.numbers("values", 0, last);
    if (op.query == get_params_query && op.keys.size() != op.arity)
        row.fail(PyExc_ValueError, "keys", "must name every argument for get_params");
    if (op.query == own_query && op.keys.size() != op.values.size())
        row.fail(PyExc_ValueError, "values", "must give one argument per key");
    op.exclusions = row.member("exclusions");
    op.body = (int)row.number("body", -1, last);
    nb::object as_given = row.member("as_given");
    if (!PyBool_Check(as_given.ptr())) row.fail(PyExc_TypeError, "as_given", "must be a bool", as_given);
    op.as_given = as_given.is(Py_True);
    if (op.as_given && op.body < 0) row.fail(PyExc_ValueError, "as_given", "needs a body");
    op.returns = (Returns)row.word("returns", returns_words);
    if (op.returns == command) op.command_class = row.text("command");
    op.reads = row.texts("reads");
    op.extras = row.numbers("extras", -(long)op.reads.size(), last);
    if (op.extras.size() > 3) row.fail(PyExc_ValueError, "extras", "must be at most three");
    if (op.returns != command && !(op.extras.empty() && op.reads.empty()))
        row.fail(PyExc_ValueError, "reads", "and extras are for a command only");

    std::vector<const char *> names = {"endpoint"};
    if (op.query != no_query) names.push_back("params");
    if (op.body >= 0) names.push_back("data");
    if (op.as_given) names.push_back("is_data_format_json");
    nb::object kwnames = nb::steal(PyTuple_New((Py_ssize_t)names.size()));
    if (!kwnames) throw nb::python_error();
    for (size_t i = 0; i < names.size(); ++i)
        PyTuple_SetItem(kwnames.ptr(), (Py_ssize_t)i, intern(names[i]).inc_ref().ptr());
    op.keywords = kwnames;
    return op;
}

// The endpoint: "/v", the api version, and each id as one segment between the row's texts.
nb::object path_of(const Operation &op, PyObject *const *args) {
    static const nb::handle api_version = intern("api_version"), empty = intern("");
    const size_t count = op.texts.size() + op.ids.size();
    nb::object pieces = nb::steal(PyTuple_New((Py_ssize_t)count));
    for (size_t i = 0; i < op.ids.size(); ++i) {
        PyTuple_SetItem(pieces.ptr(), (Py_ssize_t)(2 * i), op.texts[i].inc_ref().ptr());
        nb::object value = op.ids[i] < 0 ? attr(args[0], api_version) : nb::borrow(args[op.ids[i]]);
        PyTuple_SetItem(pieces.ptr(), (Py_ssize_t)(2 * i + 1), path_segment(value).release().ptr());
    }
    PyTuple_SetItem(pieces.ptr(), (Py_ssize_t)(count - 1), op.texts.back().inc_ref().ptr());
    // Joining str pieces runs no Python code.
    nb::object path = nb::steal(PyUnicode_Join(empty.ptr(), pieces.ptr()));
    if (!path) throw nb::python_error();
    return path;
}

nb::object query_of(const Operation &op, PyObject *const *args) {
    static const nb::handle get_params = intern("get_params"),
                            hand_off = keywords({"parameters", "exclusions"});
    nb::object mapping = nb::steal(PyDict_New());
    const bool all = op.query == get_params_query;
    // Interned str keys: setting them runs no Python code.
    for (size_t i = 0; i < op.keys.size(); ++i)
        if (PyDict_SetItem(mapping.ptr(), op.keys[i].ptr(), args[all ? i : (size_t)op.values[i]]) < 0)
            throw nb::python_error();
    if (!all) return mapping;
    return call_kw(global(get_params), hand_off, mapping, op.exclusions);
}

nb::object run(const Operation &op, PyObject *const *args, size_t nargs) {
    static const nb::handle json_name = intern("json");
    check_arity(op.arity, nargs);
    // The query first, then the path: get_params is handed the arguments before anything else is done.
    nb::object query = op.query == no_query ? nb::object() : query_of(op, args);
    nb::object path = path_of(op, args);
    PyObject *call[6] = {nullptr, args[0], path.ptr()};
    size_t count = 3;
    if (query.is_valid()) call[count++] = query.ptr();
    if (op.body >= 0) call[count++] = args[op.body];
    if (op.as_given) call[count++] = Py_False;
    // The client's own GET runs here directly; a replaced verb or status check is called as it is.
    const bool direct = op.get && runs_own_get(args[0]);
    // A member missing from the answer ends the call with the response as its last reference.
    Owned response =
        direct ? get_checked(args[0], path, query.is_valid() ? query.ptr() : Py_None, op.returns == command)
               : vectorcall_method(op.verb, call + 1, 1, op.keywords);

    if (op.returns != command) {
        if (op.returns != json && !has_body(response))
            return op.returns == json_or_dict ? nb::object(nb::dict()) : nb::object(nb::list());
        return direct ? engine_json(response) : call_method(response, json_name);
    }
    // Each member from a decoding of its own, in the row's order: the first one missing ends the call.
    std::vector<nb::object> read;
    for (const nb::object &name : op.reads) {
        nb::object answer = call_method(response, json_name);
        read.push_back(item(answer, name));
    }
    PyObject *arguments[6] = {nullptr, args[0], response.ptr()};
    for (size_t i = 0; i < op.extras.size(); ++i)
        arguments[3 + i] = op.extras[i] < 0 ? read[(size_t)(-1 - op.extras[i])].ptr() : args[op.extras[i]];
    return vectorcall(global(op.command_class), arguments + 1, 2 + op.extras.size());
}

}  // namespace

void def_row(nb::handle client, Row row) {
    Operation *op = new Operation();
    nb::object impl = native_function(
        "rows.run",
        [](void *operation, PyObject *const *args, size_t nargs) {
            return run(*static_cast<const Operation *>(operation), args, nargs).release().ptr();
        },
        op, [](void *operation) { delete static_cast<Operation *>(operation); });
    nb::object prepared = call(attr(binding_module, "prepare_row"), client, nb::str(row), impl,
                               attr(module_object, "__dict__"));
    std::string_view name(row);
    name.remove_prefix(std::min(name.find_first_not_of('\n'), name.size()));
    *op = read_row(prepared, nb::str(name.data(), std::min(name.find('('), name.size())));
}

}  // namespace velm
