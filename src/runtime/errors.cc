#include "runtime/errors.h"

#include <signal.h>

#include "runtime/status.h"

namespace tsr {
namespace {

struct CatalogueEntry {
  int number;
  std::string_view text;
};

constexpr CatalogueEntry kCatalogue[] = {
    {kErrPermissionDenied, "permission to access file denied, unit %d, file %s"},
    {kErrNamelistSyntax, "syntax error in NAMELIST input, unit %d, file %s"},
    {kErrTooManyValues, "too many values for NAMELIST variable, unit %d, file %s"},
    {kErrInvalidReference, "invalid reference to variable in NAMELIST input, unit %d, file %s"},
    {kErrEndOfFile, "end-of-file during read, unit %d, file %s"},
    {kErrRecordOutOfRange, "record number outside range, unit %d, file %s"},
    {kErrFileNotFound, "file not found, unit %d, file %s"},
    {kErrNonExistentRecord, "attempt to access non-existent record, unit %d, file %s"},
    {kErrWrite, "error during write, unit %d, file %s"},
    {kErrRead, "error during read, unit %d, file %s"},
    {kErrInconsistentOpen, "inconsistent OPEN/CLOSE parameters, unit %d, file %s"},
    {kErrWriteReadOnly, "write to READONLY file, unit %d, file %s"},
    {kErrListSyntax, "list-directed I/O syntax error, unit %d, file %s"},
    {kErrInputConversion, "input conversion error, unit %d, file %s"},
    {kErrInterrupt, "program aborting due to %s event"},
};

}  // namespace

std::string_view message_text(int number) {
  for (const auto& entry : kCatalogue) {
    if (entry.number == number) return entry.text;
  }
  return {};
}

std::string format_error_line(ErrorCode code, int unit, std::string_view file) {
  const int number = static_cast<int>(code & 0xFFFFu);
  std::string line = ((code >> 30) == 3u) ? "forrtl: severe" : "forrtl: error";
  line += " (" + std::to_string(number) + "): ";
  std::string_view text = message_text(number);
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '%' && i + 1 < text.size() && text[i + 1] == 'd') {
      line += std::to_string(unit);
      ++i;
    } else if (text[i] == '%' && i + 1 < text.size() && text[i + 1] == 's') {
      line += file;
      ++i;
    } else {
      line += text[i];
    }
  }
  return line;
}

std::string_view interrupt_event_name(int signal_number) {
  switch (signal_number) {
    case SIGINT: return "control-C";
    case SIGQUIT: return "control-BREAK";
    case SIGHUP: return "menu-CLOSE";
    default: return "unknown";
  }
}

std::string Status::message() const {
  switch (code_) {
    case Code::kOk: return {};
    case Code::kRuntimeError: return format_error_line(severe(number_), unit_, text_);
    case Code::kRefused: return text_;
    case Code::kInterrupted:
      return format_error_line(kClassError | kErrInterrupt, 0, interrupt_event_name(number_));
  }
  return {};
}

std::string Status::line(std::string_view program) const {
  if (code_ != Code::kRefused || program.empty()) return message();
  std::string line(program);
  line += ": ";
  line += text_;
  return line;
}

int Status::exit_status() const {
  switch (code_) {
    case Code::kOk: return 0;
    case Code::kRuntimeError: return number_ & 0xFF;
    case Code::kRefused: return 1;
    case Code::kInterrupted: return 128 + number_;
  }
  return 1;
}

}  // namespace tsr
