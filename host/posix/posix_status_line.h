// What the POSIX host tells on standard error: lines, best effort, and the status line of a long
// copy on a terminal.
#pragma once

#include <cstdint>
#include <string>

#include "copy/copy_engine.h"
#include "host/host.h"

namespace qelrestore::posix {

// Best effort: there is nobody to tell when standard error itself cannot be written (the program
// ignores SIGPIPE, so a reader that has gone only ends the text here; the log has every line).
void WriteToStandardError(const std::string& text);

// During a long copy, one status line on a terminal's standard error, rewritten in place at most
// ten times a second: an unattended copy that says nothing for minutes looks hung. It tells how
// far the copy has come against the totals of a first walk of the backup, and how long it may
// still take at the rate so far. A copy over within the first tenth of a second shows nothing.
// Best effort, as every report on stderr.
class CopyStatusLine {
 public:
  // `total`: what a first walk of the backup counted.
  explicit CopyStatusLine(const CopyPlan& total);
  CopyStatusLine(const CopyStatusLine&) = delete;
  CopyStatusLine& operator=(const CopyStatusLine&) = delete;
  ~CopyStatusLine();

  // How far the copy has come.
  void Update(const CopyCounts& done);

 private:
  static double Seconds();
  void Write(double now);

  CopyPlan total_;
  double start_;
  double shown_;
  bool anyShown_ = false;
  CopyCounts done_;
};

}  // namespace qelrestore::posix
