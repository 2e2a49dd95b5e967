// The verdict on a database restore from the client's end and its output file.
#include <gtest/gtest.h>

#include <cstring>
#include <map>

#include "restore/client_output.h"
#include "restore/restore_verdict.h"
#include "support/error.h"

namespace qelrestore::test {
namespace {

// Output files in a map, read a few bytes at a time so that lines and UTF-16 units straddle reads.
class OutputFiles final : public InputFiles {
 public:
  std::map<std::wstring, std::string> files;

  std::unique_ptr<Reader> OpenForInput(const std::wstring& path) override {
    const auto found = files.find(path);
    if (found == files.end()) throw Error(code::kFileNotFound);
    return std::make_unique<BytesReader>(found->second);
  }
  std::wstring DecodeText(std::string_view bytes) override {
    return std::wstring(bytes.begin(), bytes.end());
  }

 private:
  class BytesReader final : public Reader {
   public:
    explicit BytesReader(std::string bytes) : bytes_(std::move(bytes)) {}
    size_t Read(char* buffer, size_t size) override {
      const size_t count = std::min({size, bytes_.size() - at_, size_t{3}});
      std::memcpy(buffer, bytes_.data() + at_, count);
      at_ += count;
      return count;
    }

   private:
    std::string bytes_;
    size_t at_ = 0;
  };
};

std::string Utf16(std::string_view text) {
  std::string bytes = "\xFF\xFE";
  for (const char c : text) {
    bytes += c;
    bytes += '\0';
  }
  return bytes;
}

constexpr char kSuccess[] =
    "10 percent processed.\r\n100 percent processed.\r\n"
    "RESTORE DATABASE successfully processed 202 pages in 0.120 seconds (13.147 MB/sec).\r\n";
constexpr char kError[] =
    "Msg 3201, Level 16, State 2, Server QELHOST, Line 1\r\n\r\n"
    "Cannot open backup device 'C:\\bk\\QEL_PLUV.bak'.\r\n"
    "Msg 3013, Level 16, State 1, Server QELHOST, Line 1\r\n";
const std::wstring kOut = L"C:\\qel\\run.logsql";

LaunchResult Ended(LaunchResult::End end, int64_t code = 0) {
  LaunchResult launch;
  launch.end = end;
  launch.code = code;
  return launch;
}

LaunchResult Exited(int64_t status) {
  return Ended(LaunchResult::End::kExited, status);
}

struct VerdictCase {
  const char* name;
  LaunchResult launch;
  std::optional<std::string> output;  // nothing: no output file
  std::wstring stale;
  DatabaseOutcome outcome;
  std::wstring message;
};

TEST(RestoreVerdict, FromTheClientsEndAndOutput) {
  const VerdictCase cases[] = {
      {"success", Exited(0), kSuccess, L"", DatabaseOutcome::kVerified,
       L"SQL restore verified: RESTORE DATABASE successfully processed 202 pages in 0.120 seconds "
       L"(13.147 MB/sec)."},
      {"success in UTF-16", Exited(0), Utf16(kSuccess), L"", DatabaseOutcome::kVerified,
       L"SQL restore verified: RESTORE DATABASE successfully processed 202 pages in 0.120 seconds "
       L"(13.147 MB/sec)."},
      {"error message, status 1", Exited(1), kError, L"", DatabaseOutcome::kFailed,
       L"SQL restore failed: Msg 3201, Level 16, State 2, Server QELHOST, Line 1 Cannot open "
       L"backup device 'C:\\bk\\QEL_PLUV.bak'."},
      {"error message in another language, status 0", Exited(0),
       "Meldung 4060, Ebene 11, Status 1, Server X\nDatenbank nicht gefunden\n", L"",
       DatabaseOutcome::kFailed,
       L"SQL restore failed: Meldung 4060, Ebene 11, Status 1, Server X Datenbank nicht "
       L"gefunden"},
      {"a severity below 11 is no error", Exited(0),
       std::string("Msg 5701, Level 10, State 2\nChanged database context.\n") + kSuccess, L"",
       DatabaseOutcome::kVerified,
       L"SQL restore verified: RESTORE DATABASE successfully processed 202 pages in 0.120 seconds "
       L"(13.147 MB/sec)."},
      {"an error wins over the success line", Exited(0), std::string(kSuccess) + kError, L"",
       DatabaseOutcome::kFailed,
       L"SQL restore failed: Msg 3201, Level 16, State 2, Server QELHOST, Line 1 Cannot open "
       L"backup device 'C:\\bk\\QEL_PLUV.bak'."},
      {"status without output", Exited(2), "", L"", DatabaseOutcome::kFailed,
       L"SQL restore failed: the SQL client ended with status 2"},
      {"success line but status 1", Exited(1), kSuccess, L"", DatabaseOutcome::kFailed,
       L"SQL restore failed: the SQL client ended with status 1"},
      {"signal", Ended(LaunchResult::End::kSignaled, 9), kSuccess, L"", DatabaseOutcome::kFailed,
       L"SQL restore failed: the SQL client was ended by signal 9"},
      {"still running", Ended(LaunchResult::End::kStillRunning), kSuccess, L"",
       DatabaseOutcome::kNotVerified,
       L"SQL restore not verified: the SQL client was still running after 5 seconds; its output "
       L"goes to C:\\qel\\run.logsql"},
      {"no output file", Exited(0), std::nullopt, L"", DatabaseOutcome::kNotVerified,
       L"SQL restore not verified: the SQL client wrote no output file C:\\qel\\run.logsql"},
      {"empty output", Exited(0), "\r\n", L"", DatabaseOutcome::kNotVerified,
       L"SQL restore not verified: the SQL client's output C:\\qel\\run.logsql is empty"},
      {"other text", Exited(0), "Login ok\n", L"", DatabaseOutcome::kNotVerified,
       L"SQL restore not verified: C:\\qel\\run.logsql holds neither an error message nor the "
       L"line of a processed restore"},
      {"an earlier run's output", Exited(0), kSuccess, L"Permission denied",
       DatabaseOutcome::kNotVerified,
       L"SQL restore not verified: the output of an earlier run could not be removed: "
       L"Permission denied"},
  };
  for (const VerdictCase& c : cases) {
    OutputFiles files;
    if (c.output) files.files[kOut] = *c.output;
    const VerdictLine verdict = JudgeRestore(files, c.launch, kOut, 5, c.stale);
    EXPECT_EQ(verdict.outcome, c.outcome) << c.name;
    EXPECT_EQ(verdict.message, c.message) << c.name;
  }
}

TEST(RestoreVerdict, AnOverlongLineDoesNotHideTheLinesAfterIt) {
  OutputFiles files;
  files.files[kOut] = std::string(8 << 20, 'x') + "\n" + kSuccess;
  const ClientOutput output = ReadClientOutput(files, kOut);
  EXPECT_EQ(output.success.substr(0, 39), L"RESTORE DATABASE successfully processed");
}

}  // namespace
}  // namespace qelrestore::test
