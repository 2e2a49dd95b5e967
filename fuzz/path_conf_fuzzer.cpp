// path.conf fed any bytes, read item by item as the folder restore reads it: only an item whose key
// is exactly finalPath names folders, and the folders follow from its value alone. The bare word
// finalPath is error 9; nothing else may fail on a file of bounded size.
#include <optional>
#include <string>
#include <vector>

#include "config/path_conf.h"
#include "config/sequential_input.h"
#include "fuzz/contract.h"
#include "fuzz/memory_host.h"
#include "support/error.h"
#include "support/text.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using qelrestore::fuzz::Require;
  qelrestore::fuzz::MemoryFiles files(qelrestore::fuzz::Bytes(data, size));
  qelrestore::SequentialInput input(files);
  input.Open(L"C:\\Users\\fuzz\\.corvilane\\path.conf");

  while (!input.AtEnd()) {
    const std::wstring item = input.ReadItem();
    if (item.empty()) continue;
    const std::vector<std::wstring> pieces = qelrestore::Split(item, L'=');
    const bool isFinalPath = pieces[0] == L"finalPath";
    std::optional<qelrestore::FinalPath> folders;
    try {
      folders = qelrestore::ReadFinalPathItem(pieces);
    } catch (const qelrestore::Error& error) {
      Require(error.code() == qelrestore::code::kSubscriptOutOfRange && item == L"finalPath",
              "only the bare word finalPath fails, with error 9");
      continue;
    }
    Require(folders.has_value() == (isFinalPath && pieces.size() >= 2),
            "finalPath items and only they count");
    if (!folders) continue;

    const std::wstring& raw = folders->rawFinalPath;
    const std::wstring& folder = folders->installationFolder;
    Require(raw == item.substr(item.find(L'=') + 1), "the raw path is all after the first '='");
    Require(folder.size() == raw.size(), "the folder has the raw path's length");
    for (size_t i = 0; i < raw.size(); ++i) {
      Require(folder[i] == (raw[i] == L'/' ? L'\\' : raw[i]), "only '/' becomes '\\'");
    }
    // The folder restore then gives the folder exactly one trailing separator.
    const std::wstring normalized = qelrestore::NormalizeTrailingSeparator(folder);
    Require(
        folders->dbPropertiesPath == (folder.empty() ? L"" : normalized) + L"PLUV\\db.properties",
        "db.properties lies in the folder's PLUV, one separator after the folder");
    Require(normalized.ends_with(L'\\') && !normalized.ends_with(L"\\\\"),
            "a normalized folder ends in exactly one separator");
  }
  input.Close();
  return 0;
}
