// The copy's workers for a test that leaves their number to the run: the thread-sanitized run
// (tests/sanitize/run_thread_sanitized.sh) sets $QELRESTORE_COPY_THREADS to each count it tries,
// and the copy reads no environment itself, so the tests hand that count in as the program does.
#pragma once

#include <cstdlib>
#include <optional>
#include <string>

#include "driver/run_settings.h"
#include "support/byte_text.h"

namespace qelrestore::test {

// $QELRESTORE_COPY_THREADS when set and valid, else 0 (the copy's default).
inline unsigned CopyWorkersOfThisRun() {
  return ReadRunSettings([](const std::wstring& name) -> std::optional<std::wstring> {
           const char* value = std::getenv(EncodeUtf8(name).c_str());
           if (value == nullptr) return std::nullopt;
           return DecodeUtf8(value);
         })
      .copyWorkers;
}

}  // namespace qelrestore::test
