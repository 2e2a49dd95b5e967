// The installation folder lookup: the user's profile, .corvilane\path.conf and its finalPath
// items.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "host/environment.h"
#include "host/files.h"
#include "log/run_log.h"

#include "support/checkpoints.h"

namespace qelrestore {

// Checkpoints 43 to 48: the path of path.conf in the user's profile, or nothing, after its
// message, when no profile folder was found or path.conf does not exist there.
std::optional<std::wstring> LocatePathConf(Environment& environment, Files& files, RunLog& log,
                                           Step& step);

// The folders named by one finalPath item.
struct FinalPath {
  std::wstring rawFinalPath;        // the value as read, everything after the first "="
  std::wstring installationFolder;  // with every "/" turned into "\"
  std::wstring dbPropertiesPath;    // installationFolder, one "\", then "PLUV\db.properties"
};

// The path of the db.properties of an installation folder: exactly one separator before PLUV, so
// that /srv/app names the folder /srv/app/ does, not a PLUV folder beside it. An empty folder
// stays relative.
std::wstring DbPropertiesPathOf(const std::wstring& installationFolder);

// For an item already cut at "=": the folders when its key is exactly finalPath, else nothing.
// The value is everything after the first "=", further "=" included: a folder may hold one.
// Error 9 for an item that is the bare word finalPath (it has no value piece).
std::optional<FinalPath> ReadFinalPathItem(const std::vector<std::wstring>& pieces);

}  // namespace qelrestore
