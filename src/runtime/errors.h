// Run-time error numbers, their message texts and the layout of the lines
// that report them.
//
// Every failure of a file or of the control file is reported by one line on
// standard error, "forrtl: severe (NN): <text>"; an interrupt by
// "forrtl: error (200): program aborting due to <event> event". Only the
// entry point writes these lines (see Status).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace tsr {

// Error numbers shown in the message line (the low 16 bits of an ErrorCode).
enum ErrorNumber : int {
  kErrPermissionDenied = 9,
  kErrNamelistSyntax = 17,
  kErrTooManyValues = 18,
  kErrInvalidReference = 19,
  kErrEndOfFile = 24,
  kErrRecordOutOfRange = 25,
  kErrFileNotFound = 29,
  kErrNonExistentRecord = 36,
  kErrWrite = 38,
  kErrRead = 39,
  kErrInconsistentOpen = 46,
  kErrWriteReadOnly = 47,
  kErrListSyntax = 59,
  kErrInputConversion = 64,
  kErrInterrupt = 200,
};

// An ErrorCode carries its severity class in the top two bits.
using ErrorCode = uint32_t;
constexpr ErrorCode kClassError = 0x80000000u;   // "forrtl: error"
constexpr ErrorCode kClassSevere = 0xC0000000u;  // "forrtl: severe"
constexpr ErrorCode severe(int number) { return kClassSevere | static_cast<uint32_t>(number); }

// Message text of an error number with its "%d" (unit) and "%s" (file) placeholders;
// empty for a number the program never raises.
std::string_view message_text(int number);

// The complete message line, without a line terminator, e.g.
// "forrtl: severe (24): end-of-file during read, unit 15, file /dir/cntl.dat".
std::string format_error_line(ErrorCode code, int unit, std::string_view file);

// Text of the event for a signal: "control-C", "control-BREAK", "menu-CLOSE" or "unknown".
std::string_view interrupt_event_name(int signal_number);

}  // namespace tsr
