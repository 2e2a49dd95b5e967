// The run's one input file (path.conf, then db.properties), read item by item. Items are separated
// by commas and line ends (CR, LF or CR LF); blanks and tabs before an item are skipped; an item
// that begins with a double quote runs to the next double quote, without the quotes, and whatever
// follows it up to the next separator is dropped; an empty line is an empty item. Every other
// character, NUL included, belongs to its item, trailing blanks too. A UTF-8 byte-order mark at the
// start of the file (some editors write one) is not part of the first item. An item may hold up to
// kMaxItemBytes bytes, so that a file of any size is read in bounded memory; a file the backup
// supplied may hold up to kMaxSuppliedFileBytes bytes, so that its reading ends in bounded time
// however long it says it is (a sparse file may claim terabytes on a few blocks of disk).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "host/input_files.h"

namespace qelrestore {

class SequentialInput {
 public:
  static constexpr size_t kMaxItemBytes = 4 * 1024 * 1024;
  static constexpr uint64_t kMaxSuppliedFileBytes = 16 * 1024 * 1024;

  explicit SequentialInput(InputFiles& files) : files_(files) {}

  // Opens `path` for input; error 55 when a file is already open, the host's error when the file
  // cannot be opened (53 when it is missing). `supplied`: the file came from the backup, and a
  // symbolic link at its path or in place of its folder is refused rather than followed, and
  // reading past kMaxSuppliedFileBytes is error 7 naming the file.
  void Open(const std::wstring& path, bool supplied = false);
  // True when no data remains. Error 52 when no file is open.
  bool AtEnd();
  // The next item. Error 62 at the end of the file, 52 when no file is open, 7 for an item longer
  // than kMaxItemBytes.
  std::wstring ReadItem();
  // True when the last item was not quoted and a comma ended it with more of its line after it:
  // the item may be the start of a value that holds a comma.
  bool LastItemCutByComma() const { return cutByComma_; }
  // The rest of the current line as it stands, quotes and commas kept; its line end is taken.
  std::wstring ReadRestOfLine();
  // Closes the file; does nothing when none is open.
  void Close();
  bool IsOpen() const { return source_ != nullptr; }

 private:
  // Reads into the buffer at `at`; counts what a supplied file has given. 0 at the end.
  size_t Fill(size_t at);
  // The next byte without taking it, or -1 at the end of the file.
  int Peek();
  int Take();
  // Takes the bytes up to the first one `isStop` accepts and takes that one too; appends them,
  // without the stop byte, to `item` unless it is null. Returns the stop byte, or -1 at the end.
  template <typename IsStop>
  int TakeUntil(std::string* item, IsStop isStop);
  void SkipSeparatorAfter(int separator);
  void SkipByteOrderMark();

  InputFiles& files_;
  std::unique_ptr<Reader> source_;
  std::wstring path_;
  uint64_t limit_ = 0;  // bytes a file may hold; 0 for no limit
  uint64_t taken_ = 0;
  std::vector<char> buffer_;
  size_t position_ = 0;
  size_t filled_ = 0;
  bool exhausted_ = false;
  bool markPending_ = false;
  bool cutByComma_ = false;
};

}  // namespace qelrestore
