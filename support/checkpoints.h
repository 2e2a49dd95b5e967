// The checkpoints of a run: the number of the step a run was at, which an error report names
// ("line no:") and the last line on standard error repeats. Users and support read them in logs
// kept for years, so a number never changes meaning; a new step takes a number no step has had.
// Every step is in the one list below, the client families' included, and the build refuses a
// number two steps share.
#pragma once

#include <cstddef>
#include <cstdint>
#include <iterator>

namespace qelrestore {
namespace checkpoint {

// STEP(name, number) for every step, in the order a run meets them.
#define QELRESTORE_CHECKPOINTS(STEP)                                                             \
  /* Before the command line is read: the environment's settings. */                             \
  STEP(kStart, 0)                                                                                \
  /* The command line: split at its double quotes, too few pieces (the usage), the arguments     \
   * taken. */                                                                                   \
  STEP(kSplitCommandLine, 32)                                                                    \
  STEP(kCountPieces, 33)                                                                         \
  STEP(kUsage, 34)                                                                               \
  STEP(kTakeArguments, 35)                                                                       \
  /* The log opened, the backup folder looked for, path.conf located and opened. */              \
  STEP(kOpenLog, 39)                                                                             \
  STEP(kCheckBackupFolder, 40)                                                                   \
  STEP(kBackupFolderMissing, 41)                                                                 \
  STEP(kLocatePathConf, 43)                                                                      \
  STEP(kProfileFolder, 45)                                                                       \
  STEP(kPathConfPath, 46)                                                                        \
  STEP(kPathConfName, 47)                                                                        \
  STEP(kPathConfExists, 48)                                                                      \
  STEP(kOpenPathConf, 52)                                                                        \
  /* From here on an error ends in the error report. */                                          \
  STEP(kTrapArmed, 53)                                                                           \
  /* With QELRESTORE_VERIFY_FIRST, before the first copy: the settings the database restore      \
   * will use read, the verify's command line built, its client run and judged. */               \
  STEP(kVerifyBackup, 125)                                                                       \
  STEP(kVerifyCommand, 126)                                                                      \
  STEP(kVerifyRun, 127)                                                                          \
  /* Each item of path.conf: read, skipped when blank, split, taken when it is a finalPath item. \
   */                                                                                            \
  STEP(kPathConfAtEnd, 54)                                                                       \
  STEP(kReadPathConfItem, 55)                                                                    \
  STEP(kBlankPathConfItem, 56)                                                                   \
  STEP(kSplitPathConfItem, 57)                                                                   \
  /* A finalPath item: its settings saved (keep flag), its folder and the backup folder checked, \
   */                                                                                            \
  /* the restore onto itself refused, the folders' separators settled, the copy started and      \
   * judged. */                                                                                  \
  STEP(kFinalPathItem, 58)                                                                       \
  STEP(kInstallationFolderExists, 59)                                                            \
  STEP(kBackupFolderStillExists, 63)                                                             \
  STEP(kSelfRestoreCheck, 651)                                                                   \
  STEP(kSettleSeparators, 66)                                                                    \
  STEP(kLogCopyStart, 68)                                                                        \
  STEP(kCopyFolder, 69)                                                                          \
  STEP(kCopyOutcome, 691)                                                                        \
  STEP(kCopyNotComplete, 693)                                                                    \
  /* path.conf read to its end; the saved settings put back (keep flag). */                      \
  STEP(kPathConfDone, 74)                                                                        \
  STEP(kPutBackDbProperties, 76)                                                                 \
  /* The restored db.properties: looked for, missing, opened, read item by item. */              \
  STEP(kDbPropertiesExists, 77)                                                                  \
  STEP(kNoDbProperties, 78)                                                                      \
  STEP(kOpenDbProperties, 81)                                                                    \
  STEP(kReadDbProperties, 82)                                                                    \
  STEP(kDbPropertiesAtEnd, 84)                                                                   \
  STEP(kReadDbPropertiesItem, 85)                                                                \
  STEP(kBlankDbPropertiesItem, 86)                                                               \
  STEP(kSplitDbPropertiesItem, 87)                                                               \
  STEP(kDbPropertiesKey, 88)                                                                     \
  /* The families' steps while db.properties is read: each provider text searched for, */        \
  /* the answer tested, the family taken (config/client_families.h). */                          \
  STEP(kMsdeProviderSearch, 89)                                                                  \
  STEP(kMsdeProviderTest, 90)                                                                    \
  STEP(kMsdeProviderTaken, 91)                                                                   \
  STEP(k2005ProviderSearch, 93)                                                                  \
  STEP(k2005ProviderTest, 94)                                                                    \
  STEP(k2005ProviderTaken, 95)                                                                   \
  /* The connection URL, scheme://host:port;...: each step of taking it apart. */                \
  STEP(kConnectionUrl, 98)                                                                       \
  STEP(kUrlScheme, 99)                                                                           \
  STEP(kUrlSemicolon, 100)                                                                       \
  STEP(kUrlHostLength, 101)                                                                      \
  STEP(kUrlHostAndPort, 102)                                                                     \
  STEP(kUrlSplitPort, 103)                                                                       \
  STEP(kUrlHost, 104)                                                                            \
  STEP(kUrlPort, 105)                                                                            \
  /* The database restore begun (db.properties closed), and ended. */                            \
  STEP(kDatabaseRestore, 113)                                                                    \
  /* The families' steps of the database restore: each family tested, its key named, its */      \
  /* folder read, its program named. */                                                          \
  STEP(kMsdeFamilyTest, 114)                                                                     \
  STEP(kMsdeSetupKey, 115)                                                                       \
  STEP(kMsdeClientFolder, 116)                                                                   \
  STEP(kMsdeClientProgram, 117)                                                                  \
  STEP(k2005FamilyTest, 118)                                                                     \
  STEP(k2005SetupKey, 119)                                                                       \
  STEP(k2005ClientFolder, 120)                                                                   \
  STEP(k2005ClientProgram, 121)                                                                  \
  STEP(kRestoreComplete, 122)                                                                    \
  /* The run's end: its status decided, its error report written. */                             \
  STEP(kEnd, 124)

#define QELRESTORE_CHECKPOINT_CONSTANT(name, number) inline constexpr int32_t name = number;
QELRESTORE_CHECKPOINTS(QELRESTORE_CHECKPOINT_CONSTANT)
#undef QELRESTORE_CHECKPOINT_CONSTANT

#define QELRESTORE_CHECKPOINT_NUMBER(name, number) number,
inline constexpr int32_t kEvery[] = {QELRESTORE_CHECKPOINTS(QELRESTORE_CHECKPOINT_NUMBER)};
#undef QELRESTORE_CHECKPOINT_NUMBER

constexpr bool NoNumberTwice() {
  for (size_t i = 0; i < std::size(kEvery); ++i) {
    for (size_t j = i + 1; j < std::size(kEvery); ++j) {
      if (kEvery[i] == kEvery[j]) return false;
    }
  }
  return true;
}
static_assert(NoNumberTwice(), "two steps share a checkpoint number");

}  // namespace checkpoint

// The step a run is at, held by the run: each phase moves it on as it goes, and the error report
// names where it stood.
class Step {
 public:
  void At(int32_t checkpoint) { now_ = checkpoint; }
  int32_t now() const { return now_; }

 private:
  int32_t now_ = checkpoint::kStart;
};

}  // namespace qelrestore
