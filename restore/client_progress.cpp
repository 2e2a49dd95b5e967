#include "restore/client_progress.h"

#include <string_view>
#include <vector>

namespace qelrestore {

namespace {
// How much of the file one look reads: a client that writes much faster than its lines can be
// read only makes the lines come later.
constexpr size_t kLookBytes = 64 * 1024;
// A longer line is no progress line; it is skipped up to its end without being kept.
constexpr size_t kProgressLineBytes = 4 * 1024;
constexpr std::string_view kProgressEnd = "percent processed.";
}  // namespace

void ClientProgress::Look() {
  try {
    // The file is made by the client once it runs: until then there is nothing to show.
    if (!reader_) reader_ = files_.OpenSuppliedFile(outputFile_);
    std::vector<char> buffer(kLookBytes);
    const size_t got = reader_->Read(buffer.data(), buffer.size());
    Take(std::string_view(buffer.data(), got));
  } catch (...) {
    // Nothing shown this time; the next look tries again.
  }
}

void ClientProgress::Take(std::string_view bytes) {
  while (!bytes.empty()) {
    const size_t newline = bytes.find('\n');
    const std::string_view piece = bytes.substr(0, newline);
    if (!skipping_) line_.append(piece);
    if (line_.size() > kProgressLineBytes) {
      line_.clear();
      skipping_ = true;
    }
    if (newline == std::string_view::npos) return;
    if (!skipping_) Show(line_);
    line_.clear();
    skipping_ = false;
    bytes.remove_prefix(newline + 1);
  }
}

// Only a printable progress line reaches the console: nothing in the file can steer a terminal.
void ClientProgress::Show(std::string_view line) {
  while (!line.empty() && (line.back() == '\r' || line.back() == ' ')) line.remove_suffix(1);
  while (!line.empty() && line.front() == ' ') line.remove_prefix(1);
  if (!line.ends_with(kProgressEnd)) return;
  for (const char ch : line) {  // printable ASCII only: no C0, DEL, C1 or other encoding
    if (static_cast<unsigned char>(ch) < 0x20 || static_cast<unsigned char>(ch) > 0x7E) return;
  }
  console_.ShowProgress(L"SQL client: " + std::wstring(line.begin(), line.end()));
}

}  // namespace qelrestore
