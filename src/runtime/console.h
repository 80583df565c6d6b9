// Console lines: the free-format ("list-directed") layout used for echo and
// message lines, and the fixed layout of the per-line progress line.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>

#include "runtime/env.h"

namespace tsr {

// One item of a list-directed console line.
struct ListItem {
  enum class Kind { kText, kInt4, kInt2, kInt1 };
  Kind kind;
  std::string_view text;
  int32_t value;
};
inline ListItem text_item(std::string_view t) { return {ListItem::Kind::kText, t, 0}; }
inline ListItem int4_item(int32_t v) { return {ListItem::Kind::kInt4, {}, v}; }
inline ListItem int2_item(int16_t v) { return {ListItem::Kind::kInt2, {}, v}; }
inline ListItem int1_item(int8_t v) { return {ListItem::Kind::kInt1, {}, v}; }

// Lays out one list-directed write: text items get one leading blank when they
// start a line, integers take fields of 12, 7 or 5 columns; a write that
// overflows 80 columns continues on further lines. Every line ends in '\n'.
std::string format_list_line(std::initializer_list<ListItem> items);

// " LLLLL/NNNNNline\n": both numbers right-justified in 5 columns, "*****" when
// a number needs more.
std::string format_progress_line(int32_t line, int32_t lines);

// Write to the Env's console (standard output, or the file named by FORT6).
void write_line(Env& env, std::initializer_list<ListItem> items);
void write_progress(Env& env, int32_t line, int32_t lines);

}  // namespace tsr
