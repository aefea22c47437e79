// Command and its subclasses, their waits, the StatusError family, and the status/data queries the waits
// poll with.
#pragma once

#include "client.hpp"

namespace velm {

// Commands keep api_client, response and their ids in the instance __dict__; the C++ objects are empty.
struct Command {};
struct PipelineCommand : Command {};
struct StartPipelineCommand : PipelineCommand {};
struct StopPipelineCommand : PipelineCommand {};
struct ValidateCommand : Command {};
struct PreviewCommand : Command {};
struct ConnectionValidateCommand : Command {};
struct SnapshotCommand : Command {};

// Create StatusError and its four subclasses as ordinary Python exception classes.
void init_status_errors(nb::module_ &m);

// Create the command classes, and bind the status and data queries the waits poll with on ApiClient.
void init_commands(nb::module_ &m, ClientClass &client);

}  // namespace velm
