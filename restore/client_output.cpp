#include "restore/client_output.h"

#include <algorithm>
#include <cstdint>
#include <vector>

#include "restore/client_messages.h"
#include "support/utf8_text.h"

namespace qelrestore {

namespace {

// A line longer than this is cut there: nothing the verdict looks for is longer.
constexpr size_t kMaxLineCharacters = 4096;
constexpr size_t kChunk = 64 * 1024;
// The server's number for its message of a processed restore, printed in front of it with -m-1.
constexpr long kRestoreProcessedMessage = 3014;

// Cuts the text into lines (LF, with a CR before it dropped) and keeps what the verdict needs.
class LineSplitter {
 public:
  explicit LineSplitter(ClientOutput& output) : output_(output) {}

  void Add(wchar_t c) {
    if (c == L'\n') {
      Finish();
    } else if (line_.size() < kMaxLineCharacters) {
      line_ += c;
    }
  }

  void Finish() {
    if (!line_.empty() && line_.back() == L'\r') line_.pop_back();
    Take(line_);
    line_.clear();
  }

 private:
  void Take(const std::wstring& line) {
    if (!line.empty()) output_.empty = false;
    if (!output_.error.empty() && !awaitingReason_) return;
    if ((awaitingReason_ || awaitingProcessed_) && IsBlankLine(line)) return;
    if (awaitingReason_) {
      output_.error += L" " + line;
      awaitingReason_ = false;
      return;
    }
    if (awaitingProcessed_) {
      awaitingProcessed_ = false;
      if (IsRestoreProcessedText(line)) {
        if (output_.success.empty()) output_.success = line;
        return;
      }
    }
    MessageHeader header;
    if (IsErrorHeader(line)) {
      output_.error = line;
      awaitingReason_ = true;
    } else if (ParseMessageHeader(line, header)) {
      awaitingProcessed_ = header.message == kRestoreProcessedMessage;
    } else if (IsClientError(line)) {
      output_.error = line;
    } else if (output_.success.empty() && IsRestoreProcessedLine(line)) {
      output_.success = line;
    }
  }

  ClientOutput& output_;
  std::wstring line_;
  bool awaitingReason_ = false;     // an error header was the last line that was not blank
  bool awaitingProcessed_ = false;  // so was the header of a processed restore's message
};

// Turns the bytes of the file into characters: the byte-order mark at its start decides.
class ByteDecoder {
 public:
  ByteDecoder(InputFiles& files, LineSplitter& lines) : files_(files), lines_(lines) {}

  void Add(const char* bytes, size_t size) {
    if (form_ == Form::kUndecided) {
      // A mark may come in reads of a byte or two.
      const size_t take = std::min(size, kLongestMark - head_.size());
      head_.append(bytes, take);
      bytes += take;
      size -= take;
      if (head_.size() < kLongestMark) return;
      Decide();
    }
    Feed(bytes, size);
  }

  void Finish() {
    if (form_ == Form::kUndecided) Decide();
    if (form_ == Form::kUtf16) {
      FlushHighSurrogate();
    } else {
      FlushNarrow();
    }
    lines_.Finish();
  }

 private:
  enum class Form { kUndecided, kUtf16, kUtf8, kConsole };
  static constexpr size_t kLongestMark = 3;

  void Decide() {
    std::string head;
    head.swap(head_);
    const auto starts = [&head](std::string_view mark) {
      return head.size() >= mark.size() && head.compare(0, mark.size(), mark) == 0;
    };
    size_t mark = 0;
    if (starts("\xFF\xFE")) {
      form_ = Form::kUtf16;
      mark = 2;
    } else if (starts("\xEF\xBB\xBF")) {
      form_ = Form::kUtf8;
      mark = 3;
    } else {
      form_ = Form::kConsole;
    }
    Feed(head.data() + mark, head.size() - mark);
  }

  void Feed(const char* bytes, size_t size) {
    for (size_t i = 0; i < size; ++i) {
      const auto byte = static_cast<unsigned char>(bytes[i]);
      if (form_ == Form::kUtf16) {
        if (pendingByte_ < 0) {
          pendingByte_ = byte;
          continue;
        }
        AddUnit(static_cast<uint16_t>(pendingByte_ | byte << 8));
        pendingByte_ = -1;
      } else if (byte == '\n') {
        FlushNarrow();
        lines_.Add(L'\n');
      } else if (narrow_.size() < kMaxLineCharacters) {
        narrow_ += static_cast<char>(byte);
      }
    }
  }

  // Where wchar_t holds any character, a surrogate pair becomes the one character it stands for.
  void AddUnit(uint16_t unit) {
    if constexpr (sizeof(wchar_t) >= 4) {
      if (unit >= 0xDC00 && unit <= 0xDFFF && highSurrogate_ != 0) {
        const uint32_t high = highSurrogate_ - 0xD800u;
        highSurrogate_ = 0;
        lines_.Add(static_cast<wchar_t>(0x10000u + (high << 10) + (unit - 0xDC00u)));
        return;
      }
      FlushHighSurrogate();
      if (unit >= 0xD800 && unit <= 0xDBFF) {
        highSurrogate_ = unit;
        return;
      }
    }
    lines_.Add(static_cast<wchar_t>(unit));
  }

  void FlushHighSurrogate() {
    if (highSurrogate_ != 0) lines_.Add(static_cast<wchar_t>(highSurrogate_));
    highSurrogate_ = 0;
  }

  void FlushNarrow() {
    if (narrow_.empty()) return;
    const std::wstring text =
        form_ == Form::kUtf8 ? DecodeUtf8Escaping(narrow_) : files_.DecodeConsoleText(narrow_);
    for (const wchar_t c : text) lines_.Add(c);
    narrow_.clear();
  }

  InputFiles& files_;
  LineSplitter& lines_;
  Form form_ = Form::kUndecided;
  std::string head_;      // the first bytes, until they show whether a mark is there
  std::string narrow_;    // the bytes of the current line of single-byte or UTF-8 text
  int pendingByte_ = -1;  // the first half of a UTF-16 unit split between two reads
  uint16_t highSurrogate_ = 0;
};

}  // namespace

ClientOutput ReadClientOutput(InputFiles& files, const std::wstring& path, bool toCurrentLength) {
  ClientOutput output;
  const std::unique_ptr<Reader> reader = files.OpenForInput(path);
  LineSplitter lines(output);
  ByteDecoder decoder(files, lines);
  std::vector<char> buffer(kChunk);
  uint64_t left = UINT64_MAX;
  if (toCurrentLength) left = reader->Length().value_or(left);
  while (left > 0) {
    const size_t got =
        reader->Read(buffer.data(), static_cast<size_t>(std::min<uint64_t>(buffer.size(), left)));
    if (got == 0) break;
    decoder.Add(buffer.data(), got);
    left -= got;
  }
  decoder.Finish();
  return output;
}

}  // namespace qelrestore
