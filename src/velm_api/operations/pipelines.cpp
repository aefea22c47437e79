#include "operations.hpp"

namespace velm {

void init_pipelines(ClientClass &) {}

}  // namespace velm
