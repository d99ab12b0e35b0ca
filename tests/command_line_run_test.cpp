// The built tool on command lines that fail before or while the model is opened.

#include <gtest/gtest.h>

#include <cerrno>

#if !defined(_WIN32)
#include <sys/stat.h>
#endif

#include "support/model_builder.h"
#include "support/report_text.h"
#include "support/tool_runner.h"

namespace fmskins::test {
namespace {

TEST(CommandLineRun, AloneNothingOrAHelpOrVersionRequestIsAnswered) {
  const ScratchDir dir;
  struct Row {
    std::vector<std::string> arguments;
    std::string output;
    int status;
  };
  for (const auto& [arguments, output, status] : std::vector<Row>{
           {{}, banner() + usage() + fatal_line("No model file specified"), failure_status},
           {{"--help"}, banner() + usage(), 0},
           {{"-h"}, banner() + usage(), 0},
           {{"/?"}, banner() + usage(), 0},
           {{"--version"}, "fmskins " FMSKINS_VERSION "\n", 0}}) {
    const ToolRun run = run_tool(dir.path, arguments);
    EXPECT_EQ(run.output, output);
    EXPECT_EQ(run.errors, "");
    EXPECT_EQ(run.status, status);
    EXPECT_TRUE(snapshot(dir.path).empty());
  }
}

TEST(CommandLineRun, OptionErrorsLeaveTheModelAlone) {
  const ScratchDir dir;
  const std::string model = sample_model({"a"});
  write_file(dir.path / "m.fm", model);
  for (const auto& [arguments, message] :
       std::vector<std::pair<std::vector<std::string>, std::string>>{
           {{"/O"}, "/O requires output file name"},
           {{"m.fm"}, "At least one skin path must be specified"},
           {{"/O", "m.fm", "m.fm"}, "At least one skin path must be specified"}}) {
    const ToolRun run = run_tool(dir.path, arguments);
    EXPECT_EQ(run.output, banner() + usage() + fatal_line(message));
    EXPECT_EQ(run.status, failure_status);
    EXPECT_EQ(snapshot(dir.path), (std::map<std::string, std::string>{{"m.fm", model}}));
  }
}

TEST(CommandLineRun, ModelThatCannotBeOpenedEndsWithItsErrorNumber) {
  const ScratchDir dir;
  std::filesystem::create_directory(dir.path / "folder.fm");
  std::map<std::string, std::string> files{{"folder.fm", "dir"}};
  std::vector<std::pair<std::string, int>> cases{
      {"missing.fm", ENOENT}, {"folder.fm", EISDIR}, {"missing/dir/m.fm", ENOENT}};
#if !defined(_WIN32)
  // A pipe has no length to seek to: it is refused at once rather than waited on.
  ASSERT_EQ(mkfifo((dir.path / "pipe.fm").c_str(), 0600), 0);
  files["pipe.fm"] = "special";
  cases.emplace_back("pipe.fm", ESPIPE);
#else
  note_skipped_case("a pipe as the model needs a POSIX FIFO");
#endif
  for (const auto& [path, error_number] : cases) {
    for (const std::vector<std::string>& arguments :
         {std::vector<std::string>{path, "a"}, {"/L", path}, {"/A", "/O", "out.fm", path}}) {
      const ToolRun run = run_tool(dir.path, arguments);
      EXPECT_EQ(run.output, banner() + "Input Model File: " + path + "\n" + usage() +
                                fatal_line("Can't open input model file"))
          << path;
      EXPECT_EQ(run.status, error_number) << path;
      EXPECT_EQ(snapshot(dir.path), files);
    }
  }
}

}  // namespace
}  // namespace fmskins::test
