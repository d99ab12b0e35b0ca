// The mod-folder engine on models the tests build: the skin list as a listing finds it (the
// same FATAL text and entries as the walk), the retarget plan, and the report's forms.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "cli/command_line.h"
#include "folder/folder_check.h"
#include "model/model_pass.h"
#include "model/skin_list.h"
#include "support/in_process.h"
#include "support/model_builder.h"
#include "support/tool_runner.h"

#include "folder/retarget_plan.h"

#if defined(FMSKINS_FOLDER_EDIT)
#include "folder/folder_edit.h"
#endif

namespace fmskins {
namespace {

using test::chunk;
using test::chunk_with_size;
using test::header_chunk;
using test::plain_chunk;
using test::sample_model;
using test::skin_chunk;

SkinList list_of(const std::string& model) {
  const std::span<const std::uint8_t> bytes(reinterpret_cast<const std::uint8_t*>(model.data()),
                                            model.size());
  return read_skin_list(model.size(), bytes_reader(bytes));
}

// The FATAL text (or "") and the paths listed when the walk lists `model`.
std::pair<std::string, std::vector<std::string>> walked(const std::string& model) {
  RunOptions options;
  options.program_name = "fmskins";
  options.list_only = true;
  std::string report;
  const std::span<const std::uint8_t> bytes(reinterpret_cast<const std::uint8_t*>(model.data()),
                                            model.size());
  (void)test::run_in_process([&] { (void)walk_model(bytes, options, nullptr); }, report);
  std::string fault;
  if (const std::size_t at = report.find("FATAL: "); at != std::string::npos) {
    fault = report.substr(at + 7, report.find('\n', at) - at - 7);
  }
  std::vector<std::string> paths;
  const std::size_t list = report.find("    Current skin paths are:\n");
  for (std::size_t at = list == std::string::npos ? report.size() : report.find('\n', list) + 1;
       at < report.size() && report.compare(at, 4, "    ") == 0;) {
    const std::size_t end = report.find('\n', at);
    paths.push_back(report.substr(at + 4, end - at - 4));
    at = end + 1;
  }
  return {fault, paths};
}

TEST(SkinList, SameFaultsAndEntriesAsTheWalk) {
  const std::string skins = skin_chunk({"a.m8", "b.m8"});
  struct Row {
    std::string model;
    std::vector<std::string> warnings;
  };
  const Row rows[] = {
      {sample_model({"skins/a.m8", "skins/b.m8"}), {}},
      {"", {}},
      {header_chunk(0), {}},
      {header_chunk(2) + skins.substr(0, 100), {}},                     // too big
      {header_chunk(2) + chunk_with_size("skin", 1, 0, ""), {}},        // <= 0
      {header_chunk(2) + chunk_with_size("tris", 1, -5, ""), {}},       // <= 0
      {header_chunk(2) + chunk("skin", 2, std::string(128, 'x')), {}},  // version
      {chunk("header", 2, std::string(12, '\0')) + skins, {}},          // too small header
      {header_chunk(2) + skins + "abc", {}},                            // a short tail
      {skins + header_chunk(2), {"SKIN chunk comes before any HEADER chunk"}},
      {header_chunk(5) + skins, {"Skin count 5 does not match SKIN chunk size 128"}},
      {header_chunk(1) + skins, {"Skin count 1 does not match SKIN chunk size 128"}},
      {header_chunk(-3) + skins, {"Skin count -3 does not match SKIN chunk size 128"}},
      {header_chunk(2) + skins + skin_chunk({"c"}), {"Further SKIN chunk left unchanged"}},
      {header_chunk(2) + plain_chunk("mystery", 1, 8) + skins,
       {"Unrecognized chunk identifier: mystery"}},
  };
  for (const Row& row : rows) {
    const SkinList list = list_of(row.model);
    const auto [fault, paths] = walked(row.model);
    EXPECT_EQ(list.fault, fault) << row.model.size();
    if (fault.empty()) {
      std::vector<std::string> listed;
      for (const SkinEntry& entry : list.entries) {
        listed.emplace_back(skin_entry_text(entry));
      }
      EXPECT_EQ(listed, paths) << row.model.size();
      EXPECT_EQ(list.warnings, row.warnings) << row.model.size();
    }
  }
  const SkinList list = list_of(header_chunk(2) + skins);
  EXPECT_TRUE(list.count_matches);
  EXPECT_EQ(list.first_entry, header_chunk(2).size() + 40);
}

TEST(FolderReport, JsonTextKeepsUtf8AndEscapesTheRest) {
  EXPECT_EQ(json_string("a\"b\\c/\xc3\xa9\xe2\x82\xac"), "\"a\\\"b\\\\c/\xc3\xa9\xe2\x82\xac\"");
  EXPECT_EQ(json_string(std::string("\x1b\t\x7f\0", 4)), "\"\\u001b\\u0009\\u007f\\u0000\"");
  EXPECT_EQ(json_string("\xe9t\xc3\xed\xa0\x80\xf4\x90\x80\x80"),
            "\"\\\\xE9t\\\\xC3\\\\xED\\\\xA0\\\\x80\\\\xF4\\\\x90\\\\x80\\\\x80\"");
  EXPECT_EQ(counted(0), "0");
  EXPECT_EQ(counted(999), "999");
  EXPECT_EQ(counted(1234), "1,234");
  EXPECT_EQ(counted(1234567), "1,234,567");
  std::string bytes;
  EXPECT_TRUE(from_hex_text(hex_text(std::string("\0\xff\x1b", 3)), bytes));
  EXPECT_EQ(bytes, std::string("\0\xff\x1b", 3));
  EXPECT_FALSE(from_hex_text("abc", bytes));
  EXPECT_FALSE(from_hex_text("0G", bytes));
  EXPECT_FALSE(from_hex_text("AB", bytes));  // upper case is not how the tool writes it
}

TEST(FolderReport, CsvQuotesEveryCellAndNamesTheDamaged) {
  const FolderIndex folder = make_folder_index({"a.fm", "models/Skin.m8"});
  const CheckedModel model = check_model(
      "mod", "a.fm",
      list_of(sample_model({"models/skin.m8", "say \"hi\"\\x", "=HYPERLINK(1)", "@x", "a=b"})),
      folder);
  // A cell that a spreadsheet would run as a formula starts with a '.
  EXPECT_EQ(model_csv(model, false),
            "\"a.fm\",\"models/skin.m8\",\"other case\",\"models/Skin.m8\",\"\"\r\n"
            "\"a.fm\",\"say \"\"hi\"\"\\x\",\"no\",\"\",\"contains a backslash; game paths use "
            "forward slashes\"\r\n"
            "\"a.fm\",\"'=HYPERLINK(1)\",\"no\",\"\",\"\"\r\n"
            "\"a.fm\",\"'@x\",\"no\",\"\",\"\"\r\n"
            "\"a.fm\",\"a=b\",\"no\",\"\",\"\"\r\n");
  const CheckedModel damaged =
      check_model("mod", "b.fm", list_of(header_chunk(1).substr(0, 50)), folder);
  EXPECT_EQ(model_csv(damaged, true),
            "\"mod/b.fm\",\"\",\"\",\"\",\"Invalid (too big) chunk size in model\"\r\n");
  EXPECT_EQ(csv_header(), "\"model\",\"skin path\",\"found\",\"file\",\"warnings\"\r\n");
}

TEST(RetargetPlan, ChangesByTheBytesLeavesOutTooLongAndRefusesWhatCannotBeReplaced) {
  const std::string long_rest(53, 'x');
  const std::string model =
      sample_model({"old/a.m8", "keep/old/b.m8", "old/" + long_rest, "OLD/c.m8"});
  const ModelPlan plan = plan_retarget("mod", "m.fm", list_of(model), "old/", "new/longer/");
  ASSERT_EQ(plan.changes.size(), 1U);
  EXPECT_EQ(plan.changes[0].index, 0U);
  EXPECT_EQ(plan.changes[0].new_stored, "new/longer/a.m8");
  EXPECT_EQ(plan.changes[0].offset, header_chunk(4).size() + 40);
  EXPECT_EQ(plan.left_out, (std::vector<std::string>{"#3 new/longer/" + long_rest +
                                                     " would be 64 bytes, over 63"}));
  EXPECT_TRUE(plan.refused.empty());

  // The new path's warnings, judged against the list as it will be.
  const ModelPlan repeat =
      plan_retarget("mod", "m.fm", list_of(sample_model({"b/x", "a/x"})), "a/", "b/");
  ASSERT_EQ(repeat.changes.size(), 1U);
  ASSERT_EQ(repeat.changes[0].warnings.size(), 1U);
  EXPECT_STREQ(repeat.changes[0].warnings[0], "repeats one already in the list");

  const std::string skins = skin_chunk({"old/a.m8"});
  EXPECT_EQ(plan_retarget("mod", "m.fm", list_of(skins + header_chunk(1)), "old/", "new/").refused,
            "Can't edit skins: SKIN chunk comes before any HEADER chunk");
  EXPECT_FALSE(plan_retarget("mod", "m.fm", list_of(header_chunk(3) + skins), "old/", "new/")
                   .refused.empty());
  EXPECT_TRUE(plan_retarget("mod", "m.fm", list_of(header_chunk(3) + skins), "zzz/", "new/")
                  .refused.empty());
  EXPECT_EQ(plan_retarget("mod", "m.fm", list_of("xyz"), "old/", "new/").refused,
            "Invalid (too big) chunk size in model");

  // The page's plan: the same rules, on the paths as they stand in the page.
  using namespace std::string_literals;
  EXPECT_EQ(page_retarget_plan("old/\0new/longer/\0M4\0Pold/a\0Pkeep\0M9\0Pold/"s +
                               std::string(53, 'x') + "\0Pold/b\0"s),
            "{\"type\":\"change\",\"model\":4,\"index\":0,\"hex\":\"" + hex_text("new/longer/a") +
                "\"}\n{\"type\":\"change\",\"model\":9,\"index\":1,\"hex\":\"" +
                hex_text("new/longer/b") +
                "\"}\n{\"type\":\"left_out\",\"model\":9,\"text\":\"#1 new/longer/" +
                std::string(53, 'x') + " would be 64 bytes, over 63\"}\n");
}

}  // namespace
}  // namespace fmskins

