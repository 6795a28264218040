#include "base/run_flags.h"

namespace base {

std::atomic<bool> app_running{true};
std::atomic<bool> reset_request{false};

}  // namespace base
