// The state of one run of `Main`: the module-level slots and every value that passes between its
// phases. Each phase works on it and sets `checkpoint` before each of its steps, so that an error
// is reported with the number of the step that raised it.
#pragma once

#include <cstdint>
#include <string>

#include "config/sequential_input.h"
#include "driver/command_line.h"
#include "host/host.h"
#include "log/run_log.h"

namespace qelrestore {

// What the restored db.properties says of the database server.
struct ServerSettings {
  std::wstring serverVersion;  // "MSDE", "2005" or empty
  std::wstring serverHost;
  std::wstring serverPort;
};

struct Run {
  explicit Run(Host& h) : host(h), log(h, settings.backgroundFlag), input(h) {}

  Host& host;
  int32_t checkpoint = 0;
  Settings settings;
  RunLog log;             // backgroundFlag, fileSystem and logStream
  SequentialInput input;  // file number 1

  std::wstring profileDirectory;
  std::wstring pathConfFile;
  std::wstring installationFolder;
  std::wstring rawFinalPath;
  std::wstring dbPropertiesPath;
  ServerSettings server;
  std::wstring restoreStatement;
  std::wstring restoreCommand;

  // Outcomes that make a completed run end with the status "incomplete".
  bool folderCopyIncomplete = false;
  bool clientNotStarted = false;
};

// How a phase hands control back to `Main`.
enum class PhaseEnd { kGoOn, kStop };

}  // namespace qelrestore
