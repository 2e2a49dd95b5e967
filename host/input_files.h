// What the readers of the program's text files need: path.conf, db.properties and the SQL
// client's output are read through it, and so are the parsers' fuzz targets.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace qelrestore {

// The bytes of one file, read from its start.
class Reader {
 public:
  virtual ~Reader() = default;
  // Reads up to `size` bytes into `buffer`; returns how many, 0 at the end of the file (a later
  // read returns what has been appended since). Throws when the file cannot be read.
  virtual size_t Read(char* buffer, size_t size) = 0;
  // The file's length now, or nothing where the host cannot tell. Never throws.
  virtual std::optional<uint64_t> Length() { return std::nullopt; }
};

// How the host's single-byte texts become characters.
class TextDecoder {
 public:
  virtual ~TextDecoder() = default;
  // Decodes single-byte text of the files and the registry (the ANSI code page on Windows).
  // Never throws; bytes that do not decode are kept recognisably rather than dropped.
  virtual std::wstring DecodeText(std::string_view bytes) = 0;
  // Decodes single-byte text that a console program wrote to a file: the OEM code page on
  // Windows; UTF-8 on POSIX, each byte that is not valid UTF-8 written as the four characters
  // \xNN. Never throws.
  virtual std::wstring DecodeConsoleText(std::string_view bytes) = 0;
};

class InputFiles : public TextDecoder {
 public:
  // Opens a regular file for sequential reading, without blocking (a FIFO is refused, not
  // waited on). Error 53 when it is missing; an error naming the path when it is not a regular
  // file or cannot be opened.
  virtual std::unique_ptr<Reader> OpenForInput(const std::wstring& path) = 0;
  // Opens, as OpenForInput does, a file that the backup or another program supplied (the restored
  // db.properties, the SQL client's output): a symbolic link at its path is refused, with an error
  // naming the path, never followed to a file somebody else chose. A host without such links
  // opens it as OpenForInput does.
  virtual std::unique_ptr<Reader> OpenSuppliedFile(const std::wstring& path) = 0;
  // Opens, as OpenSuppliedFile does, a settings file inside a folder the backup supplied (the
  // restored PLUV\db.properties): a symbolic link in place of that folder is refused too.
  virtual std::unique_ptr<Reader> OpenSuppliedSettings(const std::wstring& path) = 0;
};

}  // namespace qelrestore
