#include "cli/command_line.h"
#include "cli/launch.h"
#include "files/model_file.h"

#include <gtest/gtest.h>

#include <optional>

#include "support/in_process.h"
#include "support/report_text.h"

namespace fmskins {
namespace {

// Parses `arguments` in-process. Returns the options, or nothing when the run ended;
// `report` gets what was printed and `status` the exit status of an ended run.
std::optional<RunOptions> parse(const std::vector<std::string>& arguments, std::string& report,
                                int& status) {
  std::optional<RunOptions> options;
  status =
      test::run_in_process([&] { options = parse_command_line(arguments); }, report).value_or(0);
  return options;
}

struct Accepted {
  std::vector<std::string> arguments;
  bool append;
  bool list_only;
  std::string model_path;
  std::string output_path;
  std::vector<std::string> skin_paths;
  RunMode mode;
};

TEST(CommandLine, AcceptedArgumentLists) {
  const Accepted cases[] = {
      {{"fmskins", "m.fm", "a"}, false, false, "m.fm", "m.fm", {"a"}, RunMode::replace},
      {{"fmskins", "/a", "m.fm"}, true, false, "m.fm", "m.fm", {}, RunMode::append},
      {{"fmskins", "/L", "m.fm", "x"}, false, true, "m.fm", "m.fm", {"x"}, RunMode::list},
      {{"fmskins", "/l", "/A", "m.fm"}, true, true, "m.fm", "m.fm", {}, RunMode::list},
      // Options end at the model path: a later /A is a skin path.
      {{"fmskins", "m.fm", "/A", "/L"},
       false,
       false,
       "m.fm",
       "m.fm",
       {"/A", "/L"},
       RunMode::replace},
      // /O takes the next argument whatever it reads.
      {{"fmskins", "/O", "/A", "m.fm", "s"}, false, false, "m.fm", "/A", {"s"}, RunMode::replace},
      {{"fmskins", "/o", "one.fm", "/O", "two.fm", "m.fm", "s"},
       false,
       false,
       "m.fm",
       "two.fm",
       {"s"},
       RunMode::replace},
      // Only the six exact forms are options.
      {{"fmskins", "/x", "s"}, false, false, "/x", "/x", {"s"}, RunMode::replace},
      {{"fmskins", "/append", "s"}, false, false, "/append", "/append", {"s"}, RunMode::replace},
      {{"fmskins", "", "s"}, false, false, "", "", {"s"}, RunMode::replace},
      {{"fmskins", "/A", "m.fm", "c:\\skins\\a.m8", "b c"},
       true,
       false,
       "m.fm",
       "m.fm",
       {"c:\\skins\\a.m8", "b c"},
       RunMode::append},
  };
  for (const Accepted& expected : cases) {
    std::string report;
    int status = 0;
    const std::optional<RunOptions> options = parse(expected.arguments, report, status);
    ASSERT_TRUE(options.has_value()) << report;
    EXPECT_EQ(report, test::banner());
    EXPECT_EQ(options->program_name, "fmskins");
    EXPECT_EQ(options->append, expected.append);
    EXPECT_EQ(options->list_only, expected.list_only);
    EXPECT_EQ(options->model_path, expected.model_path);
    EXPECT_EQ(options->output_path, expected.output_path);
    EXPECT_EQ(options->skin_paths, expected.skin_paths);
    EXPECT_EQ(run_mode(*options), expected.mode);
  }
}

TEST(CommandLine, RefusedArgumentListsPrintUsageAndEndWithMinusOne) {
  const std::pair<std::vector<std::string>, const char*> cases[] = {
      {{"fmskins"}, "No model file specified"},
      {{"fmskins", "/A", "/L"}, "No model file specified"},
      {{"fmskins", "/O"}, "/O requires output file name"},
      {{"fmskins", "/A", "/O"}, "/O requires output file name"},
      {{"fmskins", "m.fm"}, "At least one skin path must be specified"},
      {{"fmskins", "/O", "out.fm", "m.fm"}, "At least one skin path must be specified"},
  };
  for (const auto& [arguments, message] : cases) {
    std::string report;
    int status = 0;
    EXPECT_FALSE(parse(arguments, report, status).has_value()) << message;
    EXPECT_EQ(status, -1);
    EXPECT_EQ(report, test::banner() + test::usage() + test::fatal_line(message));
  }
}

// Names that Windows opens as a device are told apart from files that only look alike.
TEST(CommandLine, WindowsDeviceNamesWithAnExtension) {
  for (const char* name : {"aux.fm", "AUX.FM", "C:\\mods\\Com1.fm", "models/lpt9.x.fm", "nul .fm",
                           "prn.", "con.txt"}) {
    EXPECT_TRUE(names_windows_device(name)) << name;
  }
  for (const char* name : {"NUL", "con", "aux2.fm", "com0.fm", "com10.fm", "auxiliary.fm",
                           "aux/ogre.fm", "my aux.fm", "lpt.fm"}) {
    EXPECT_FALSE(names_windows_device(name)) << name;
  }
}

TEST(CommandLine, ProgramNameIsShownAsTyped) {
  std::string report;
  int status = 0;
  parse({"./bin/FMSKINS.EXE"}, report, status);
  EXPECT_NE(report.find("Executing ./bin/FMSKINS.EXE\n"), std::string::npos);
  EXPECT_NE(report.find("\nProgram: ./bin/FMSKINS.EXE\n"), std::string::npos);
  EXPECT_NE(report.find("\n./bin/FMSKINS.EXE [/A] [/L] [/O outfile.fm]"), std::string::npos);
}

// Started alone on a console, as from Explorer, the tool waits for Enter before its window
// closes; never in a shared console or with input or output redirected.
TEST(CommandLine, PauseBeforeExitOnlyOnAConsoleOfItsOwn) {
  struct Row {
    unsigned long console_processes;
    bool output_is_console;
    bool input_is_console;
    bool pause;
  };
  const Row rows[] = {{1, true, true, true},   {2, true, true, false},  {0, false, false, false},
                      {1, false, true, false}, {1, true, false, false}, {3, false, false, false}};
  for (const Row& row : rows) {
    EXPECT_EQ(should_pause_before_exit(row.console_processes, row.output_is_console,
                                       row.input_is_console),
              row.pause)
        << row.console_processes << row.output_is_console << row.input_is_console;
  }
}

}  // namespace
}  // namespace fmskins
