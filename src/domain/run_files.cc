#include "domain/run_files.h"

namespace tsr {

const JobFile& run_file(std::string_view name) {
  for (const JobFile& f : kRunFiles) {
    if (f.name == name) return f;
  }
  return kRunFiles[0];
}

std::vector<std::string> time_step_names(int32_t nb) {
  std::vector<std::string> names;
  for (int32_t t = 1; t <= nb; ++t) names.push_back("t" + std::to_string(t));
  return names;
}

}  // namespace tsr
