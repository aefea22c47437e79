// ApiClient: its session operations and the transport verbs.
#pragma once

#include "python_glue.hpp"

namespace velm {

// The client keeps all of its state in its instance __dict__, so the C++ object itself is empty.
struct ApiClient {};

// Create the ApiClient class with its session operations and transport verbs, and the methods written in
// Python that `methods` (the companion quenlo.sdk._client) sets on it: the constructor, __repr__, set_user.
nb::class_<ApiClient> init_client(nb::module_ &m, nb::handle methods);

// Whether self._get and self._handle_http_error are the client's own: an operation may then run its GET with
// get_checked instead of through them.
bool runs_own_get(nb::handle self);

// What `self._get(endpoint=endpoint, params=params)` returns when runs_own_get(self), without the Python
// frames of _get and the status check. Unless `engine`, the response is left a plain requests.Response, for
// an answer the caller decodes (engine_json) and never sees: making it an EngineResponse moves its attributes
// into a dict of their own, and requests then reads them the slow way. It is made one when the status check
// raises, so the error holds an EngineResponse as always, and when its body is not read yet.
nb::object get_checked(nb::handle self, nb::handle endpoint, nb::handle params, bool engine);

// response.json(), as the EngineResponse the response would be made decodes it; made one when that raises,
// and first when EngineResponse.json is patched.
nb::object engine_json(nb::handle response);

// The body of `self._get(endpoint=endpoint, params=params)` in an io.BytesIO. When `self._get` is our own
// verb on a requests session, the body is streamed into the buffer: one copy at the peak, not two.
nb::object get_into_buffer(nb::handle self, nb::handle endpoint, nb::handle params);

}  // namespace velm
