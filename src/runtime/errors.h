// Run-time error reporting and the ways a run ends.
//
// Every failure of a file or of the control file is reported by one line on
// standard error, "forrtl: severe (NN): <text>", after which every open file
// is closed and the process ends with the error number as its exit status.
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

// Writes the message line to standard error. For a severe code it then closes
// every open file and ends the process with the error number as exit status.
[[noreturn]] void raise_runtime_error(ErrorCode code, int unit, std::string_view file);

// The normal stop: closes every open file and ends the process with status 0.
[[noreturn]] void stop_run();

// Ends a run that cannot go on with one plain line on standard error (no
// "forrtl" prefix), closing every open file; exit status 1. Used where a silent
// stop would report a failed run as a success.
[[noreturn]] void fail_run(std::string_view message);

// Writes one line (a line feed is appended) to standard error, honouring FORT0.
void write_error_line(std::string_view line);

// Settings made once before anything else: the floating-point environment
// (53-bit precision, round to nearest, no traps) and the interrupt handlers.
void start_runtime();

// True once SIGINT, SIGQUIT, SIGHUP or SIGTERM has arrived. Safe to call from any thread.
bool interrupt_pending();

// Writes "forrtl: error (200): program aborting due to <event> event", closes
// every open file and ends the process with status 128 + the signal number.
// Only the main thread calls it, between pixels, never inside a file transfer.
[[noreturn]] void honour_interrupt();

// Text of the event for a signal: "control-C", "control-BREAK", "menu-CLOSE" or "unknown".
std::string_view interrupt_event_name(int signal_number);

// Registry of everything that must be flushed and closed when the run ends.
// Files register themselves when opened and unregister when closed.
class Closable {
 public:
  virtual ~Closable() = default;
  virtual void close() = 0;
};
void register_open_file(Closable* file);
void unregister_open_file(Closable* file);
// Closes every registered file (flushing what is buffered); closing twice is harmless.
void close_all_files();

}  // namespace tsr
