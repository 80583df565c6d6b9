// The run parameters of control-file texts, for tests of what a run does
// with them. Header only: the test programs that include it link the
// control module.
#pragma once

#include <gtest/gtest.h>

#include <initializer_list>
#include <string>

#include "control/run_parameters.h"

namespace tsr::testing {

// The completed run parameters of a control file text, read quietly as a run
// reads it; a text that does not read, or whose values are refused, fails
// the test.
inline RunParameters parameters_of(const std::string& text) {
  RunParameters p;
  const Status read = read_control_text(text, p, [](std::initializer_list<ListItem>) {});
  EXPECT_TRUE(read.is_ok()) << read.message();
  EXPECT_EQ(derive_run_parameters(p).message(), "");
  return p;
}

}  // namespace tsr::testing
