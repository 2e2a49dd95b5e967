// The registry file loader fed any bytes: it gives a store, or error 75 naming the file and a line
// that exists in it. Nothing else may escape, whatever the encoding or header. A value stored as
// malformed names a line of the file too, and carries no data.
#include <string>
#include <string_view>

#include "fuzz/contract.h"
#include "registry/reg_file.h"
#include "support/error.h"

namespace {

// An upper bound of the file's line count: one more than its line feeds, counted as UTF-16LE
// units after that byte-order mark, as bytes otherwise.
size_t LineBound(std::string_view bytes) {
  size_t feeds = 0;
  if (bytes.starts_with("\xFF\xFE")) {
    for (size_t at = 2; at + 1 < bytes.size(); at += 2) {
      feeds += bytes[at] == '\n' && bytes[at + 1] == '\0' ? 1 : 0;
    }
  } else {
    for (const char ch : bytes) feeds += ch == '\n' ? 1 : 0;
  }
  return feeds + 1;
}

// The line number that follows `prefix` in `text`, or 0 when `text` does not start so or the
// number does not end at ':'.
size_t LineAfter(const std::wstring& text, const std::wstring& prefix) {
  if (!text.starts_with(prefix)) return 0;
  size_t at = prefix.size();
  size_t line = 0;
  while (at < text.size() && text[at] >= L'0' && text[at] <= L'9' && line < 1000000000) {
    line = line * 10 + static_cast<size_t>(text[at++] - L'0');
  }
  return at < text.size() && text[at] == L':' ? line : 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using qelrestore::fuzz::Require;
  const std::string_view bytes = qelrestore::fuzz::Bytes(data, size);
  const std::wstring prefix = L"Malformed registry file fuzz.reg line ";
  try {
    const qelrestore::RegistryStore store = qelrestore::ParseRegFile(bytes, L"fuzz.reg");
    // The lookups the registry host makes must hold up on whatever was stored.
    const std::wstring key = L"HKEY_LOCAL_MACHINE\\SOFTWARE";
    if (store.HasKey(key + L"\\")) {
      Require(store.HasKey(key), "a trailing backslash does not change the key");
      Require(store.HasKey(L"hkey_local_machine"), "a key's parents exist");
    }
    const qelrestore::StoredValue* value = store.FindValue(key, L"SQLPath");
    Require(value == store.FindValue(L"hkey_local_machine\\software\\", L"sqlpath"),
            "names match without regard to ASCII case");
    if (value != nullptr) {
      Require(store.HasKey(key), "a found value has its key");
      if (value->malformedLine != 0) {
        Require(value->data.empty() && value->type == qelrestore::RegistryType::kOther,
                "a malformed value has no data");
        const size_t line = LineAfter(MalformedValueMessage(L"fuzz.reg", *value), prefix);
        Require(line == value->malformedLine && line <= LineBound(bytes),
                "a malformed value names a line of the file");
      }
    }
  } catch (const qelrestore::Error& error) {
    Require(error.code() == qelrestore::code::kPathFileAccess, "a malformed file is error 75");
    const size_t line = LineAfter(error.description(), prefix);
    Require(line >= 1 && line <= LineBound(bytes), "the message names a line of the file");
  }
  return 0;
}
