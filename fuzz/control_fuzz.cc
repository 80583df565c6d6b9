// libFuzzer target for the control-file reader.
//
// Any text at all, read as cntl.dat, must end in one of two ways: complete
// run parameters (or a refusal of out-of-range values by the completion), or
// a run-time error with one of the error numbers the reader is allowed to
// raise and the detail of where it stopped. A crash, a hang, a sanitizer report, another exception or another
// error number is a finding. The target also checks that a completed record
// is consistent and that reading is deterministic.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "control/control_syntax.h"
#include "control/run_parameters.h"
#include "runtime/console.h"

namespace {

[[noreturn]] void finding(const char* what) {
  std::fprintf(stderr, "control_fuzz: %s\n", what);
  std::abort();
}

bool allowed_error(int number) {
  switch (number) {
    case 17: case 18: case 19: case 24: case 59: case 64:
      return true;
    default:
      return false;
  }
}

// Outcome of one read: the error number (0 for none), the record and a
// digest of the console lines.
struct Outcome {
  int error = 0;
  tsr::RunParameters params;
  std::string console;
  std::string refusal;
};

Outcome read_once(std::string_view text) {
  Outcome o;
  // The console lines are laid out as the program would write them; the
  // layout code runs on every line the reader produces.
  const tsr::ConsoleSink sink = [&o](std::initializer_list<tsr::ListItem> items) {
    const std::string line = tsr::format_list_line(items);
    if (line.empty() || line.back() != '\n') finding("console line without a line end");
    // Bounded: the digest keeps a prefix only, so huge query listings do not
    // make the fuzzer itself allocate without limit.
    if (o.console.size() < 65536) o.console += line;
  };
  const tsr::Status read = tsr::read_control_text(text, o.params, sink);
  if (!read.is_ok()) {
    if (read.code() != tsr::Status::Code::kRuntimeError || !allowed_error(read.number()))
      finding("unexpected error number");
    // Every error says where and what: a line within the text (or the one
    // after its last), the item read, and what belongs there.
    const tsr::Status::Detail& at = read.detail();
    if (at.line < 1 || at.item.empty() || at.expected.empty()) finding("error without its place");
    o.error = read.number();
    return o;
  }
  o.refusal = tsr::derive_run_parameters(o.params).message();
  return o;
}

void check_complete(const tsr::RunParameters& p) {
  if (p.NB < 3 || p.NB > 200) finding("accepted NB outside 3..200");
  if (p.NDAT != p.NB) finding("NDAT not replaced by NB");
  if (p.NDEF < 0 || p.NDEF > p.NB) finding("accepted NDEF outside 0..NB");
  if (p.NFUNC < 0 || p.NFUNC > 6) finding("accepted NFUNC outside 0..6");
  if (p.NPOINT <= 0) finding("accepted NPOINT of 0 or less");
  if (p.NWIN < 0) finding("accepted negative NWIN");
  if (p.NP != 2 * p.NFUNC + 2) finding("NP is not 2 * NFUNC + 2");
  if (p.excluded_count < 0 || p.excluded_count > p.NDEF || p.excluded_count > tsr::kMaxExcludedBands)
    finding("excluded_count out of range");
  for (int32_t k = 0; k < p.excluded_count; ++k) {
    if (p.excluded_bands[k] < 1 || p.excluded_bands[k] > p.NB) finding("excluded band outside 1..NB");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // The text is copied into a buffer of exactly its size, so that a read
  // past its end is caught by the address sanitizer.
  char* copy = static_cast<char*>(std::malloc(size == 0 ? 1 : size));
  if (size > 0) std::memcpy(copy, data, size);
  const std::string_view text(copy, size);

  const Outcome first = read_once(text);
  if (first.error == 0) {
    if (first.refusal.empty()) check_complete(first.params);
    else if (first.refusal.find('\n') != std::string::npos) finding("refusal of more than one line");
  }
  // Reading keeps no state between runs: a second read gives the same result.
  const Outcome second = read_once(text);
  if (second.error != first.error || second.console != first.console || second.refusal != first.refusal)
    finding("second read differs");
  if (first.error == 0 && first.refusal.empty() && !(first.params == second.params))
    finding("second read gives another record");

  std::free(copy);
  return 0;
}
