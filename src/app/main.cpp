// Entry point of orbeck-vega.
#include "app/command_line.h"
#include "app/config.h"
#include "app/run_sequence.h"

int main(int argc, char** argv) {
  app::cfg();
  const app::startup_result start = app::start_up(argc, argv);
  if (start.finished) return start.exit_code;
  return app::run_sequence(start);
}
