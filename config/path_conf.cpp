#include "config/path_conf.h"

#include "support/text.h"

namespace qelrestore {

namespace {
// The profile buffer's size in characters, terminator included.
constexpr size_t kProfileBufferLength = 255;
}  // namespace

PhaseEnd LocatePathConf(Run& run) {
  run.checkpoint = 43;
  std::wstring profileBuffer(kProfileBufferLength, L'\0');
  run.checkpoint = 44;
  const auto token = run.host.OpenProcessToken();
  run.checkpoint = 45;
  run.host.GetUserProfileDirectory(token.get(), profileBuffer);
  run.checkpoint = 46;
  run.profileDirectory = TrimAtNul(profileBuffer);
  run.checkpoint = 47;
  run.pathConfFile = run.profileDirectory + L"\\.corvilane\\path.conf";
  run.dbPropertiesPath.clear();
  run.checkpoint = 48;
  if (!run.log.fileSystem().FileExists(run.pathConfFile)) {
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
