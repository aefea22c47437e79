#include "operations.hpp"

namespace velm {

void init_preview_snapshots(ClientClass &) {}

}  // namespace velm
