#include "tests/unit/fake_host.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

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

// The shell's result for a copy that could not be done (its "invalid files" code).
constexpr int32_t kShellCopyFailed = 0x7C;
constexpr int32_t kAccessDenied = 5;

std::wstring WithoutTrailingBackslashes(std::wstring path) {
  while (!path.empty() && path.back() == L'\\') path.pop_back();
  return path;
}

class FakeStream : public TextStream {
 public:
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

class FakeFileSystem : public FileSystem {
 public:
  explicit FakeFileSystem(FakeHost& host) : host_(host) {}
  bool FileExists(const std::wstring& path) override {
    const std::optional<Fault> fault = host_.Enter("FileExists", path);
    if (fault == Fault::kThrow) host_.ThrowInjected();
    return !fault && host_.files.count(path) != 0;
  }
  bool FolderExists(const std::wstring& path) override {
    const std::optional<Fault> fault = host_.Enter("FolderExists", path);
    if (fault == Fault::kThrow) host_.ThrowInjected();
    return !fault && !path.empty() && host_.folders.count(WithoutTrailingBackslashes(path)) != 0;
  }
  std::unique_ptr<TextStream> CreateTextFile(const std::wstring& path, bool overwrite) override {
    host_.EnterOrThrow("CreateTextFile", path);
    if (!host_.ParentFolderExists(path)) throw Error(code::kPathNotFound);
    if (!overwrite && host_.files.count(path) != 0) throw Error(code::kPathFileAccess);
    host_.files[path].clear();
    host_.writtenPaths.insert(path);
    return std::make_unique<FakeStream>(host_, path);
  }
  std::unique_ptr<TextStream> OpenTextFile(const std::wstring& path, int ioMode,
                                           int create) override {
    host_.EnterOrThrow("OpenTextFile", path);
    if (ioMode != 8) throw Error(code::kInvalidCall);
    if (host_.files.count(path) == 0) {
      if (create == 0) throw Error(code::kFileNotFound);
      if (!host_.ParentFolderExists(path)) throw Error(code::kPathNotFound);
      host_.files[path];
      host_.writtenPaths.insert(path);
    }
    return std::make_unique<FakeStream>(host_, path);
  }

 private:
  FakeHost& host_;
};

class FakeSource : public ByteSource {
 public:
  FakeSource(FakeHost& host, std::string bytes) : host_(host), bytes_(std::move(bytes)) {
    ++host_.openInputs;
  }
  ~FakeSource() override { --host_.openInputs; }
  size_t Read(char* buffer, size_t size) override {
    host_.EnterOrThrow("Read");
    const size_t count = std::min(size, bytes_.size() - position_);
    std::memcpy(buffer, bytes_.data() + position_, count);
    position_ += count;
    return count;
  }

 private:
  FakeHost& host_;
  std::string bytes_;
  size_t position_ = 0;
};

}  // namespace

