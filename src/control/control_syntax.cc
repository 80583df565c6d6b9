#include "control/control_syntax.h"

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <string>

#include "runtime/errors.h"

namespace tsr {

namespace {

// Where a read stands: the line and the item it reads.
struct Place {
  int line = 0;
  std::string_view item;
};

// A read that the text does not allow. Thrown inside this file only: the
// readers unwind to ControlReader's public calls, which return the status.
struct ReadFailure {
  Status status;
};

[[noreturn]] void fail(int number, const Place& at, std::string_view found, std::string expected) {
  throw ReadFailure{Status::read_error(
      number, Status::Detail{at.line, std::string(at.item), std::string(found), std::move(expected)})};
}

// Runs one read; a failure inside it becomes its status.
template <typename Read>
Status run_read(Read&& read) {
  try {
    read();
  } catch (const ReadFailure& failure) {
    return failure.status;
  }
  return Status::ok();
}

// What an end of the file adds to the expectation: `rest` is what is left
// after the last line feed.
std::string end_note(std::string_view rest) {
  return rest.empty() ? "; the file ends here"
                      : "; the file ends here, in a last line without its line feed (every line, the last one "
                        "too, must end with one)";
}

bool is_blank(char c) { return c == ' ' || c == '\t'; }
bool is_digit(char c) { return c >= '0' && c <= '9'; }
bool is_letter(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }
bool is_name_char(char c) { return is_letter(c) || is_digit(c) || c == '_' || c == '$'; }
bool is_sign(char c) { return c == '+' || c == '-'; }
bool is_quote(char c) { return c == '\'' || c == '"'; }
char to_upper(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }

bool is_exponent_letter(char c) {
  const char u = to_upper(c);
  return u == 'E' || u == 'D' || u == 'Q';
}

bool same_name(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (to_upper(a[i]) != to_upper(b[i])) return false;
  }
  return true;
}

// ---------------------------------------------------------------------------
// List-directed values.

// A value of a list read ends at one of these (or at the end of the record).
bool ends_list_value(char c) { return is_blank(c) || c == ',' || c == '/'; }

// One value of a list read: `count` copies of `value`, or `count` null values
// when there is no constant.
struct ListValue {
  uint64_t count = 1;
  bool has_constant = true;
  int32_t value = 0;
};

int32_t low_32_bits(int64_t v) { return static_cast<int32_t>(static_cast<uint32_t>(static_cast<uint64_t>(v))); }

int32_t convert_list_constant(std::string_view constant, const Place& at) {
  bool real = false;
  for (char c : constant) {
    if (c == '.' || is_exponent_letter(c)) real = true;
  }
  if (!real) {
    int32_t v = 0;
    if (!parse_list_integer(constant, v))
      fail(kErrInputConversion, at, constant,
           "a whole number for " + std::string(at.item) + " from -2147483648 to 2147483647");
    return v;
  }
  double d = 0.0;
  if (!parse_real(constant, d)) fail(kErrInputConversion, at, constant, "a number");
  return low_32_bits(truncate_to_int64(d));
}

ListValue parse_list_value(std::string_view token, const Place& at) {
  // Built only on the way to an error.
  const auto whole = [&at] { return "a whole number for " + std::string(at.item) + " (or a repeat such as 3*0)"; };
  // Characters first: digits, signs, one '.' and one exponent letter per
  // constant, and at most one '*' that is not the first character.
  constexpr size_t kNone = std::string_view::npos;
  size_t star = kNone;
  size_t part_start = 0;
  int dots = 0;
  int exponents = 0;
  for (size_t k = 0; k < token.size(); ++k) {
    const char c = token[k];
    if (k == part_start && is_quote(c)) fail(kErrInputConversion, at, token, "a number, not quoted text");
    if (c == '*') {
      if (k == 0 || star != kNone) fail(kErrListSyntax, at, token, whole());
      star = k;
      part_start = k + 1;
      dots = 0;
      exponents = 0;
    } else if (is_digit(c) || is_sign(c)) {
      continue;
    } else if (c == '.') {
      if (++dots > 1) fail(kErrListSyntax, at, token, whole());
    } else if (is_exponent_letter(c)) {
      if (++exponents > 1) fail(kErrListSyntax, at, token, whole());
    } else {
      fail(kErrListSyntax, at, token, whole());
    }
  }

  ListValue result;
  std::string_view constant = token;
  if (star != kNone) {
    // The repeat count is an unsigned decimal integer of at least 1. It only
    // matters up to the number of items, so it saturates instead of wrapping.
    uint64_t count = 0;
    for (size_t k = 0; k < star; ++k) {
      if (!is_digit(token[k])) fail(kErrListSyntax, at, token, whole());
      if (count < 1000000000000ull) count = count * 10 + static_cast<uint64_t>(token[k] - '0');
    }
    if (count == 0) fail(kErrListSyntax, at, token, whole());
    result.count = count;
    constant = token.substr(star + 1);
    if (constant.empty()) {
      result.has_constant = false;
      return result;
    }
  }
  result.value = convert_list_constant(constant, at);
  return result;
}

// ---------------------------------------------------------------------------
// Namelist groups.

enum class NumberKind { kInteger, kReal, kRepeat, kInvalid };

bool is_integer_spelling(std::string_view t) {
  size_t i = 0;
  if (i < t.size() && is_sign(t[i])) ++i;
  if (i == t.size()) return false;
  for (; i < t.size(); ++i) {
    if (!is_digit(t[i])) return false;
  }
  return true;
}

NumberKind classify_number(std::string_view token) {
  const size_t star = token.find('*');
  if (star != std::string_view::npos) {
    if (star == 0) return NumberKind::kInvalid;
    for (size_t k = 0; k < star; ++k) {
      if (!is_digit(token[k])) return NumberKind::kInvalid;
    }
    return NumberKind::kRepeat;
  }
  if (is_integer_spelling(token)) return NumberKind::kInteger;
  double ignored = 0.0;
  if (parse_real(token, ignored)) return NumberKind::kReal;
  return NumberKind::kInvalid;
}

// A value token of a group ends at one of these (or at the end of the record).
bool ends_group_value(char c) {
  return is_blank(c) || c == ',' || c == '/' || c == '!' || c == '&' || c == '$';
}

// Words in a value position that begin with one of these letters may be
// values (logical constants, or reals written with an exponent letter first).
bool may_begin_value_word(char c) {
  const char u = to_upper(c);
  return u == 'T' || u == 'F' || u == 'D' || u == 'E' || u == 'Q';
}

class GroupReader {
 public:
  GroupReader(RecordSource& source, const ConsoleSink& sink, const GroupDescriptor& group)
      : source_(source), sink_(sink), group_(group) {}

