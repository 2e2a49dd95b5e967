// The content of one regular file, moved into a new file: holes stay holes, and the kernel's fast
// paths are used where the file systems allow.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <cstddef>
#include <vector>

namespace qelrestore::posix {

class FileDataCopier {
 public:
  // `bufferSize`: the read/write path's buffer; memory for buffers stays the same whatever the
  // number of workers sharing it out.
  explicit FileDataCopier(size_t bufferSize = size_t{256} << 10) : bufferSize_(bufferSize) {}
  static size_t BufferFor(unsigned workers);

  // Copies the content of `in` (`source` is its fstat, taken at the open) into `out`, a new and
  // empty file. A file whose allocated blocks fall short of its length is copied extent by extent
  // (SEEK_DATA / SEEK_HOLE), the holes left unwritten and the length set last; any other file is
  // cloned (reflink), moved with copy_file_range, or read and written, whichever the file systems
  // allow. At most `source.st_size` bytes are copied, however long the file has grown since.
  // Returns 0, or the errno of the failure.
  int Copy(int in, int out, const struct stat& source);
  // True when the first `size` bytes of `a` and `b` are the same and both could be read. Reads by
  // offset. With `sparse` (either file has holes), the two are walked extent by extent
  // (SEEK_DATA / SEEK_HOLE): a range that is a hole in both is equal without being read, so a
  // large sparse file costs time in proportion to its data, not to its length.
  bool SameContent(int a, int b, off_t size, bool sparse = false);

 private:
  // Copies the bytes [from, to) of `in` to the same offsets of `out`; stops early when the file
  // ends before `to` (it shrank while being copied).
  int CopyRange(int in, int out, off_t from, off_t to);
  int CopySparse(int in, int out, off_t size);
  bool SameBytes(int a, int b, off_t from, off_t to);

  // Each refusal of a whole kind (not on this file system) is remembered: a large copy asks the
  // kernel once, not once per file.
  size_t bufferSize_;
  bool cloneRefused_ = false;
  bool rangeRefused_ = false;
  bool seekRefused_ = false;
  std::vector<char> buffer_;    // the read/write path's buffer, allocated on first use
  std::vector<char> compared_;  // the second file's bytes while two files are compared
};

}  // namespace qelrestore::posix