FakeHost::FakeHost() {
  folders = {L"C:", L"C:\\qel", L"C:\\Users\\op"};
  shellCopy = [this](FileOperation& operation) {
    const std::wstring from = operation.pFrom.substr(0, operation.pFrom.size() - 1);  // "\*"
    const std::wstring to = WithoutTrailingBackslashes(operation.pTo) + L"\\";
    std::map<std::wstring, std::string> copies;
    for (const auto& [path, bytes] : files) {
      if (path.rfind(from, 0) == 0) copies[to + path.substr(from.size())] = bytes;
    }
    for (auto& [path, bytes] : copies) files[path] = bytes;
    return 0;
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
  for (const std::wstring& line : Lines(path)) {
    // Time texts here are "YYYY-MM-DD HH:MM:SS" (19 characters).
    std::wstring rest = line.size() >= 19 ? line.substr(19) : line;
    if (rest.rfind(L": ", 0) == 0) rest = rest.substr(2);
    messages.push_back(rest);
  }
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

void FakeHost::MessageBox(const std::wstring& text) {
  EnterOrThrow("MessageBox", text);
  boxes.push_back(text);
  clockMilliseconds += boxMilliseconds;
}

bool FakeHost::Unattended() {
  const std::optional<Fault> fault = Enter("Unattended");
  if (fault == Fault::kThrow) ThrowInjected();
  return !fault && unattended;
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

std::unique_ptr<FileSystem> FakeHost::CreateFileSystemObject() {
  EnterOrThrow("CreateFileSystemObject");
  return std::make_unique<FakeFileSystem>(*this);
}

std::unique_ptr<ByteSource> FakeHost::OpenForInput(const std::wstring& path) {
  EnterOrThrow("OpenForInput", path);
  if (folders.count(path) != 0) throw Error(code::kPathFileAccess);
  const auto found = files.find(path);
  if (found == files.end()) throw Error(code::kFileNotFound);
  return std::make_unique<FakeSource>(*this, found->second);
}

std::wstring FakeHost::DecodeText(std::string_view bytes) {
  if (Enter("DecodeText") == Fault::kThrow) ThrowInjected();
  return Wide(bytes);
}

void FakeHost::CopyFile(const std::wstring& source, const std::wstring& destination) {
  const std::optional<Fault> fault = Enter("CopyFile", source + L" -> " + destination);
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
}

int32_t FakeHost::SHFileOperation(FileOperation& operation) {
  const std::optional<Fault> fault =
      Enter("SHFileOperation", operation.pFrom + L" -> " + operation.pTo);
  if (fault == Fault::kThrow) ThrowInjected();
  int32_t result = kShellCopyFailed;  // kFail: nothing copied, and only the result code says so
  if (fault != Fault::kFail) {
    const std::map<std::wstring, std::string> before = files;
    result = shellCopy(operation);
    std::vector<std::wstring> changed;
    for (const auto& [path, bytes] : files) {
      const auto old = before.find(path);
      if (old == before.end() || old->second != bytes) changed.push_back(path);
    }
    if (fault == Fault::kHalfWay) {
      // An operation cut short: every other file it wrote is put back as it was.
      for (size_t i = 1; i < changed.size(); i += 2) {
        const auto old = before.find(changed[i]);
        if (old == before.end()) {
          files.erase(changed[i]);
        } else {
          files[changed[i]] = old->second;
        }
      }
      operation.fAnyOperationsAborted = true;
    }
    writtenPaths.insert(changed.begin(), changed.end());
  }
  operations.push_back(operation);
  return result;
}

std::unique_ptr<UserToken> FakeHost::OpenProcessToken() {
  const std::optional<Fault> fault = Enter("OpenProcessToken");
  if (fault == Fault::kThrow) ThrowInjected();
  if (fault || !tokenAvailable) return nullptr;
  return std::make_unique<UserToken>();
}

bool FakeHost::GetUserProfileDirectory(const UserToken* token, std::wstring& found) {
  const std::optional<Fault> fault = Enter("GetUserProfileDirectory");
  if (fault == Fault::kThrow) ThrowInjected();
  if (fault || token == nullptr || profile.empty()) return false;
  found = profile;
  return true;
}

int32_t FakeHost::RegOpenKeyEx(uint32_t rootKey, const std::wstring& subKey, uint32_t,
                               uint32_t access, RegistryKey& key) {
  const std::optional<Fault> fault =
      Enter((access & KEY_WOW64_64KEY) != 0 ? "RegOpenKeyEx64" : "RegOpenKeyEx32", subKey);
  if (fault == Fault::kThrow) ThrowInjected();
  if (fault) return kAccessDenied;
  EXPECT_EQ(rootKey, HKEY_LOCAL_MACHINE);
  EXPECT_EQ(access & KEY_READ, KEY_READ);
  const RegistryView& view = (access & KEY_WOW64_64KEY) != 0 ? registry64 : registry32;
  const auto found = view.find(subKey);
  if (found == view.end()) return ERROR_FILE_NOT_FOUND;
  key = nextKey_++;
  keys_[key] = &found->second;
  ++openRegistryKeys;
  return ERROR_SUCCESS;
}

int32_t FakeHost::RegQueryValueEx(RegistryKey key, const std::wstring& valueName, uint32_t& type,
                                  uint8_t* data, uint32_t& byteCount) {
  const std::optional<Fault> fault = Enter("RegQueryValueEx", valueName);
  if (fault == Fault::kThrow) ThrowInjected();
  if (fault) return kAccessDenied;
  const auto values = keys_.find(key);
  if (values == keys_.end()) return 6;
  const auto found = values->second->find(valueName);
  if (found == values->second->end()) return ERROR_FILE_NOT_FOUND;
  type = found->second.type;
  const auto size = static_cast<uint32_t>(found->second.bytes.size());
  if (size > byteCount) {
    byteCount = size;
    return ERROR_MORE_DATA;
  }
  std::memcpy(data, found->second.bytes.data(), size);
  byteCount = size;
  return ERROR_SUCCESS;
}

void FakeHost::RegCloseKey(RegistryKey key) {
  if (Enter("RegCloseKey") == Fault::kThrow) ThrowInjected();
  if (keys_.erase(key) != 0) --openRegistryKeys;
}

uint32_t FakeHost::StartProcess(const std::wstring& command, int windowStyle) {
  EnterOrThrow("StartProcess", command);
  EXPECT_EQ(windowStyle, 3);
  startedCommands.push_back(command);
  if (processes.empty()) {
    ADD_FAILURE() << "a process was started that the test did not script";
    throw Error(code::kFileNotFound);
  }
  const FakeProcess script = processes.front();
  processes.erase(processes.begin());
  if (script.startError) throw *script.startError;
  const auto id = static_cast<uint32_t>(1000 + startedCommands.size());
  started_[id] = {script, clockMilliseconds};
  return id;
}

void FakeHost::YieldToEvents() {
  if (Enter("YieldToEvents") == Fault::kThrow) ThrowInjected();
}

ProcessHandle FakeHost::OpenProcess(uint32_t access, bool inherit, uint32_t processId) {
  const std::optional<Fault> fault = Enter("OpenProcess");
  if (fault == Fault::kThrow) ThrowInjected();
  if (fault) return 0;
  EXPECT_EQ(access, SYNCHRONIZE);
  EXPECT_FALSE(inherit);
  const auto found = started_.find(processId);
  if (found == started_.end() || found->second.script.vanishes) return 0;
  const ProcessHandle handle = nextHandle_++;
  handles_[handle] = processId;
  ++openProcessHandles;
  return handle;
}

WaitOutcome FakeHost::WaitForSingleObject(ProcessHandle handle, uint32_t milliseconds) {
  const std::optional<Fault> fault = Enter("WaitForSingleObject");
  if (fault == Fault::kThrow) ThrowInjected();
  const Started& process = started_.at(handles_.at(handle));
  if (fault || process.script.waitFails) return WaitOutcome::kFailed;
  const int64_t endsAt = process.startedAt + process.script.runMilliseconds;
  if (process.script.runMilliseconds >= 0 && endsAt <= clockMilliseconds + milliseconds) {
    clockMilliseconds = std::max(clockMilliseconds, endsAt);
    return WaitOutcome::kEnded;
  }
  clockMilliseconds += milliseconds;
  return WaitOutcome::kTimedOut;
}

void FakeHost::CloseHandle(ProcessHandle handle) {
  if (Enter("CloseHandle") == Fault::kThrow) ThrowInjected();
  if (handles_.erase(handle) != 0) --openProcessHandles;
}

}  // namespace qelrestore::test
