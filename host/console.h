// Whoever watches the run: boxes, the last line of a failed run, the progress of a long step, the
// lines of a dry run, and the events of the user interface.
#pragma once

#include <memory>
#include <string>

#include "host/text_stream.h"

namespace qelrestore {

class Console {
 public:
  virtual ~Console() = default;
  // Shows the text with the program's title and a single OK button; returns once dismissed.
  virtual void MessageBox(const std::wstring& text) = 0;
  // The last line of a run that did not end well: what happened and where the log is, for
  // whoever reads standard error (cron's mail, a service's journal). Where boxes are windows it
  // goes nowhere: the boxes have told it. Never throws.
  virtual void ReportFailure(const std::wstring& line) = 0;
  // One line of how far a long step has come, for somebody at a terminal or console: where there
  // is none (standard error a pipe or a file, no console) it goes nowhere, and never to the log.
  // Never throws.
  virtual void ShowProgress(const std::wstring& line) = 0;
  // A stream of lines on standard output, for a run that must write no file (a dry run).
  virtual std::unique_ptr<TextStream> OpenStandardOutput() = 0;
  // Services pending user-interface events once.
  virtual void YieldToEvents() = 0;
};

}  // namespace qelrestore
