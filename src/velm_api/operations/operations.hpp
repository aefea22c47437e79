// The REST operations of ApiClient: each is a row, read like its row in the README, that one executor runs.
#pragma once

#include "../client.hpp"

namespace velm {

// One REST operation, written as one raw string literal in three parts:
//
//   R"(
//   get_pipeline_status(self, pipeline_id: str, rev: int | None = 0,
//                       only_if_exists: bool | None = None) -> PipelineCommand
//   GET /pipeline/{pipeline_id}/status | query: get_params without pipeline_id | returns: PipelineCommand
//   Read a pipeline's status ...
//   )",
//
// Its Python signature with the defaults (it may go on over lines inside its parentheses); its request, the
// verb and the path under /v{api_version} with each id a placeholder named after its argument, then what it
// sends and returns (a long request goes on over lines that begin with "|"); its docstring, the rest
// ("Returns:" is made from the row where it has none; the request is added last).
//
// query: the module's get_params over the arguments by name less "self" and those named, or a mapping of its
// own ("rev=rev, timeout=timeout_sec"); none without it. It is built before the path. body: the argument sent
// as `data`, JSON-encoded by the verb, or "(as given)". reads: members of the decoded answer, read in this
// order, each from a decoding of its own (the first one missing raises KeyError). returns: "json",
// "json or {}" / "json or []" (for an empty body), or a command class called with the client, the response
// and what the parentheses name: arguments and members read. The verb, get_params and the command class are
// looked up at each call; the verb gets only the keywords the row uses (self._get(endpoint=..., params=...)).
//
// A row the executor could not run as written fails the import (and so the build, whose stub imports the
// module) with a ValueError naming its method and its request: a field other than these four or one given
// twice, a name in the path, an exclusion, a mapping, `body:` or the parentheses that is not a parameter, a
// member read that no command is given, a body on GET or DELETE, and a missing or unknown `returns:`.
//
// An operation with logic of its own is a function beside the rows, declared with def_method in a literal of
// the same shape whose request line only documents it ("PUT /pipeline/{pipeline_title}").
using Row = const char *;

// Bind `row` as a method of `client`.
void def_row(nb::handle client, Row row);

// Bind the operations of each area (see the file of each).
void init_pipelines(nb::handle client);
void init_preview_snapshots(nb::handle client);
void init_system(nb::handle client);

}  // namespace velm
