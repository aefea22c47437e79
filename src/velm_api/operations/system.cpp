#include "operations.hpp"

namespace velm {

void init_system(ClientClass &) {}

}  // namespace velm
