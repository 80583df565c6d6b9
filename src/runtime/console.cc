#include "runtime/console.h"


namespace tsr {
namespace {

constexpr size_t kLineWidth = 80;

int field_width(ListItem::Kind kind) {
  switch (kind) {
    case ListItem::Kind::kInt4: return 12;
    case ListItem::Kind::kInt2: return 7;
    case ListItem::Kind::kInt1: return 5;
    case ListItem::Kind::kText: break;
  }
  return 0;
}

std::string right_justified(long long value, size_t width) {
  std::string digits = std::to_string(value);
  if (digits.size() >= width) return digits;
  return std::string(width - digits.size(), ' ') + digits;
}

}  // namespace

std::string format_list_line(std::initializer_list<ListItem> items) {
  std::string out;
  std::string line;
  auto end_line = [&] {
    out += line;
    out += '\n';
    line.clear();
  };
  for (const ListItem& item : items) {
    if (item.kind == ListItem::Kind::kText) {
      std::string_view rest = item.text;
      if (line.empty()) line += ' ';
      while (line.size() + rest.size() > kLineWidth) {
        const size_t room = kLineWidth - line.size();
        line.append(rest.substr(0, room));
        rest.remove_prefix(room);
        end_line();
        line += ' ';
      }
      line.append(rest);
    } else {
      const size_t width = static_cast<size_t>(field_width(item.kind));
      if (line.size() + width > kLineWidth) end_line();
      line += right_justified(item.value, width);
    }
  }
  end_line();
  return out;
}

std::string format_progress_line(int32_t line, int32_t lines) {
  auto field = [](int32_t v) {
    std::string s = right_justified(v, 5);
    return s.size() > 5 ? std::string("*****") : s;
  };
  return " " + field(line) + "/" + field(lines) + "line\n";
}

void write_line(Env& env, std::initializer_list<ListItem> items) { env.write_console(format_list_line(items)); }

void write_progress(Env& env, int32_t line, int32_t lines) { env.write_console(format_progress_line(line, lines)); }

}  // namespace tsr
