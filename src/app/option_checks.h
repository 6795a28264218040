// The values options accept beyond their type, checked at start so that a
// bad value is refused with one line instead of being wrapped, clamped or
// silently replaced. Each check returns the rule the value breaks, or an
// empty text when it is sound. Pure functions; any thread.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace app {

// A TCP port: 1 to 65535, and 0 too when it means "pick a free one".
std::string port_rule(int64_t port, bool zero_picks_one);

// The --gpu text: indices 0 or more, separated by commas (blanks allowed
// around them), each at most once. An empty text keeps the default.
std::string gpu_list_rule(const std::string& text);

// The --intensity text: levels -1 (automatic) or 0 to 12, separated by
// commas; the levels above 10 exist on GPUs with 12 GB or more. An empty
// text means automatic.
std::string intensity_rule(const std::string& text);

// A pool address after its scheme: host:port or [IPv6 address]:port with a
// port of 1 to 65535.
std::string pool_address_rule(std::string_view host_port);

// The --cpu-threads text: "auto" or a thread count of 0 (off) to 255; the
// count it stands for (kCpuThreadsAuto for auto) goes to threads.
std::string cpu_threads_rule(std::string_view text, int32_t& threads);

}  // namespace app
