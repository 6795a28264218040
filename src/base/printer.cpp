#include "base/printer.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <ctime>

namespace base {
namespace {

constexpr size_t kBufferSize = 4096;
constexpr int kAttrGrey = 8;
constexpr int kAttrCyan = 11;
constexpr int kAttrRed = 12;
constexpr int kAttrYellow = 14;
constexpr int kAttrDefault = 7;

int attribute_for_level(int level) {
  switch (level) {
    case kInfo: return kAttrGrey;
    case kStatus: return kAttrCyan;
    case kEvent: return kAttrYellow;
    case kError: return kAttrRed;
    default: return -1;  // keep the current colour
  }
}

bool colour_wanted() {
  const char* no_colour = std::getenv("NO_COLOR");
  if (no_colour != nullptr && no_colour[0] != '\0') return false;
  return isatty(STDOUT_FILENO) == 1;
}

}  // namespace

const char* ansi_for_attribute(int attribute) {
  switch (attribute) {
    case kAttrGrey: return "\x1b[90m";
    case kAttrCyan: return "\x1b[96m";
    case kAttrYellow: return "\x1b[93m";
    case kAttrRed: return "\x1b[91m";
    case kAttrDefault: return "\x1b[0m";
    default: return "";
  }
}

printer& printer::inst() {
  static printer instance;
  return instance;
}

printer::printer() : console_(stdout), colour_(colour_wanted()) {}

void printer::set_console(FILE* out, bool colour) {
  std::lock_guard<std::mutex> lock(mutex_);
  console_ = out;
  colour_ = colour;
}

bool printer::open_log(const char* path) {
  // Not blocking in open: a FIFO without a reader is refused (ENXIO) rather
  // than holding up the start. Writes block as usual afterwards.
  const int fd = ::open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NONBLOCK, 0644);
  if (fd < 0) return false;
  const int flags = ::fcntl(fd, F_GETFL);
  FILE* file = flags < 0 || ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0 ? nullptr : ::fdopen(fd, "a");
  if (file == nullptr) {
    const int saved = errno;
    ::close(fd);
    errno = saved;
    return false;
  }
  std::lock_guard<std::mutex> lock(mutex_);
  if (log_file_ != nullptr) std::fclose(log_file_);
  log_file_ = file;
  return true;
}

void printer::close_log() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (log_file_ != nullptr) std::fclose(log_file_);
  log_file_ = nullptr;
}

void printer::vprint(int level, int colour_attr, bool time_prefix, bool line_break,
                     const char* fmt, va_list args) {
  if (static_cast<uint64_t>(level) > verbosity_) return;

  char buffer[kBufferSize];
  size_t length = 0;
  if (time_prefix) {
    time_t now = time(nullptr);
    struct tm local;
    localtime_r(&now, &local);
    length = strftime(buffer, sizeof(buffer), "[%T] ", &local);
  }
  int written = vsnprintf(buffer + length, kBufferSize - length, fmt, args);
  if (written < 0) return;
  length += static_cast<size_t>(written);
  // No partial line is ever printed.
  if (length + 2 >= kBufferSize) return;
  if (line_break) buffer[length++] = '\n';
  buffer[length] = '\0';

  std::lock_guard<std::mutex> lock(mutex_);
  write_locked(colour_attr, buffer, length);
}

void printer::write_locked(int colour_attr, const char* text, size_t length) {
  if (colour_ && colour_attr >= 0) std::fputs(ansi_for_attribute(colour_attr), console_);
  std::fwrite(text, 1, length, console_);
  if (colour_) std::fputs(ansi_for_attribute(kAttrDefault), console_);
  std::fflush(console_);
  if (log_file_ != nullptr) {
    std::fwrite(text, 1, length, log_file_);
    std::fflush(log_file_);
  }
}

void printer::print_leveled(int level, const char* fmt, ...) {
  va_list args;
  va_start(args, fmt);
  vprint(level, attribute_for_level(level), true, true, fmt, args);
  va_end(args);
}

void printer::print_error(const char* fmt, ...) {
  va_list args;
  va_start(args, fmt);
  vprint(kError, kAttrRed, true, true, fmt, args);
  va_end(args);
}

void printer::print_status_text(const char* fmt, ...) {
  va_list args;
  va_start(args, fmt);
  vprint(kStatus, kAttrCyan, false, false, fmt, args);
  va_end(args);
}

void printer::print_error_text(const char* fmt, ...) {
  va_list args;
  va_start(args, fmt);
  vprint(kError, kAttrRed, false, false, fmt, args);
  va_end(args);
}

void printer::print_grey_text(const char* fmt, ...) {
  if (verbosity_ == 0) return;
  va_list args;
  va_start(args, fmt);
  vprint(0, kAttrGrey, false, false, fmt, args);
  va_end(args);
}

void printer::print_plain(std::string_view text) {
  std::lock_guard<std::mutex> lock(mutex_);
  std::fwrite(text.data(), 1, text.size(), console_);
  std::fflush(console_);
  if (log_file_ != nullptr) {
    std::fwrite(text.data(), 1, text.size(), log_file_);
    std::fflush(log_file_);
  }
}

}  // namespace base
