// The checkpoints of a run: the number of the step a run was at, which an error report names
// ("line no:") and the last line on standard error repeats. Users and support read them in logs
// kept for years, so a number never changes meaning; a new step takes a number no step has had.
// The client families' own steps (89 to 95 while db.properties is read, 114 to 121 in the
// database restore) are numbered in their rows of config/client_families.h.
#pragma once

#include <cstdint>

namespace qelrestore::checkpoint {

// Before the command line is read: the environment's settings.
inline constexpr int32_t kStart = 0;
// The command line: split at its double quotes, too few pieces (the usage), the arguments taken.
inline constexpr int32_t kSplitCommandLine = 32;
inline constexpr int32_t kCountPieces = 33;
inline constexpr int32_t kUsage = 34;
inline constexpr int32_t kTakeArguments = 35;
// The log opened, the backup folder looked for, path.conf located and opened.
inline constexpr int32_t kOpenLog = 39;
inline constexpr int32_t kCheckBackupFolder = 40;
inline constexpr int32_t kBackupFolderMissing = 41;
inline constexpr int32_t kLocatePathConf = 43;
inline constexpr int32_t kProfileFolder = 45;
inline constexpr int32_t kPathConfPath = 46;
inline constexpr int32_t kPathConfName = 47;
inline constexpr int32_t kPathConfExists = 48;
inline constexpr int32_t kOpenPathConf = 52;
// From here on an error ends in the error report.
inline constexpr int32_t kTrapArmed = 53;
// Each item of path.conf: read, skipped when blank, split, taken when it is a finalPath item.
inline constexpr int32_t kPathConfAtEnd = 54;
inline constexpr int32_t kReadPathConfItem = 55;
inline constexpr int32_t kBlankPathConfItem = 56;
inline constexpr int32_t kSplitPathConfItem = 57;
// A finalPath item: its settings saved (keep flag), its folder and the backup folder checked,
// the restore onto itself refused, the folders' separators settled, the copy started and judged.
inline constexpr int32_t kFinalPathItem = 58;
inline constexpr int32_t kInstallationFolderExists = 59;
inline constexpr int32_t kBackupFolderStillExists = 63;
inline constexpr int32_t kSelfRestoreCheck = 651;
inline constexpr int32_t kSettleSeparators = 66;
inline constexpr int32_t kLogCopyStart = 68;
inline constexpr int32_t kCopyFolder = 69;
inline constexpr int32_t kCopyOutcome = 691;
inline constexpr int32_t kCopyNotComplete = 693;
// path.conf read to its end; the saved settings put back (keep flag).
inline constexpr int32_t kPathConfDone = 74;
inline constexpr int32_t kPutBackDbProperties = 76;
// The restored db.properties: looked for, missing, opened, read item by item.
inline constexpr int32_t kDbPropertiesExists = 77;
inline constexpr int32_t kNoDbProperties = 78;
inline constexpr int32_t kOpenDbProperties = 81;
inline constexpr int32_t kReadDbProperties = 82;
inline constexpr int32_t kDbPropertiesAtEnd = 84;
inline constexpr int32_t kReadDbPropertiesItem = 85;
inline constexpr int32_t kBlankDbPropertiesItem = 86;
inline constexpr int32_t kSplitDbPropertiesItem = 87;
inline constexpr int32_t kDbPropertiesKey = 88;
inline constexpr int32_t kProvider = 89;
// The connection URL, scheme://host:port;...: each step of taking it apart.
inline constexpr int32_t kConnectionUrl = 98;
inline constexpr int32_t kUrlScheme = 99;
inline constexpr int32_t kUrlSemicolon = 100;
inline constexpr int32_t kUrlHostLength = 101;
inline constexpr int32_t kUrlHostAndPort = 102;
inline constexpr int32_t kUrlSplitPort = 103;
inline constexpr int32_t kUrlHost = 104;
inline constexpr int32_t kUrlPort = 105;
// The database restore begun (db.properties closed), and ended.
inline constexpr int32_t kDatabaseRestore = 113;
inline constexpr int32_t kRestoreComplete = 122;
// The run's end: its status decided, its error report written.
inline constexpr int32_t kEnd = 124;

}  // namespace qelrestore::checkpoint
