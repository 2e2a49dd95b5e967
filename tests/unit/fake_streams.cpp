#include "tests/unit/fake_streams.h"

#include <algorithm>
#include <cstring>
#include <utility>

namespace qelrestore::test {

FakeStream::FakeStream(FakeCalls& counter, FakeFiles& files) : counter_(counter), files_(files) {
  ++files_.openStreams;
}

FakeStream::~FakeStream() {
  Close();
  files_.inputsOpenWhenStreamReleased = files_.openInputs;
}

void FakeStream::Close() {
  if (closed_) return;
  closed_ = true;
  --files_.openStreams;
}

FakeLogStream::FakeLogStream(FakeCalls& counter, FakeFiles& files, std::wstring path)
    : FakeStream(counter, files), path_(std::move(path)) {}

void FakeLogStream::writeLine(const std::wstring& text) {
  const std::optional<Fault> fault = counter_.Enter("writeLine", text);
  if (closed()) throw Error(code::kBadFileNumber);
  files_.writtenPaths.insert(path_);
  if (fault == Fault::kHalfWay) files_.files[path_] += Narrow(text.substr(0, text.size() / 2));
  if (fault) counter_.ThrowInjected();
  files_.files[path_] += Narrow(text) + "\r\n";
}

FakeReader::FakeReader(FakeCalls& counter, FakeFiles& files, std::string bytes, bool grows)
    : counter_(counter), files_(files), bytes_(std::move(bytes)), grows_(grows) {
  ++files_.openInputs;
}

FakeReader::~FakeReader() {
  --files_.openInputs;
}

size_t FakeReader::Read(char* buffer, size_t size) {
  counter_.EnterOrThrow("Read");
  if (grows_ && position_ == bytes_.size() && size > 0) {
    // Written on since the open; a reader that never stops is stopped here.
    if (++files_.readsPastLength > 1000) throw Error(code::kInputPastEnd, L"read for ever");
    std::memset(buffer, '\n', size);
    return size;
  }
  const size_t count = std::min(size, bytes_.size() - position_);
  std::memcpy(buffer, bytes_.data() + position_, count);
  position_ += count;
  return count;
}

}  // namespace qelrestore::test
