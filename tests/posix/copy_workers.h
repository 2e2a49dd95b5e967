// The copy's workers for a test that leaves their number to the run: the thread-sanitized run
// (tests/sanitize/run_thread_sanitized.sh) sets $QELRESTORE_COPY_THREADS to each count it tries,
// and the copy reads no environment itself, so the tests hand that count in as the program does.
#pragma once

#include <cstdlib>

#include "copy/copy_engine.h"

namespace qelrestore::test {

// $QELRESTORE_COPY_THREADS when set and valid, else 0 (the copy's default).
inline unsigned CopyWorkersOfThisRun() {
  return posix::ParseCopyWorkers(std::getenv(posix::kCopyWorkersVariable)).value_or(0);
}

}  // namespace qelrestore::test
