#include "config/sequential_input.h"

#include <string>

#include "support/error.h"

namespace qelrestore {

namespace {
constexpr size_t kChunk = 64 * 1024;
bool IsLineEnd(int c) {
  return c == '\r' || c == '\n';
}
}  // namespace

void SequentialInput::Open(const std::wstring& path) {
  if (source_) throw Error(code::kFileAlreadyOpen);
  source_ = host_.OpenForInput(path);
  buffer_.resize(kChunk);
  position_ = filled_ = 0;
  exhausted_ = false;
}

void SequentialInput::Close() {
  source_.reset();
  buffer_.clear();
  buffer_.shrink_to_fit();
  position_ = filled_ = 0;
}

int SequentialInput::Peek() {
  if (position_ == filled_) {
    if (exhausted_) return -1;
    filled_ = source_->Read(buffer_.data(), buffer_.size());
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

// After an item that ended at `separator`: a CR takes the LF that may follow it.
void SequentialInput::SkipSeparatorAfter(int separator) {
  if (separator == '\r' && Peek() == '\n') Take();
}

std::wstring SequentialInput::ReadItem() {
  if (!source_) throw Error(code::kBadFileNumber);
  if (Peek() < 0) throw Error(code::kInputPastEnd);
  while (Peek() == ' ' || Peek() == '\t') Take();

  std::string item;
  if (Peek() == '"') {
    Take();
    for (int c = Take(); c >= 0 && c != '"'; c = Take()) item.push_back(static_cast<char>(c));
    // What stands between the closing quote and the next separator is not part of the item.
    int c = Take();
    while (c >= 0 && c != ',' && !IsLineEnd(c)) c = Take();
    SkipSeparatorAfter(c);
  } else {
    int c = Take();
    while (c >= 0 && c != ',' && !IsLineEnd(c)) {
      item.push_back(static_cast<char>(c));
      c = Take();
    }
    SkipSeparatorAfter(c);
  }
  return host_.DecodeText(item);
}

}  // namespace qelrestore
