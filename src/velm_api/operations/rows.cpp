// The executor of the operation rows (see operations.hpp). A row is read once, when it is bound, into what
// each call needs (quenlo.sdk._binding.prepare_row); every call then builds the path and the query from it.
#include <vector>

#include "operations.hpp"

namespace velm {
namespace {

enum Query { no_query, get_params_query, own_query };
enum Returns { json, json_or_dict, json_or_list, command };

struct Operation {
    size_t arity = 0;               // the arguments, the client included
    nb::object verb, keywords;      // "_get", ...; the verb's keyword names, endpoint first
    std::vector<nb::object> texts;  // the path's texts around its ids: one more than `ids`
    std::vector<int> ids;           // the argument of each id; -1 for the api version
    int query = no_query;
    std::vector<nb::object> keys;  // get_params: every argument name; a mapping of its own: the query keys
    std::vector<int> values;       // the argument of each key of a mapping of its own
    nb::object exclusions;
    int body = -1;  // the argument sent as the body
    bool as_given = false;
    int returns = command;
    nb::object command_class;  // the command class's name in the module
    std::vector<int> extras;   // the command's further arguments; -1 - k: answer[members[k]]
    std::vector<nb::object> members;
};

std::vector<nb::object> objects(nb::handle items) {
    std::vector<nb::object> result;
    for (nb::handle item : items) result.push_back(nb::borrow(item));
    return result;
}

std::vector<int> numbers(nb::handle items) {
    std::vector<int> result;
    for (nb::handle item : items) result.push_back((int)PyLong_AsLong(item.ptr()));
    return result;
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
    for (size_t i = 0; i < op.keys.size(); ++i)
        if (PyDict_SetItem(mapping.ptr(), op.keys[i].ptr(), args[all ? i : (size_t)op.values[i]]) < 0)
            throw nb::python_error();
    if (!all) return mapping;
    return call_kw(global(get_params), hand_off, mapping, op.exclusions);
}

nb::object run(const Operation &op, PyObject *const *args, size_t nargs) {
    static const nb::handle json_name = intern("json");
    check_arity(op.arity, nargs);
    nb::object path = path_of(op, args), query;
    PyObject *call[6] = {nullptr, args[0], path.ptr()};
    size_t count = 3;
    if (op.query != no_query) {
        query = query_of(op, args);
        call[count++] = query.ptr();
    }
    if (op.body >= 0) call[count++] = args[op.body];
    if (op.as_given) call[count++] = Py_False;
    nb::object response = vectorcall_method(op.verb, call + 1, 1, op.keywords);

    if (op.returns != command) {
        nb::object result = op.returns == json || has_body(response) ? call_method(response, json_name)
                            : op.returns == json_or_dict             ? nb::object(nb::dict())
                                                                     : nb::object(nb::list());
        release(response);  // the last reference: its finalizer runs Python code
        return result;
    }
    PyObject *arguments[6] = {nullptr, args[0], response.ptr()};
    nb::object answer = op.members.empty() ? nb::object() : call_method(response, json_name);
    std::vector<nb::object> members;
    for (size_t i = 0; i < op.extras.size(); ++i) {
        if (op.extras[i] < 0) members.push_back(item(answer, op.members[(size_t)(-1 - op.extras[i])]));
        arguments[3 + i] = op.extras[i] < 0 ? members.back().ptr() : args[op.extras[i]];
    }
    return vectorcall(global(op.command_class), arguments + 1, 2 + op.extras.size());
}

}  // namespace

void def_row(nb::handle client, Row row) {
    Operation *op = new Operation();
    nb::object impl = native_function(
        [](void *operation, PyObject *const *args, size_t nargs) {
            return run(*static_cast<const Operation *>(operation), args, nargs).release().ptr();
        },
        op, [](void *operation) { delete static_cast<Operation *>(operation); });
    nb::object prepared = call(attr(binding_module, "prepare_row"), client, nb::str(row), impl,
                               attr(module_object, "__dict__"));
    auto item = [&](Py_ssize_t i) { return nb::borrow(PyTuple_GetItem(prepared.ptr(), i)); };
    auto number = [&](Py_ssize_t i) { return (int)PyLong_AsLong(item(i).ptr()); };
    *op = Operation{(size_t)number(0), item(1),           item(2),          objects(item(3)),
                    numbers(item(4)),  number(5),         objects(item(6)), numbers(item(7)),
                    item(8),           number(9),         truthy(item(10)), number(11),
                    item(12),          numbers(item(13)), objects(item(14))};
}

}  // namespace velm
