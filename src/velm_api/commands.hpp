// Command and its subclasses, and their waits.
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

void init_commands(nb::module_ &m);

}  // namespace velm
