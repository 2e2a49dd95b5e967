#include "tests/unit/fake_host.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include "support/utf8_text.h"
#include "tests/toolkit/log_lines.h"

namespace qelrestore::test {

std::wstring Wide(std::string_view text) {
  std::wstring result;
  for (const char c : text) result += static_cast<wchar_t>(static_cast<unsigned char>(c));
  return result;
}

std::string Narrow(std::wstring_view text) {
  std::string result;
  for (const wchar_t c : text) result += static_cast<char>(c);
  return result;
}

namespace {

std::wstring WithoutTrailingBackslashes(std::wstring path) {
  while (!path.empty() && path.back() == L'\\') path.pop_back();
  return path;
}

class FakeStream : public TextStream {
 public:
  // An empty path: standard output.
  FakeStream(FakeHost& host, std::wstring path) : host_(host), path_(std::move(path)) {
    ++host_.openStreams;
  }
  ~FakeStream() override {
    Close();
    host_.inputsOpenWhenStreamReleased = host_.openInputs;
  }
  void writeLine(const std::wstring& text) override {
    const std::optional<Fault> fault = host_.Enter("writeLine", text);
    if (closed_) throw Error(code::kBadFileNumber);
    if (path_.empty()) {
      if (fault) host_.ThrowInjected();
      host_.standardOutput += Narrow(text) + "\n";
      return;
    }
    host_.writtenPaths.insert(path_);
    if (fault == Fault::kHalfWay) host_.files[path_] += Narrow(text.substr(0, text.size() / 2));
    if (fault) host_.ThrowInjected();
    host_.files[path_] += Narrow(text) + "\r\n";
  }
  void Close() override {
    if (closed_) return;
    closed_ = true;
    --host_.openStreams;
  }

 private:
  FakeHost& host_;
  std::wstring path_;
  bool closed_ = false;
};

class FakeReader : public Reader {
 public:
  FakeReader(FakeHost& host, std::string bytes, bool grows = false)
      : host_(host), bytes_(std::move(bytes)), grows_(grows) {
    ++host_.openInputs;
  }
  ~FakeReader() override { --host_.openInputs; }
  size_t Read(char* buffer, size_t size) override {
    host_.EnterOrThrow("Read");
    if (grows_ && position_ == bytes_.size() && size > 0) {
      // Written on since the open; a reader that never stops is stopped here.
      if (++host_.readsPastLength > 1000) throw Error(code::kInputPastEnd, L"read for ever");
      std::memset(buffer, '\n', size);
      return size;
    }
    const size_t count = std::min(size, bytes_.size() - position_);
    std::memcpy(buffer, bytes_.data() + position_, count);
    position_ += count;
    return count;
  }
  std::optional<uint64_t> Length() override { return bytes_.size(); }

 private:
  FakeHost& host_;
  std::string bytes_;
  bool grows_;
  size_t position_ = 0;
};

// A started process: it ends `runMilliseconds` after its start on the host's clock, which moves
// only while the logic waits for it.
class FakeRunningProcess : public Process {
 public:
  FakeRunningProcess(FakeHost& host, FakeProcess script)
      : host_(host), script_(std::move(script)), startedAt_(host.clockMilliseconds) {
    ++host_.openProcesses;
  }
  ~FakeRunningProcess() override { --host_.openProcesses; }
  ProcessState Wait(uint32_t milliseconds) override {
    const std::optional<Fault> fault = host_.Enter("Wait");
    if (fault == Fault::kThrow) host_.ThrowInjected();
    if (fault || script_.waitFails) return {ProcessState::Kind::kWaitFailed, 0};
    const int64_t endsAt = startedAt_ + script_.runMilliseconds;
    if (script_.runMilliseconds < 0 || endsAt > host_.clockMilliseconds + milliseconds) {
      host_.clockMilliseconds += milliseconds;
      return {ProcessState::Kind::kRunning, 0};
    }
    host_.clockMilliseconds = std::max(host_.clockMilliseconds, endsAt);
    for (const auto& [path, content] : script_.output) host_.files[path] = content;
    script_.output.clear();
    if (script_.signal) return {ProcessState::Kind::kSignaled, *script_.signal};
    return {ProcessState::Kind::kExited, script_.exitStatus};
  }

