// The copy's workers: the entries handed out, the report and the counts they share, and how a
// failure of one ends them all.
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <exception>
#include <memory>
#include <thread>
#include <utility>

#include "copy/copy_walker.h"

namespace qelrestore::posix {
namespace {

// Failures kept beyond those named, before the list is sorted and cut back: the names reported
// are the first by path, whichever order the workers met them in.
constexpr size_t kFailuresKept = 2 * kNotCopiedNamed;

bool ByPath(const CopyFailure& a, const CopyFailure& b) {
  return a.path < b.path;
}

// The workers `asked` stands for: itself within 1 to kMaxCopyWorkers, or for 0 one per core, at
// most kDefaultMaxCopyWorkers.
unsigned WorkersFor(unsigned asked) {
  if (asked != 0) return std::min(asked, kMaxCopyWorkers);
  return std::clamp(std::thread::hardware_concurrency(), 1u, kDefaultMaxCopyWorkers);
}

}  // namespace

void KeepFirstByPath(std::vector<CopyFailure>& failures, CopyFailure failure) {
  failures.push_back(std::move(failure));
  if (failures.size() < kFailuresKept) return;
  std::sort(failures.begin(), failures.end(), ByPath);
  failures.resize(kNotCopiedNamed);
}

void SortFirstByPath(std::vector<CopyFailure>& failures) {
  std::sort(failures.begin(), failures.end(), ByPath);
  if (failures.size() > kNotCopiedNamed) failures.resize(kNotCopiedNamed);
}

// Entries waiting for a worker: enough that the walk runs a few folders ahead of the workers (who
// then create names in other folders than the walk's own, rather than queueing on one folder's
// lock), few enough that their names stay a few hundred KiB whatever the number of workers.
CopyRun::CopyRun(const CopyOptions& options, const CopyProgress& progressCallback)
    : progress(progressCallback),
      workers(WorkersFor(options.workers)),
      ownFiles(options.ownFiles),
      recordRoot(options.recordFolder),
      queue(std::min<size_t>(256 * size_t{workers}, 1024)) {}

void CopyRun::Fail(std::string path, std::string_view reason) {
  const std::lock_guard<std::mutex> lock(reportLock_);
  report_.complete = false;
  ++report_.failureCount;
  KeepFirstByPath(report_.failures, {std::move(path), std::string(reason)});
}

void CopyRun::Counted(uint64_t bytes, bool unchanged) {
  const std::lock_guard<std::mutex> lock(countLock_);
  ++done_.files;
  done_.bytes += bytes;
  if (unchanged) ++done_.unchanged;
  if (progress) progress(done_);
}

void CopyRun::Abort(std::exception_ptr failure) {
  {
    const std::lock_guard<std::mutex> lock(reportLock_);
    if (!abort_) abort_ = std::move(failure);
  }
  stop.store(true);
}

CopyReport CopyRun::TakeReport() {
  const std::lock_guard<std::mutex> lock(reportLock_);
  SortFirstByPath(report_.failures);
  report_.leftoversRemoved = leftoversRemoved.load();
  return std::move(report_);
}

std::exception_ptr CopyRun::TakeAbort() {
  const std::lock_guard<std::mutex> lock(reportLock_);
  return std::move(abort_);
}

CopyWalker::CopyWalker(CopyRun& run) : run_(run), data_(FileDataCopier::BufferFor(run.workers)) {}

void CopyWalker::Serve() {
  EntryTask task;
  while (run_.queue.Pop(task)) RunTask(task);
}

void CopyWalker::Dispatch(const std::shared_ptr<FolderJob>& folder, const char* name,
                          unsigned char type) {
  if (run_.workers == 1) {
    CopyEntry(::dirfd(folder->source.get()), name, type,
              {folder->targetFd, folder->defaultAcl, folder->window, folder->record.get()});
    return;
  }
  folder->pending.fetch_add(1);
  EntryTask task{folder, name, type};
  if (!run_.queue.TryPush(std::move(task))) RunTask(task);
}

void CopyWalker::RunTask(EntryTask& task) {
  if (!run_.stop.load(std::memory_order_relaxed)) {
    const FolderJob* const outer = std::exchange(folder_, task.folder.get());
    try {
      CopyEntry(::dirfd(task.folder->source.get()), task.name.c_str(), task.type,
                {task.folder->targetFd, task.folder->defaultAcl, task.folder->window,
                 task.folder->record.get()});
    } catch (...) {
      DropTemporary();
      run_.Abort(std::current_exception());
    }
    folder_ = outer;
  }
  Release(std::move(task.folder));
}

void CopyWalker::Release(std::shared_ptr<FolderJob> folder) {
  while (folder && folder->pending.fetch_sub(1) == 1) {
    // Every entry is done: what was noted is the folder's record now, a copy stopped early too.
    if (folder->record) folder->record->Save();
    if (folder->parent && !run_.stop.load()) {
      try {
        FinishFolder(*folder);
      } catch (...) {
        run_.Abort(std::current_exception());
      }
    }
    std::shared_ptr<FolderJob> parent = std::move(folder->parent);
    folder->source.reset();
    folder->target.reset();
    folder.reset();
    --run_.openFolders;
    run_.queue.Notify();
    folder = std::move(parent);
  }
}

void CopyWalker::DropTemporary() {
  if (temporaryFolder_ >= 0) ::unlinkat(temporaryFolder_, temporary_, 0);
  temporaryFolder_ = -1;
}

OwnFiles::OwnFiles(const std::vector<std::string>& paths) {
  for (const std::string& path : paths) {
    const size_t slash = path.rfind('/');
    Entry own{path.substr(0, slash + 1), path.substr(slash + 1), false};
    if (own.name.empty()) continue;
    own.prefix = own.name.back() == '*';
    if (own.prefix) own.name.pop_back();
    entries_.push_back(std::move(own));
  }
}

CopyReport CopyFolderContents(const std::string& sourceFolder, const std::string& destinationFolder,
                              const CopyOptions& options, const CopyProgress& progress) {
  CopyRun run(options, progress);
  std::vector<std::unique_ptr<CopyWalker>> walkers;
  std::vector<std::thread> threads;
  walkers.push_back(std::make_unique<CopyWalker>(run));
  // Threads that cannot be started leave the work to those that were.
  try {
    for (unsigned i = 1; i < run.workers; ++i) {
      walkers.push_back(std::make_unique<CopyWalker>(run));
      threads.emplace_back([walker = walkers.back().get()] { walker->Serve(); });
    }
  } catch (...) {
  }
  try {
    walkers.front()->Walk(sourceFolder, destinationFolder);
  } catch (...) {
    run.Abort(std::current_exception());
  }
  run.queue.Close();
  for (std::thread& thread : threads) thread.join();
  if (const std::exception_ptr failure = run.TakeAbort()) std::rethrow_exception(failure);
  return run.TakeReport();
}

}  // namespace qelrestore::posix
