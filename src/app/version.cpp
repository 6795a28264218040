#include "app/version.h"

#include "app/git_revision.h"

namespace app {

const char* version_number() { return ORBECK_VERSION; }

const char* git_revision() { return ORBECK_GIT_REVISION; }

std::string version_line(std::string_view program) {
  std::string line(program);
  line += ' ';
  line += version_number();
  const std::string_view revision = git_revision();
  if (!revision.empty()) {
    line += " (git ";
    line += revision;
    line += ')';
  }
  return line;
}

}  // namespace app
