// What the scripted host's files hand out: streams of lines (the log's, standard output's) and
// readers of input files, each counted while it is open, so that a test sees what the run left
// open and in which order it let go.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "host/input_files.h"
#include "host/text_stream.h"
#include "tests/unit/fake_calls.h"
#include "tests/unit/fake_files.h"

namespace qelrestore::test {

// Counted in openStreams until it is closed; when it goes, the input files still open are noted.
class FakeStream : public TextStream {
 public:
  ~FakeStream() override;
  void Close() override;

 protected:
  FakeStream(FakeCalls& counter, FakeFiles& files);
  bool closed() const { return closed_; }

  FakeCalls& counter_;
  FakeFiles& files_;

 private:
  bool closed_ = false;
};

// Appends each line and CR LF to its file; a half-way fault leaves half the line there.
class FakeLogStream : public FakeStream {
 public:
  FakeLogStream(FakeCalls& counter, FakeFiles& files, std::wstring path);
  void writeLine(const std::wstring& text) override;

 private:
  std::wstring path_;
};

// Reads the bytes a file held when it was opened; a growing file has more after them, for ever.
class FakeReader : public Reader {
 public:
  FakeReader(FakeCalls& counter, FakeFiles& files, std::string bytes, bool grows = false);
  ~FakeReader() override;
  size_t Read(char* buffer, size_t size) override;
  std::optional<uint64_t> Length() override { return bytes_.size(); }

 private:
  FakeCalls& counter_;
  FakeFiles& files_;
  std::string bytes_;
  bool grows_;
  size_t position_ = 0;
};

}  // namespace qelrestore::test
