// The executor of the operation rows (see operations.hpp): a row is read once, when it is bound, into what
// each call needs (interned names, the path's pieces, the exclusions, the keywords of the verb), and every
// call then builds the path, the query and the transport call from those.
#include <string>
#include <string_view>
#include <vector>

#include "operations.hpp"

namespace velm {
namespace {

enum class Query { none, get_params, mapping };
enum class Returns { json, json_or_dict, json_or_list, command };

struct Operation {
    size_t arity = 0;               // the arguments, the client included
    nb::object verb;                // "_get", "_post", "_put" or "_delete"
    nb::object keywords;            // of the verb: endpoint, then params, data, is_data_format_json
    std::vector<nb::object> texts;  // the path's text around its ids: one more than `ids`
    std::vector<int> ids;           // the argument of each id; -1 for the api version
    Query query = Query::none;
    std::vector<nb::object> keys;  // get_params: every argument name; mapping: the query keys
    std::vector<int> values;       // mapping: the argument of each key
    nb::object exclusions;         // get_params: one name, or a tuple of names
    int body = -1;                 // the argument sent as the body
    bool as_given = false;         // the body is not JSON-encoded
    Returns returns = Returns::command;
    nb::object command;              // the command class's name in the module
    std::vector<int> extras;         // arguments of the command after the response (see `answer`)
    std::vector<nb::object> answer;  // members of the decoded answer: extra -1 - k is answer[k]
};

std::vector<std::string_view> split(std::string_view text, std::string_view separator) {
    std::vector<std::string_view> parts;
    while (!text.empty()) {
        size_t end = text.find(separator);
        parts.push_back(text.substr(0, end));
        text = end == std::string_view::npos ? std::string_view() : text.substr(end + separator.size());
    }
    return parts;
}

nb::object interned(std::string_view text) {
    return nb::borrow(intern(std::string(text).c_str()));
}

// The part of a row's request after "label: ", or "".
std::string_view field(const std::vector<std::string_view> &parts, std::string_view label) {
    for (std::string_view part : parts)
        if (part.substr(0, label.size()) == label) return part.substr(label.size());
    return {};
}

// Read a row into `op`; `names` are the argument names of the bound function, in order. Returns what the
// docstring says it returns.
std::string prepare(Operation &op, std::string_view request, const std::vector<std::string> &names) {
    auto argument = [&](std::string_view name) {
        for (size_t i = 0; i < names.size(); ++i)
            if (names[i] == name) return (int)i;
        throw std::invalid_argument("an operation row names an argument it does not have: " +
                                    std::string(name));
    };
    op.arity = names.size();
    const std::vector<std::string_view> parts = split(request, " | ");

    const std::string_view verb = parts[0].substr(0, parts[0].find(' '));
    std::string verb_name = "_";
    for (char c : verb) verb_name += (char)(c - 'A' + 'a');
    op.verb = interned(verb_name);
    op.texts.push_back(interned("/v"));
    op.ids.push_back(-1);
    std::string text;
    for (std::string_view path = parts[0].substr(verb.size() + 1);;) {
        const size_t open = path.find('{');
        text += path.substr(0, open);
        if (open == std::string_view::npos) break;
        const size_t close = path.find('}', open);
        op.texts.push_back(interned(text));
        op.ids.push_back(argument(path.substr(open + 1, close - open - 1)));
        text.clear();
        path = path.substr(close + 1);
    }
    op.texts.push_back(interned(text));

    std::vector<const char *> keywords{"endpoint"};
    const std::string_view query = field(parts, "query: "), get_params("get_params"), without(" without ");
    if (query.substr(0, get_params.size()) == get_params) {
        // "self" is always excluded: one name goes as that name, several as a tuple.
        op.query = Query::get_params;
        for (const std::string &name : names) op.keys.push_back(interned(name));
        std::vector<std::string_view> excluded{"self"};
        for (std::string_view name :
             split(query.substr(std::min(query.size(), get_params.size() + without.size())), ", "))
            excluded.push_back(name);
        op.exclusions = interned("self");
        if (excluded.size() > 1) {
            op.exclusions = nb::steal(PyTuple_New((Py_ssize_t)excluded.size()));
            for (size_t i = 0; i < excluded.size(); ++i)
                PyTuple_SetItem(op.exclusions.ptr(), (Py_ssize_t)i, interned(excluded[i]).release().ptr());
        }
    } else if (!query.empty()) {
        op.query = Query::mapping;
        for (std::string_view entry : split(query, ", ")) {
            const size_t equals = entry.find('=');
            op.keys.push_back(interned(entry.substr(0, equals)));
            op.values.push_back(argument(entry.substr(equals + 1)));
        }
    }
    if (op.query != Query::none) keywords.push_back("params");

    std::string_view body = field(parts, "body: "), as_given(" (as given)");
    if (body.size() > as_given.size() && body.substr(body.size() - as_given.size()) == as_given) {
        op.as_given = true;
        body = body.substr(0, body.size() - as_given.size());
    }
    if (!body.empty()) {
        op.body = argument(body);
        keywords.push_back("data");
        if (op.as_given) keywords.push_back("is_data_format_json");
    }
    op.keywords = nb::steal(PyTuple_New((Py_ssize_t)keywords.size()));
    for (size_t i = 0; i < keywords.size(); ++i)
        PyTuple_SetItem(op.keywords.ptr(), (Py_ssize_t)i, interned(keywords[i]).release().ptr());

    const std::string_view returns = field(parts, "returns: ");
    if (returns == "json") {
        op.returns = Returns::json;
        return "The decoded JSON body.";
    }
    if (returns == "json or {}" || returns == "json or []") {
        op.returns = returns == "json or {}" ? Returns::json_or_dict : Returns::json_or_list;
        return std::string("The decoded JSON body, or an empty ") +
               (returns.back() == '}' ? "dict" : "list") + " when the body is empty.";
    }
    const size_t open = returns.find('(');
    op.command = interned(returns.substr(0, open));
    if (open == std::string_view::npos) return std::string(returns) + "(self, response).";
    const std::string_view member("answer[\"");
    const std::string_view extras = returns.substr(open + 1, returns.size() - open - 2);
    for (std::string_view extra : split(extras, ", ")) {
        if (extra.substr(0, member.size()) == member) {
            op.answer.push_back(interned(extra.substr(member.size(), extra.size() - member.size() - 2)));
            op.extras.push_back(-(int)op.answer.size());
        } else {
            op.extras.push_back(argument(extra));
        }
    }
    return std::string(returns.substr(0, open)) + "(self, response, " + std::string(extras) + ").";
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
    return guarded([&] { return PyUnicode_Join(empty.ptr(), pieces.ptr()); });
}

nb::object query_of(const Operation &op, PyObject *const *args) {
    static const nb::handle get_params = intern("get_params"),
                            hand_off = keywords({"parameters", "exclusions"});
    nb::object mapping = nb::steal(PyDict_New());
    const bool all = op.query == Query::get_params;
    for (size_t i = 0; i < op.keys.size(); ++i)
        if (PyDict_SetItem(mapping.ptr(), op.keys[i].ptr(), args[all ? i : (size_t)op.values[i]]) < 0)
            throw nb::python_error();
    if (!all) return mapping;
    return call_kw(global(get_params), hand_off, mapping, op.exclusions);
}

nb::object run(const Operation &op, PyObject *const *args, size_t nargs) {
    static const nb::handle json = intern("json");
    check_arity(op.arity, nargs);
    nb::object path = path_of(op, args), query;
    PyObject *call[6] = {nullptr, args[0], path.ptr()};
    size_t count = 3;
    if (op.query != Query::none) {
        query = query_of(op, args);
        call[count++] = query.ptr();
    }
    if (op.body >= 0) call[count++] = args[op.body];
    if (op.as_given) call[count++] = Py_False;
    nb::object response = vectorcall_method(op.verb, call + 1, 1, op.keywords);

    if (op.returns == Returns::json) return call_method(response, json);
    if (op.returns == Returns::json_or_dict)
        return has_body(response) ? call_method(response, json) : nb::dict();
    if (op.returns == Returns::json_or_list)
        return has_body(response) ? call_method(response, json) : nb::list();
    PyObject *command[6] = {nullptr, args[0], response.ptr()};
    nb::object answer = op.answer.empty() ? nb::object() : call_method(response, json);
    std::vector<nb::object> members;
    for (size_t i = 0; i < op.extras.size(); ++i) {
        const int extra = op.extras[i];
        if (extra >= 0) {
            command[3 + i] = args[extra];
        } else {
            members.push_back(answer[op.answer[(size_t)(-1 - extra)]]);
            command[3 + i] = members.back().ptr();
        }
    }
    return vectorcall(global(op.command), command + 1, 2 + op.extras.size());
}

}  // namespace

void def_row(nb::handle client, Row row) {
    const std::string_view text(row);
    const size_t signature_end = text.find('\n'), request_end = text.find('\n', signature_end + 1);
    const std::string signature(text.substr(0, signature_end));
    const std::string_view request = text.substr(signature_end + 1, request_end - signature_end - 1);
    std::string doc(text.substr(request_end + 1));

    Operation *op = new Operation();
    nb::object impl = native_function(
        [](void *operation, PyObject *const *args, size_t nargs) {
            return run(*static_cast<const Operation *>(operation), args, nargs).release().ptr();
        },
        op, [](void *operation) { delete static_cast<Operation *>(operation); });
    nb::object function = def_method(client, signature.c_str(), "", impl);
    nb::object varnames = attr(attr(function, "__code__"), "co_varnames");
    std::vector<std::string> names;
    for (size_t i = 0, count = PyLong_AsSize_t(attr(attr(function, "__code__"), "co_argcount").ptr());
         i < count; ++i) {
        Py_ssize_t size = 0;
        const char *name = PyUnicode_AsUTF8AndSize(nb::object(varnames[i]).ptr(), &size);
        names.emplace_back(name, (size_t)size);
    }
    const std::string returns = prepare(*op, request, names);
    if (doc.find("\nReturns:\n") == std::string::npos) doc += "\n\nReturns:\n    " + returns;
    doc += "\n\nRequest: " + std::string(request.substr(0, request.find(" | ")));
    nb::setattr(function, "__doc__", nb::str(doc.c_str()));
}

}  // namespace velm
