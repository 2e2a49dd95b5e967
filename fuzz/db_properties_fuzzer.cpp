// db.properties fed any bytes. The reader's outcome is one of two things: three values with a
// known server family, or the error of the step that failed, with that step's checkpoint.
#include <string>

#include "config/db_properties.h"
#include "config/sequential_input.h"
#include "fuzz/contract.h"
#include "fuzz/memory_host.h"
#include "support/error.h"

namespace {

// The (code, checkpoint) pairs a malformed file may end in.
bool IsExpectedFailure(int32_t code, int32_t checkpoint) {
  switch (code) {
    case qelrestore::code::kSubscriptOutOfRange:
      // a bare key, a URL item without value, no host, no port
      return checkpoint == 89 || checkpoint == 99 || checkpoint == 104 || checkpoint == 105;
    case qelrestore::code::kInvalidCall:
      // no "://" in the URL, no ";" after it
      return checkpoint == 100 || checkpoint == 102;
    case qelrestore::code::kOutOfMemory:
      return checkpoint == 85;  // an item too long to read
    default:
      return false;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using qelrestore::fuzz::Require;
  qelrestore::fuzz::MemoryFiles files(qelrestore::fuzz::Bytes(data, size));
  qelrestore::SequentialInput input(files);
  input.Open(L"C:\\app\\PLUV\\db.properties");

  qelrestore::ServerSettings server;
  qelrestore::Step step;
  step.At(82);
  try {
    qelrestore::ReadDbProperties(input, server, step);
  } catch (const qelrestore::Error& error) {
    if (!IsExpectedFailure(error.code(), step.now())) {
      std::fprintf(stderr, "error %d at checkpoint %d\n", error.code(), step.now());
      Require(false, "a failure is one of the known steps' errors");
    }
    return 0;
  }
  Require(step.now() == 84, "a completed read ends at the end-of-file test");
  Require(server.serverVersion.empty() || server.serverVersion == L"MSDE" ||
              server.serverVersion == L"2005",
          "the server family is MSDE, 2005 or none");
  Require(server.serverHost.find(L':') == std::wstring::npos, "the host holds no ':'");
  Require(server.serverPort.find(L':') == std::wstring::npos, "the port holds no ':'");
  input.Close();
  return 0;
}
