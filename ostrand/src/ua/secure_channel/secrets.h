// Secrets on disk and in memory: files only their owner may read (private
// keys, password files), and wiping what held a secret once it is done with.
//
// Contract: a secret file is opened once, without following a symlink, and
// checked on that descriptor (a regular file that neither its group nor
// others can read or write) before it is read from it; a refusal says why and
// names the chmod that mends it. Never a secret in a message.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace ostrand::ua {

// The content of `path` (at most `max_bytes`), or nothing and *error says
// why. `what` names the file in messages ("password file", "private key").
std::optional<std::string> read_owner_only_file(const std::string& path, size_t max_bytes, const std::string& what,
                                                 std::string* error);

// Overwrites and empties a buffer that held a secret.
void wipe(std::string& secret);
void wipe(std::vector<uint8_t>& secret);

} // namespace ostrand::ua
