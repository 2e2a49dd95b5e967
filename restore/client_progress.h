// How far the SQL client has come, as its "n percent processed." lines tell it, shown to whoever
// watches while the restore waits for the client.
#pragma once

#include <cstddef>
#include <memory>
#include <string>

#include "host/console.h"
#include "host/input_files.h"

namespace qelrestore {

// Follows the client's output file and passes each new progress line to the console, as
// "SQL client: n percent processed.". Best effort throughout: whatever fails, the wait goes on
// unchanged, and the run log never sees these lines.
class ClientProgress {
 public:
  ClientProgress(InputFiles& files, Console& console, std::wstring outputFile)
      : files_(files), console_(console), outputFile_(std::move(outputFile)) {}

  // Shows the whole lines written since the last look. Never throws.
  void Look();

 private:
  void Take(std::string_view bytes);
  void Show(std::string_view line);

  InputFiles& files_;
  Console& console_;
  std::wstring outputFile_;
  // Open once the client has made the file; each look reads on from where the last one stopped.
  std::unique_ptr<Reader> reader_;
  std::string line_;  // the start of a line whose end has not been read yet
  bool skipping_ = false;
};

}  // namespace qelrestore
