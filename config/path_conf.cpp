#include "config/path_conf.h"

#include "support/text.h"

namespace qelrestore {

std::optional<std::wstring> LocatePathConf(Host& host, RunLog& log, int32_t& checkpoint) {
  checkpoint = 45;
  const std::optional<std::wstring> profile = host.ProfileFolder();
  checkpoint = 46;
  const std::wstring profileDirectory = profile ? TrimAtNul(*profile) : std::wstring();
  checkpoint = 47;
  std::wstring pathConfFile = profileDirectory + L"\\.corvilane\\path.conf";
  checkpoint = 48;
  // Without a profile the path would lead to the root of the drive, a folder anybody may write
  // to: such a path.conf is never read.
  if (profileDirectory.empty() || !host.FileExists(pathConfFile)) {
    log.LogMessage(pathConfFile + L"not found. Pls. check");
    return std::nullopt;
  }
  return pathConfFile;
}

std::optional<FinalPath> ReadFinalPathItem(const std::vector<std::wstring>& pieces) {
  if (Piece(pieces, 0) != L"finalPath") return std::nullopt;
  FinalPath result;
  result.rawFinalPath = Piece(pieces, 1);
  result.installationFolder = ReplaceChar(result.rawFinalPath, L'/', L'\\');
  // Exactly one separator before PLUV: finalPath=/srv/app names the folder /srv/app/ does, not a
  // PLUV folder beside it. An empty value stays relative.
  std::wstring folder = result.installationFolder;
  while (!folder.empty() && folder.back() == L'\\') folder.pop_back();
  if (!result.installationFolder.empty()) folder += L'\\';
  result.dbPropertiesPath = folder + L"PLUV\\db.properties";
  return result;
}

}  // namespace qelrestore
