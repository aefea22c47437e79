// The REST operations of ApiClient, one source per area.
#pragma once

#include "../client.hpp"

namespace velm {

// Command(self, response): the plain wrapper most operations return, built through the module's name.
inline nb::object command(nb::handle self, nb::handle response) {
    return global("Command")(self, response);
}

// Store, import/export and fragments, run control, monitoring and rules.
void init_pipelines(ClientClass &client);
// Validation, preview and snapshot operations.
void init_preview_snapshots(ClientClass &client);
// Engine information and configuration, definitions/libraries/health/bundles, access control.
void init_system(ClientClass &client);

}  // namespace velm