  void run();

 private:
  enum class State { kSearching, kMarkerSeen, kInGroup, kAfterName, kAfterEquals, kAfterValue };

  bool next_record();
  char peek(size_t offset) const {
    return col_ + offset < record_.size() ? record_[col_ + offset] : '\0';
  }
  std::string_view scan_name();
  std::string_view scan_value_token();
  bool next_char_makes_name() const;
  const GroupItem& lookup(std::string_view name) const;
  void assign(const GroupItem& item, std::string_view token) const;
  void write_listing() const { list_group(group_, sink_); }

  // Errors name the line, the member being read (or the group) and the text
  // found at `col_` unless given.
  [[noreturn]] void fail_here(int number, std::string expected) const { fail_here(number, word_at(col_), expected); }
  [[noreturn]] void fail_here(int number, std::string_view found, std::string expected) const;
  [[noreturn]] void fail_at_end() const;
  std::string_view word_at(size_t col) const;
  std::string group_text() const { return "&" + std::string(group_.name); }
  std::string value_for() const {
    return item_ == nullptr ? std::string("a value")
                            : std::string(item_->type == ItemType::kReal8 ? "a number for " : "a whole number for ") +
                                  std::string(item_->name);
  }
  std::string next_item_text() const { return "the next member (NAME=value) or the / that ends " + group_text(); }

