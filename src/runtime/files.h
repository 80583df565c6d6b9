// The program's own files on top of the Env: names, units, byte order and
// the rules of opening.
//
// Every file of the program is opened in the working directory, created when
// missing and never truncated. When the file system refuses write access the
// file is opened for reading only; writing to it is then refused by the
// callers with "write to READONLY file". Image files are read and written with
// positioned transfers at 64-bit byte offsets, so products and inputs larger
// than 2 GiB work like any other.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "runtime/env.h"
#include "runtime/status.h"

namespace tsr {

// Byte-order setting of an image file, from its FORT_CONVERT<unit> variable.
enum class ConvertSetting {
  kUnset,         // variable missing or empty: values as stored on this machine
  kNative,        // "NATIVE"
  kLittleEndian,  // "LITTLE_ENDIAN"
  kBigEndian,     // "BIG_ENDIAN": the bytes of every value are reversed
  kRejected,      // any other value, including the foreign real formats
};

// Interprets the value of a FORT_CONVERT<unit> variable. Only the first 20
// characters count, trailing blanks are ignored and case does not matter; a
// value that is empty (or blank) counts as unset. "IBM", "CRAY", "VAXD",
// "VAXG", "FDX" and "FGX" name real formats this program does not support and
// are rejected like any unknown value.
ConvertSetting parse_convert_setting(std::string_view value);

// True when the setting reverses the bytes of every value read or written.
inline bool swaps_bytes(ConvertSetting setting) { return setting == ConvertSetting::kBigEndian; }

// The variable that sets the byte order of unit `unit`: "FORT_CONVERT21".
std::string convert_variable(int unit);

// The setting of unit `unit` from the Env's FORT_CONVERT<unit> variable.
ConvertSetting convert_setting_of(Env& env, int unit);

// True when an open for reading and writing failed with `err` because the file
// system refuses write access (a read-only file, an immutable file, a
// read-only mount, a running executable): the file is then opened read-only.
bool refuses_write_access(int err);

// The run-time error number of a failed open: 29 ("file not found") when the
// create failed with ENOENT (a missing directory), 9 for anything else.
int open_error_number(int err);

// The name given at an open with leading and trailing blanks removed.
std::string_view trim_file_name(std::string_view name);

// The path shown in messages: `directory`, "/", and the trimmed name (the
// trimmed name alone when it is absolute or the directory is unknown).
std::string expand_file_name(std::string_view directory, std::string_view name);

// How messages name a file of the program: its unit, its name without
// blanks ("data.bsq") and that name expanded against the working directory.
struct FileName {
  int unit = 0;
  std::string name;
  std::string full_path;
  // The run-time error `number` on this file.
  Status error(int number) const { return Status::runtime_error(number, unit, full_path); }
};

// The name of the file `name` (blanks trimmed) on unit `unit` in the Env's
// working directory.
FileName file_name_of(Env& env, int unit, std::string_view name);

// How the program opens a file of its own.
enum class ProgramOpen : uint8_t {
  // For reading and writing; created empty when missing, never truncated;
  // for reading only when the file system refuses write access.
  kReadWrite,
  // For reading only; never created.
  kReadOnly,
};

// Opens the file `name` as the program does. Errors: 29 for a missing
// directory (kReadWrite) or file (kReadOnly), 9 for a directory of that name
// or any other refusal. `*file` and `*read_only` are set only on success.
Status open_program_file(Env& env, const FileName& name, ProgramOpen how, std::unique_ptr<File>* file,
                         bool* read_only);

// A whole text file as read: its bytes and its name as messages show it.
struct FileText {
  std::string content;
  std::string full_path;
};

// Reads the whole text file `name` of the Env's working directory (`unit` in
// messages), opened for reading only and closed again; a missing file is not
// created. Errors: 29 for a missing file, 9 for a directory of that name or
// any other refused open, 39 for a failed read. `out` is filled on success;
// on a failed read its full_path is set all the same.
Status read_text_file(Env& env, int unit, std::string_view name, FileText* out);

// The same for a text file that the program opens as it opens every file of
// its own (the control file): created empty when missing (so that its read
// ends at once), never truncated, opened for reading only when write access
// is refused. The open fails as open_program_file's does.
Status read_or_create_text_file(Env& env, int unit, std::string_view name, FileText* out);

}  // namespace tsr
