// fmskins-folder as a user runs it, on a mod folder the tests build: each answer of the
// check in each form, the dry run, the edit's bytes against the console tool's, the journal
// and its undo, and the runs refused before anything is done.

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "support/model_builder.h"
#include "support/tool_runner.h"

namespace fmskins::test {
namespace {

using Files = std::map<std::string, std::string>;

ToolRun run_folder(const ScratchDir& dir, const std::vector<std::string>& arguments) {
  return run_tool(dir.path, arguments, "exec fmskins-folder \"$@\"");
}

// A folder with a model in each situation: paths found as stored, in another case, only
// with backslashes, not at all; a damaged model named in capitals; a spare skin file.
class FolderRun : public testing::Test {
 protected:
  void SetUp() override {
    for (const char* folder :
         {"mod", "mod/models", "mod/models/mymod", "mod/models/Ogre", "mod/sub"}) {
      std::filesystem::create_directory(dir.path / folder);
    }
    write_file(dir.path / "mod/models/mymod/skin.m8", "s");
    write_file(dir.path / "mod/models/Ogre/Skin2.m8", "s");
    write_file(dir.path / "mod/spare.M8", "s");
    write_file(dir.path / "mod/readme.txt", "r");
    write_file(dir.path / "mod/a.fm", a_model);
    write_file(dir.path / "mod/sub/bad.FM", sample_model({"x"}).substr(0, 100));
  }