  RecordSource& source_;
  const ConsoleSink& sink_;
  const GroupDescriptor& group_;
  std::string_view record_;
  size_t col_ = 0;
  const GroupItem* item_ = nullptr;  // the member being read, once named
  bool in_group_ = false;            // the group's name has been found
  // Set once a group opened with '$' is entered: every later record loses
  // its first character (the carriage-control column).
  bool drop_first_column_ = false;
};

bool GroupReader::next_record() {
  if (!source_.next(record_)) return false;
  if (drop_first_column_ && !record_.empty()) record_.remove_prefix(1);
  col_ = 0;
  return true;
}

std::string_view GroupReader::scan_name() {
  const size_t start = col_;
  ++col_;
  while (col_ < record_.size() && is_name_char(record_[col_])) ++col_;
  return record_.substr(start, col_ - start);
}

std::string_view GroupReader::scan_value_token() {
  const size_t start = col_;
  while (col_ < record_.size() && !ends_group_value(record_[col_])) ++col_;
  return record_.substr(start, col_ - start);
}

// After a word in a value position: is the next non-blank character, looking
// across line ends, an '=' or a '('? Reads ahead on a copy of the source.
bool GroupReader::next_char_makes_name() const {
  std::string_view rec = record_;
  size_t col = col_;
  RecordSource ahead = source_;
  for (;;) {
    while (col < rec.size() && is_blank(rec[col])) ++col;
    if (col < rec.size()) return rec[col] == '=' || rec[col] == '(';
    if (!ahead.next(rec)) return false;
    if (drop_first_column_ && !rec.empty()) rec.remove_prefix(1);
    col = 0;
  }
}

std::string_view GroupReader::word_at(size_t col) const {
  if (col >= record_.size()) return {};
  size_t end = col + 1;
  while (end < record_.size() && !is_blank(record_[end]) && record_[end] != ',' && record_[end] != '/') ++end;
  return record_.substr(col, end - col);
}

void GroupReader::fail_here(int number, std::string_view found, std::string expected) const {
  const std::string item = item_ != nullptr ? std::string(item_->name) : group_text();
  fail(number, Place{source_.line(), item}, found, std::move(expected));
}

void GroupReader::fail_at_end() const {
  const std::string group = group_text();
  const std::string expected = !in_group_ ? "the group " + group + " ... / (the groups &DATA, &CONTRL and &NPT, in this order)"
                                          : "the / that ends " + group;
  fail(kErrEndOfFile, Place{source_.line() + 1, item_ != nullptr ? std::string_view(item_->name) : group},
       source_.rest_of_line(), expected + end_note(source_.rest_of_line()));
}

const GroupItem& GroupReader::lookup(std::string_view name) const {
  for (const GroupItem& item : group_.items) {
    if (same_name(item.name, name)) return item;
  }
  std::string members;
  for (const GroupItem& item : group_.items) members += (members.empty() ? "" : ", ") + std::string(item.name);
  fail(kErrInvalidReference, Place{source_.line(), group_text()}, name, "one of the members of " + group_text() + ": " + members);
}

void GroupReader::assign(const GroupItem& item, std::string_view token) const {
  switch (classify_number(token)) {
    case NumberKind::kRepeat:
      fail_here(kErrTooManyValues, token, "one value for " + std::string(item.name) + ", not a repeat count");
    case NumberKind::kInvalid:
      fail_here(kErrNamelistSyntax, token, value_for());
    case NumberKind::kReal:
      if (item.type != ItemType::kReal8) fail_here(kErrNamelistSyntax, token, value_for() + ", without a point or exponent");
      break;
    case NumberKind::kInteger:
      break;
  }
  if (item.type == ItemType::kReal8) {
    double v = 0.0;
    if (!parse_real(token, v)) fail_here(kErrNamelistSyntax, token, value_for());
    *item.storage.real8 = v;
    return;
  }
  uint64_t bits = 0;
  if (!parse_group_integer(token, bits)) fail_here(kErrNamelistSyntax, token, value_for() + " that fits in 64 bits");
  if (item.type == ItemType::kInt4) {
    *item.storage.int4 = static_cast<int32_t>(static_cast<uint32_t>(bits));
  } else {
    *item.storage.int1 = static_cast<int8_t>(static_cast<uint8_t>(bits));
  }
}

void GroupReader::run() {
  if (!next_record()) fail_at_end();
  State state = State::kSearching;
  char marker = '&';
  const GroupItem*& item = item_;
  // In AfterValue: the last token was a comma (blanks and line ends aside).
  bool after_comma = false;

  for (;;) {
    while (col_ < record_.size() && is_blank(record_[col_])) ++col_;
    if (col_ >= record_.size()) {
      // Line end: only a marker waiting for its group name is affected.
      if (state == State::kMarkerSeen) state = State::kSearching;
      if (!next_record()) fail_at_end();
      continue;
    }
    const char c = record_[col_];
    if (c == '!') {  // comment to the end of the record
      col_ = record_.size();
      continue;
    }
    const bool name_query = c == '=' && peek(1) == '?';

    switch (state) {
      case State::kSearching:
        if (c == '&' || c == '$') {
          marker = c;
          ++col_;
          state = State::kMarkerSeen;
        } else if (is_letter(c)) {
          scan_name();
        } else if (c == '?' || name_query) {
          col_ += name_query ? 2 : 1;
          write_listing();
        } else if (c == '=' || c == ',') {
          ++col_;
        } else {
          col_ = record_.size();
        }
        break;

      case State::kMarkerSeen:
        if (is_letter(c)) {
          if (same_name(scan_name(), group_.name)) {
            state = State::kInGroup;
            in_group_ = true;
            if (marker == '$') drop_first_column_ = true;
          } else {
            state = State::kSearching;
          }
        } else if (c == '&' || c == '$' || c == ',' || c == '?' || c == '=') {
          col_ += name_query ? 2 : 1;
          state = State::kSearching;
        } else {
          col_ = record_.size();
          state = State::kSearching;
        }
        break;

      case State::kInGroup:
        if (is_letter(c)) {
          item = &lookup(scan_name());
          state = State::kAfterName;
        } else if (c == '&' || c == '$' || c == '/') {
          return;
        } else if (c == '?' || name_query) {
          col_ += name_query ? 2 : 1;
          write_listing();
        } else {
          fail_here(kErrNamelistSyntax, "a member name (NAME=value) or the / that ends " + group_text());
        }
        break;

      case State::kAfterName:
        if (c == '=' && !name_query) {
          ++col_;
          state = State::kAfterEquals;
        } else if (c == '(') {
          fail_here(kErrInvalidReference, std::string(item->name) + "=value (members take no subscript)");
        } else {
          fail_here(kErrNamelistSyntax, "= after " + std::string(item->name));
        }
        break;

      case State::kAfterEquals:
      case State::kAfterValue: {
        const bool after_equals = state == State::kAfterEquals;
        if (c == '&' || c == '$' || c == '/') return;
        if (c == ',') {
          if (!after_equals && after_comma)
            fail_here(kErrTooManyValues, ",", "one value for " + std::string(item->name) + " (one comma between items)");
          ++col_;
          after_comma = true;
          state = State::kAfterValue;
        } else if (c == '?' || name_query) {
          if (after_equals) fail_here(kErrNamelistSyntax, value_for());
          col_ += name_query ? 2 : 1;
          write_listing();
          state = State::kInGroup;
        } else if (is_quote(c)) {
          if (after_equals) fail_here(kErrInputConversion, value_for() + ", not quoted text");
          fail_here(kErrTooManyValues, next_item_text());
        } else if (is_letter(c)) {
          const size_t start = col_;
          const std::string_view word = scan_name();
          if (may_begin_value_word(c) && !next_char_makes_name()) {
            // A logical constant, or a real that starts with its exponent
            // letter: neither fits any item of a group.
            if (after_equals) fail_here(kErrNamelistSyntax, word_at(start), value_for());
            fail_here(kErrTooManyValues, word_at(start), next_item_text());
          }
          if (after_equals) fail_here(kErrNamelistSyntax, word_at(start), value_for());
          item = &lookup(word);
          state = State::kAfterName;
        } else if (c == '.' && (to_upper(peek(1)) == 'T' || to_upper(peek(1)) == 'F')) {
          if (after_equals) fail_here(kErrNamelistSyntax, value_for());
          fail_here(kErrTooManyValues, next_item_text());
        } else if (is_digit(c) || is_sign(c) || c == '.') {
          if (!after_equals) fail_here(kErrTooManyValues, next_item_text());
          assign(*item, scan_value_token());
          after_comma = false;
          state = State::kAfterValue;
        } else {
          fail_here(kErrNamelistSyntax, after_equals ? value_for() : next_item_text());
        }
        break;
      }
    }
  }
}

}  // namespace

