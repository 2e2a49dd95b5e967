#include "config/sequential_input.h"

#include <algorithm>
#include <string>

#include "support/error.h"

namespace qelrestore {

namespace {
constexpr size_t kChunk = 64 * 1024;
bool IsSeparator(char c) {
  return c == ',' || c == '\r' || c == '\n';
}
}  // namespace

void SequentialInput::Open(const std::wstring& path, bool supplied) {
  if (source_) throw Error(code::kFileAlreadyOpen);
  source_ = supplied ? files_.OpenSuppliedSettings(path) : files_.OpenForInput(path);
  buffer_.resize(kChunk);
  path_ = path;
  limit_ = supplied ? kMaxSuppliedFileBytes : 0;
  taken_ = 0;
  position_ = filled_ = 0;
  exhausted_ = false;
  // Looked for at the first read, so that a failing read is the reading step's error.
  markPending_ = true;
}

size_t SequentialInput::Fill(size_t at) {
  const size_t got = source_->Read(buffer_.data() + at, buffer_.size() - at);
  taken_ += got;
  if (limit_ != 0 && taken_ > limit_) {
    throw Error(code::kOutOfMemory, L"Out of memory: " + path_ + L" longer than " +
                                        std::to_wstring(limit_) + L" bytes");
  }
  return got;
}

void SequentialInput::SkipByteOrderMark() {
  static constexpr char kMark[] = "\xEF\xBB\xBF";
  // Read until three bytes are there or the file ends: a short first read must not split the mark.
  while (filled_ < 3 && !exhausted_) {
    const size_t got = Fill(filled_);
    if (got == 0) exhausted_ = true;
    filled_ += got;
  }
  if (filled_ >= 3 && std::equal(kMark, kMark + 3, buffer_.data())) position_ = 3;
}

void SequentialInput::Close() {
  source_.reset();
  buffer_.clear();
  buffer_.shrink_to_fit();
  position_ = filled_ = 0;
}

int SequentialInput::Peek() {
  if (markPending_) {
    markPending_ = false;
    SkipByteOrderMark();
  }
  if (position_ == filled_) {
    if (exhausted_) return -1;
    filled_ = Fill(0);
    position_ = 0;
    if (filled_ == 0) {
      exhausted_ = true;
      return -1;
    }
  }
  return static_cast<unsigned char>(buffer_[position_]);
}

int SequentialInput::Take() {
  const int c = Peek();
  if (c >= 0) ++position_;
  return c;
}

bool SequentialInput::AtEnd() {
  if (!source_) throw Error(code::kBadFileNumber);
  return Peek() < 0;
}

template <typename IsStop>
int SequentialInput::TakeUntil(std::string* item, IsStop isStop) {
  for (;;) {
    if (Peek() < 0) return -1;
    const char* begin = buffer_.data() + position_;
    const char* end = buffer_.data() + filled_;
    const char* stop = std::find_if(begin, end, isStop);
    if (item != nullptr) {
      if (item->size() + static_cast<size_t>(stop - begin) > kMaxItemBytes) {
        throw Error(code::kOutOfMemory, L"Out of memory: an item longer than " +
                                            std::to_wstring(kMaxItemBytes) + L" bytes");
      }
      item->append(begin, stop);
    }
    position_ = static_cast<size_t>(stop - buffer_.data());
    if (stop != end) return Take();
  }
}

// After an item that ended at `separator`: a CR takes the LF that may follow it.
void SequentialInput::SkipSeparatorAfter(int separator) {
  if (separator == '\r' && Peek() == '\n') Take();
}

std::wstring SequentialInput::ReadItem() {
  if (!source_) throw Error(code::kBadFileNumber);
  if (Peek() < 0) throw Error(code::kInputPastEnd);
  while (Peek() == ' ' || Peek() == '\t') Take();

  std::string item;
  int separator = -1;
  cutByComma_ = false;
  if (Peek() == '"') {
    Take();
    TakeUntil(&item, [](char c) { return c == '"'; });
    // What stands between the closing quote and the next separator is not part of the item.
    separator = TakeUntil(nullptr, IsSeparator);
  } else {
    separator = TakeUntil(&item, IsSeparator);
    cutByComma_ = separator == ',' && Peek() >= 0 && Peek() != '\r' && Peek() != '\n';
  }
  SkipSeparatorAfter(separator);
  return files_.DecodeText(item);
}

std::wstring SequentialInput::ReadRestOfLine() {
  if (!source_) throw Error(code::kBadFileNumber);
  std::string rest;
  SkipSeparatorAfter(TakeUntil(&rest, [](char c) { return c == '\r' || c == '\n'; }));
  cutByComma_ = false;
  return files_.DecodeText(rest);
}

}  // namespace qelrestore
