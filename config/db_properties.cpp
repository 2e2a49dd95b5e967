#include "config/db_properties.h"

#include <vector>

#include "config/client_families.h"
#include "support/checkpoints.h"
#include "support/text.h"

namespace qelrestore {

namespace {

void ApplyProvider(const std::wstring& value, ServerSettings& server, Step& step) {
  for (const ClientFamily& family : kClientFamilies) {
    step.At(family.providerSearch);
    const int64_t at = InStr(1, value, family.provider);
    step.At(family.providerTest);
    if (at > 0) {
      step.At(family.providerTaken);
      server.serverVersion = family.family;
      return;
    }
  }
}

// scheme://host:port;further settings
void ApplyUrl(const std::vector<std::wstring>& pieces, ServerSettings& server, Step& step) {
  step.At(checkpoint::kUrlScheme);
  const std::wstring& url = Piece(pieces, 1);
  const int64_t schemePos = InStr(1, url, L"://");
  step.At(checkpoint::kUrlSemicolon);
  const int64_t semicolonPos = InStr(schemePos, url, L";");
  step.At(checkpoint::kUrlHostLength);
  const int64_t hostLength = semicolonPos - schemePos - 3;
  step.At(checkpoint::kUrlHostAndPort);
  const std::wstring hostAndPort = Mid(url, schemePos + 3, hostLength);
  step.At(checkpoint::kUrlSplitPort);
  const std::vector<std::wstring> parts = Split(hostAndPort, L':');
  step.At(checkpoint::kUrlHost);
  server.serverHost = Piece(parts, 0);
  step.At(checkpoint::kUrlPort);
  server.serverPort = Piece(parts, 1);
}

}  // namespace

void ApplyDbPropertiesItem(const std::wstring& item, ServerSettings& server, Step& step) {
  step.At(checkpoint::kSplitDbPropertiesItem);
  const std::vector<std::wstring> pieces = Split(item, L'=');
  step.At(checkpoint::kDbPropertiesKey);
  const std::wstring& key = Piece(pieces, 0);
  if (key == L"DB_PROVIDER") {
    // The value is first asked for by the first family's search.
    step.At(kClientFamilies[0].providerSearch);
    ApplyProvider(Piece(pieces, 1), server, step);
    return;
  }
  step.At(checkpoint::kConnectionUrl);
  if (key == L"dbconn.appl.url") ApplyUrl(pieces, server, step);
}

void ReadDbProperties(SequentialInput& input, ServerSettings& server, Step& step) {
  for (;;) {
    step.At(checkpoint::kDbPropertiesAtEnd);
    if (input.AtEnd()) return;
    step.At(checkpoint::kReadDbPropertiesItem);
    const std::wstring item = input.ReadItem();
    step.At(checkpoint::kBlankDbPropertiesItem);
    if (item.empty()) continue;
    ApplyDbPropertiesItem(item, server, step);
  }
}

}  // namespace qelrestore
