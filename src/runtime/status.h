// The outcome of an operation that can fail, returned up to the one entry
// point that turns it into a message line and an exit status.
//
// Four kinds:
//  - ok;
//  - a run-time error of a file or of the control file: error number, unit
//    and file; its line is "forrtl: severe (N): <text>, unit U, file F" and
//    the exit status is the low byte of the error number. A failed read of a
//    text (the control file) also says where it stopped and why (Detail), for
//    messages that help a person mend the text; the line does not show it;
//  - a refusal: a run that cannot go on or whose results would be wrong
//    (parameters out of range, a negative data value, unwritten map
//    records, too little memory); its message names no program, the entry
//    point puts its name before it ("tsrecon: ..."), and the exit status is 1;
//  - an interrupt: the signal number; its line is "forrtl: error (200):
//    program aborting due to <event> event" and the exit status is
//    128 + the signal number.
// A Status is a small value; copy it freely. Not synchronised: hand a Status
// between threads only through the caller's own synchronisation.
#pragma once

#include <string>
#include <string_view>
#include <utility>

namespace tsr {

class Status {
 public:
  enum class Code : unsigned char { kOk, kRuntimeError, kRefused, kInterrupted };

  // Where a read of a text stopped and why.
  struct Detail {
    int line = 0;          // line of the text, from 1 (at its end, the line after the last one read); 0: not known
    std::string item;      // what was being read: "NB", "&DATA", "excluded band 2 of NDEF=2"
    std::string found;     // the text found there; empty at the end of the text
    std::string expected;  // what belongs there
    bool operator==(const Detail&) const = default;
  };

  // Ok.
  Status() = default;
  static Status ok() { return Status(); }
  // A run-time error (class "severe") of unit `unit`, file `file` (the full
  // path as messages show it).
  static Status runtime_error(int number, int unit, std::string file) {
    return Status(Code::kRuntimeError, number, unit, std::move(file));
  }
  // A run-time error of a text read in memory, with its detail; the reader's
  // caller names the file with in_file.
  static Status read_error(int number, Detail detail) {
    Status s(Code::kRuntimeError, number, 0, {});
    s.detail_ = std::move(detail);
    return s;
  }
  // A refusal with its one-line message (no program name, no line terminator).
  static Status refused(std::string message) { return Status(Code::kRefused, 1, 0, std::move(message)); }
  // An interrupt by signal `signal_number`.
  static Status interrupted(int signal_number) { return Status(Code::kInterrupted, signal_number, 0, {}); }

  // This status as a run-time error on unit `unit`, file `file`, its number
  // and detail kept; any other status unchanged.
  Status in_file(int unit, std::string file) const {
    if (code_ != Code::kRuntimeError) return *this;
    Status s = runtime_error(number_, unit, std::move(file));
    s.detail_ = detail_;
    return s;
  }

  bool is_ok() const { return code_ == Code::kOk; }
  Code code() const { return code_; }
  // The error number of a run-time error, the signal of an interrupt, 1 for
  // a refusal, 0 when ok.
  int number() const { return number_; }
  // The unit of a run-time error; 0 otherwise.
  int unit() const { return unit_; }
  // The file of a run-time error, the message of a refusal; empty otherwise.
  const std::string& text() const { return text_; }
  // Where a failed read of a text stopped; empty (line 0) otherwise.
  const Detail& detail() const { return detail_; }

  // What the status reports, without a program name and a line terminator
  // (empty when ok): the message of a refusal, the "forrtl: ..." line of a
  // run-time error or an interrupt.
  std::string message() const;
  // The line that `program` writes for this status (without a line
  // terminator; empty when ok): "program: message" for a refusal; the
  // message alone otherwise, which no program name precedes.
  std::string line(std::string_view program) const;
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
  Detail detail_;
};

}  // namespace tsr

// Returns the status of `expr` from the calling function unless it is ok.
#define TSR_RETURN_IF_ERROR(expr)                    \
  do {                                               \
    ::tsr::Status tsr_status_ = (expr);              \
    if (!tsr_status_.is_ok()) return tsr_status_;    \
  } while (false)
