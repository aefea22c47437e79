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

// The type slots that make a class constructed as a Python class is (see commands.cpp).
nb::type_slots construct_as_python();

// Make instances of `cls` copied and pickled as plain Python objects are, by their __dict__.
void copy_as_python(nb::handle cls);

void init_commands(nb::module_ &m);

}  // namespace velm