  const std::string a_model = sample_model({"models/mymod/skin.m8", "models/ogre/skin2.m8",
                                            "models\\Ogre\\Skin2.m8", "models/gone\x1b.m8"});
  ScratchDir dir;
};

TEST_F(FolderRun, CheckGivesTheFourAnswersTheUnusedFileAndTheDamagedModel) {
  const Files before = snapshot(dir.path);
  const ToolRun table = run_folder(dir, {"check", "mod"});
  EXPECT_EQ(table.output,
            "a.fm\n"
            "    #1   yes          models/mymod/skin.m8\n"
            "    #2   other case   models/ogre/skin2.m8  (file: models/Ogre/Skin2.m8)\n"
            "    #3   backslashes  models\\Ogre\\Skin2.m8  (file: models/Ogre/Skin2.m8)\n"
            "    #4   no           models/gone\\x1B.m8\n"
            "sub/bad.FM\n"
            "    FATAL: Invalid (too big) chunk size in model\n"
            "Unused skin file: spare.M8\n"
            "4 skin paths in 2 models: 1 not found, 1 in another case, 1 with backslashes; "
            "1 model could not be read; 1 skin file unused\n");
  EXPECT_EQ(table.status, 1);

  const ToolRun json = run_folder(dir, {"check", "--json", "mod"});
  EXPECT_EQ(
      json.output,
      "{\"type\":\"model\",\"folder\":\"mod\",\"path\":\"a.fm\",\"status\":\"ok\",\"message\":null,"
      "\"warnings\":[]}\n"
      "{\"type\":\"skin\",\"folder\":\"mod\",\"model\":\"a.fm\",\"index\":1,\"text\":\"models/"
      "mymod/skin.m8\","
      "\"hex\":\"6d6f64656c732f6d796d6f642f736b696e2e6d38\",\"found\":\"yes\",\"file\":\"models/"
      "mymod/skin.m8\",\"warnings\":[]}\n"
      "{\"type\":\"skin\",\"folder\":\"mod\",\"model\":\"a.fm\",\"index\":2,\"text\":\"models/ogre/"
      "skin2.m8\","
      "\"hex\":\"6d6f64656c732f6f6772652f736b696e322e6d38\",\"found\":\"other "
      "case\",\"file\":\"models/Ogre/Skin2.m8\",\"warnings\":[]}\n"
      "{\"type\":\"skin\",\"folder\":\"mod\",\"model\":\"a.fm\",\"index\":3,\"text\":"
      "\"models\\\\Ogre\\\\Skin2.m8\","
      "\"hex\":\"6d6f64656c735c4f6772655c536b696e322e6d38\",\"found\":\"backslashes\",\"file\":"
      "\"models/Ogre/Skin2.m8\","
      "\"warnings\":[\"contains a backslash; game paths use forward slashes\"]}\n"
      "{\"type\":\"skin\",\"folder\":\"mod\",\"model\":\"a.fm\",\"index\":4,\"text\":\"models/"
      "gone\\\\x1B.m8\","
      "\"hex\":\"6d6f64656c732f676f6e651b2e6d38\",\"found\":\"no\",\"file\":null,\"warnings\":[]}\n"
      "{\"type\":\"model\",\"folder\":\"mod\",\"path\":\"sub/bad.FM\",\"status\":\"damaged\","
      "\"message\":\"Invalid (too big) chunk size in model\",\"warnings\":[]}\n"
      "{\"type\":\"unused\",\"folder\":\"mod\",\"file\":\"spare.M8\"}\n"
      "{\"type\":\"summary\",\"models\":2,\"damaged\":1,\"skin_paths\":4,\"yes\":1,\"other_case\":"
      "1,"
      "\"backslashes\":1,\"no\":1,\"unused\":1,\"status\":1}\n");
  EXPECT_EQ(json.status, 1);

  const ToolRun csv = run_folder(dir, {"check", "--csv", "mod"});
  EXPECT_EQ(csv.output,
            "\"model\",\"skin path\",\"found\",\"file\",\"warnings\"\r\n"
            "\"a.fm\",\"models/mymod/skin.m8\",\"yes\",\"models/mymod/skin.m8\",\"\"\r\n"
            "\"a.fm\",\"models/ogre/skin2.m8\",\"other case\",\"models/Ogre/Skin2.m8\",\"\"\r\n"
            "\"a.fm\",\"models\\Ogre\\Skin2.m8\",\"backslashes\",\"models/Ogre/Skin2.m8\","
            "\"contains a backslash; game paths use forward slashes\"\r\n"
            "\"a.fm\",\"models/gone\\x1B.m8\",\"no\",\"\",\"\"\r\n"
            "\"sub/bad.FM\",\"\",\"\",\"\",\"Invalid (too big) chunk size in model\"\r\n");
  EXPECT_EQ(csv.status, 1);
  EXPECT_EQ(snapshot(dir.path), before);

  // Every path found as stored, every model read: status 0. Several folders: each named.
  std::filesystem::create_directory(dir.path / "good");
  write_file(dir.path / "good/g.fm", sample_model({"g.m8"}));
  write_file(dir.path / "good/g.m8", "s");
  const ToolRun good = run_folder(dir, {"check", "good", "good/"});
  EXPECT_EQ(good.output,
            "good/g.fm\n    #1   yes          g.m8\ngood/g.fm\n    #1   yes          g.m8\n"
            "2 skin paths in 2 models: 0 not found, 0 in another case, 0 with backslashes; "
            "0 models could not be read; 0 skin files unused\n");
  EXPECT_EQ(good.status, 0);
}

TEST_F(FolderRun, RetargetDryRunWritesNothingAndApplyWritesTheConsoleToolsBytes) {
  // A second model: an entry the plan leaves alone keeps the bytes after its NUL, and a path
  // that would pass 63 bytes is left out and named.
  const std::string untouched("keep.m8\0junk", 12);
  const std::string long_path = "models/" + std::string(52, 'x');
  write_file(dir.path / "mod/b.fm", sample_model({"models/b.m8", untouched, long_path}));
  const Files before = snapshot(dir.path);

  const ToolRun dry = run_folder(dir, {"retarget", "models/", "Models/tarn/", "mod"});
  EXPECT_EQ(dry.output,
            "a.fm\n"
            "    #1 models/mymod/skin.m8 -> Models/tarn/mymod/skin.m8\n"
            "    #2 models/ogre/skin2.m8 -> Models/tarn/ogre/skin2.m8\n"
            "    #4 models/gone\\x1B.m8 -> Models/tarn/gone\\x1B.m8\n"
            "b.fm\n"
            "    #1 models/b.m8 -> Models/tarn/b.m8\n"
            "    left out: #3 Models/tarn/" +
                std::string(52, 'x') +
                " would be 64 bytes, over 63\n"
                "sub/bad.FM\n"
                "    not edited: Invalid (too big) chunk size in model\n"
                "Would change 4 skin paths in 2 models; 1 path left out; 1 model not edited. "
                "Nothing was written (a dry run): add --apply to write.\n");
  EXPECT_EQ(dry.status, 1);
  EXPECT_EQ(snapshot(dir.path), before);

  // The console tool's bytes for the new list, but for the untouched entry's own 64.
  write_file(dir.path / "console.fm", a_model);
  ASSERT_EQ(
      run_tool(dir.path, {"console.fm", "Models/tarn/mymod/skin.m8", "Models/tarn/ogre/skin2.m8",
                          "models\\Ogre\\Skin2.m8", "Models/tarn/gone\x1b.m8"})
          .status,
      0);
  const std::string console_bytes = read_file(dir.path / "console.fm");
  std::filesystem::remove(dir.path / "console.fm");
  const ToolRun apply = run_folder(
      dir, {"retarget", "--apply", "--journal", "undo.json", "models/", "Models/tarn/", "mod"});
  EXPECT_EQ(apply.output.substr(dry.output.find("Would change")),
            "Replaced: a.fm (3 skin paths)\nReplaced: b.fm (1 skin path)\n"
            "Replaced 2 models, 0 not replaced. Undo journal: undo.json\n");
  EXPECT_EQ(apply.status, 1);  // the damaged model and the path left out
  Files after = before;
  after["mod/a.fm"] = console_bytes;
  after["mod/b.fm"] = sample_model({"Models/tarn/b.m8", untouched, long_path});
  after["undo.json"] = read_file(dir.path / "undo.json");
  EXPECT_EQ(snapshot(dir.path), after);
  EXPECT_NE(after["undo.json"].find("\"type\":\"done\""), std::string::npos);

  // Undo puts back every model as the edit left it, and leaves alone one changed since.
  write_file(dir.path / "mod/b.fm", sample_model({"changed.m8"}));
  const ToolRun undo = run_folder(dir, {"undo", "undo.json"});
  const std::string full = std::filesystem::canonical(dir.path / "mod").string();
  EXPECT_EQ(undo.output, "Restored: " + full + "/a.fm\nLeft alone: " + full +
                             "/b.fm: changed since the edit\n"
                             "Restored 1 model, 0 already as before, 1 not restored.\n");
  EXPECT_EQ(undo.status, 1);
  after["mod/a.fm"] = a_model;
  after["mod/b.fm"] = sample_model({"changed.m8"});
  EXPECT_EQ(snapshot(dir.path), after);
  const ToolRun again = run_folder(dir, {"undo", "undo.json"});
  EXPECT_EQ(again.output.substr(0, again.output.find('\n')),
            "Already as before: " + full + "/a.fm");
  EXPECT_EQ(snapshot(dir.path), after);
}

TEST(FolderRunEdge, NamesThatAreNoTextAModelEditedTwiceAndTheJournalsOwnName) {
  ScratchDir dir;
  std::filesystem::create_directory(dir.path / "mod");
  const std::string odd_name = "odd\xff\x1b.fm";  // not UTF-8, and a control byte
  write_file(dir.path / "mod" / odd_name, sample_model({"old/a.m8"}));
  const ToolRun json = run_folder(dir, {"check", "--json", "mod"});
  EXPECT_EQ(json.output.substr(0, json.output.find('\n')),
            "{\"type\":\"model\",\"folder\":\"mod\",\"path\":\"odd\\\\xFF\\u001b.fm\","
            "\"status\":\"ok\",\"message\":null,\"warnings\":[]}");
  const ToolRun table = run_folder(dir, {"check", "mod"});
  EXPECT_EQ(table.output.substr(0, table.output.find('\n')), "odd\xff\\x1B.fm");

  // The folder named twice: the model is planned twice, edited once, and the second edit,
  // finding it changed since it was checked, is named and leaves it as the first made it.
  const ToolRun apply = run_folder(dir, {"retarget", "--apply", "old/", "new/", "mod", "mod/"});
  const std::string shown = "mod/odd\xff\\x1B.fm";
  EXPECT_NE(apply.output.find("Replaced: " + shown + " (1 skin path)\n"), std::string::npos);
  EXPECT_NE(
      apply.output.find("Not replaced: " + shown + ": Model file changed since it was checked\n"),
      std::string::npos);
  EXPECT_EQ(apply.status, 1);
  EXPECT_EQ(read_file(dir.path / "mod" / odd_name), sample_model({"new/a.m8"}));
  const Files left = snapshot(dir.path);
  ASSERT_EQ(left.size(), 3U);  // the folder, the model and the journal, named by the time
  const std::string journal = left.begin()->first;
  EXPECT_TRUE(journal.starts_with("fmskins-undo-") && journal.ends_with("Z.json")) << journal;
  EXPECT_EQ(journal.size(), std::string("fmskins-undo-20261210T143946Z.json").size());
}

TEST(FolderRunRefused, BadFoldersAndCommandLinesEndWithStatusTwoAndWriteNothing) {
  ScratchDir dir;
  write_file(dir.path / "file.fm", sample_model({"a"}));
  std::filesystem::create_directory_symlink("loop", dir.path / "loop");
  std::filesystem::create_directory(dir.path / "mod");
  const Files before = snapshot(dir.path);
  struct Row {
    std::vector<std::string> arguments;
    std::string error;
  };
  const Row rows[] = {
      {{"check", "file.fm"}, "fmskins-folder: Can't read folder file.fm: it is not a folder\n"},
      {{"check", "loop"},
       "fmskins-folder: Can't read folder loop: too many levels of links (a link loop?)\n"},
      {{"check", "gone", "mod"},
       "fmskins-folder: Can't read folder gone: No such file or directory\n"},
      {{"retarget", "", "b/", "mod"},
       "fmskins-folder: FROM is empty: it would put TO before every path; give the start to "
       "replace\n"},
      {{"retarget", "a/", "a/", "mod"},
       "fmskins-folder: FROM and TO are the same: nothing would change\n"},
      {{"retarget", "a/", "b/"},
       "fmskins-folder: retarget needs FROM, TO and at least one FOLDER\n"},
      {{"check", "--json", "--csv", "mod"},
       "fmskins-folder: check takes one of --json and --csv, not --csv\n"},
      {{"undo", "file.fm"}, "fmskins-folder: Not an undo journal of fmskins-folder: file.fm\n"},
      {{"list", "mod"}, "fmskins-folder: no command list\n"},
  };
  for (const Row& row : rows) {
    const ToolRun run = run_folder(dir, row.arguments);
    EXPECT_EQ(run.status, 2) << row.error;
    EXPECT_EQ(run.errors.substr(0, run.errors.find('\n') + 1), row.error);
    EXPECT_EQ(run.output, "");
  }
  EXPECT_EQ(snapshot(dir.path), before);
}

}  // namespace
}  // namespace fmskins::test
