#include "registry/reg_file.h"

#include <algorithm>
#include <optional>
#include <utility>
#include <vector>

#include "registry/reg_file_text.h"
#include "support/byte_text.h"
#include "support/error.h"

namespace qelrestore {
namespace {

using namespace regstore;
using regfile::RestIsComment;

constexpr std::wstring_view kHeader5 = L"Windows Registry Editor Version 5.00";
constexpr std::wstring_view kHeader4 = L"REGEDIT4";

// True when `path` is `key` or lies below it.
bool IsWithin(std::string_view path, std::string_view key) {
  return path.starts_with(key) && (path.size() == key.size() || path[key.size()] == '\\');
}

}  // namespace

// Records the file's lines in the store in file order, then settles which keys and values the
// file leaves. Working memory beside the store is one 32-bit offset per key line.
class RegFileParser {
 public:
  RegFileParser(std::string_view bytes, std::wstring_view fileName)
      : lines_(bytes), fileName_(fileName) {}

  RegistryStore Run() {
    ReadHeader();
    std::wstring line;
    while (lines_.Next(line)) {
      const std::wstring_view text = regfile::Trim(line);
      if (text.starts_with(L'[')) {
        KeyLine(text);
      } else if (inKey_ && (text.starts_with(L'"') || text.starts_with(L'@'))) {
        ValueLine(text);
      }
      // Anything else (blank, a ';' or '#' comment, stray text, a value outside any key) is
      // skipped, as the registry editor skips it.
    }
    SettleKeys();
    if (valueLines_ != 0) SettleValues();
    return std::move(store_);
  }

 private:
  [[noreturn]] void Fail(std::wstring_view reason) const {
    throw Error(code::kPathFileAccess,
                MalformedFileMessage(fileName_, std::max<size_t>(lines_.number(), 1), reason));
  }

  void ReadHeader() {
    std::wstring line;
    while (lines_.Next(line)) {
      const std::wstring_view text = regfile::Trim(line);
      if (text.empty()) continue;
      if (text == kHeader5) {
        wideText_ = true;
        return;
      }
      if (text == kHeader4) return;
      Fail(L"not a registry file header");
    }
    Fail(L"no registry file header");
  }

  // "[HKEY_LOCAL_MACHINE\A\B]" makes A\B the key of the values that follow; "[-...]" deletes the
  // key with everything below it. A key line that cannot be read leaves its values nowhere. Lines
  // are only recorded here: which keys survive is settled once the whole file is read.
  void KeyLine(std::wstring_view text) {
    inKey_ = false;
    if (!text.ends_with(L']')) {
      // "[...] ; comment": the first ']' that only a comment follows closes the key.
      size_t close = text.find(L']');
      while (close != std::wstring_view::npos && !RestIsComment(text, close + 1)) {
        close = text.find(L']', close + 1);
      }
      if (close == std::wstring_view::npos) return;
      text = text.substr(0, close + 1);
    }
    std::wstring_view path = text.substr(1, text.size() - 2);
    const bool remove = path.starts_with(L'-');
    if (remove) path.remove_prefix(1);
    const std::string canonical = CanonicalPath(path, true);
    if (canonical.empty()) return;
    store_.AddPath(remove ? kDeletion : kSection, canonical);
    ++keyLines_;
    inKey_ = !remove;
  }

  // A value line that cannot be read is kept as malformed under its name, so that asking for
  // that value fails with the line; one without a readable name is skipped.
  void ValueLine(std::wstring_view text) {
    size_t pos = 1;
    std::wstring wideName;
    if (text[0] == L'"') {
      pos = 0;
      if (!regfile::ReadQuoted(text, pos, wideName)) return;
    }
    const std::string name = EncodeUtf8(wideName);
    ++valueLines_;
    try {
      pos = regfile::SkipBlanks(text, pos);
      if (pos == text.size() || text[pos] != L'=') {
        throw regfile::BadValue{L"expected '=' after the value name"};
      }
      const regfile::ValueData data = regfile::ReadValueData(
          text.substr(regfile::SkipBlanks(text, pos + 1)), wideText_, lines_);
      const auto kind = data.removes
                            ? kRemoval
                            : static_cast<unsigned char>(kFirstType + static_cast<int>(data.type));
      store_.AddValue(kind, name, data.data);
    } catch (const regfile::BadValue& bad) {
      store_.AddMalformed(bad.reason, name, lines_.number());
    }
  }

