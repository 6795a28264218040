// The start-up of orbeck-vega as a user runs it: output and exit codes.
#include <gtest/gtest.h>

#include "crypto/algorithm.h"
#include "support/console_capture.h"
#include "support/process_runner.h"

namespace app {
namespace {

const std::string kProgram = "src/orbeck-vega";

TEST(Program, HelpExitsWithOneAndPrintsTheGoldenText) {
  process_result r = run_process(built_program(kProgram), {"--help"});
  ASSERT_TRUE(r.exited);
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_EQ(r.output, base::read_file(ORBECK_TEST_DATA_DIR "/golden/help.txt"));
}

TEST(Program, NoArgumentsExitsWithZero) {
  process_options options;
  options.stdin_text = "x";
  process_result r = run_process(built_program(kProgram), {}, options);
  ASSERT_TRUE(r.exited);
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(r.output, base::read_file(ORBECK_TEST_DATA_DIR "/golden/no_arguments.txt"));
}

TEST(Program, AlgorithmOutOfRangeExitsWithOne) {
  const std::string bad = std::to_string(crypto::kAlgoCount);
  process_result r =
      run_process(built_program(kProgram), {"-S", "h:1", "-u", "w", "--algo", bad.c_str()});
  ASSERT_TRUE(r.exited);
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_NE(r.output.find("] Algo " + bad + " not supported. Algo must be in the range -1 to " +
                          std::to_string(crypto::kAlgoCount - 1) + "\n"),
            std::string::npos);
}

TEST(Program, RejectedCommandLineExitsWithOne) {
  process_result r = run_process(built_program(kProgram), {"--algo", "abc"});
  ASSERT_TRUE(r.exited);
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_NE(r.output.find("the argument ('abc') for option '--algo' is invalid"), std::string::npos);
}

TEST(Program, NoColourWhenOutputIsNotATerminal) {
  process_result r = run_process(built_program(kProgram), {"-S", "h:1", "-u", "w", "-a", "-3"});
  EXPECT_EQ(r.output.find('\x1b'), std::string::npos);
}

}  // namespace
}  // namespace app
