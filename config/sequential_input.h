// The run's one input file (path.conf, then db.properties), read item by item. Items are separated
// by commas and line ends (CR, LF or CR LF); blanks and tabs before an item are skipped; an item
// that begins with a double quote runs to the next double quote, without the quotes, and whatever
// follows it up to the next separator is dropped; an empty line is an empty item. Every other
// character, NUL included, belongs to its item, trailing blanks too. A UTF-8 byte-order mark at the
// start of the file (some editors write one) is not part of the first item. An item may hold up to
// kMaxItemBytes bytes, so that a file of any size is read in bounded memory.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "host/host.h"

namespace qelrestore {

class SequentialInput {
 public:
  static constexpr size_t kMaxItemBytes = 4 * 1024 * 1024;

  explicit SequentialInput(InputFiles& files) : files_(files) {}

  // Opens `path` for input; error 55 when a file is already open, the host's error when the file
  // cannot be opened (53 when it is missing). `supplied`: the file came from the backup, and a
  // symbolic link at its path or in place of its folder is refused rather than followed.
  void Open(const std::wstring& path, bool supplied = false);
  // True when no data remains. Error 52 when no file is open.
  bool AtEnd();
  // The next item. Error 62 at the end of the file, 52 when no file is open, 7 for an item longer
  // than kMaxItemBytes.
  std::wstring ReadItem();
  // Closes the file; does nothing when none is open.
  void Close();
  bool IsOpen() const { return source_ != nullptr; }

 private:
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
  std::vector<char> buffer_;
  size_t position_ = 0;
  size_t filled_ = 0;
  bool exhausted_ = false;
  bool markPending_ = false;
};

}  // namespace qelrestore
