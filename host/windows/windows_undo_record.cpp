// The undo set's files on Windows: the entries and what the run left, one line per entry, in
// printable ASCII; and the security descriptors the set keeps and gives back.
#include <algorithm>
#include <cstdio>
#include <cwchar>
#include <string>
#include <string_view>
#include <vector>

#include "host/windows/windows_errors.h"
#include "host/windows/windows_file_system.h"
#include "host/windows/windows_undo_set.h"
#include "host/windows/windows_walk.h"

namespace qelrestore::windows {

namespace {

// A token of a line: printable ASCII stays as it is; a blank, '%' and every other UTF-16 unit
// become %XXXX, so a line holds no blank but between its tokens and any name comes back as it was.
std::string Escaped(std::wstring_view text) {
  if (text.empty()) return "-";
  std::string token;
  for (const wchar_t unit : text) {
    if (unit > L' ' && unit < 0x7F && unit != L'%') {
      token += static_cast<char>(unit);
    } else {
      char code[8];
      std::snprintf(code, sizeof code, "%%%04X", static_cast<unsigned>(unit));
      token += code;
    }
  }
  return token;
}

std::wstring Unescaped(std::string_view token) {
  std::wstring text;
  if (token == "-") return text;
  for (size_t i = 0; i < token.size(); ++i) {
    if (token[i] != '%' || i + 4 >= token.size()) {
      text += static_cast<wchar_t>(static_cast<unsigned char>(token[i]));
      continue;
    }
    text += static_cast<wchar_t>(std::stoul(std::string(token.substr(i + 1, 4)), nullptr, 16));
    i += 4;
  }
  return text;
}

std::vector<std::string_view> Tokens(std::string_view line) {
  std::vector<std::string_view> tokens;
  while (!line.empty()) {
    const size_t blank = line.find(' ');
    tokens.push_back(line.substr(0, blank));
    if (blank == std::string_view::npos) break;
    line.remove_prefix(blank + 1);
  }
  return tokens;
}

uint64_t Number(std::string_view token, int base = 10) {
  return std::stoull(std::string(token), nullptr, base);
}

FILETIME TimeOf(uint64_t ticks) {
  return {static_cast<DWORD>(ticks), static_cast<DWORD>(ticks >> 32)};
}

std::string Line(const EntryState& state) {
  char line[64];
  std::snprintf(line, sizeof line, "%lx %llu %llu", static_cast<unsigned long>(state.attributes),
                static_cast<unsigned long long>(state.size),
                static_cast<unsigned long long>(state.written));
  return line;
}

// The whole file, or nothing when it is not there; throws when it cannot be read.
std::optional<std::string> ReadWhole(const std::wstring& path) {
  UniqueFileHandle file(::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                      OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  if (!file.valid()) {
    const DWORD error = ::GetLastError();
    if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) return std::nullopt;
    throw Win32Error(error, L"CreateFileW", path);
  }
  std::string bytes;
  char buffer[65536];
  for (DWORD got = 0;; bytes.append(buffer, got)) {
    if (!::ReadFile(file.get(), buffer, sizeof buffer, &got, nullptr)) {
      throw Win32Error(::GetLastError(), L"ReadFile", path);
    }
    if (got == 0) return bytes;
  }
}

// Writes the file beside its name, flushes it to the disk and moves it over the name, so that the
// name holds the whole old file or the whole new one, on the disk before this returns.
void WriteWhole(const std::wstring& path, const std::string& bytes) {
  const std::wstring beside = path + L".new";
  {
    UniqueFileHandle file(::CreateFileW(beside.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                        FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file.valid()) throw Win32Error(::GetLastError(), L"CreateFileW", beside);
    for (size_t done = 0; done < bytes.size();) {
      DWORD wrote = 0;
      const DWORD chunk = static_cast<DWORD>(std::min<size_t>(bytes.size() - done, 1 << 20));
      if (!::WriteFile(file.get(), bytes.data() + done, chunk, &wrote, nullptr)) {
        throw Win32Error(::GetLastError(), L"WriteFile", beside);
      }
      done += wrote;
    }
    if (!::FlushFileBuffers(file.get())) {
      throw Win32Error(::GetLastError(), L"FlushFileBuffers", beside);
    }
  }
  if (!::MoveFileExW(beside.c_str(), path.c_str(),
                     MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    throw Win32Error(::GetLastError(), L"MoveFileExW", path);
  }
}

}  // namespace

std::optional<std::wstring> ItemFolder(const std::wstring& set, const std::wstring& installation) {
  const std::optional<FolderIdentity> identity = IdentityOfFolder(installation);
  if (!identity) return std::nullopt;
  wchar_t name[40];
  std::swprintf(name, 40, L"%llx-%llx", static_cast<unsigned long long>(identity->volume),
                static_cast<unsigned long long>(identity->file));
  return Joined(Extended(set), name);
}

void WriteRecords(const UndoItem& item) {
  std::string text;
  for (const UndoRecord& record : item.records) {
    char numbers[128];
    std::snprintf(numbers, sizeof numbers, "%c %lx %llu %llu %llu %llu ",
                  static_cast<char>(record.kind), static_cast<unsigned long>(record.attributes),
                  static_cast<unsigned long long>(record.size),
                  static_cast<unsigned long long>(TicksOf(record.created)),
                  static_cast<unsigned long long>(TicksOf(record.accessed)),
                  static_cast<unsigned long long>(TicksOf(record.written)));
    text += numbers + Escaped(record.security) + ' ' + Escaped(record.path) + '\n';
  }
  WriteWhole(Joined(item.folder, L"entries"), text);
}

void WriteLeft(const UndoItem& item) {
  std::string text;
  for (const std::optional<EntryState>& state : *item.left) {
    text += (state ? Line(*state) : "-") + '\n';
  }
  WriteWhole(Joined(item.folder, L"left"), text);
}

bool ReadItem(const std::wstring& set, const std::wstring& installation, UndoItem& item) {
  const std::optional<std::wstring> folder = ItemFolder(set, installation);
  if (!folder) return false;
  item.folder = *folder;
  const std::optional<std::string> entries = ReadWhole(Joined(item.folder, L"entries"));
  if (!entries) return false;
  const std::wstring named = Joined(item.folder, L"entries");
  size_t begin = 0;
  for (size_t end; (end = entries->find('\n', begin)) != std::string::npos; begin = end + 1) {
    const std::vector<std::string_view> tokens =
        Tokens(std::string_view(*entries).substr(begin, end - begin));
    if (tokens.size() != 8 || tokens[0].size() != 1) {
      throw CallError(75, L"the undo set's entries cannot be read", named);
    }
    UndoRecord record;
    record.kind = static_cast<wchar_t>(tokens[0][0]);
    record.attributes = static_cast<DWORD>(Number(tokens[1], 16));
    record.size = Number(tokens[2]);
    record.created = TimeOf(Number(tokens[3]));
    record.accessed = TimeOf(Number(tokens[4]));
    record.written = TimeOf(Number(tokens[5]));
    record.security = Unescaped(tokens[6]);
    record.path = Unescaped(tokens[7]);
    item.records.push_back(std::move(record));
  }
  const std::optional<std::string> left = ReadWhole(Joined(item.folder, L"left"));
  if (!left) return true;
  item.left.emplace();
  begin = 0;
  for (size_t end; (end = left->find('\n', begin)) != std::string::npos; begin = end + 1) {
    const std::vector<std::string_view> tokens =
        Tokens(std::string_view(*left).substr(begin, end - begin));
    if (tokens.size() == 3) {
      item.left->push_back(EntryState{static_cast<DWORD>(Number(tokens[0], 16)), Number(tokens[1]),
                                      Number(tokens[2])});
    } else {
      item.left->push_back(std::nullopt);
    }
  }
  if (item.left->size() != item.records.size()) {
    throw CallError(75, L"the undo set's note of what the run left cannot be read", named);
  }
  return true;
}

std::optional<EntryState> StateAt(const std::wstring& path) {
  WIN32_FILE_ATTRIBUTE_DATA data{};
  if (!::GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) return std::nullopt;
  const bool folder = (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
  return EntryState{data.dwFileAttributes & kComparedAttributes,
                    folder ? 0 : SizeOf(data.nFileSizeHigh, data.nFileSizeLow),
                    folder ? 0 : TicksOf(data.ftLastWriteTime)};
}

bool PlainWays::To(const std::wstring& relative) {
  for (size_t slash = relative.find(L'\\'); slash != std::wstring::npos;
       slash = relative.find(L'\\', slash + 1)) {
    const std::wstring folder = relative.substr(0, slash);
    auto known = plain_.find(folder);
    if (known == plain_.end()) {
      const DWORD attributes = ::GetFileAttributesW(Joined(root_, folder).c_str());
      known =
          plain_
              .emplace(folder, attributes != INVALID_FILE_ATTRIBUTES && IsWalkedFolder(attributes))
              .first;
    }
    if (!known->second) return false;
  }
  return true;
}

DWORD ReadSecurity(const std::wstring& path, std::wstring& security) {
  UniqueFileHandle entry(::CreateFileW(
      path.c_str(), READ_CONTROL, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
      OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  if (!entry.valid()) return ::GetLastError();
  constexpr SECURITY_INFORMATION kWhat =
      OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  const DWORD error = ::GetSecurityInfo(entry.get(), SE_FILE_OBJECT, kWhat, nullptr, nullptr,
                                        nullptr, nullptr, &descriptor);
  if (error != ERROR_SUCCESS) return error;
  LPWSTR text = nullptr;
  const BOOL converted = ::ConvertSecurityDescriptorToStringSecurityDescriptorW(
      descriptor, SDDL_REVISION_1, kWhat, &text, nullptr);
  const DWORD conversionError = converted ? ERROR_SUCCESS : ::GetLastError();
  ::LocalFree(descriptor);
  if (!converted) return conversionError;
  security = text;
  ::LocalFree(text);
  return ERROR_SUCCESS;
}

DWORD WriteSecurity(HANDLE entry, const std::wstring& security) {
  if (security.empty()) return ERROR_SUCCESS;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (!::ConvertStringSecurityDescriptorToSecurityDescriptorW(security.c_str(), SDDL_REVISION_1,
                                                              &descriptor, nullptr)) {
    return ::GetLastError();
  }
  BOOL present = FALSE, defaulted = FALSE;
  PACL access = nullptr;
  PSID owner = nullptr, group = nullptr;
  SECURITY_DESCRIPTOR_CONTROL control = 0;
  DWORD revision = 0;
  ::GetSecurityDescriptorDacl(descriptor, &present, &access, &defaulted);
  ::GetSecurityDescriptorOwner(descriptor, &owner, &defaulted);
  ::GetSecurityDescriptorGroup(descriptor, &group, &defaulted);
  ::GetSecurityDescriptorControl(descriptor, &control, &revision);
  SECURITY_INFORMATION what =
      DACL_SECURITY_INFORMATION |
      ((control & SE_DACL_PROTECTED) != 0 ? PROTECTED_DACL_SECURITY_INFORMATION
                                          : UNPROTECTED_DACL_SECURITY_INFORMATION);
  DWORD error = ERROR_SUCCESS;
  if (owner != nullptr || group != nullptr) {
    // The owner and group it had; where the run's account may not give them, the access list
    // alone (the entry then keeps the run's account as its owner, as the restore's copy gave it).
    error = ::SetSecurityInfo(entry, SE_FILE_OBJECT,
                              what | (owner != nullptr ? OWNER_SECURITY_INFORMATION : 0) |
                                  (group != nullptr ? GROUP_SECURITY_INFORMATION : 0),
                              owner, group, present ? access : nullptr, nullptr);
  }
  if ((owner == nullptr && group == nullptr) || error != ERROR_SUCCESS) {
    error = ::SetSecurityInfo(entry, SE_FILE_OBJECT, what, nullptr, nullptr,
                              present ? access : nullptr, nullptr);
  }
  ::LocalFree(descriptor);
  return error;
}

std::wstring PrivateSecurity() {
  HANDLE token = nullptr;
  if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &token)) {
    throw Win32Error(::GetLastError(), L"OpenProcessToken", L"");
  }
  UniqueTokenHandle owned(token);
  DWORD size = 0;
  ::GetTokenInformation(token, TokenUser, nullptr, 0, &size);
  std::vector<unsigned char> user(size);
  if (!::GetTokenInformation(token, TokenUser, user.data(), size, &size)) {
    throw Win32Error(::GetLastError(), L"GetTokenInformation", L"");
  }
  LPWSTR sid = nullptr;
  if (!::ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER*>(user.data())->User.Sid, &sid)) {
    throw Win32Error(::GetLastError(), L"ConvertSidToStringSidW", L"");
  }
  std::wstring security = L"D:P(A;OICI;FA;;;" + std::wstring(sid) + L")";
  ::LocalFree(sid);
  return security;
}

}  // namespace qelrestore::windows
