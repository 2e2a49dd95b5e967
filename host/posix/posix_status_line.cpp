#include "host/posix/posix_status_line.h"

#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>

namespace qelrestore::posix {

void WriteToStandardError(const std::string& text) {
  const char* data = text.data();
  size_t left = text.size();
  while (left > 0) {
    const ssize_t written = ::write(STDERR_FILENO, data, left);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return;
    data += written;
    left -= static_cast<size_t>(written);
  }
}

CopyStatusLine::CopyStatusLine(const CopyPlan& total)
    : total_(total), start_(Seconds()), shown_(start_) {}

CopyStatusLine::~CopyStatusLine() {
  if (!anyShown_) return;
  Write(Seconds());
  WriteToStandardError("\n");
}

void CopyStatusLine::Update(const CopyCounts& done) {
  done_ = done;
  const double now = Seconds();
  if (now - shown_ >= 0.1) Write(now);
}

double CopyStatusLine::Seconds() {
  struct timespec now {};
  ::clock_gettime(CLOCK_MONOTONIC_COARSE, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

void CopyStatusLine::Write(double now) {
  shown_ = now;
  anyShown_ = true;
  constexpr double kMiB = 1024.0 * 1024.0;
  const double mebibytes = static_cast<double>(done_.bytes) / kMiB;
  const double totalMebibytes = static_cast<double>(total_.bytes) / kMiB;
  const double elapsed = now - start_;
  const double rate = elapsed > 0 ? mebibytes / elapsed : 0.0;
  // By bytes, which the time follows; by files when there are no bytes to count.
  double share =
      total_.bytes > 0   ? static_cast<double>(done_.bytes) / static_cast<double>(total_.bytes)
      : total_.files > 0 ? static_cast<double>(done_.files) / static_cast<double>(total_.files)
                         : 1.0;
  share = std::min(share, 1.0);  // the backup may have grown since it was walked
  char left[48] = "";
  if (rate > 0 && totalMebibytes > mebibytes) {
    std::snprintf(left, sizeof left, ", about %.0f min left",
                  std::ceil((totalMebibytes - mebibytes) / rate / 60.0));
  }
  // A re-run mostly finds files up to date: they are counted apart, so that a fast rate is not
  // taken for a fast disk.
  char unchanged[48] = "";
  if (done_.unchanged > 0) {
    std::snprintf(unchanged, sizeof unchanged, ", %llu unchanged",
                  static_cast<unsigned long long>(done_.unchanged));
  }
  char text[320];
  std::snprintf(text, sizeof text,
                "\rCopied %llu of %llu files (%.0f %%)%s, %.1f of %.1f MiB, %.1f MiB/s%s   ",
                static_cast<unsigned long long>(done_.files),
                static_cast<unsigned long long>(total_.files), std::floor(share * 100.0), unchanged,
                mebibytes, totalMebibytes, rate, left);
  WriteToStandardError(text);
}

}  // namespace qelrestore::posix
