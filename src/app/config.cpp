#include "app/config.h"

#include <sstream>

namespace app {

config& cfg() {
  static config instance;
  return instance;
}

std::vector<pool_config> pool_list(const config& c) {
  if (!c.pools.empty()) return c.pools;
  pool_config only;
  only.address = c.pool_address;
  only.user = c.user;
  only.password = c.password;
  return {only};
}

void parse_gpu_list(const std::string& text, std::vector<uint32_t>& gpu_list) {
  if (text.empty()) return;
  gpu_list.clear();
  std::istringstream in(text);
  int value = 0;
  while (in >> value) {
    gpu_list.push_back(static_cast<uint32_t>(value));
    if (in.peek() == ',') in.get();
  }
}

}  // namespace app
