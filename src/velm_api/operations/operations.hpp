// The REST operations of ApiClient, one source per area.
#pragma once

#include "../client.hpp"

namespace velm {

// Store, import/export and fragments, run control, monitoring and rules, and the pipeline status query.
void init_pipelines(ClientClass &client);
// Validation, preview and snapshot operations, with the status and data queries their waits poll.
void init_preview_snapshots(ClientClass &client);
// Engine information and configuration, definitions/libraries/health/bundles, access control.
void init_system(ClientClass &client);

}  // namespace velm
