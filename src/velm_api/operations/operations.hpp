// The REST operations of ApiClient: each is a row, read like its row in the README, that one executor runs.
#pragma once

#include "../client.hpp"

namespace velm {

// One REST operation in three lines: its Python signature with the defaults; its request, the verb and the
// path under /v{api_version} with each id a placeholder named after its argument, then what it sends and
// returns; its docstring ("Returns:" is made from the row where it has none; the request is added last):
//
//   get_pipeline_status(self, pipeline_id: str, rev: int | None = 0, ...) -> PipelineCommand
//   GET /pipeline/{pipeline_id}/status | query: get_params without pipeline_id | returns: PipelineCommand
//
// query: the module's get_params over the arguments by name less "self" and those named, or a mapping of its
// own ("rev=rev, timeout=timeout_sec"); none without it. body: the argument sent as `data`, JSON-encoded by
// the verb, or "(as given)". returns: "json", "json or {}" / "json or []" (for an empty body), or a command
// class called with the client, the response and the arguments in parentheses (a name, or answer["member"]
// of the decoded answer). The verb, get_params and the command class are looked up at each call; the verb
// gets only the keywords the row uses (self._get(endpoint=..., params=...)).
using Row = const char *;

// Bind `row` as a method of `client`.
void def_row(nb::handle client, Row row);

// Bind the operations of each area (see the file of each).
void init_pipelines(nb::handle client);
void init_preview_snapshots(nb::handle client);
void init_system(nb::handle client);

}  // namespace velm