// ---------------------------------------------------------------------------

bool RecordSource::next(std::string_view& record) {
  if (at_end_) return false;
  const size_t lf = text_.find('\n', pos_);
  if (lf == std::string_view::npos) {
    at_end_ = true;
    return false;
  }
  std::string_view r = text_.substr(pos_, lf - pos_);
  pos_ = lf + 1;
  ++line_;
  if (!r.empty() && r.back() == '\r') r.remove_suffix(1);
  if (r.size() == 1 && r[0] == '\x1a') {
    at_end_ = true;
    return false;
  }
  record = r;
  return true;
}

std::string_view RecordSource::rest_of_line() const {
  const std::string_view rest = text_.substr(std::min(pos_, text_.size()));
  return rest.substr(0, rest.find('\n'));
}

bool parse_list_integer(std::string_view text, int32_t& value) {
  size_t i = 0;
  bool negative = false;
  if (i < text.size() && is_sign(text[i])) {
    negative = text[i] == '-';
    ++i;
  }
  if (i == text.size()) return false;
  int64_t magnitude = 0;
  for (; i < text.size(); ++i) {
    if (!is_digit(text[i])) return false;
    magnitude = magnitude * 10 + (text[i] - '0');
    if (magnitude > 2147483648LL) return false;
  }
  if (!negative && magnitude > 2147483647LL) return false;
  value = static_cast<int32_t>(negative ? -magnitude : magnitude);
  return true;
}

