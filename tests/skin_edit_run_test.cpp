// The built tool listing, replacing and appending skin paths.

#include <gtest/gtest.h>

#include "support/model_builder.h"
#include "support/report_text.h"
#include "support/tool_runner.h"

namespace fmskins::test {
namespace {

using Files = std::map<std::string, std::string>;

// "été" as typed, and as stored and reported: the same Windows-1252 bytes on POSIX systems,
// where the typed bytes are stored; typed as Unicode (UTF-8 here) on Windows, where the
// tool stores the ANSI code page's bytes (1252 under the test's locale).
#if defined(_WIN32)
const std::string typed_ete = "\xc3\xa9t\xc3\xa9";
#else
const std::string typed_ete = "\xe9t\xe9";
#endif
const std::string stored_ete = "\xe9t\xe9";

const std::vector<std::string> old_paths{"skins/red.m8", "skins/green.m8", "skins/blue.m8"};

std::string listing(const std::string& heading, const std::vector<std::string>& paths) {
  std::string text = "    " + heading + "\n";
  for (const std::string& path : paths) {
    text += "    " + path + "\n";
  }
  return text;
}

// Control bytes as the report shows them.
std::string printable(const std::string& text) {
  std::string shown;
  for (const char character : text) {
    if (character == '\x1b' || character == '\x07') {
      shown += character == '\x1b' ? "\\x1B" : "\\x07";
    } else {
      shown += character;
    }
  }
  return shown;
}

std::string adding(int number, const std::string& path) {
  return "    Adding #" + std::to_string(number) + " skin name '" + path + "'...\n";
}

// The report of sample_model(paths) up to and including the skin chunk's line.
std::string sample_start(const std::string& name, const std::vector<std::string>& paths) {
  return banner() + input_lines(name, sample_model(paths).size()) + chunk_line("header", 2, 40) +
         skins_identified(static_cast<long long>(paths.size())) +
         chunk_line("skin", 1, static_cast<long long>(64 * paths.size()));
}

const std::string sample_tail_lines = chunk_line("st coord", 1, 24) + chunk_line("frames", 1, 100);

class SkinEditRun : public testing::Test {
 protected:
  ToolRun run_on(const std::string& model, const std::vector<std::string>& arguments) {
    write_file(dir.path / "m.fm", model);
    return run_tool(dir.path, arguments);
  }
  ScratchDir dir;
};

TEST_F(SkinEditRun, TypicalReplaceRunToAnotherFile) {
  write_file(dir.path / "old.fm", sample_model(old_paths));
  const ToolRun run = run_tool(dir.path, {"/O", "new.fm", "old.fm", "a", "b"});
  const std::string expected = sample_model({"a", "b"});
  EXPECT_EQ(run.output, sample_start("old.fm", old_paths) +
                            listing("Deleting current skin paths:", old_paths) + adding(1, "a") +
                            adding(2, "b") + sample_tail_lines +
                            output_lines("new.fm", expected.size()));
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.errors, "");
  // One entry fewer: 64 bytes shorter, count 2 and size 128, later chunks right after.
  EXPECT_EQ(expected.size(), sample_model(old_paths).size() - 64);
  EXPECT_EQ(snapshot(dir.path), (Files{{"old.fm", sample_model(old_paths)}, {"new.fm", expected}}));
}

TEST_F(SkinEditRun, AppendKeepsOldEntriesFirstAndNumbersOn) {
  const ToolRun run = run_on(sample_model(old_paths), {"/A", "m.fm", "d", "e"});
  std::vector<std::string> all = old_paths;
  all.insert(all.end(), {"d", "e"});
  EXPECT_EQ(run.output, sample_start("m.fm", old_paths) +
                            listing("Current skin paths are:", old_paths) + adding(4, "d") +
                            adding(5, "e") + sample_tail_lines +
                            output_lines("m.fm", sample_model(all).size()));
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(snapshot(dir.path), (Files{{"m.fm", sample_model(all)}}));
}

TEST_F(SkinEditRun, AppendWithoutPathsRewritesTheSameBytes) {
  const std::string model = sample_model(old_paths);
  const ToolRun run = run_on(model, {"/a", "m.fm"});
  EXPECT_EQ(run.output, sample_start("m.fm", old_paths) +
                            listing("Current skin paths are:", old_paths) + sample_tail_lines +
                            output_lines("m.fm", model.size()));
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(snapshot(dir.path), (Files{{"m.fm", model}}));
}

TEST_F(SkinEditRun, ListModeOnlyReports) {
  const std::string model = sample_model(old_paths);
  for (const std::vector<std::string>& arguments :
       {std::vector<std::string>{"/L", "m.fm"},
        {"/L", "/A", "m.fm", "x", "y"},
        {"/l", "/O", "out.fm", "m.fm", std::string(80, 'x')}}) {
    const ToolRun run = run_on(model, arguments);
    EXPECT_EQ(run.output, sample_start("m.fm", old_paths) +
                              listing("Current skin paths are:", old_paths) + sample_tail_lines);
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(snapshot(dir.path), (Files{{"m.fm", model}}));
  }
}

TEST_F(SkinEditRun, PathLengthsAtTheEntryLimit) {
  // 63 bytes fill an entry up to its one NUL; 64 would not fit and are refused whole.
  const std::string longest(63, 'p');
  ToolRun run = run_on(sample_model({"a"}), {"m.fm", "b", longest});
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(read_file(dir.path / "m.fm"), sample_model({"b", longest}));

  const std::string too_long(64, 'q');
  std::vector<std::vector<std::string>> refused{{"m.fm", "b", too_long}, {"/A", "m.fm", too_long}};
#if !defined(_WIN32)
  // The limit is in bytes as stored: 40 accented letters typed in UTF-8 are 80 bytes. (On
  // Windows a path is stored in the ANSI code page, where they would be 40.)
  std::string accented;
  for (int letter = 0; letter < 40; ++letter) {
    accented += "\xc3\xa9";
  }
  refused.push_back({"m.fm", accented});
#endif
  const std::string model = sample_model({"a"});
  for (const std::vector<std::string>& arguments : refused) {
    run = run_on(model, arguments);
    const bool append = arguments.front() == "/A";
    EXPECT_EQ(
        run.output,
        sample_start("m.fm", {"a"}) +
            listing(append ? "Current skin paths are:" : "Deleting current skin paths:", {"a"}) +
            fatal_line("Skin path longer than 63 bytes: " + arguments.back()));
    EXPECT_EQ(run.status, failure_status);
    EXPECT_EQ(snapshot(dir.path), (Files{{"m.fm", model}}));
  }
}

TEST_F(SkinEditRun, StoredEntryWithoutNulShowsItsFirst63Characters) {
  const std::string full(64, 'z');
  std::string model = header_chunk(2) + chunk("skin", 1, skin_entry(full) + skin_entry("ok"));
  const ToolRun run = run_on(model, {"/L", "m.fm"});
  EXPECT_EQ(run.output, banner() + input_lines("m.fm", model.size()) + chunk_line("header", 2, 40) +
                            skins_identified(2) + chunk_line("skin", 1, 128) +
                            listing("Current skin paths are:", {std::string(63, 'z'), "ok"}));
}

// A count that disagrees with the chunk: listing shows at most what the chunk holds and
// warns; replacing drops the old data whole, so the result agrees again; appending to a
// list of unknown length is refused.
TEST_F(SkinEditRun, SkinCountThatDisagreesWithTheChunk) {
  struct Case {
    std::int32_t count;
    std::string entries;
    std::vector<std::string> listed;
  };
  const Case cases[] = {
      {0, skin_entry("a"), {}},
      {-3, skin_entry("a"), {}},
      {5, skin_entry("a") + skin_entry("b"), {"a", "b"}},
      {1, skin_entry("a") + skin_entry("b"), {"a"}},
      {1, skin_entry("a") + "tail", {"a"}},
  };
  for (const Case& bad : cases) {
    const std::string skin = chunk("skin", 1, bad.entries);
    const std::string model = header_chunk(bad.count) + skin + plain_chunk("tris", 1, 12);
    const std::string start = banner() + input_lines("m.fm", model.size()) +
                              chunk_line("header", 2, 40) + skins_identified(bad.count) +
                              chunk_line("skin", 1, static_cast<long long>(bad.entries.size()));
    const std::string warning = "WARNING: Skin count " + std::to_string(bad.count) +
                                " does not match SKIN chunk size " +
                                std::to_string(bad.entries.size()) + "\n";

    ToolRun run = run_on(model, {"/L", "m.fm"});
    EXPECT_EQ(run.output, start + listing("Current skin paths are:", bad.listed) + warning +
                              chunk_line("tris", 1, 12));
    EXPECT_EQ(run.status, 0);

    run = run_on(model, {"/A", "m.fm", "new"});
    EXPECT_EQ(run.output,
              start + listing("Current skin paths are:", bad.listed) +
                  fatal_line("Can't append: skin count does not match SKIN chunk size"));
    EXPECT_EQ(run.status, failure_status);
    EXPECT_EQ(snapshot(dir.path), (Files{{"m.fm", model}}));

    run = run_on(model, {"/O", "out.fm", "m.fm", "new"});
    const std::string repaired = header_chunk(1) + skin_chunk({"new"}) + plain_chunk("tris", 1, 12);
    EXPECT_EQ(run.output, start + listing("Deleting current skin paths:", bad.listed) + warning +
                              adding(1, "new") + chunk_line("tris", 1, 12) +
                              output_lines("out.fm", repaired.size()));
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(snapshot(dir.path), (Files{{"m.fm", model}, {"out.fm", repaired}}));
    std::filesystem::remove(dir.path / "out.fm");
  }
}

TEST_F(SkinEditRun, SkinChunkBeforeAnyHeaderIsListedButNotEdited) {
  const std::string model = skin_chunk({"a", "b"}) + header_chunk(2);
  const std::string start =
      banner() + input_lines("m.fm", model.size()) + chunk_line("skin", 1, 128);
  ToolRun run = run_on(model, {"/L", "m.fm"});
  EXPECT_EQ(run.output, start + listing("Current skin paths are:", {"a", "b"}) +
                            "WARNING: SKIN chunk comes before any HEADER chunk\n" +
                            chunk_line("header", 2, 40) + skins_identified(2));
  EXPECT_EQ(run.status, 0);
  for (const std::vector<std::string>& arguments :
       {std::vector<std::string>{"m.fm", "c"}, {"/A", "m.fm", "c"}}) {
    run = run_on(model, arguments);
    const bool append = arguments.front() == "/A";
    EXPECT_EQ(run.output,
              start +
                  listing(append ? "Current skin paths are:" : "Deleting current skin paths:",
                          {"a", "b"}) +
                  fatal_line("Can't edit skins: SKIN chunk comes before any HEADER chunk"));
    EXPECT_EQ(run.status, failure_status);
    EXPECT_EQ(snapshot(dir.path), (Files{{"m.fm", model}}));
  }
}

TEST_F(SkinEditRun, HeaderThatIsNotTheFirstChunkIsPatchedWhereItIs) {
  const std::string lead = plain_chunk("frames", 1, 20) + chunk("notes", 1, "hello");
  const std::string model = lead + header_chunk(1) + skin_chunk({"a"}) + plain_chunk("tris", 1, 12);
  const ToolRun run = run_on(model, {"/A", "m.fm", "b", "c"});
  const std::string expected =
      lead + header_chunk(3) + skin_chunk({"a", "b", "c"}) + plain_chunk("tris", 1, 12);
  EXPECT_EQ(run.status, 0) << run.output;
  EXPECT_NE(run.output.find(adding(2, "b") + adding(3, "c")), std::string::npos) << run.output;
  EXPECT_EQ(snapshot(dir.path), (Files{{"m.fm", expected}}));
}

TEST_F(SkinEditRun, FurtherSkinChunkPassesThroughUnchanged) {
  const std::string second = skin_chunk({"x", "y"});
  const std::string model = header_chunk(1) + skin_chunk({"a"}) + second;
  const ToolRun run = run_on(model, {"m.fm", "b", "c"});
  EXPECT_EQ(run.output, banner() + input_lines("m.fm", model.size()) + chunk_line("header", 2, 40) +
                            skins_identified(1) + chunk_line("skin", 1, 64) +
                            listing("Deleting current skin paths:", {"a"}) + adding(1, "b") +
                            adding(2, "c") + chunk_line("skin", 1, 128) +
                            "WARNING: Further SKIN chunk left unchanged\n" +
                            output_lines("m.fm", model.size() + 64));
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(snapshot(dir.path),
            (Files{{"m.fm", header_chunk(2) + skin_chunk({"b", "c"}) + second}}));
}

TEST_F(SkinEditRun, ControlBytesAreShownEscapedAndStoredAsTyped) {
  const std::string model =
      header_chunk(1) + skin_chunk({"\x1b]0;owned\x07skin.m8"}) + plain_chunk("\x1b[2Jodd", 1, 4);
  ToolRun run = run_on(model, {"/L", "m.fm"});
  EXPECT_EQ(run.output, banner() + input_lines("m.fm", model.size()) + chunk_line("header", 2, 40) +
                            skins_identified(1) + chunk_line("skin", 1, 64) +
                            listing("Current skin paths are:", {"\\x1B]0;owned\\x07skin.m8"}) +
                            chunk_line("\\x1B[2Jodd", 1, 4) +
                            "WARNING: Unrecognized chunk identifier: \\x1B[2Jodd\n");
  EXPECT_EQ(run.status, 0);
#if !defined(_WIN32)
  // The edges of UTF-8 as shown: a C1 control written in UTF-8 is escaped byte by byte, a
  // well-formed character beside one is kept, and of a broken sequence only the bytes that
  // could be C1 controls are escaped.
  const std::string edges =
      header_chunk(9) + skin_chunk({"a\xc2\x9f"
                                    "b",
                                    "\xf0\x8f\xbf\xbf", "\xe0\xa0\x80", "\xc1\x81", "\xe1\xbf\x80",
                                    "\xf4\x90\x80\x80", "b\x9f", "\xe0\x9f\xbf", "a\xc2\xa0"});
  run = run_on(edges, {"/L", "m.fm"});
  EXPECT_EQ(run.output, banner() + input_lines("m.fm", edges.size()) + chunk_line("header", 2, 40) +
                            skins_identified(9) + chunk_line("skin", 1, 576) +
                            listing("Current skin paths are:",
                                    {"a\\xC2\\x9Fb", "\xf0\\x8F\xbf\xbf", "\xe0\xa0\x80",
                                     "\xc1\\x81", "\xe1\xbf\x80", "\xf4\\x90\\x80\\x80", "b\\x9F",
                                     "\xe0\\x9F\xbf", "a\xc2\xa0"}));
  EXPECT_EQ(run.status, 0);
#endif

  // Typed texts too: file names (where the system allows control bytes in them) and paths.
#if defined(_WIN32)
  const std::string input = "in.fm";
  const std::string output = "out.fm";
#else
  const std::string input = "\x1b]0;TITLE\x07.fm";
  const std::string output = "o\x1b[2J.fm";
#endif
  write_file(dir.path / input, sample_model({"a"}));
  std::filesystem::remove(dir.path / "m.fm");
  const std::string path = "s\x1b[31m.m8";
  run = run_tool(dir.path, {"/O", output, input, path});
  EXPECT_EQ(run.output,
            banner() + input_lines(printable(input), sample_model({"a"}).size()) +
                chunk_line("header", 2, 40) + skins_identified(1) + chunk_line("skin", 1, 64) +
                listing("Deleting current skin paths:", {"a"}) + adding(1, "s\\x1B[31m.m8") +
                sample_tail_lines + output_lines(printable(output), sample_model({path}).size()));
  EXPECT_EQ(snapshot(dir.path),
            (Files{{input, sample_model({"a"})}, {output, sample_model({path})}}));
  const std::string too_long = path + std::string(60, 'x');
  run = run_tool(dir.path, {input, too_long});
  EXPECT_TRUE(run.output.ends_with(
      fatal_line("Skin path longer than 63 bytes: s\\x1B[31m.m8" + std::string(60, 'x'))));
}

TEST_F(SkinEditRun, PathsAreStoredAsTyped) {
  const std::vector<std::string> typed{"C:\\Tarnvale\\skins\\ogre.m8", "/A", "with space.m8",
                                       typed_ete + ".m8"};
  const ToolRun run = run_on(sample_model({"old"}),
                             {"/O", "out.fm", "m.fm", typed[0], typed[1], typed[2], typed[3]});
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(read_file(dir.path / "out.fm"),
            sample_model({typed[0], typed[1], typed[2], stored_ete + ".m8"}));
}

// Paths the game will likely not load draw a warning each, after their "Adding" line; they
// are stored as typed all the same.
TEST_F(SkinEditRun, SuspiciousPathsAreWarnedAboutAndStoredAsTyped) {
  const std::string kept = "skins/kept.m8";
  const std::string second = "skins/second.m8";
  const auto warning = [](const std::string& what, const std::string& path) {
    return "WARNING: Skin path " + what + ": " + path + "\n";
  };
  const std::string component = "has an empty, '.' or '..' component";
  const std::string space = "is empty or starts or ends with a space";
  const std::string option = "is an option, but options count only before the model path";
  const std::string like_option =
      "looks like an option, but options count only before the model path";
  const std::string absolute = "is absolute; game paths are relative to the game's data";
  const std::vector<std::pair<std::vector<std::string>, std::vector<std::string>>> rows{
      {{"skins/ogre.m8"}, {""}},
      {{"/A", "/a", "/l", "/L", "/O"},
       {warning(option, "/A"), warning(option, "/a"), warning(option, "/l"), warning(option, "/L"),
        warning(option, "/O")}},
      {{"--help", "-h", "/?", "/H", "/hh"},
       {warning(like_option, "--help"), warning(like_option, "-h"), warning(like_option, "/?"),
        warning(like_option, "/H"), warning(like_option, "/hh")}},
      {{"C:/x", "Z:x", "a:x"},
       {warning(absolute, "C:/x"), warning(absolute, "Z:x"), warning(absolute, "a:x")}},
      {{"skins\\ogre.m8"},
       {warning("contains a backslash; game paths use forward slashes", "skins\\ogre.m8")}},
      {{"/skins/ogre.m8", "c:ogre.m8", "/1a"},
       {warning(absolute, "/skins/ogre.m8"), warning(absolute, "c:ogre.m8"),
        warning(absolute, "/1a")}},
      {{"skins/../ogre.m8", "skins//ogre.m8", "skins/"},
       {warning(component, "skins/../ogre.m8"), warning(component, "skins//ogre.m8"),
        warning(component, "skins/")}},
      {{"", " skins/ogre.m8", "skins/ogre.m8 "},
       {warning(space, ""), warning(space, " skins/ogre.m8"), warning(space, "skins/ogre.m8 ")}},
      {{"skins/" + typed_ete + ".m8"},
       {warning("holds bytes outside plain ASCII, which other systems may read differently",
                "skins/" + stored_ete + ".m8")}},
      {{kept, "a.m8", "a.m8", second},
       {warning("repeats one already in the list", kept), "",
        warning("repeats one already in the list", "a.m8"),
        warning("repeats one already in the list", second)}},
  };
  for (const auto& [paths, warnings] : rows) {
    std::vector<std::string> arguments{"/A", "/O", "out.fm", "m.fm"};
    arguments.insert(arguments.end(), paths.begin(), paths.end());
    const ToolRun run = run_on(sample_model({kept, second}), arguments);
    std::vector<std::string> stored{kept, second};
    std::string expected =
        sample_start("m.fm", stored) + listing("Current skin paths are:", stored);
    for (std::size_t index = 0; index < paths.size(); ++index) {
      const std::string& path = paths[index];
      const std::size_t typed_at = path.find(typed_ete);
      stored.push_back(typed_at == std::string::npos
                           ? path
                           : path.substr(0, typed_at) + stored_ete +
                                 path.substr(typed_at + typed_ete.size()));
      expected += adding(static_cast<int>(index) + 3, stored.back()) + warnings[index];
    }
    expected += sample_tail_lines + output_lines("out.fm", sample_model(stored).size());
    EXPECT_EQ(run.output, expected);
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(read_file(dir.path / "out.fm"), sample_model(stored));
  }
}

}  // namespace
}  // namespace fmskins::test
