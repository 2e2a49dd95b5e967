// The installation folder lookup: the user's profile, .corvilane\path.conf and its finalPath
// items.
#pragma once

#include <string>
#include <vector>

#include "driver/run.h"

namespace qelrestore {

// Finds the profile directory and path.conf (checkpoints 43 to 48) and empties dbPropertiesPath.
// kStop, after its message, when path.conf does not exist or no profile folder was found.
PhaseEnd LocatePathConf(Run& run);

// The folders named by one finalPath item.
struct FinalPath {
  std::wstring rawFinalPath;        // the value as read
  std::wstring installationFolder;  // with every "/" turned into "\"
  std::wstring dbPropertiesPath;    // installationFolder & "PLUV\db.properties"
};

// For an item already cut at "=": the folders when its key is exactly finalPath, else false.
// Error 9 for an item that is the bare word finalPath (it has no value piece).
bool ReadFinalPathItem(const std::vector<std::wstring>& pieces, FinalPath& result);

}  // namespace qelrestore
