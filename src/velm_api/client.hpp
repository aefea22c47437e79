// ApiClient: construction, session, connectivity probe and the transport verbs.
#pragma once

#include "python_glue.hpp"

namespace velm {

// The client keeps all of its state in its instance __dict__ (server_url, session, api_version, ...), so the
// C++ object itself is empty.
struct ApiClient {};

using ClientClass = nb::class_<ApiClient>;

// Create the ApiClient class with its constructor, session operations and transport verbs.
ClientClass init_client(nb::module_ &m);

// `self._get(endpoint=endpoint, params=params)` with the body returned in an io.BytesIO. When `self._get` is
// our own verb on a requests session, the body is streamed into the buffer: one copy at the peak, not two.
nb::object get_into_buffer(nb::handle self, nb::handle endpoint, nb::handle params);

}  // namespace velm
