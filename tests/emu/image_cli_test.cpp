// tarvik-sim --image as a user runs it: the same bytes as the host build, the
// handler profile on standard error, and images that cannot run refused.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

#include "command.h"

namespace {

struct Output {
  std::string out, err;
  int status;
};

Output run(const std::string& input, const std::string& args) {
  const std::string err = testing::TempDir() + "image_cli_stderr";
  const std::string cmd = "printf '" + input + "' | env -u TARVIK_SIM_IMAGE " TARVIK_SIM_PATH " --batch " +
                          args + " 2>'" + err + "'";
  const CommandResult r = run_command(cmd);
  return Output{r.out, read_file(err), r.status};
}

TEST(ImageCli, TheImageAnswersByteForByteAsTheHostBuildAndProfilesItsHandlers) {
  const Output host = run("help\\rbackup_set 2 7\\rbackup_list\\r", "");
  const Output image =
      run("help\\rbackup_set 2 7\\rbackup_list\\r", "--image " TARVIK_IMAGE " --profile-irq");
  ASSERT_EQ(host.status, 0);
  EXPECT_EQ(image.status, 0) << image.err;
  EXPECT_EQ(image.out, host.out);
  EXPECT_NE(image.out.find("BKP_DR2 : 0x7(7)"), std::string::npos);
  for (const char* handler :
       {"vPortSVCHandler", "xPortPendSVHandler", "xPortSysTickHandler", "vEngine4Handler"})
    EXPECT_NE(image.err.find(handler), std::string::npos) << handler << "\n" << image.err;
  EXPECT_EQ(host.err.find("vEngine4Handler"), std::string::npos);
}

TEST(ImageCli, ImagesThatCannotRunAreRefusedBeforeTheRun) {
  const Output text = run("help\\r", "--image /etc/hostname");
  EXPECT_EQ(text.status, 2);
  EXPECT_EQ(text.out, "");
  EXPECT_NE(text.err.find("not an ELF file"), std::string::npos) << text.err;
  EXPECT_EQ(run("", "--image /nonexistent.elf").status, 2);
  EXPECT_EQ(run("", "--image").status, 2);
  const Output profile = run("", "--profile-irq");
  EXPECT_EQ(profile.status, 2);
  EXPECT_NE(profile.err.find("--profile-irq needs --image"), std::string::npos) << profile.err;
}

}  // namespace
