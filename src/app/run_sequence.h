// The run sequence: GPU start-up, executor, remote access, keyboard loop and
// the orderly exit. Main thread.
#pragma once

#include "app/command_line.h"

namespace app {

// Runs the program after a successful start-up; returns the exit code.
int run_sequence(const startup_result& start);

}  // namespace app
