#include "config/path_conf.h"

#include "support/checkpoints.h"
#include "support/text.h"

namespace qelrestore {

std::optional<std::wstring> LocatePathConf(Environment& environment, Files& files, RunLog& log,
                                           Step& step) {
  step.At(checkpoint::kProfileFolder);
  const std::optional<std::wstring> profile = environment.ProfileFolder();
  step.At(checkpoint::kPathConfPath);
  const std::wstring profileDirectory = profile ? TrimAtNul(*profile) : std::wstring();
  step.At(checkpoint::kPathConfName);
  std::wstring pathConfFile = profileDirectory + L"\\.corvilane\\path.conf";
  step.At(checkpoint::kPathConfExists);
  // Without a profile the path would lead to the root of the drive, a folder anybody may write
  // to: such a path.conf is never read.
  if (profileDirectory.empty() || !files.FileExists(pathConfFile)) {
    log.LogMessage(pathConfFile + L"not found. Pls. check");
    return std::nullopt;
  }
  return pathConfFile;
}

std::optional<FinalPath> ReadFinalPathItem(const std::vector<std::wstring>& pieces) {
  if (Piece(pieces, 0) != L"finalPath") return std::nullopt;
  FinalPath result;
  result.rawFinalPath = Piece(pieces, 1);
  for (size_t piece = 2; piece < pieces.size(); ++piece)
    result.rawFinalPath += L'=' + pieces[piece];
  result.installationFolder = ReplaceChar(result.rawFinalPath, L'/', L'\\');
  result.dbPropertiesPath = DbPropertiesPathOf(result.installationFolder);
  return result;
}

std::wstring DbPropertiesPathOf(const std::wstring& installationFolder) {
  std::wstring folder = installationFolder;
  while (!folder.empty() && folder.back() == L'\\') folder.pop_back();
  if (!installationFolder.empty()) folder += L'\\';
  return folder + L"PLUV\\db.properties";
}

}  // namespace qelrestore
