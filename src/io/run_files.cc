#include "io/run_files.h"

namespace tsr {

const JobFile& run_file(std::string_view name) {
  for (const JobFile& f : kRunFiles) {
    if (f.name == name) return f;
  }
  return kRunFiles[0];
}

}  // namespace tsr
