#include "config/db_properties.h"

#include <vector>

#include "config/client_families.h"
#include "support/checkpoints.h"
#include "support/text.h"

namespace qelrestore {

namespace {

void ApplyProvider(const std::wstring& value, ServerSettings& server, int32_t& checkpoint) {
  for (const ClientFamily& family : kClientFamilies) {
    checkpoint = family.providerSearch;
    const int64_t at = InStr(1, value, family.provider);
    checkpoint = family.providerTest;
    if (at > 0) {
      checkpoint = family.providerTaken;
      server.serverVersion = family.family;
      return;
    }
  }
}

// scheme://host:port;further settings
void ApplyUrl(const std::vector<std::wstring>& pieces, ServerSettings& server,
              int32_t& checkpoint) {
  checkpoint = checkpoint::kUrlScheme;
  const std::wstring& url = Piece(pieces, 1);
  const int64_t schemePos = InStr(1, url, L"://");
  checkpoint = checkpoint::kUrlSemicolon;
  const int64_t semicolonPos = InStr(schemePos, url, L";");
  checkpoint = checkpoint::kUrlHostLength;
  const int64_t hostLength = semicolonPos - schemePos - 3;
  checkpoint = checkpoint::kUrlHostAndPort;
  const std::wstring hostAndPort = Mid(url, schemePos + 3, hostLength);
  checkpoint = checkpoint::kUrlSplitPort;
  const std::vector<std::wstring> parts = Split(hostAndPort, L':');
  checkpoint = checkpoint::kUrlHost;
  server.serverHost = Piece(parts, 0);
  checkpoint = checkpoint::kUrlPort;
  server.serverPort = Piece(parts, 1);
}

}  // namespace

void ApplyDbPropertiesItem(const std::wstring& item, ServerSettings& server, int32_t& checkpoint) {
  checkpoint = checkpoint::kSplitDbPropertiesItem;
  const std::vector<std::wstring> pieces = Split(item, L'=');
  checkpoint = checkpoint::kDbPropertiesKey;
  const std::wstring& key = Piece(pieces, 0);
  if (key == L"DB_PROVIDER") {
    checkpoint = checkpoint::kProvider;
    ApplyProvider(Piece(pieces, 1), server, checkpoint);
    return;
  }
  checkpoint = checkpoint::kConnectionUrl;
  if (key == L"dbconn.appl.url") ApplyUrl(pieces, server, checkpoint);
}

void ReadDbProperties(SequentialInput& input, ServerSettings& server, int32_t& checkpoint) {
  for (;;) {
    checkpoint = checkpoint::kDbPropertiesAtEnd;
    if (input.AtEnd()) return;
    checkpoint = checkpoint::kReadDbPropertiesItem;
    const std::wstring item = input.ReadItem();
    checkpoint = checkpoint::kBlankDbPropertiesItem;
    if (item.empty()) continue;
    ApplyDbPropertiesItem(item, server, checkpoint);
  }
}

}  // namespace qelrestore
