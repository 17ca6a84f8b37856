// Command registry of avagent-client: a function-local table, so commands in
// any file can register from static initialisers in any order.
#include "client.h"

namespace {
std::vector<ClientCommand>& table() {
  static std::vector<ClientCommand> t;
  return t;
}
}  // namespace

ClientCommandRegistrar::ClientCommandRegistrar(const ClientCommand& cmd) {
  table().push_back(cmd);
}

const std::vector<ClientCommand>& clientCommands() { return table(); }
