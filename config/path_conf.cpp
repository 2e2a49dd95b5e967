#include "config/path_conf.h"

#include "support/text.h"

namespace qelrestore {

PhaseEnd LocatePathConf(Run& run) {
  run.checkpoint = 43;
  std::wstring profileBuffer;
  run.checkpoint = 44;
  const auto token = run.host.OpenProcessToken();
  run.checkpoint = 45;
  const bool found = run.host.GetUserProfileDirectory(token.get(), profileBuffer);
  run.checkpoint = 46;
  run.profileDirectory = found ? TrimAtNul(profileBuffer) : std::wstring();
  run.checkpoint = 47;
  run.pathConfFile = run.profileDirectory + L"\\.corvilane\\path.conf";
  run.dbPropertiesPath.clear();
  run.checkpoint = 48;
  // Without a profile the path would lead to the root of the drive, a folder anybody may write
  // to: such a path.conf is never read.
  if (run.profileDirectory.empty() || !run.log.fileSystem().FileExists(run.pathConfFile)) {
    run.log.LogMessage(run.pathConfFile + L"not found. Pls. check");
    return PhaseEnd::kStop;
  }
  return PhaseEnd::kGoOn;
}

bool ReadFinalPathItem(const std::vector<std::wstring>& pieces, FinalPath& result) {
  if (Piece(pieces, 0) != L"finalPath") return false;
  result.rawFinalPath = Piece(pieces, 1);
  result.installationFolder = ReplaceChar(result.rawFinalPath, L'/', L'\\');
  result.dbPropertiesPath = result.installationFolder + L"PLUV\\db.properties";
  return true;
}

}  // namespace qelrestore
