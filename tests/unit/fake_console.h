// Whoever watches a run on the scripted host: the boxes shown, the last line of a failed run, the
// progress lines and the dry run's standard output, each kept for the test to read.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "host/text_stream.h"
#include "tests/unit/fake_calls.h"
#include "tests/unit/fake_clock.h"
#include "tests/unit/fake_files.h"

namespace qelrestore::test {

class FakeConsole {
 public:
  // A box keeps the clock waiting; standard output is a stream counted with the files' ones.
  FakeConsole(FakeCalls& counter, FakeClock& clock, FakeFiles& files)
      : counter_(counter), clock_(clock), files_(files) {}

  // --- Script ---
  int64_t boxMilliseconds = 0;  // how long the operator takes to dismiss a box

  // --- Observation ---
  std::vector<std::wstring> boxes;
  std::vector<std::wstring> failureLines;   // ReportFailure's lines
  std::vector<std::wstring> progressLines;  // ShowProgress's lines
  std::string standardOutput;               // the lines of a dry run, LF ended

  // --- Console ---
  void MessageBox(const std::wstring& text);
  void ReportFailure(const std::wstring& line);
  void ShowProgress(const std::wstring& line);
  std::unique_ptr<TextStream> OpenStandardOutput();
  void YieldToEvents();

 private:
  FakeCalls& counter_;
  FakeClock& clock_;
  FakeFiles& files_;
};

}  // namespace qelrestore::test
