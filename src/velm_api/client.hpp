// ApiClient: construction, session, connectivity probe and the transport verbs.
#pragma once

#include <utility>

#include "python_glue.hpp"

namespace velm {

// The client keeps all of its state in its instance __dict__ (server_url, session, api_version, ...), so the
// C++ object itself is empty.
struct ApiClient {};

using ClientClass = nb::class_<ApiClient>;

// Create the ApiClient class with its constructor, session operations and transport verbs.
ClientClass init_client(nb::module_ &m);

// Note the client class as the module leaves it, once every method is bound (see owns_method).
void remember_client_class(ClientClass &client);

// True when `self.<method>` would find our own method: `self` is an ApiClient (not a subclass), nothing was
// set on the class since the module built it, and the instance has no attribute of that name. Calling the
// C++ directly is then the very call Python would make, without the trip through the interpreter.
bool owns_method(nb::handle self, const char *method);

// The keyword arguments of one transport call; a handle left invalid is a keyword not given.
struct VerbArguments {
    nb::handle endpoint, params, data, files, headers, is_data_format_json;
    unsigned given = 0;  // one bit per keyword above, in that order
    void set(const char *keyword, nb::handle value);
};

nb::object direct_verb(nb::handle self, const char *verb, const VerbArguments &arguments);

// `self._get(...)`, `self._post(...)`, `self._put(...)`, `self._delete(...)` with the given keywords, as the
// operations make them: through Python when the verb was replaced (a subclass, a patch, a mock), directly
// otherwise.
template <typename... Keywords>
nb::object call_verb(nb::handle self, const char *verb, Keywords &&...keywords) {
    if (owns_method(self, verb)) {
        VerbArguments arguments;
        (arguments.set(keywords.name_, keywords.value), ...);
        return direct_verb(self, verb, arguments);
    }
    return self.attr(name(verb))(std::forward<Keywords>(keywords)...);
}

// `self._get(endpoint=endpoint, params=params)` with the body returned in an io.BytesIO. With our own _get
// on a requests session the body is streamed into the buffer, one copy at the peak instead of two.
nb::object call_get_into_buffer(nb::handle self, nb::handle endpoint, nb::handle params);

template <typename... Keywords>
nb::object call_get(nb::handle self, Keywords &&...keywords) {
    return call_verb(self, "_get", std::forward<Keywords>(keywords)...);
}
template <typename... Keywords>
nb::object call_post(nb::handle self, Keywords &&...keywords) {
    return call_verb(self, "_post", std::forward<Keywords>(keywords)...);
}
template <typename... Keywords>
nb::object call_put(nb::handle self, Keywords &&...keywords) {
    return call_verb(self, "_put", std::forward<Keywords>(keywords)...);
}
template <typename... Keywords>
nb::object call_delete(nb::handle self, Keywords &&...keywords) {
    return call_verb(self, "_delete", std::forward<Keywords>(keywords)...);
}

}  // namespace velm
