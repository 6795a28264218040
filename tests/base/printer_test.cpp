#include "base/printer.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "support/console_capture.h"

namespace base {
namespace {

TEST(Printer, LeveledLinesCarryTimePrefixAndLineBreak) {
  console_capture capture;
  printer::inst().print_leveled(kEvent, "New Job received (%s).", "CryptoNight");
  EXPECT_TRUE(std::regex_match(capture.text(),
                               std::regex(R"(\[\d\d:\d\d:\d\d\] New Job received \(CryptoNight\)\.\n)")));
}

TEST(Printer, TextFormsHaveNoPrefixAndNoLineBreak) {
  console_capture capture;
  printer& out = printer::inst();
  out.print_status_text("GPU%u: %s", 0u, "gfx900");
  out.print_error_text(" | %u Compute Units", 64u);
  out.print_grey_text(" | %s", "grey");
  out.print_plain("plain %s text");
  EXPECT_EQ(capture.text(), "GPU0: gfx900 | 64 Compute Units | greyplain %s text");
}

TEST(Printer, LevelsAboveVerbosityAreDropped) {
  console_capture capture;
  printer::inst().print_leveled(101, "dropped");
  printer::inst().print_leveled(100, "kept");
  EXPECT_EQ(without_times(capture.text()), "kept\n");
}

TEST(Printer, MessagesThatDoNotFitAreDroppedWhole) {
  console_capture capture;
  const size_t prefix = 11;  // "[HH:MM:SS] "
  // prefix + text + 2 must stay below 4096.
  const std::string fits(4096 - prefix - 3, 'a');
  const std::string too_long(4096 - prefix - 2, 'b');
  printer::inst().print_leveled(kInfo, "%s", too_long.c_str());
  EXPECT_EQ(capture.text(), "");
  printer::inst().print_leveled(kInfo, "%s", fits.c_str());
  EXPECT_EQ(without_times(capture.text()), fits + "\n");
  printer::inst().print_status_text("%s", std::string(4100, 'c').c_str());
  EXPECT_EQ(without_times(capture.text()), fits + "\n");
}

TEST(Printer, ColoursFollowTheLevelAndAreResetAfterEachMessage) {
  console_capture capture;
  printer::inst().set_console(stdout, false);  // replaced below with colour on
  FILE* file = std::tmpfile();
  printer::inst().set_console(file, true);
  printer::inst().print_leveled(kInfo, "i");
  printer::inst().print_leveled(kStatus, "s");
  printer::inst().print_leveled(kEvent, "e");
  printer::inst().print_leveled(kError, "x");
  printer::inst().print_leveled(7, "n");
  printer::inst().print_grey_text("g");
  std::rewind(file);
  char buffer[1024] = {};
  size_t got = std::fread(buffer, 1, sizeof(buffer) - 1, file);
  std::fclose(file);
  printer::inst().set_console(stdout, false);
  const std::string text = without_times(std::string(buffer, got));
  EXPECT_EQ(text,
            "\x1b[90mi\n\x1b[0m"
            "\x1b[96ms\n\x1b[0m"
            "\x1b[93me\n\x1b[0m"
            "\x1b[91mx\n\x1b[0m"
            "n\n\x1b[0m"
            "\x1b[90mg\x1b[0m");
}

TEST(Printer, LogFileReceivesTheConsoleTextWithoutColourAndAppends) {
  char path[] = "/tmp/orbeck-printer-XXXXXX";
  int fd = mkstemp(path);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(write(fd, "earlier run\n", 12), 12);
  close(fd);

  FILE* console = std::tmpfile();
  printer::inst().set_console(console, true);
  printer::inst().print_plain("before the log\n");
  ASSERT_TRUE(printer::inst().open_log(path));
  printer::inst().print_leveled(kError, "Connecting to Pool failed. Retrying in %lld secs ...", 20LL);
  printer::inst().print_plain("plain\n");
  printer::inst().close_log();
  printer::inst().set_console(stdout, false);
  std::fclose(console);

  EXPECT_EQ(without_times(read_file(path)),
            "earlier run\nConnecting to Pool failed. Retrying in 20 secs ...\nplain\n");
  std::remove(path);
  EXPECT_FALSE(printer::inst().open_log("/nonexistent-dir/orbeck.log"));
}

TEST(Printer, ConcurrentMessagesNeverInterleave) {
  console_capture capture;
  constexpr int kThreads = 4;
  constexpr int kLines = 300;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t] {
      const std::string body(200, static_cast<char>('a' + t));
      for (int i = 0; i < kLines; ++i) {
        if (i % 2 == 0)
          printer::inst().print_leveled(kStatus, "T%d %s", t, body.c_str());
        else
          printer::inst().print_plain("T" + std::to_string(t) + " " + body + "\n");
      }
    });
  }
  for (auto& thread : threads) thread.join();

  std::istringstream lines(without_times(capture.text()));
  std::string line;
  int count = 0;
  while (std::getline(lines, line)) {
    ++count;
    ASSERT_EQ(line.size(), 203u) << line;
    const char mark = line[3];
    EXPECT_EQ(line, "T" + std::to_string(mark - 'a') + " " + std::string(200, mark));
  }
  EXPECT_EQ(count, kThreads * kLines);
}

}  // namespace
}  // namespace base
