// The two kinds of read that the control file cntl.dat is made of: the
// list-directed read of integer values and the namelist group read.
//
// Everything here works on the text of the file held in memory; nothing
// touches the operating system. A read that the text does not allow returns
// its run-time error (17, 18, 19, 24, 59 or 64, Status::read_error) with the
// detail that helps a person mend the file: the line (from 1; at the end of
// the file, the line after the last one read), the item being read ("NB",
// "NFUNC", "&DATA", "excluded band 2"), the text found there (empty at the
// end of the file) and what belongs there. The caller names the file
// (Status::in_file) and decides how the run ends. Reading is linear in the
// size of the text: no recursion, and no storage beyond copies of single
// tokens.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <span>
#include <string>
#include <string_view>

#include "runtime/console.h"
#include "runtime/status.h"

namespace tsr {

// Receives each console line that reading produces (the echo of the band
// list, the listing written for a query in a group).
using ConsoleSink = std::function<void(std::initializer_list<ListItem>)>;

// Cuts the text into records at line feeds. A carriage return directly
// before the line feed is dropped, a record holding only the byte 0x1A is the
// end of the file, and bytes after the last line feed are never a record.
class RecordSource {
 public:
  RecordSource() = default;
  explicit RecordSource(std::string_view text) : text_(text) {}

  // Delivers the next record; false at the end of the file (and ever after).
  bool next(std::string_view& record);

  // Byte offset in the text where the next record begins: just past the line
  // feed of the last record delivered (0 before the first).
  size_t position() const { return pos_; }
  // Line number (from 1) of the last record delivered; 0 before the first.
  int line() const { return line_; }
  // The text of the line after the last record delivered, up to its line
  // feed or the end of the text (what an end of the file left unread).
  std::string_view rest_of_line() const;

 private:
  std::string_view text_;
  size_t pos_ = 0;
  int line_ = 0;
  bool at_end_ = false;
};

enum class ItemType { kInt4, kInt1, kReal8 };

// One member of a namelist group and the storage that receives its value.
struct GroupItem {
  std::string_view name;
  ItemType type;
  union {
    int32_t* int4;
    int8_t* int1;
    double* real8;
  } storage;
};

inline GroupItem group_int4(std::string_view name, int32_t* s) {
  GroupItem item{name, ItemType::kInt4, {}};
  item.storage.int4 = s;
  return item;
}
inline GroupItem group_int1(std::string_view name, int8_t* s) {
  GroupItem item{name, ItemType::kInt1, {}};
  item.storage.int1 = s;
  return item;
}
inline GroupItem group_real8(std::string_view name, double* s) {
  GroupItem item{name, ItemType::kReal8, {}};
  item.storage.real8 = s;
  return item;
}

struct GroupDescriptor {
  std::string_view name;
  std::span<const GroupItem> items;
};

// Writes the group with the current values of its items, one line each:
// "&NAME", "ITEM = value," ... (no comma after the last), "/".
void list_group(const GroupDescriptor& group, const ConsoleSink& sink);

// Spelling of an 8-byte real in a group listing: the shortest text that reads
// back to the same value, always with a '.' or an exponent.
std::string format_real_value(double value);

// Reads the records of one control file in order. Every read starts with the
// first record that no earlier read has taken, and whatever is left of the
// last record a read looked at is dropped.
class ControlReader {
 public:
  ControlReader(std::string_view text, ConsoleSink sink);

  // List-directed read into the integer items, in order. Items that a null
  // value or a slash leaves out keep their values. `names` (one per item, or
  // none) name the items in the detail of a failed read.
  Status read_value_list(std::span<int32_t* const> items, std::span<const std::string_view> names = {});
  Status read_value_list(std::initializer_list<int32_t*> items,
                         std::initializer_list<std::string_view> names = {}) {
    return read_value_list(std::span<int32_t* const>(items.begin(), items.size()),
                           std::span<const std::string_view>(names.begin(), names.size()));
  }

  // Finds the group (marker '&' or '$' and its name) and assigns the items
  // written inside it, up to the marker that closes it.
  Status read_group(const GroupDescriptor& group);

  // Byte offset in the text of the first record that no read has taken yet.
  // Everything before it has been consumed, including the rest of the last
  // record a read looked at; so the records one read took are the bytes
  // between the positions before and after it.
  size_t position() const { return source_.position(); }

 private:
  void read_values(std::span<int32_t* const> items, std::span<const std::string_view> names);

  RecordSource source_;
  ConsoleSink sink_;
};

// Conversions shared by both reads, exposed for the tests.
//
// An integer value of a list read: decimal digits with an optional leading
// sign, in the 4-byte range. Returns false for anything else.
bool parse_list_integer(std::string_view text, int32_t& value);
// A real spelling: optional sign, digits with at most one '.', at least one
// digit, then optionally an exponent letter E, D or Q (either case), an
// optional sign and digits. Returns false when the spelling is not of that
// form or the value overflows the 8-byte range.
bool parse_real(std::string_view text, double& value);
// An integer of a group: optional sign and digits, taken as a 64-bit integer
// (signed when negative, unsigned otherwise). Returns false when it does not
// fit. `bits` receives the two's complement bits.
bool parse_group_integer(std::string_view text, uint64_t& bits);
// Truncation of a real toward zero to a 64-bit integer as the processor does
// it: values that do not fit (and NaN) give the most negative integer.
int64_t truncate_to_int64(double value);

}  // namespace tsr
