// The process-wide console printer. Every thread prints through it; one
// mutex serialises whole messages (colour changes included) and copies them
// to the log file once one is open. Created on first use.
#pragma once

#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string_view>

namespace base {

enum print_level : int {
  kInfo = 1,    // dark grey
  kStatus = 2,  // light cyan
  kEvent = 3,   // yellow
  kError = 4,   // light red
};

class printer {
 public:
  static printer& inst();

  // "[HH:MM:SS] " + formatted text + line break. A message that would not
  // fit into 4096 bytes with its line break is dropped whole.
  void print_leveled(int level, const char* fmt, ...) __attribute__((format(printf, 3, 4)));
  // Level 4 with time prefix and line break.
  void print_error(const char* fmt, ...) __attribute__((format(printf, 2, 3)));
  // Level 2 / level 4 without time prefix and without line break.
  void print_status_text(const char* fmt, ...) __attribute__((format(printf, 2, 3)));
  void print_error_text(const char* fmt, ...) __attribute__((format(printf, 2, 3)));
  // Dark grey, no time prefix, no line break.
  void print_grey_text(const char* fmt, ...) __attribute__((format(printf, 2, 3)));
  // The text unchanged: no formatting, colour, prefix or line break.
  void print_plain(std::string_view text);

  // Opens path for appending (created when missing); false, with errno
  // telling why, when it cannot be opened. The file stays open until the
  // process ends (or a test reopens another).
  bool open_log(const char* path);

  // Test seam: where console text goes and whether ANSI colours are used.
  // The default is standard output, coloured when it is a terminal and
  // NO_COLOR is unset or empty.
  void set_console(FILE* out, bool colour);
  // Test seam: closes the log file.
  void close_log();
  // Test seam: runs f while holding the printer's lock, so a test can read
  // captured console text while other threads print.
  template <typename F>
  void locked(F&& f) {
    std::lock_guard<std::mutex> lock(mutex_);
    f();
  }

 private:
  printer();
  void vprint(int level, int colour_attr, bool time_prefix, bool line_break, const char* fmt,
              va_list args);
  void write_locked(int colour_attr, const char* text, size_t length);

  std::mutex mutex_;
  uint64_t verbosity_ = 100;
  FILE* console_;         // guarded by mutex_
  bool colour_ = false;   // guarded by mutex_
  FILE* log_file_ = nullptr;  // guarded by mutex_
};

// ANSI SGR sequence for a console text attribute (8, 11, 12, 14, 7); empty
// for any other value.
const char* ansi_for_attribute(int attribute);

}  // namespace base
