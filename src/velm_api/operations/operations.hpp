// The REST operations of ApiClient: each is a row, read like its row in the README, that one executor runs.
#pragma once

#include "../client.hpp"

namespace velm {

// One REST operation, as three parts, each ending with a line break but the last:
//
//   the method's Python signature, defaults included:
//       get_pipeline_status(self, pipeline_id: str, rev: int | None = 0, ...) -> PipelineCommand
//   the request, the verb and the path under /v{api_version} with each id a placeholder named after its
//   argument, and then, after " | ", what the operation sends and returns:
//       GET /pipeline/{pipeline_id}/status | query: get_params without pipeline_id | returns: PipelineCommand
//     query: none without it (the verb gets no `params`); "get_params without pipeline_id" is the module's
//       get_params over every argument by name, the client under "self", less "self" and those named
//       ("get_params" alone: less "self"); "rev=rev, timeout=timeout_sec" is a mapping of query keys to
//       arguments that the operation builds itself
//     body: the argument sent as the body (`data`), JSON-encoded by the verb; "body (as given)" sends it
//       unencoded
//     returns: "json" (the decoded body), "json or {}" / "json or []" (a new empty dict or list for an empty
//       body), or a command class of the module called with the client, the response and then any arguments
//       in parentheses: an argument's name, or answer["member"] for a member of the decoded answer
//   the docstring; "Returns:" is made from the row where it has none, and the request is added last.
//
// The verb is called on the client by keyword, self._get(endpoint=..., params=..., data=...), with only the
// keywords the row uses; the verb, get_params and the command class are looked up at each call. Ids go into
// the path as one segment each (see endpoint).
using Row = const char *;

// Bind `row` as a method of `client`, and every row of `rows`.
void def_row(nb::handle client, Row row);
template <size_t N>
void def_rows(nb::handle client, const Row (&rows)[N]) {
    for (Row row : rows) def_row(client, row);
}

// Store, import/export and fragments, run control, monitoring and rules.
void init_pipelines(nb::handle client);
// Validation, preview and snapshot operations, with the status and data queries their waits poll.
void init_preview_snapshots(nb::handle client);
// Engine information and configuration, definitions/libraries/health/bundles, access control.
void init_system(nb::handle client);

}  // namespace velm
