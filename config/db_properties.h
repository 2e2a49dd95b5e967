// The database settings reader: which server family the restored application uses (DB_PROVIDER)
// and where its server listens (dbconn.appl.url).
#pragma once

#include <cstdint>
#include <string>

#include "config/sequential_input.h"

#include "support/checkpoints.h"

namespace qelrestore {

// What the restored db.properties says of the database server.
struct ServerSettings {
  std::wstring serverVersion;  // a family of config/client_families.h, or empty
  std::wstring serverHost;
  std::wstring serverPort;
};

// Applies one non-empty item of db.properties to `server`, moving `step` on before each of its
// steps. Errors: 9 for a bare key without "=" or a URL without host or port, 5 for a URL without
// "://" or without ";" after it.
void ApplyDbPropertiesItem(const std::wstring& item, ServerSettings& server, Step& step);

// Reads `input` (open on db.properties) to its end (checkpoints 84 to 105); leaves it open.
void ReadDbProperties(SequentialInput& input, ServerSettings& server, Step& step);

}  // namespace qelrestore
