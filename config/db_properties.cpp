#include "config/db_properties.h"

#include <vector>

#include "support/text.h"

namespace qelrestore {

namespace {

void ApplyProvider(const std::wstring& value, ServerSettings& server, int32_t& checkpoint) {
  checkpoint = 89;
  const int64_t oledb = InStr(1, value, L"SQLOLEDB");
  checkpoint = 90;
  if (oledb > 0) {
    checkpoint = 91;
    server.serverVersion = L"MSDE";
    return;
  }
  checkpoint = 93;
  const int64_t nativeClient = InStr(1, value, L"SQLNCLI.1");
  checkpoint = 94;
  if (nativeClient > 0) {
    checkpoint = 95;
    server.serverVersion = L"2005";
  }
}

// scheme://host:port;further settings
void ApplyUrl(const std::vector<std::wstring>& pieces, ServerSettings& server,
              int32_t& checkpoint) {
  checkpoint = 99;
  const std::wstring& url = Piece(pieces, 1);
  const int64_t schemePos = InStr(1, url, L"://");
  checkpoint = 100;
  const int64_t semicolonPos = InStr(schemePos, url, L";");
  checkpoint = 101;
  const int64_t hostLength = semicolonPos - schemePos - 3;
  checkpoint = 102;
  const std::wstring hostAndPort = Mid(url, schemePos + 3, hostLength);
  checkpoint = 103;
  const std::vector<std::wstring> parts = Split(hostAndPort, L':');
  checkpoint = 104;
  server.serverHost = Piece(parts, 0);
  checkpoint = 105;
  server.serverPort = Piece(parts, 1);
}

}  // namespace

void ApplyDbPropertiesItem(const std::wstring& item, ServerSettings& server, int32_t& checkpoint) {
  checkpoint = 87;
  const std::vector<std::wstring> pieces = Split(item, L'=');
  checkpoint = 88;
  const std::wstring& key = Piece(pieces, 0);
  if (key == L"DB_PROVIDER") {
    checkpoint = 89;
    ApplyProvider(Piece(pieces, 1), server, checkpoint);
    return;
  }
  checkpoint = 98;
  if (key == L"dbconn.appl.url") ApplyUrl(pieces, server, checkpoint);
}

void ReadDbProperties(SequentialInput& input, ServerSettings& server, int32_t& checkpoint) {
  for (;;) {
    checkpoint = 84;
    if (input.AtEnd()) return;
    checkpoint = 85;
    const std::wstring item = input.ReadItem();
    checkpoint = 86;
    if (item.empty()) continue;
    ApplyDbPropertiesItem(item, server, checkpoint);
  }
}

}  // namespace qelrestore
