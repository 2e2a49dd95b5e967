// The SQL client's output file fed any bytes: a mark of UTF-16LE or UTF-8, or console text. The
// first input byte chooses how the file arrives: whole, or in short reads of varying sizes; what
// the verdict learns must not depend on where the reads end, nor on anything but the bytes. The
// reader never throws for what the file holds, and what it reports is what the recognisers say.
#include <string>
#include <vector>

#include "fuzz/contract.h"
#include "fuzz/memory_host.h"
#include "restore/client_messages.h"
#include "restore/client_output.h"

namespace {

using qelrestore::ClientOutput;
using qelrestore::fuzz::Require;

ClientOutput Read(std::string_view bytes, std::vector<size_t> readSizes) {
  qelrestore::fuzz::MemoryFiles files(bytes, std::move(readSizes));
  return qelrestore::ReadClientOutput(files, L"C:\\fuzz\\run.logsql");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const std::string_view bytes = qelrestore::fuzz::Bytes(data + 1, size - 1);

  const ClientOutput whole = Read(bytes, {});
  Require(!whole.empty || (whole.error.empty() && whole.success.empty()),
          "an empty output tells nothing");
  Require(whole.success.empty() || whole.success.starts_with(L"RESTORE DATABASE"),
          "the line of a processed restore begins RESTORE DATABASE");
  Require(whole.success.empty() || whole.success.find(L"N'") == std::wstring::npos,
          "an echoed statement never counts as a processed restore");
  // Both recognisers look at the start of a line only, so the header and reason joined still
  // show the header.
  Require(whole.error.empty() || qelrestore::IsErrorHeader(whole.error) ||
              qelrestore::IsClientError(whole.error),
          "an error starts with a header or a client's own error line");

  // Read sizes from 1 up to a bound the first byte picks, so reads end in every kind of place:
  // inside a byte-order mark, between the bytes of a UTF-16 unit or of a surrogate pair.
  const size_t bound = 1 + data[0] % 16u;
  std::vector<size_t> readSizes;
  for (size_t n = 1; n <= bound; ++n) readSizes.push_back(n);
  const ClientOutput pieces = Read(bytes, readSizes);
  Require(
      pieces.empty == whole.empty && pieces.error == whole.error && pieces.success == whole.success,
      "what the output says does not depend on read boundaries");
  return 0;
}
