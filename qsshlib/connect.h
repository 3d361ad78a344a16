#pragma once

#include "context_state.h"

namespace qssh {

// Connects the context to host:port as user, checks the host key,
// authenticates and starts SFTP; the connection replaces any earlier one.
void connectSession(ContextState& state, const char* host, const char* user, int32_t port,
                    const char* password);

// The known-hosts file the context uses.
std::string knownHostsFile(const ConfigValues& conf);

}  // namespace qssh
