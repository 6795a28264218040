#include "app/run_flags.h"

namespace app {

std::atomic<bool> app_running{true};
std::atomic<bool> reset_request{false};

}  // namespace app