  void SettleKeys();
  void SettleValues();

  regfile::LineReader lines_;
  std::wstring_view fileName_;
  RegistryStore store_;
  size_t keyLines_ = 0;  // key and deletion lines recorded
  size_t valueLines_ = 0;
  bool inKey_ = false;
  bool wideText_ = false;
};

// Decides which keys the file leaves, as if its key lines were applied in order: a key line
// creates a key, "[-key]" deletes it with its subtree (values included), and a deletion that
// removed something keeps the parent. Arena offsets grow in file order, so they order lines in
// time. In tree order a key's subtree follows it, so one pass with a stack of the deletions
// above the current path finds, for each key line, the first later deletion that removes it; that
// line is marked taken. The surviving paths then become the keys, in the same vector.
void RegFileParser::SettleKeys() {
  RegistryStore& store = store_;
  std::vector<uint32_t> lines;
  lines.reserve(keyLines_);
  for (uint32_t at = 0; at < store.End(); at = store.After(at)) {
    const unsigned char kind = store.KindAt(at);
    if (kind == kSection || kind == kDeletion) lines.push_back(at);
  }
  // By path; a path's deletions first, each kind in file order.
  std::sort(lines.begin(), lines.end(), [&store](uint32_t left, uint32_t right) {
    const std::string_view a = store.PathAt(left);
    const std::string_view b = store.PathAt(right);
    if (a != b) return TreeLess(a, b);
    if (store.KindAt(left) != store.KindAt(right)) return store.KindAt(left) == kDeletion;
    return left < right;
  });

  struct Deletions {
    std::string_view path;
    size_t first, last;  // in `lines`
  };
  std::vector<Deletions> above;
  std::vector<bool> removedSomething(lines.size());
  std::vector<uint32_t> keptParents;
  // The first deletion after `time` among `above[0, depth)`, as an index into `lines`.
  const auto firstDeletionAfter = [&](uint32_t time, size_t depth) {
    std::optional<size_t> first;
    for (size_t level = 0; level < depth; ++level) {
      const auto begin = lines.begin() + static_cast<std::ptrdiff_t>(above[level].first);
      const auto end = lines.begin() + static_cast<std::ptrdiff_t>(above[level].last);
      const auto later = std::upper_bound(begin, end, time);
      if (later != end && (!first || *later < lines[*first])) {
        first = static_cast<size_t>(later - lines.begin());
      }
    }
    return first;
  };
  // Leaving a deleted key's subtree: each of its deletions that removed something recreated the
  // parent, which lives on unless a later deletion above takes it.
  const auto leave = [&] {
    const Deletions done = above.back();
    above.pop_back();
    const size_t slash = done.path.rfind('\\');
    if (slash == std::string_view::npos) return;
    for (size_t at = done.first; at < done.last; ++at) {
      if (!removedSomething[at]) continue;
      const std::optional<size_t> taker = firstDeletionAfter(lines[at], above.size());
      if (!taker) {
        keptParents.push_back(store.AddPath(kStoredPath, done.path.substr(0, slash)));
        return;
      }
      removedSomething[*taker] = true;
    }
  };
  for (size_t at = 0; at < lines.size(); ++at) {
    const std::string_view path = store.PathAt(lines[at]);
    while (!above.empty() && !IsWithin(path, above.back().path)) leave();
    if (store.KindAt(lines[at]) == kDeletion) {
      size_t last = at + 1;
      while (last < lines.size() && store.KindAt(lines[last]) == kDeletion &&
             store.PathAt(lines[last]) == path) {
        ++last;
      }
      above.push_back({path, at, last});
      at = last - 1;
    } else if (const std::optional<size_t> taker = firstDeletionAfter(lines[at], above.size())) {
      removedSomething[*taker] = true;
      store.SetKind(lines[at], kTakenSection);
    }
  }
  while (!above.empty()) leave();
  removedSomething = {};

  // Each surviving path once, then the kept parents merged in from the back. Each deletion group
  // keeps at most one parent, so they fit in the place of the deletions.
  size_t kept = 0;
  for (const uint32_t line : lines) {
    if (store.KindAt(line) != kSection) continue;
    if (kept == 0 || store.PathAt(lines[kept - 1]) != store.PathAt(line)) lines[kept++] = line;
  }
  const auto byPath = [&store](uint32_t left, uint32_t right) {
    return TreeLess(store.PathAt(left), store.PathAt(right));
  };
  std::sort(keptParents.begin(), keptParents.end(), byPath);
  size_t parents = keptParents.size();
  size_t to = kept + parents;
  lines.resize(to);
  while (parents > 0) {
    if (kept > 0 && byPath(keptParents[parents - 1], lines[kept - 1])) {
      lines[--to] = lines[--kept];
    } else {
      lines[--to] = keptParents[--parents];
    }
  }
  lines.erase(std::unique(lines.begin(), lines.end(),
                          [&store](uint32_t left, uint32_t right) {
                            return store.PathAt(left) == store.PathAt(right);
                          }),
              lines.end());
  lines.shrink_to_fit();
  store.keys_ = std::move(lines);
}

// Gathers the values of the surviving key lines under their keys; for each name the last line
// wins, and a name whose last line removes it is dropped.
void RegFileParser::SettleValues() {
  RegistryStore& store = store_;
  const size_t keyCount = store.keys_.size();
  std::vector<uint32_t>& starts = store.valueStarts_;
  std::vector<uint32_t>& values = store.values_;
  starts.assign(keyCount + 1, 0);
  // Two passes over the arena: count each key's values, then place them, each key's slice filled
  // from its end. A key line finds its key only when a value follows it.
  for (int pass = 0; pass < 2; ++pass) {
    std::optional<uint32_t> section;
    size_t key = keyCount;
    for (uint32_t at = 0; at < store.End(); at = store.After(at)) {
      const unsigned char kind = store.KindAt(at);
      if (IsPath(kind)) {
        section = kind == kSection ? std::optional<uint32_t>(at) : std::nullopt;
        key = keyCount;
        continue;
      }
      if (section) {
        key = store.FindKey(store.PathAt(*section));
        section.reset();
      }
      if (key == keyCount) continue;
      if (pass == 0) {
        ++starts[key];
      } else {
        values[--starts[key]] = at;
      }
    }
    if (pass == 0) {
      uint32_t total = 0;
      for (uint32_t& start : starts) total = start += total;
      values.resize(total);
    }
  }
  size_t kept = 0;
  for (size_t key = 0; key < keyCount; ++key) {
    const size_t first = starts[key];
    const size_t last = starts[key + 1];
    const auto begin = values.begin() + static_cast<std::ptrdiff_t>(first);
    const auto end = values.begin() + static_cast<std::ptrdiff_t>(last);
    std::sort(begin, end, [&store](uint32_t left, uint32_t right) {
      const std::string_view a = store.NameAt(left);
      const std::string_view b = store.NameAt(right);
      if (FoldedLess(a, b)) return true;
      return !FoldedLess(b, a) && left < right;
    });
    starts[key] = static_cast<uint32_t>(kept);
    for (size_t at = first; at < last; ++at) {
      const bool lastForName =
          at + 1 == last || FoldedLess(store.NameAt(values[at]), store.NameAt(values[at + 1]));
      if (lastForName && store.KindAt(values[at]) != kRemoval) values[kept++] = values[at];
    }
  }
  if (kept == 0) {
    starts = {};
    values = {};
    return;
  }
  starts[keyCount] = static_cast<uint32_t>(kept);
  values.resize(kept);
  values.shrink_to_fit();
}

RegistryStore ParseRegFile(std::string_view bytes, std::wstring_view fileName) {
  return RegFileParser(bytes, fileName).Run();
}

}  // namespace qelrestore
