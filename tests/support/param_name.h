// Names of parameterised test cases as test listings and ctest show them:
// GoogleTest allows only letters, digits and underscores, so a case described
// as "nb=10 nfunc=-2" is named "nb_10_nfunc_minus2".
#pragma once

#include <cctype>
#include <string>
#include <string_view>

namespace tsr::testing {

inline std::string param_name(std::string_view text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    if (std::isalnum(c)) {
      out += static_cast<char>(c);
      continue;
    }
    if (c == '-' && i + 1 < text.size() && std::isdigit(static_cast<unsigned char>(text[i + 1]))) {
      if (!out.empty() && out.back() != '_') out += '_';
      out += "minus";
      continue;
    }
    if (!out.empty() && out.back() != '_') out += '_';
  }
  while (!out.empty() && out.back() == '_') out.pop_back();
  return out.empty() ? std::string("case") : out;
}

}  // namespace tsr::testing
