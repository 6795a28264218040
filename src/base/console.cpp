#include "base/console.h"

#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>

namespace base {
namespace {

struct termios saved_settings;
std::atomic<bool> settings_saved{false};
bool input_ended = false;

bool stdin_is_terminal() { return isatty(STDIN_FILENO) == 1; }

}  // namespace

void restore_terminal() {
  if (settings_saved.exchange(false)) tcsetattr(STDIN_FILENO, TCSANOW, &saved_settings);
}

void enter_key_mode() {
  if (!stdin_is_terminal() || settings_saved.load()) return;
  if (tcgetattr(STDIN_FILENO, &saved_settings) != 0) return;
  struct termios raw = saved_settings;
  raw.c_lflag &= static_cast<tcflag_t>(~(ICANON | ECHO));
  raw.c_cc[VMIN] = 0;
  raw.c_cc[VTIME] = 0;
  if (tcsetattr(STDIN_FILENO, TCSANOW, &raw) != 0) return;
  settings_saved.store(true);
  static bool registered = false;
  if (!registered) {
    registered = true;
    std::atexit(restore_terminal);
  }
}

int poll_key() {
  if (input_ended) return -1;
  struct pollfd fd = {STDIN_FILENO, POLLIN, 0};
  if (poll(&fd, 1, 0) <= 0) return -1;
  if ((fd.revents & (POLLIN | POLLHUP)) == 0) return -1;
  unsigned char key = 0;
  ssize_t got = read(STDIN_FILENO, &key, 1);
  if (got == 1) return key;
  // End of input (a closed pipe, /dev/null): stop polling for good so the
  // caller's loop does not spin on a descriptor that is always readable.
  if (got == 0 && !stdin_is_terminal()) input_ended = true;
  return -1;
}

void discard_pending_key() { poll_key(); }

}  // namespace base
