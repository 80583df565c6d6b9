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

Status engine_from_environment(Env& env, LsqEngine& out) {
  LsqEngine engine = LsqEngine::kFast;
  if (const auto value = env.variable("TSRECON_ENGINE"); value && !value->empty()) {
    if (*value == "literal") {
      engine = LsqEngine::kLiteral;
    } else if (*value != "fast") {
      return Status::refused("TSRECON_ENGINE must be fast or literal, not '" + *value + "'");
    }
  }
  out = engine;
  return Status::ok();
}

Status threads_from_environment(Env& env, int& out) {
  int threads = env.available_cores();
  const auto ours = env.variable("TSRECON_THREADS");
  const auto omp = env.variable("OMP_NUM_THREADS");
  if (ours && !ours->empty()) {
    threads = parse_thread_count(ours->c_str(), false);
    if (threads < 1) {
      return Status::refused("TSRECON_THREADS must be a positive number of threads, not '" + *ours + "'");
    }
  } else if (omp && parse_thread_count(omp->c_str(), true) > 0) {
    threads = parse_thread_count(omp->c_str(), true);
  }
  out = std::min(threads, kMaxThreads);
  return Status::ok();
}

Status switch_from_environment(Env& env, const char* name, bool& out) {
  const auto value = env.variable(name);
  if (!value || value->empty()) return Status::ok();
  if (*value != "0" && *value != "1") {
    return Status::refused(std::string(name) + " must be 0 or 1, not '" + *value + "'");
  }
  out = *value == "1";
  return Status::ok();
}

Status execution_from_environment(Env& env, Execution& out) {
  Execution e;
  TSR_RETURN_IF_ERROR(engine_from_environment(env, e.engine));
  TSR_RETURN_IF_ERROR(threads_from_environment(env, e.threads));
  TSR_RETURN_IF_ERROR(switch_from_environment(env, "TSRECON_OVERLAP", e.overlap));
  TSR_RETURN_IF_ERROR(switch_from_environment(env, "TSRECON_PROFILE", e.profile));
  out = e;
  return Status::ok();
}

}  // namespace tsr