bool parse_real(std::string_view text, double& value) {
  // Rewritten into the C library's spelling ("e" for every exponent letter,
  // no leading '+') and converted with correct rounding.
  std::string normal;
  normal.reserve(text.size() + 1);
  size_t i = 0;
  if (i < text.size() && is_sign(text[i])) {
    if (text[i] == '-') normal += '-';
    ++i;
  }
  size_t digits = 0;
  while (i < text.size() && is_digit(text[i])) {
    normal += text[i++];
    ++digits;
  }
  if (i < text.size() && text[i] == '.') {
    normal += text[i++];
    while (i < text.size() && is_digit(text[i])) {
      normal += text[i++];
      ++digits;
    }
  }
  if (digits == 0) return false;
  if (i < text.size() && is_exponent_letter(text[i])) {
    normal += 'e';
    ++i;
    if (i < text.size() && is_sign(text[i])) normal += text[i++];
    size_t exponent_digits = 0;
    while (i < text.size() && is_digit(text[i])) {
      normal += text[i++];
      ++exponent_digits;
    }
    if (exponent_digits == 0) return false;
  }
  if (i != text.size()) return false;
  char* end = nullptr;
  const double v = std::strtod(normal.c_str(), &end);
  if (end != normal.c_str() + normal.size() || std::isinf(v)) return false;
  value = v;
  return true;
}

