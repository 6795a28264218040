// Test helper: routes the printer's console text into a temporary file for
// the lifetime of the object and hands it back as a string.
#pragma once

#include <cstdio>
#include <string>

#include "base/printer.h"

namespace base {

class console_capture {
 public:
  console_capture() : file_(std::tmpfile()) { printer::inst().set_console(file_, false); }
  ~console_capture() {
    printer::inst().set_console(stdout, false);
    std::fclose(file_);
  }
  console_capture(const console_capture&) = delete;
  console_capture& operator=(const console_capture&) = delete;

  // Everything printed so far; safe while other threads print.
  std::string text() const {
    std::string out;
    printer::inst().locked([&] {
      std::fflush(file_);
      std::rewind(file_);
      char buffer[4096];
      size_t got;
      while ((got = std::fread(buffer, 1, sizeof(buffer), file_)) > 0) out.append(buffer, got);
      std::fseek(file_, 0, SEEK_END);
    });
    return out;
  }

 private:
  FILE* file_;
};

// Strips "[HH:MM:SS] " time prefixes so texts can be compared exactly.
std::string without_times(const std::string& text);

// Reads a whole file; empty when it cannot be read.
std::string read_file(const std::string& path);

}  // namespace base
