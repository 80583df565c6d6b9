// The outcome of an operation that can fail, returned up to the one entry
// point that turns it into a message line and an exit status.
//
// Four kinds:
//  - ok;
//  - a run-time error of a file or of the control file: error number, unit
//    and file; its line is "forrtl: severe (N): <text>, unit U, file F" and
//    the exit status is the low byte of the error number;
//  - a refusal: a run that cannot go on or whose results would be wrong
//    (parameters out of range, a negative data value, unwritten map
//    records, too little memory); its line is the message itself and the
//    exit status is 1;
//  - an interrupt: the signal number; its line is "forrtl: error (200):
//    program aborting due to <event> event" and the exit status is
//    128 + the signal number.
// A Status is a small value; copy it freely. Not synchronised: hand a Status
// between threads only through the caller's own synchronisation.
#pragma once

#include <string>
#include <utility>

namespace tsr {

class Status {
 public:
  enum class Code : unsigned char { kOk, kRuntimeError, kRefused, kInterrupted };

  // Ok.
  Status() = default;
  static Status ok() { return Status(); }
  // A run-time error (class "severe") of unit `unit`, file `file` (the full
  // path as messages show it).
  static Status runtime_error(int number, int unit, std::string file) {
    return Status(Code::kRuntimeError, number, unit, std::move(file));
  }
  // A refusal with its one-line message (no line terminator).
  static Status refused(std::string message) { return Status(Code::kRefused, 1, 0, std::move(message)); }
  // An interrupt by signal `signal_number`.
  static Status interrupted(int signal_number) { return Status(Code::kInterrupted, signal_number, 0, {}); }

  bool is_ok() const { return code_ == Code::kOk; }
  Code code() const { return code_; }
  // The error number of a run-time error, the signal of an interrupt, 1 for
  // a refusal, 0 when ok.
  int number() const { return number_; }
  // The unit of a run-time error; 0 otherwise.
  int unit() const { return unit_; }
  // The file of a run-time error, the message of a refusal; empty otherwise.
  const std::string& text() const { return text_; }

  // The line that reports the status (without a line terminator); empty when ok.
  std::string line() const;
  // The exit status of a process that ends with this status.
  int exit_status() const;

  bool operator==(const Status&) const = default;

 private:
  Status(Code code, int number, int unit, std::string text)
      : code_(code), number_(number), unit_(unit), text_(std::move(text)) {}

  Code code_ = Code::kOk;
  int number_ = 0;
  int unit_ = 0;
  std::string text_;
};

}  // namespace tsr

// Returns the status of `expr` from the calling function unless it is ok.
#define TSR_RETURN_IF_ERROR(expr)                    \
  do {                                               \
    ::tsr::Status tsr_status_ = (expr);              \
    if (!tsr_status_.is_ok()) return tsr_status_;    \
  } while (false)
