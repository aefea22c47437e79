// ApiClient: its session operations and the transport verbs.
#pragma once

#include "python_glue.hpp"

namespace velm {

// The client keeps all of its state in its instance __dict__, so the C++ object itself is empty.
struct ApiClient {};

// Create the ApiClient class with its session operations and transport verbs, and the methods written in
// Python that `methods` (the companion quenlo.sdk._client) sets on it: the constructor, __repr__, set_user.
nb::class_<ApiClient> init_client(nb::module_ &m, nb::handle methods);

// The body of `self._get(endpoint=endpoint, params=params)` in an io.BytesIO. When `self._get` is our own
// verb on a requests session, the body is streamed into the buffer: one copy at the peak, not two.
nb::object get_into_buffer(nb::handle self, nb::handle endpoint, nb::handle params);

}  // namespace velm
