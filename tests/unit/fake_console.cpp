#include "tests/unit/fake_console.h"

#include "tests/unit/fake_streams.h"

namespace qelrestore::test {
namespace {

// Standard output has no file: a fault fails its line whole.
class FakeStandardOutput : public FakeStream {
 public:
  FakeStandardOutput(FakeCalls& counter, FakeFiles& files, std::string& lines)
      : FakeStream(counter, files), lines_(lines) {}
  void writeLine(const std::wstring& text) override {
    const std::optional<Fault> fault = counter_.Enter("writeLine", text);
    if (closed()) throw Error(code::kBadFileNumber);
    if (fault) counter_.ThrowInjected();
    lines_ += Narrow(text) + "\n";
  }

 private:
  std::string& lines_;
};

}  // namespace

void FakeConsole::MessageBox(const std::wstring& text) {
  counter_.EnterOrThrow("MessageBox", text);
  boxes.push_back(text);
  clock_.clockMilliseconds += boxMilliseconds;
}

void FakeConsole::ReportFailure(const std::wstring& line) {
  counter_.Enter("ReportFailure", line);
  failureLines.push_back(line);
}

void FakeConsole::ShowProgress(const std::wstring& line) {
  if (counter_.Enter("ShowProgress", line)) return;
  progressLines.push_back(line);
}

std::unique_ptr<TextStream> FakeConsole::OpenStandardOutput() {
  counter_.EnterOrThrow("OpenStandardOutput");
  return std::make_unique<FakeStandardOutput>(counter_, files_, standardOutput);
}

void FakeConsole::YieldToEvents() {
  if (counter_.Enter("YieldToEvents") == Fault::kThrow) counter_.ThrowInjected();
}

}  // namespace qelrestore::test
