#include "control/execution.h"

#include <algorithm>
#include <string>

namespace tsr {

int parse_thread_count(const char* text, bool list_ok) {
  long value = 0;
  const char* c = text;
  for (; *c >= '0' && *c <= '9'; ++c) {
    value = value * 10 + (*c - '0');
    if (value > kMaxThreads) value = kMaxThreads;
  }
  if (c == text || (*c != '\0' && !(list_ok && *c == ','))) return 0;
  return static_cast<int>(value);
}

Status execution_from_environment(Env& env, Execution& out) {
  Execution e;
  if (const auto engine = env.variable("TSRECON_ENGINE"); engine && !engine->empty()) {
    const std::string& v = *engine;
    if (v == "literal") {
      e.engine = LsqEngine::kLiteral;
    } else if (v != "fast") {
      return Status::refused("tsrecon: TSRECON_ENGINE must be fast or literal, not '" + v + "'");
    }
  }
  e.threads = env.available_cores();
  const auto ours = env.variable("TSRECON_THREADS");
  const auto omp = env.variable("OMP_NUM_THREADS");
  if (ours && !ours->empty()) {
    e.threads = parse_thread_count(ours->c_str(), false);
    if (e.threads < 1) {
      return Status::refused("tsrecon: TSRECON_THREADS must be a positive number of threads, not '" + *ours + "'");
    }
  } else if (omp && parse_thread_count(omp->c_str(), true) > 0) {
    e.threads = parse_thread_count(omp->c_str(), true);
  }
  e.threads = std::min(e.threads, kMaxThreads);
  out = e;
  return Status::ok();
}

}  // namespace tsr
