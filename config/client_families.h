// The SQL Server families a restored installation may name, each with the client that restores
// its database. The settings reader finds a family by its provider text, the database restore
// finds its client by the family; a new family is one more row.
#pragma once

#include <cstdint>
#include <string>

#include "support/checkpoints.h"

namespace qelrestore {

struct ClientFamily {
  const wchar_t* provider;        // the text DB_PROVIDER holds for it in db.properties
  const wchar_t* family;          // its name in the log: "SQL start Restore MSDE"
  const wchar_t* clientSetupKey;  // below HKEY_LOCAL_MACHINE, the key whose SQLPath names the
                                  // client's folder
  const wchar_t* client;          // the client program below that folder
  // Checkpoints while db.properties is read: the provider text looked for, the answer tested,
  // the family taken.
  int32_t providerSearch, providerTest, providerTaken;
  // Checkpoints of the database restore: the family tested, its key named, its folder read,
  // its program named.
  int32_t familyTest, setupKey, clientFolder, clientProgram;
};

// In the order the providers are looked for: the first one DB_PROVIDER holds is taken.
inline constexpr ClientFamily kClientFamilies[] = {
    {L"SQLOLEDB", L"MSDE", L"SOFTWARE\\Microsoft\\Microsoft SQL Server\\80\\Tools\\ClientSetup",
     L"\\Binn\\OSQL.exe", checkpoint::kMsdeProviderSearch, checkpoint::kMsdeProviderTest,
     checkpoint::kMsdeProviderTaken, checkpoint::kMsdeFamilyTest, checkpoint::kMsdeSetupKey,
     checkpoint::kMsdeClientFolder, checkpoint::kMsdeClientProgram},
    {L"SQLNCLI.1", L"2005", L"SOFTWARE\\Microsoft\\Microsoft SQL Server\\90\\Tools\\ClientSetup",
     L"\\Binn\\sqlcmd.exe", checkpoint::k2005ProviderSearch, checkpoint::k2005ProviderTest,
     checkpoint::k2005ProviderTaken, checkpoint::k2005FamilyTest, checkpoint::k2005SetupKey,
     checkpoint::k2005ClientFolder, checkpoint::k2005ClientProgram},
};

// The providers of every family for a message that none of them is named: "neither SQLOLEDB nor
// SQLNCLI.1".
std::wstring NoneOfTheProviders();

}  // namespace qelrestore
