// The built tool walking, checking and writing models that the tests build.

#include <gtest/gtest.h>

#include <climits>
#include <cstdlib>

#if !defined(_WIN32)
#include <unistd.h>
#endif

#include "support/model_builder.h"
#include "support/report_text.h"
#include "support/tool_runner.h"

namespace fmskins::test {
namespace {

using Files = std::map<std::string, std::string>;

class ModelPassRun : public testing::Test {
 protected:
  // Writes `model` as m.fm and runs the tool with `arguments`.
  ToolRun run_on(const std::string& model, const std::vector<std::string>& arguments,
                 const std::string& shell_setup = "") {
    write_file(dir.path / "m.fm", model);
    return run_tool(dir.path, arguments, shell_setup);
  }

  // The report up to and including the chunk lines, for a model named m.fm.
  static std::string report_start(std::size_t model_length) {
    return banner() + input_lines("m.fm", model_length);
  }

  ScratchDir dir;
};

// Before the output lines of every replace or append run on a model without a skin chunk.
const std::string no_skin_chunk = "WARNING: Model has no skin chunk; no skin paths were stored\n";

TEST_F(ModelPassRun, EmptyModelIsWrittenAsAnEmptyFile) {
  const ToolRun run = run_on("", {"/O", "out.fm", "m.fm", "a"});
  EXPECT_EQ(run.output, report_start(0) + no_skin_chunk + output_lines("out.fm", 0));
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(snapshot(dir.path), (Files{{"m.fm", ""}, {"out.fm", ""}}));
}

TEST_F(ModelPassRun, ModelWithoutSkinChunkIsRewrittenOverItselfByteForByte) {
  const std::string model = header_chunk(0) + plain_chunk("st coord", 1, 24) +
                            plain_chunk("tris", 1, 12) + plain_chunk("frames", 1, 300) +
                            plain_chunk("glcmds", 1, 8) + plain_chunk("mesh nodes", 3, 16) +
                            plain_chunk("skeleton", 1, 4) + plain_chunk("references", 1, 20);
  const ToolRun run = run_on(model, {"m.fm", "skins/new.m8"});
  EXPECT_EQ(run.output, report_start(model.size()) + chunk_line("header", 2, 40) +
                            skins_identified(0) + chunk_line("st coord", 1, 24) +
                            chunk_line("tris", 1, 12) + chunk_line("frames", 1, 300) +
                            chunk_line("glcmds", 1, 8) + chunk_line("mesh nodes", 3, 16) +
                            chunk_line("skeleton", 1, 4) + chunk_line("references", 1, 20) +
                            no_skin_chunk + output_lines("m.fm", model.size()));
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.errors, "");
  EXPECT_EQ(snapshot(dir.path), (Files{{"m.fm", model}}));
}

TEST_F(ModelPassRun, UnknownIdentifiersWarnAndPassThrough) {
  const std::string odd = plain_chunk("SKIN", 1, 64);
  const std::string long_name = chunk_with_size(std::string(32, 'z'), 9, 3, "abc");
  const std::string model = header_chunk(0) + odd + long_name;
  const ToolRun run = run_on(model, {"/O", "out.fm", "m.fm", "a"});
  EXPECT_EQ(run.output, report_start(model.size()) + chunk_line("header", 2, 40) +
                            skins_identified(0) + chunk_line("SKIN", 1, 64) +
                            "WARNING: Unrecognized chunk identifier: SKIN\n" +
                            chunk_line(std::string(31, 'z'), 9, 3) +
                            "WARNING: Unrecognized chunk identifier: " + std::string(31, 'z') +
                            "\n" + no_skin_chunk + output_lines("out.fm", model.size()));
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(snapshot(dir.path), (Files{{"m.fm", model}, {"out.fm", model}}));
}

// A model that fails a check is reported, ends with -1 and is never written, in any mode.
struct Damage {
  const char* what;
  std::string model;
  std::string chunk_lines;  // the report between the byte count and the FATAL line
  std::string message;
};

std::vector<Damage> damaged_models() {
  const std::string head = header_chunk(0) + plain_chunk("tris", 1, 12);
  const std::string head_lines =
      chunk_line("header", 2, 40) + skins_identified(0) + chunk_line("tris", 1, 12);
  const std::string too_big = "Invalid (too big) chunk size in model";
  const std::string not_positive = "Invalid (<=0) chunk size in model";
  std::vector<Damage> cases{
      {"size 0", head + chunk_with_size("frames", 1, 0, "abcd"),
       head_lines + chunk_line("frames", 1, 0), not_positive},
      {"size -1", head + chunk_with_size("frames", 1, -1, "abcd"),
       head_lines + chunk_line("frames", 1, -1), not_positive},
      {"most negative size", chunk_with_size("tris", 1, INT32_MIN, ""),
       chunk_line("tris", 1, INT32_MIN), not_positive},
      {"last chunk one byte short", head + chunk_with_size("frames", 1, 5, "abcd"),
       head_lines + chunk_line("frames", 1, 5), too_big},
      {"size 7FFFFFFF", head + chunk_with_size("frames", 1, INT32_MAX, "abcd"),
       head_lines + chunk_line("frames", 1, INT32_MAX), too_big},
      {"unknown chunk too big", chunk_with_size("mystery", 1, 100, "x"),
       chunk_line("mystery", 1, 100), too_big},
      {"stray bytes only", std::string(39, 'h'), "", too_big},
      {"header too short for a skin count", chunk("header", 2, "0123456789abcde"),
       chunk_line("header", 2, 15), "Invalid (too small) HEADER chunk size in model"},
      {"header version 1", chunk("header", 1, std::string(40, '\0')) + skin_chunk({"a"}),
       chunk_line("header", 1, 40), "Invalid HEADER chunk version number"},
  };
  for (const std::size_t stray : {std::size_t{1}, std::size_t{20}, std::size_t{39}}) {
    cases.push_back({"stray bytes after the last chunk", head + std::string(stray, '\x01'),
                     head_lines, too_big});
  }
  const std::pair<const char*, const char*> versions[] = {
      {"skin", "SKIN"},         {"st coord", "ST COORD"},    {"tris", "TRIS"},
      {"frames", "FRAMES"},     {"glcmds", "GLCMDS"},        {"mesh nodes", "MESH NODES"},
      {"skeleton", "SKELETON"}, {"references", "REFERENCES"}};
  for (const auto& [identifier, upper] : versions) {
    cases.push_back(
        {identifier, header_chunk(0) + plain_chunk(identifier, 2, 64),
         chunk_line("header", 2, 40) + skins_identified(0) + chunk_line(identifier, 2, 64),
         std::string("Invalid ") + upper + " chunk version number"});
  }
  return cases;
}

TEST_F(ModelPassRun, DamagedModelsAreRefusedInEveryModeAndLeftAlone) {
  for (const Damage& damage : damaged_models()) {
    for (const std::vector<std::string>& arguments : {std::vector<std::string>{"m.fm", "new"},
                                                      {"/A", "m.fm"},
                                                      {"/L", "m.fm"},
                                                      {"/O", "out.fm", "m.fm", "new"}}) {
      const ToolRun run = run_on(damage.model, arguments);
      EXPECT_EQ(run.output,
                report_start(damage.model.size()) + damage.chunk_lines + fatal_line(damage.message))
          << damage.what;
      EXPECT_EQ(run.status, failure_status) << damage.what;
      EXPECT_EQ(run.errors, "");
      EXPECT_EQ(snapshot(dir.path), (Files{{"m.fm", damage.model}})) << damage.what;
    }
  }
}

// Models at the edges of what is accepted are edited exactly.
TEST_F(ModelPassRun, ModelsAtTheLimitsAreAccepted) {
  const std::string big_frames = plain_chunk("frames", 1, std::size_t{8} << 20U);
  const std::string short_header = le32(7) + le32(8) + le32(9);
  const std::pair<std::string, std::string> cases[] = {
      // A header chunk of exactly 16 data bytes holds the skin count and no more.
      {chunk("header", 2, short_header + le32(1)) + skin_chunk({"a"}),
       chunk("header", 2, short_header + le32(1)) + skin_chunk({"new"})},
      // A chunk of a single data byte.
      {header_chunk(0) + plain_chunk("tris", 1, 1), header_chunk(0) + plain_chunk("tris", 1, 1)},
      // A model large enough that its buffers are allocated another way than small ones.
      {header_chunk(1) + skin_chunk({"a"}) + big_frames,
       header_chunk(1) + skin_chunk({"new"}) + big_frames},
      // More than one block of the writer's before the skin chunk.
      {header_chunk(1) + big_frames + skin_chunk({"a"}),
       header_chunk(1) + big_frames + skin_chunk({"new"})},
  };
  for (const auto& [model, edited] : cases) {
    const ToolRun run = run_on(model, {"/O", "out.fm", "m.fm", "new"});
    EXPECT_EQ(run.status, 0) << run.output;
    EXPECT_TRUE(run.output.ends_with(output_lines("out.fm", edited.size())));
    EXPECT_TRUE(snapshot(dir.path) == (Files{{"m.fm", model}, {"out.fm", edited}}));
  }
#if !defined(_WIN32)
  // A model on a file system of memory written to the disk: the system declines to copy
  // between the two, and the bytes go another way.
  if (!std::filesystem::is_directory("/dev/shm") || access("/dev/shm", W_OK) != 0) {
    note_skipped_case("a model on another file system needs /dev/shm, writable by this user");
    return;
  }
  const char* const scratch_base = std::getenv("TMPDIR");
  const std::string kept = scratch_base == nullptr ? "" : scratch_base;
  setenv("TMPDIR", "/dev/shm", 1);
  const ScratchDir in_memory;
  scratch_base == nullptr ? unsetenv("TMPDIR") : setenv("TMPDIR", kept.c_str(), 1);
  const auto& [model, edited] = cases[3];
  write_file(in_memory.path / "m.fm", model);
  const ToolRun run =
      run_tool(dir.path, {"/O", "out.fm", (in_memory.path / "m.fm").string(), "new"});
  EXPECT_EQ(run.status, 0) << run.output;
  EXPECT_TRUE(read_file(dir.path / "out.fm") == edited);
#endif
}

TEST_F(ModelPassRun, ListModeWritesNothingEvenWithAnOutputPath) {
  const std::string model = header_chunk(0) + plain_chunk("frames", 1, 10);
  const ToolRun run = run_on(model, {"/L", "/O", "out.fm", "m.fm", "ignored"});
  EXPECT_EQ(run.output, report_start(model.size()) + chunk_line("header", 2, 40) +
                            skins_identified(0) + chunk_line("frames", 1, 10));
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(snapshot(dir.path), (Files{{"m.fm", model}}));
}

TEST_F(ModelPassRun, OutputThatCannotBeOpenedEndsWithItsErrorNumber) {
  const std::string model = header_chunk(0);
  const ToolRun run = run_on(model, {"/O", "no/such/dir/out.fm", "m.fm", "a"});
  EXPECT_EQ(run.output, report_start(model.size()) + chunk_line("header", 2, 40) +
                            skins_identified(0) + no_skin_chunk +
                            "Output Model File: no/such/dir/out.fm\n" +
                            fatal_line("Unable to open output model file"));
  EXPECT_EQ(run.status, 2);  // ENOENT
  EXPECT_EQ(snapshot(dir.path), (Files{{"m.fm", model}}));
}

// The model is a sparse file: large, yet cheap to make.
TEST_F(ModelPassRun, MemoryShortageIsReportedNotCrashedOn) {
#if defined(_WIN32)
  GTEST_SKIP() << "needs a shell address-space limit (ulimit -v)";
#elif defined(FMSKINS_SANITIZED)
  GTEST_SKIP() << "sanitizer runtimes reserve more address space than the limit allows";
#else
  if (std::getenv("FMSKINS_TEST_WRAPPER") != nullptr) {
    GTEST_SKIP() << "a wrapper (valgrind, an emulator) needs more address space than the limit";
  }
  const std::string setup = "truncate -s 300M m.fm && ulimit -v 450000";
  // The model is mapped and the output refers to it, so both modes get as far as its zeros,
  // which fail as a chunk of size 0.
  for (const auto& arguments :
       std::vector<std::vector<std::string> >{{"m.fm", "a"}, {"/L", "m.fm"}}) {
    write_file(dir.path / "m.fm", "");
    const ToolRun run = run_tool(dir.path, arguments, setup);
    EXPECT_EQ(run.output, report_start(300U << 20U) + chunk_line("", 0, 0) +
                              fatal_line("Invalid (<=0) chunk size in model"));
    EXPECT_EQ(run.status, failure_status);
  }
  ToolRun run = run_tool(dir.path, {"m.fm", "a"}, "truncate -s 300M m.fm && ulimit -v 200000");
  EXPECT_EQ(run.output, banner() + "Input Model File: m.fm\n" +
                            fatal_line("Can't allocate memory to read model"));
  EXPECT_EQ(run.status, failure_status);

  // Any other allocation that fails ends the same way, never with an abort.
  const std::string model = sample_model({"a"});
  write_file(dir.path / "m.fm", model);
  std::vector<std::string> arguments{"/A", "m.fm"};
  for (int path = 0; path < 100000; ++path) {
    arguments.push_back("p" + std::to_string(path));
  }
  run = run_tool(dir.path, arguments, "", "prlimit --as=10240000 --");
  EXPECT_TRUE(run.output.ends_with(fatal_line("Can't allocate memory"))) << run.output;
  EXPECT_EQ(run.status, failure_status);
  EXPECT_EQ(run.errors, "");
  EXPECT_EQ(snapshot(dir.path), (Files{{"m.fm", model}}));
#endif
}

}  // namespace
}  // namespace fmskins::test