namespace fmskins {
namespace {

// The page's request gives the same records and CSV as a check of the same folder.
TEST(FolderReport, PageRequestGivesTheConsolesRecords) {
  using namespace std::string_literals;
  const std::string request =
      "mod\0Fz.m8\0Fmodels/Skin.m8\0Fspare.M8\0Fb.fm\0Fa.fm\0"
      "Mb.fm\0XInvalid (too big) chunk size in model\0"
      "Ma.fm\0Pmodels/skin.m8\0Pz.m8\0Pgone\x1b.m8\0"s;
  std::string csv;
  const std::string json = page_folder_check(request, csv);
  const FolderIndex folder =
      make_folder_index({"a.fm", "b.fm", "models/Skin.m8", "spare.M8", "z.m8"});
  const CheckedModel a = check_model(
      "mod", "a.fm", list_of(sample_model({"models/skin.m8", "z.m8", "gone\x1b.m8"})), folder);
  const CheckedModel b = check_model("mod", "b.fm", list_of("xyz"), folder);
  EXPECT_EQ(csv, csv_header() + model_csv(a, false) + model_csv(b, false));
  EXPECT_EQ(json, model_json(a) + model_json(b) + unused_json("mod", "spare.M8") +
                      "{\"type\":\"summary\",\"models\":2,\"damaged\":1,\"skin_paths\":3,\"yes\":1,"
                      "\"other_case\":1,\"backslashes\":0,\"no\":1,\"unused\":1,\"status\":1}\n");
}

#if defined(FMSKINS_FOLDER_EDIT)
TEST(UndoJournal, LinesReadBackByTheirBytesAndAnythingElseIsRefused) {
  test::ScratchDir dir;
  JournalModel model;
  model.path = "/mods/\xff\x1b odd.fm";
  model.before = std::string(64, 'a');
  model.after = std::string(64, 'b');
  Patch patch{12345, {}};
  patch.bytes.fill(0xAB);
  patch.bytes[0] = 0;
  model.restore = {patch, {7, {}}};
  EditResult failed;
  failed.message = "Model file changed since it was checked";
  test::write_file(dir.path / "j.json", journal_header_line("old/", "new/") +
                                            journal_model_line(model) +
                                            journal_done_line(model.path, failed));
  std::vector<JournalModel> read;
  std::string message;
  ASSERT_TRUE(read_journal((dir.path / "j.json").string(), read, message)) << message;
  ASSERT_EQ(read.size(), 1U);
  EXPECT_EQ(read[0].path, model.path);
  EXPECT_EQ(read[0].before, model.before);
  EXPECT_EQ(read[0].after, model.after);
  ASSERT_EQ(read[0].restore.size(), 2U);
  EXPECT_EQ(read[0].restore[0].offset, 12345U);
  EXPECT_EQ(read[0].restore[0].bytes, patch.bytes);
  EXPECT_EQ(read[0].restore[1].offset, 7U);

  const std::string model_line = journal_model_line(model);
  for (const std::string& bad :
       {std::string("not json\n"), model_line,  // no journal line first
        journal_header_line("a", "b") + model_line.substr(0, 80) + "\n",
        journal_header_line("a", "b") +
            std::string(model_line).replace(model_line.find("abab"), 4, "zz")}) {
    test::write_file(dir.path / "bad.json", bad);
    read.clear();
    EXPECT_FALSE(read_journal((dir.path / "bad.json").string(), read, message)) << bad;
    EXPECT_EQ(message,
              "Not an undo journal of fmskins-folder: " + (dir.path / "bad.json").string());
  }
}
#endif

}  // namespace
}  // namespace fmskins