bool parse_group_integer(std::string_view text, uint64_t& bits) {
  if (!is_integer_spelling(text)) return false;
  size_t i = 0;
  bool negative = false;
  if (is_sign(text[0])) {
    negative = text[0] == '-';
    ++i;
  }
  constexpr uint64_t kMax = std::numeric_limits<uint64_t>::max();
  uint64_t magnitude = 0;
  for (; i < text.size(); ++i) {
    const uint64_t d = static_cast<uint64_t>(text[i] - '0');
    if (magnitude > (kMax - d) / 10) return false;
    magnitude = magnitude * 10 + d;
  }
  if (negative) {
    if (magnitude > (1ull << 63)) return false;
    bits = ~magnitude + 1;
  } else {
    bits = magnitude;
  }
  return true;
}

int64_t truncate_to_int64(double value) {
  constexpr double kTwo63 = 9223372036854775808.0;
  if (std::isnan(value) || value >= kTwo63 || value < -kTwo63) return std::numeric_limits<int64_t>::min();
  return static_cast<int64_t>(value);
}

std::string format_real_value(double value) {
  char buffer[64];
  const auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
  std::string text(buffer, result.ptr);
  if (text.find_first_of(".eEn") == std::string::npos) text += ".0";
  return text;
}

void list_group(const GroupDescriptor& group, const ConsoleSink& sink) {
  std::string line = "&";
  line += group.name;
  sink({text_item(line)});
  for (size_t k = 0; k < group.items.size(); ++k) {
    const GroupItem& item = group.items[k];
    line.assign(item.name);
    line += " = ";
    switch (item.type) {
      case ItemType::kInt4: line += std::to_string(*item.storage.int4); break;
      case ItemType::kInt1: line += std::to_string(static_cast<int>(*item.storage.int1)); break;
      case ItemType::kReal8: line += format_real_value(*item.storage.real8); break;
    }
    if (k + 1 < group.items.size()) line += ',';
    sink({text_item(line)});
  }
  sink({text_item("/")});
}

ControlReader::ControlReader(std::string_view text, ConsoleSink sink)
    : source_(text), sink_(std::move(sink)) {}

Status ControlReader::read_value_list(std::span<int32_t* const> items, std::span<const std::string_view> names) {
  return run_read([&] { read_values(items, names); });
}

Status ControlReader::read_group(const GroupDescriptor& group) {
  return run_read([&] {
    GroupReader reader(source_, sink_, group);
    reader.run();
  });
}

void ControlReader::read_values(std::span<int32_t* const> items, std::span<const std::string_view> names) {
  std::string_view record;
  size_t next_item = 0;
  auto place = [&](int line) {
    return Place{line, next_item < names.size() ? names[next_item] : std::string_view("a value")};
  };
  auto fail_at_end = [&] {
    const Place at = place(source_.line() + 1);
    fail(kErrEndOfFile, at, source_.rest_of_line(), "a value for " + std::string(at.item) + end_note(source_.rest_of_line()));
  };
  if (!source_.next(record)) fail_at_end();
  size_t col = 0;
  // A value (or a repeat of nulls) was just read: one comma after it is a
  // separator rather than a null value.
  bool after_value = false;
  while (next_item < items.size()) {
    while (col < record.size() && is_blank(record[col])) ++col;
    if (col >= record.size()) {
      // A line end counts as a blank: the list goes on in the next record.
      if (!source_.next(record)) fail_at_end();
      col = 0;
      continue;
    }
    const char c = record[col];
    if (c == ',') {
      ++col;
      if (after_value) {
        after_value = false;
      } else {
        ++next_item;  // a null value: the item keeps its value
      }
      continue;
    }
    if (c == '/') return;  // this item and all later ones keep their values
    const size_t start = col;
    while (col < record.size() && !ends_list_value(record[col])) ++col;
    const ListValue v = parse_list_value(record.substr(start, col - start), place(source_.line()));
    for (uint64_t k = 0; k < v.count && next_item < items.size(); ++k) {
      if (v.has_constant) *items[next_item] = v.value;
      ++next_item;
    }
    after_value = true;
  }
}

}  // namespace tsr