 private:
  FakeHost& host_;
  FakeProcess script_;
  int64_t startedAt_;
};

}  // namespace

FakeHost::FakeHost() {
  folders = {L"C:", L"C:\\qel", L"C:\\Users\\op"};
  folderCopy = [this](const std::wstring& source, const std::wstring& destination) {
    const std::wstring from = WithoutTrailingBackslashes(source) + L"\\";
    const std::wstring to = WithoutTrailingBackslashes(destination) + L"\\";
    std::map<std::wstring, std::string> copies;
    for (const auto& [path, bytes] : files) {
      if (path.rfind(from, 0) == 0) copies[to + path.substr(from.size())] = bytes;
    }
    std::set<std::wstring> copiedFolders;
    for (const std::wstring& folder : folders) {
      if (folder.rfind(from, 0) == 0) copiedFolders.insert(to + folder.substr(from.size()));
    }
    for (auto& [path, bytes] : copies) files[path] = bytes;
    folders.insert(copiedFolders.begin(), copiedFolders.end());
    FolderCopy copy;
    copy.outcome = CopyOutcome::kComplete;
    return copy;
  };
}

std::optional<Fault> FakeHost::Enter(const std::string& name, const std::wstring& argument) {
  calls.push_back(argument.empty() ? name : name + " " + Narrow(argument));
  const auto found = faults.find(static_cast<int64_t>(calls.size()) - 1);
  if (found == faults.end()) return std::nullopt;
  return found->second;
}

void FakeHost::EnterOrThrow(const std::string& name, const std::wstring& argument) {
  if (Enter(name, argument)) ThrowInjected();
}

void FakeHost::ThrowInjected() const {
  throw Error(failCode, L"injected fault");
}

bool FakeHost::ParentFolderExists(const std::wstring& path) const {
  const size_t cut = path.rfind(L'\\');
  return cut == std::wstring::npos || folders.count(path.substr(0, cut)) != 0;
}

std::vector<std::wstring> FakeHost::Lines(const std::wstring& path) const {
  std::vector<std::wstring> lines;
  const auto found = files.find(path);
  if (found == files.end()) return lines;
  const std::string& text = found->second;
  size_t begin = 0;
  for (size_t end; (end = text.find("\r\n", begin)) != std::string::npos; begin = end + 2) {
    lines.push_back(Wide(std::string_view(text).substr(begin, end - begin)));
  }
  if (begin < text.size()) lines.push_back(Wide(std::string_view(text).substr(begin)));
  return lines;
}

std::vector<std::wstring> FakeHost::LogMessages(const std::wstring& path) const {
  std::vector<std::wstring> messages;
  for (const std::wstring& line : Lines(path)) messages.push_back(LogMessage(line));
  return messages;
}

bool FakeHost::Called(const std::string& prefix) const {
  return std::any_of(calls.begin(), calls.end(),
                     [&](const std::string& call) { return call.rfind(prefix, 0) == 0; });
}

void FakeHost::AddFile(const std::wstring& path, const std::string& content) {
  files[path] = content;
}

std::wstring FakeHost::CommandLine() {
  EnterOrThrow("CommandLine");
  return commandLine;
}

std::wstring FakeHost::ProgramFolder() {
  EnterOrThrow("ProgramFolder");
  return programFolder;
}

std::optional<std::wstring> FakeHost::EnvironmentVariable(const std::wstring& name) {
  const std::optional<Fault> fault = Enter("EnvironmentVariable", name);
  if (fault == Fault::kThrow) ThrowInjected();
  const auto found = environment.find(name);
  if (fault || found == environment.end()) return std::nullopt;
  return found->second;
}

void FakeHost::MessageBox(const std::wstring& text) {
  EnterOrThrow("MessageBox", text);
  boxes.push_back(text);
  clockMilliseconds += boxMilliseconds;
}

DateTime FakeHost::Now() {
  EnterOrThrow("Now");
  // 2026-12-07 10:00:00 plus the clock; the tests stay within the day.
  const int64_t seconds = clockMilliseconds / 1000;
  DateTime when;
  when.year = 2026;
  when.month = 12;
  when.day = 7;
  when.hour = 10 + static_cast<int>(seconds / 3600);
  when.minute = static_cast<int>(seconds / 60 % 60);
  when.second = static_cast<int>(seconds % 60);
  when.serialSeconds = seconds;
  return when;
}

std::wstring FakeHost::FormatDateTime(const DateTime& when) {
  EnterOrThrow("FormatDateTime");
  wchar_t text[32];
  swprintf(text, 32, L"%04d-%02d-%02d %02d:%02d:%02d", when.year, when.month, when.day, when.hour,
           when.minute, when.second);
  return text;
}

void FakeHost::YieldToEvents() {
  if (Enter("YieldToEvents") == Fault::kThrow) ThrowInjected();
}

std::optional<std::wstring> FakeHost::ProfileFolder() {
  const std::optional<Fault> fault = Enter("ProfileFolder");
  if (fault == Fault::kThrow) ThrowInjected();
  if (fault) return std::nullopt;
  return profile;
}

std::unique_ptr<Reader> FakeHost::OpenForInput(const std::wstring& path) {
  EnterOrThrow("OpenForInput", path);
  if (folders.count(path) != 0) throw Error(code::kPathFileAccess);
  if (path == growingFile) return std::make_unique<FakeReader>(*this, files[path], true);
  const auto found = files.find(path);
  if (found == files.end()) throw Error(code::kFileNotFound);
  return std::make_unique<FakeReader>(*this, found->second);
}

// Recorded as OpenForInput calls: the fake has no links to refuse.
std::unique_ptr<Reader> FakeHost::OpenSuppliedFile(const std::wstring& path) {
  return OpenForInput(path);
}

std::unique_ptr<Reader> FakeHost::OpenSuppliedSettings(const std::wstring& path) {
  return OpenForInput(path);
}

std::wstring FakeHost::DecodeText(std::string_view bytes) {
  if (Enter("DecodeText") == Fault::kThrow) ThrowInjected();
  return Wide(bytes);
}

std::wstring FakeHost::DecodeConsoleText(std::string_view bytes) {
  if (Enter("DecodeConsoleText") == Fault::kThrow) ThrowInjected();
  return DecodeUtf8Escaping(bytes);
}

bool FakeHost::FileExists(const std::wstring& path) {
  const std::optional<Fault> fault = Enter("FileExists", path);
  if (fault == Fault::kThrow) ThrowInjected();
  return !fault && files.count(path) != 0;
}

bool FakeHost::FolderExists(const std::wstring& path) {
  const std::optional<Fault> fault = Enter("FolderExists", path);
  if (fault == Fault::kThrow) ThrowInjected();
  return !fault && !path.empty() && folders.count(WithoutTrailingBackslashes(path)) != 0;
}

namespace {
// A path as the fake's folder identity sees it: lower case, backslashes, no trailing one.
std::wstring IdentityText(std::wstring path) {
  for (wchar_t& c : path) {
    if (c == L'/') c = L'\\';
    if (c >= L'A' && c <= L'Z') c = static_cast<wchar_t>(c - L'A' + L'a');
  }
  return WithoutTrailingBackslashes(path);
}
}  // namespace

std::optional<FolderIdentity> FakeHost::IdentifyFolder(const std::wstring& path) {
  const std::optional<Fault> fault = Enter("IdentifyFolder", path);
  if (fault == Fault::kThrow) ThrowInjected();
  if (fault) return std::nullopt;
  std::wstring wanted = IdentityText(path);
  for (const auto& [link, target] : folderLinks) {
    if (IdentityText(link) == wanted) wanted = IdentityText(target);
  }
  uint64_t index = 1;
  for (const std::wstring& folder : folders) {
    if (IdentityText(folder) == wanted) return FolderIdentity{7, index};
    ++index;
  }
  return std::nullopt;
}

std::unique_ptr<TextStream> FakeHost::OpenStandardOutput() {
  EnterOrThrow("OpenStandardOutput");
  return std::make_unique<FakeStream>(*this, L"");
}

std::wstring FakeHost::DefaultLogFolder() {
  EnterOrThrow("DefaultLogFolder");
  return logFolder.value_or(programFolder);
}

std::wstring FakeHost::KeptSettingsFolder() {
  EnterOrThrow("KeptSettingsFolder");
  return keptSettingsFolder.value_or(programFolder);
}

CopyPlan FakeHost::PlanFolderCopy(const std::wstring& source, const std::wstring& destination,
                                  const std::vector<std::wstring>& ownFiles) {
  planOwnFiles = ownFiles;
  EnterOrThrow("PlanFolderCopy", source + L" -> " + destination);
  CopyPlan plan;
  const std::wstring below = source + L"\\";
  for (const auto& [path, bytes] : files) {
    if (path.rfind(below, 0) != 0) continue;
    ++plan.files;
    plan.bytes += bytes.size();
    if (files.count(WithoutTrailingBackslashes(destination) + L"\\" + path.substr(below.size())) !=
        0) {
      ++plan.replacing;
    }
  }
  return plan;
}

std::unique_ptr<TextStream> FakeHost::OpenLog(const std::wstring& path) {
  EnterOrThrow("OpenLog", path);
  if (folders.count(path) != 0) throw Error(code::kPathFileAccess);
  if (files.count(path) == 0) {
    if (!ParentFolderExists(path)) throw Error(code::kPathNotFound);
    files[path];
    writtenPaths.insert(path);
  }
  return std::make_unique<FakeStream>(*this, path);
}

void FakeHost::ProbeLog(const std::wstring& path) {
  EnterOrThrow("ProbeLog", path);
  if (folders.count(path) != 0) throw Error(code::kPathFileAccess);
}

void FakeHost::CopyWholeFile(const std::string& call, const std::wstring& source,
                             const std::wstring& destination) {
  const std::optional<Fault> fault = Enter(call, source + L" -> " + destination);
  if (fault && fault != Fault::kHalfWay) ThrowInjected();
  const auto found = files.find(source);
  if (found == files.end()) throw Error(code::kFileNotFound);
  if (!ParentFolderExists(destination) || destination.empty()) throw Error(code::kPathNotFound);
  writtenPaths.insert(destination);
  if (fault == Fault::kHalfWay) {
    files[destination] = found->second.substr(0, found->second.size() / 2);
    ThrowInjected();
  }
  files[destination] = found->second;
  if (ownerOnlyPaths.count(source) != 0) {
    ownerOnlyPaths.insert(destination);
  } else {
    ownerOnlyPaths.erase(destination);
  }
}

// The save and the put-back fail alike; only the access of the copy differs.
void FakeHost::CopyFileOwnerOnly(const std::wstring& source, const std::wstring& destination) {
  CopyWholeFile("CopyFileOwnerOnly", source, destination);
  ownerOnlyPaths.insert(destination);
}

void FakeHost::CopyFileKeepingAccess(const std::wstring& source, const std::wstring& destination) {
  const bool existed = files.count(destination) != 0;
  const bool wasOwnerOnly = ownerOnlyPaths.count(destination) != 0;
  CopyWholeFile("CopyFileKeepingAccess", source, destination);
  if (existed && !wasOwnerOnly) ownerOnlyPaths.erase(destination);
}

void FakeHost::RemoveFile(const std::wstring& path) {
  EnterOrThrow("RemoveFile", path);
  if (folders.count(path) != 0) throw Error(code::kPathFileAccess);
  if (files.erase(path) != 0) writtenPaths.insert(path);
}

FolderCopy FakeHost::CopyFolderContents(const std::wstring& source, const std::wstring& destination,
                                        const std::vector<std::wstring>& ownFiles) {
  const std::optional<Fault> fault = Enter("CopyFolderContents", source + L" -> " + destination);
  if (fault == Fault::kThrow) ThrowInjected();
  folderCopies.push_back({source, destination, ownFiles});
  FolderCopy copy;
  if (fault == Fault::kFail) {  // nothing copied, and only the outcome says so
    copy.notCopied.push_back({source, L"injected fault"});
    copy.notCopiedCount = 1;
    return copy;
  }
  const std::map<std::wstring, std::string> before = files;
  copy = folderCopy(source, destination);
  std::vector<std::wstring> changed;
  for (const auto& [path, bytes] : files) {
    const auto old = before.find(path);
    if (old == before.end() || old->second != bytes) changed.push_back(path);
  }
  writtenPaths.insert(changed.begin(), changed.end());
  if (fault == Fault::kHalfWay) {
    // A copy cut short: every other file it wrote, the last one first, is put back as it was.
    copy.outcome = CopyOutcome::kIncomplete;
    for (size_t back = 0; back < changed.size(); back += 2) {
      const std::wstring& path = changed[changed.size() - 1 - back];
      const auto old = before.find(path);
      if (old == before.end()) {
        files.erase(path);
      } else {
        files[path] = old->second;
      }
      copy.notCopied.push_back({path, L"injected fault"});
      ++copy.notCopiedCount;
    }
  }
  return copy;
}

RegistryAnswer FakeHost::QueryRegistryValue(RegistryView view, const std::wstring& keyPath,
                                            const std::wstring& valueName) {
  const bool is64 = view == RegistryView::k64Bit;
  const std::optional<Fault> fault =
      Enter(is64 ? "QueryRegistryValue64" : "QueryRegistryValue32", keyPath + L"\\" + valueName);
  if (fault == Fault::kThrow) ThrowInjected();
  RegistryAnswer answer;
  if (fault || (is64 ? keysNotOpened64 : keysNotOpened32).count(keyPath) != 0) {
    answer.found = RegistryAnswer::Found::kKeyNotOpened;
    return answer;
  }
  const RegistryKeys& keys = is64 ? registry64 : registry32;
  const auto key = keys.find(keyPath);
  if (key == keys.end()) return answer;
  const auto value = key->second.find(valueName);
  if (value == key->second.end()) {
    answer.found = RegistryAnswer::Found::kNoValue;
    return answer;
  }
  answer.found = RegistryAnswer::Found::kValue;
  answer.type = value->second.type;
  answer.data.assign(value->second.bytes.begin(), value->second.bytes.end());
  return answer;
}

std::wstring FakeHost::RegistryName() {
  return L"the registry";
}

std::unique_ptr<Process> FakeHost::Start(const std::wstring& command) {
  EnterOrThrow("Start", command);
  startedCommands.push_back(command);
  if (processes.empty()) {
    ADD_FAILURE() << "a process was started that the test did not script";
    throw Error(code::kFileNotFound);
  }
  const FakeProcess script = processes.front();
  processes.erase(processes.begin());
  if (script.startError) throw *script.startError;
  if (script.vanishes) return nullptr;
  return std::make_unique<FakeRunningProcess>(*this, script);
}

int32_t FakeHost::DefaultClientWaitSeconds() {
  return defaultClientWait;
}

std::optional<std::wstring> FakeHost::SubstituteClient(const std::wstring& /*clientToolsFolder*/,
                                                       const std::wstring& /*program*/) {
  return std::nullopt;
}

std::wstring FakeHost::PathAsOpened(const std::wstring& path) {
  Enter("PathAsOpened", path);
  std::wstring mapped = path;
  if (opensSlashPaths) std::replace(mapped.begin(), mapped.end(), L'\\', L'/');
  return mapped;
}

// As Windows reads a path: a relative one below currentFolder, the blanks and dots that end the
// last name dropped.
std::wstring FakeHost::FullPath(const std::wstring& path) {
  if (Enter("FullPath", path)) return path;
  const bool full = path.starts_with(L"\\\\") ||
                    (path.size() >= 3 && path[1] == L':' && (path[2] == L'\\' || path[2] == L'/'));
  std::wstring result = full || path.empty() ? path : currentFolder + L"\\" + path;
  const size_t name = result.find_last_of(L"\\/") + 1;
  while (result.size() > name && (result.back() == L' ' || result.back() == L'.'))
    result.pop_back();
  return result;
}

void FakeHost::ReportFailure(const std::wstring& line) {
  Enter("ReportFailure", line);
  failureLines.push_back(line);
}

void FakeHost::ShowProgress(const std::wstring& line) {
  if (Enter("ShowProgress", line)) return;
  progressLines.push_back(line);
}

std::optional<int64_t> FakeHost::LockRun(const std::wstring& lockFile) {
  if (Enter("LockRun", lockFile)) ThrowInjected();
  return runLockHolder;
}

}  // namespace qelrestore::test
