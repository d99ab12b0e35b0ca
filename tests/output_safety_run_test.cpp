// The built tool writing its output: a failure never loses the model that was there, and
// no temporary file is ever left behind.

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <functional>

#if !defined(_WIN32)
#include <fcntl.h>
#include <sys/file.h>
#if defined(__linux__)
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#endif
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>
#include <chrono>
#include <csignal>
#include <string_view>
#include <thread>
#endif

#include "support/model_builder.h"
#include "support/report_text.h"
#include "support/tool_runner.h"

namespace fmskins::test {
namespace {

namespace fs = std::filesystem;
using Files = std::map<std::string, std::string>;

// A model large enough to pass a small file-size limit: header, skin chunk, 300 KB frames.
std::string large_model(const std::vector<std::string>& paths) {
  return header_chunk(static_cast<std::int32_t>(paths.size())) + skin_chunk(paths) +
         plain_chunk("frames", 1, 300000);
}

[[maybe_unused]] std::string large_report(const std::string& model_name,
                                          const std::vector<std::string>& paths,
                                          const std::string& output_name) {
  std::string report = banner() + input_lines(model_name, large_model(paths).size()) +
                       chunk_line("header", 2, 40) + skins_identified(1) +
                       chunk_line("skin", 1, 64) + "    Deleting current skin paths:\n";
  for (const std::string& path : paths) {
    report += "    " + path + "\n";
  }
  return report + "    Adding #1 skin name 'new'...\n" + chunk_line("frames", 1, 300000) +
         "Output Model File: " + output_name + "\n";
}

[[maybe_unused]] fs::perms permissions_of(const fs::path& path) {
  return fs::status(path).permissions();
}

#if defined(FMSKINS_SEAM_PATH)
// Runs the tool with the writer's seam preloaded, asking for `behaviour`; with `held`, the
// flush named there waits for `during`, which the test does meanwhile.
ToolRun run_with_seam(const fs::path& dir, const std::vector<std::string>& arguments,
                      const std::string& behaviour, const std::function<void()>& during = {}) {
  const ScratchDir gate;
  std::string asked = behaviour;
  if (const std::size_t at = asked.find("{gate}"); at != std::string::npos) {
    asked.replace(at, 6, gate.path.string());
  }
  StartedTool started =
      start_tool(dir, arguments, "", "env LD_PRELOAD=" FMSKINS_SEAM_PATH " " + asked);
  if (during) {
    for (int wait = 0; wait < 2000 && !fs::exists(gate.path / "held"); ++wait) {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    EXPECT_TRUE(fs::exists(gate.path / "held")) << "the flush was never reached";
    during();
    write_file(gate.path / "go", "");
  }
  return finish_tool(started);
}
#endif

// What is done to the output while its new file is flushed, with that flush held: a folder
// on its path swapped for a link never moves the write out of the folder looked at, and an
// owner's chmod or chown during the last flush is kept. A file system that keeps no modes
// or owners (FAT through FUSE) is written where nothing would change by them.
[[maybe_unused]] void replaced_while_flushed() {
#if !defined(FMSKINS_SEAM_PATH)
  note_skipped_case("a flush held and a file system without modes need the writer's seam");
#else
  const ScratchDir dir;
  const std::string model = sample_model({"old"});
  const std::string edited = sample_model({"z"});
  write_file(dir.path / "m.fm", model);
  const std::vector<std::string> swaps[] = {{"/O", "att/sub/out.fm", "m.fm", "z"},
                                            {"/O", "att/sub/new.fm", "m.fm", "z"},
                                            {"att/sub/out.fm", "z"}};
  for (const std::vector<std::string>& arguments : swaps) {
    fs::create_directories(dir.path / "att" / "sub");
    fs::create_directory(dir.path / "victim");
    write_file(dir.path / "att" / "sub" / "out.fm", model);
    write_file(dir.path / "victim" / "out.fm", "root's file");
    fs::permissions(dir.path / "victim" / "out.fm", fs::perms(0600));
    const ToolRun run = run_with_seam(dir.path, arguments, "FMSKINS_SEAM_HOLD_FSYNC=1:{gate}", [&] {
      fs::rename(dir.path / "att" / "sub", dir.path / "att" / "sub.old");
      fs::create_directory_symlink("../victim", dir.path / "att" / "sub");
    });
    const std::string& output = arguments[0] == "/O" ? arguments[1] : arguments[0];
    EXPECT_TRUE(run.output.ends_with("Wrote: " + output + ", " + std::to_string(edited.size()) +
                                     " bytes\n"))
        << run.output;
    EXPECT_EQ(run.status, 0);
    Files expected{{"m.fm", model},
                   {"att", "dir"},
                   {"att/sub", "symlink -> ../victim"},
                   {"att/sub.old", "dir"},
                   {"att/sub.old/out.fm", output.ends_with("new.fm") ? model : edited},
                   {"victim", "dir"},
                   {"victim/out.fm", "root's file"}};
    if (output.ends_with("new.fm")) {
      expected["att/sub.old/new.fm"] = edited;
    }
    EXPECT_EQ(snapshot(dir.path), expected) << output;
    EXPECT_EQ(permissions_of(dir.path / "victim" / "out.fm"), fs::perms(0600));
    fs::remove_all(dir.path / "att");
    fs::remove_all(dir.path / "victim");
  }

  // The second flush is the last one, after the old file's owner and mode are taken.
  const bool as_root = geteuid() == 0;
  for (const bool chown_too : {false, true}) {
    if (chown_too && !as_root) {
      note_skipped_case("a chown during the last flush needs root");
      continue;
    }
    write_file(dir.path / "e.fm", model);
    fs::permissions(dir.path / "e.fm", fs::perms(0644));
    const ToolRun run =
        run_with_seam(dir.path, {"e.fm", "z"}, "FMSKINS_SEAM_HOLD_FSYNC=2:{gate}", [&] {
          fs::permissions(dir.path / "e.fm", fs::perms(0600));
          if (chown_too) {
            EXPECT_EQ(chown((dir.path / "e.fm").c_str(), 65534, 65534), 0);
          }
        });
    EXPECT_EQ(run.status, 0) << run.output;
    struct stat status {};
    ASSERT_EQ(stat((dir.path / "e.fm").c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 07777U, 0600U);
    EXPECT_EQ(status.st_uid, chown_too ? 65534U : geteuid());
    EXPECT_EQ(read_file(dir.path / "e.fm"), edited);
  }

  // No modes at all: a file that has what a new one gets is written; one that had more is
  // not narrowed behind the user's back.
  for (const unsigned mode : {0600U, 0644U}) {
    write_file(dir.path / "e.fm", model);
    fs::permissions(dir.path / "e.fm", fs::perms(mode));
    const ToolRun run = run_with_seam(dir.path, {"e.fm", "z"}, "FMSKINS_SEAM_NO_MODES=1");
    const bool kept = mode == 0600U;
    EXPECT_TRUE(
        run.output.ends_with(kept ? "Wrote: e.fm, " + std::to_string(edited.size()) + " bytes\n"
                                  : fatal_line("Unable to set permissions of output model file")))
        << run.output;
    EXPECT_EQ(run.status, kept ? 0 : failure_status);
    EXPECT_EQ(read_file(dir.path / "e.fm"), kept ? edited : model);
  }
  EXPECT_EQ(snapshot(dir.path), (Files{{"m.fm", model}, {"e.fm", model}}));
#endif
}

#if defined(__linux__)
// A small file system of the test's own, filled up, and a folder that lets files be made
// but never removed (chattr +a). Both need root, to mount and to set the flag.
void full_disk_and_append_only_folder() {
  if (geteuid() != 0) {
    note_skipped_case("a full file system and an append-only folder need root");
    return;
  }
  const ScratchDir dir;
  const std::string model = sample_model({"old"});
  const std::vector<std::string> long_paths(80, "skins/" + std::string(50, 'p') + ".m8");
  if (mount("fmskins-test", dir.path.c_str(), "tmpfs", 0, "size=256k") != 0) {
    note_skipped_case("a small file system could not be mounted here");
  } else {
    write_file(dir.path / "m.fm", model);
    {
      const int filler = open((dir.path / "filler").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
      const std::string block(4096, 'f');
      while (write(filler, block.data(), block.size()) > 0) {
      }
      close(filler);
    }
    const std::string filled = read_file(dir.path / "filler");
    // Through a descriptor on the model itself, and in place: no room, and the model kept.
    std::vector<std::string> through{"/A", "/O", "/dev/fd/3", "m.fm"};
    std::vector<std::string> in_place{"/A", "m.fm"};
    through.insert(through.end(), long_paths.begin(), long_paths.end());
    in_place.insert(in_place.end(), long_paths.begin(), long_paths.end());
    for (const auto& arguments : {through, in_place}) {
      const ToolRun run = run_tool(dir.path, arguments, "exec 3<>m.fm");
      EXPECT_TRUE(run.output.ends_with(fatal_line("Unable to write output model file")))
          << run.output;
      EXPECT_EQ(run.status, failure_status);
      EXPECT_EQ(snapshot(dir.path), (Files{{"m.fm", model}, {"filler", filled}}));
    }
    EXPECT_EQ(umount(dir.path.c_str()), 0);
  }

  // In a folder where no file can be removed, an edit that needs a rename over the model is
  // refused with nothing left, and a new file is made where the system can make it whole.
  fs::create_directory(dir.path / "d5");
  write_file(dir.path / "d5" / "t.fm", model);
  const int folder = open((dir.path / "d5").c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  int flags = 0;
  if (ioctl(folder, FS_IOC_GETFLAGS, &flags) != 0 ||
      (flags |= FS_APPEND_FL, ioctl(folder, FS_IOC_SETFLAGS, &flags) != 0)) {
    close(folder);
    note_skipped_case("the scratch file system has no append-only folders");
    return;
  }
  const bool named = std::getenv("FMSKINS_TEST_NAMED_TEMPORARY") != nullptr;
  ToolRun run = run_tool(dir.path, {"/A", "d5/t.fm", "y"});
  EXPECT_TRUE(run.output.ends_with(fatal_line(named ? "Unable to create temporary output model file"
                                                    : "Unable to replace output model file")))
      << run.output;
  EXPECT_EQ(run.status, named ? EPERM : failure_status);
  run = run_tool(dir.path, {"/O", "d5/new.fm", "d5/t.fm", "y"});
  EXPECT_EQ(run.status, named ? EPERM : 0) << run.output;
  flags &= ~FS_APPEND_FL;
  EXPECT_EQ(ioctl(folder, FS_IOC_SETFLAGS, &flags), 0);
  close(folder);
  Files expected{{"d5", "dir"}, {"d5/t.fm", model}};
  if (!named) {
    expected["d5/new.fm"] = sample_model({"y"});
  }
  EXPECT_EQ(snapshot(dir.path), expected);
}
#endif

TEST(OutputSafety, WriteFailingHalfwayLeavesEveryFileAsItWas) {
#if defined(_WIN32)
  GTEST_SKIP() << "needs a shell file-size limit (ulimit -f)";
#else
  const ScratchDir dir;
  const std::string model = large_model({"old"});
  write_file(dir.path / "m.fm", model);
  write_file(dir.path / "other.fm", "the other model");
  // bash counts -f in KiB: the write stops after 100 KiB of the 300 KB model.
  for (const std::string& output : {std::string("m.fm"), std::string("other.fm")}) {
    const ToolRun run = run_tool(dir.path, {"/O", output, "m.fm", "new"}, "ulimit -f 100");
    EXPECT_EQ(run.output, large_report("m.fm", {"old"}, output) +
                              fatal_line("Unable to write output model file"));
    EXPECT_EQ(run.status, failure_status);
    EXPECT_EQ(snapshot(dir.path), (Files{{"m.fm", model}, {"other.fm", "the other model"}}));
  }
#if defined(__linux__)
  full_disk_and_append_only_folder();
#endif
#endif
}

TEST(OutputSafety, DevicesAndPipesAreWrittenDirectly) {
#if defined(_WIN32)
  // The one device every Windows system has; a file named NUL is never created.
  const ScratchDir dir;
  const std::string model = large_model({"old"});
  write_file(dir.path / "m.fm", model);
  const ToolRun run = run_tool(dir.path, {"/O", "NUL", "m.fm", "new"});
  EXPECT_EQ(run.output, large_report("m.fm", {"old"}, "NUL") + "Wrote: NUL, " +
                            std::to_string(large_model({"new"}).size()) + " bytes\n");
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(snapshot(dir.path), (Files{{"m.fm", model}}));
  note_skipped_case(
      "a full device (/dev/full) and standard output by name (/dev/stdout) are POSIX");
#else
  const ScratchDir dir;
  const std::string model = large_model({"old"});
  write_file(dir.path / "m.fm", model);

  // Standard output, named through a link of the scratch directory's own to the process's
  // descriptor 1: the model goes through that descriptor, after the report lines before it,
  // whether it is a pipe, a file the shell truncated, or a log being appended to.
  fs::create_symlink("/proc/self/fd/1", dir.path / "stdout.fm");
  const std::string written = large_model({"new"});
  const std::string to_stdout = large_report("m.fm", {"old"}, "stdout.fm") + written +
                                "Wrote: stdout.fm, " + std::to_string(written.size()) + " bytes\n";
  ToolRun run = run_tool(dir.path, {"/O", "stdout.fm", "m.fm", "new"});
  EXPECT_EQ(run.output, to_stdout);
  EXPECT_EQ(run.status, 0);
  // Standard error and a descriptor the tool was started with, named through the system's
  // two sets of names for them, are written at their own offsets, never renamed over.
  fs::create_symlink("/proc/self/fd/2", dir.path / "stderr.fm");
  fs::create_symlink("/dev/fd/3", dir.path / "fd3.fm");
  const auto reported = [&](const std::string& name) {
    return large_report("m.fm", {"old"}, name) + "Wrote: " + name + ", " +
           std::to_string(written.size()) + " bytes\n";
  };
  const std::string to_log = large_report("m.fm", {"old"}, "log") + written + "Wrote: log, " +
                             std::to_string(written.size()) + " bytes\n";
  const std::tuple<std::string, std::string, std::string, std::string> through[] = {
      {"stdout.fm", "exec >log", "", to_stdout},
      {"stdout.fm", "exec >>log", "", "earlier run\n" + to_stdout},
      {"log", "exec >log", "", to_log},
      {"stderr.fm", "exec 2>>log", reported("stderr.fm"), "earlier run\n" + written},
      {"fd3.fm", "exec 3>>log", reported("fd3.fm"), "earlier run\n" + written},
  };
  for (const auto& [name, setup, printed, logged] : through) {
    write_file(dir.path / "log", "earlier run\n");
    run = run_tool(dir.path, {"/O", name, "m.fm", "new"}, setup);
    EXPECT_EQ(run.output, printed) << setup;
    EXPECT_EQ(run.status, 0) << setup;
    EXPECT_EQ(read_file(dir.path / "log"), logged) << setup;
  }
  fs::remove(dir.path / "log");
  // Standard output a pipe set non-blocking, whose reader comes late: the tool waits for it.
  StartedTool late = start_tool(dir.path, {"/O", "stdout.fm", "m.fm", "new"},
                                "perl -MFcntl -e 'fcntl(STDOUT, F_SETFL, O_NONBLOCK) or die'");
  std::this_thread::sleep_for(std::chrono::seconds(1));
  run = finish_tool(late);
  EXPECT_EQ(run.status, 0);
  EXPECT_TRUE(run.output == to_stdout);

  // Written through a descriptor on the model itself, the output starts where the model
  // does, whatever the descriptor's offset, and the file ends where the shorter output does;
  // a descriptor that appends is refused with nothing written. Standard error appended to
  // the model does not turn an edit in place into a write through it: the model is replaced.
  const std::tuple<std::string, std::vector<std::string>, int, std::vector<std::string>>
      over_model[] = {
          {"exec 3<>m.fm", {"/O", "fd3.fm", "m.fm", "new"}, 0, {"new"}},
          {"exec 3<>m.fm; read -u 3 -N 10 _",
           {"/A", "/O", "fd3.fm", "m.fm", "x"},
           0,
           {"a", "b", "x"}},
          {"exec 3>>m.fm", {"/A", "/O", "fd3.fm", "m.fm", "x"}, failure_status, {"a", "b"}},
          {"exec 2>>m.fm", {"/A", "m.fm", "x"}, 0, {"a", "b", "x"}}};
  for (const auto& [setup, arguments, status, stored] : over_model) {
    write_file(dir.path / "m.fm", large_model({"a", "b"}));
    run = run_tool(dir.path, arguments, setup);
    EXPECT_EQ(run.status, status) << setup << run.output;
    EXPECT_EQ(read_file(dir.path / "m.fm"), large_model(stored)) << setup;
  }
#if defined(FMSKINS_SEAM_PATH)
  // A parent that moves the shared descriptor's offset while the tool writes through it
  // (here by reading through it) moves none of the model's bytes, nor where it ends.
  {
    const ScratchDir gate;
    const std::string held = gate.path.string();
    write_file(dir.path / "m.fm", large_model({"a", "b"}));
    run = run_tool(dir.path, {"/A", "/O", "fd3.fm", "m.fm", "x"},
                   "exec 3<>m.fm; (for i in $(seq 500); do [ -e " + held +
                       "/held ] && break; sleep 0.01; done; read -u 3 -N 10 _; touch " + held +
                       "/go) >/dev/null &",
                   "env LD_PRELOAD=" FMSKINS_SEAM_PATH " FMSKINS_SEAM_HOLD_WRITE=3:" + held);
    EXPECT_EQ(run.status, 0) << run.output;
    EXPECT_TRUE(fs::exists(gate.path / "held"));
    EXPECT_TRUE(read_file(dir.path / "m.fm") == large_model({"a", "b", "x"}));
  }
#endif
  // An empty model written through a descriptor on itself: nothing to write, nothing lost.
  write_file(dir.path / "m.fm", "");
  run = run_tool(dir.path, {"/O", "fd3.fm", "m.fm", "x"}, "exec 3<>m.fm");
  EXPECT_EQ(run.status, 0) << run.output;
  EXPECT_TRUE(run.output.ends_with("Wrote: fd3.fm, 0 bytes\n")) << run.output;
  EXPECT_EQ(read_file(dir.path / "m.fm"), "");
  write_file(dir.path / "m.fm", model);

  // A full device of the scratch directory's own: as root, a writer that took a device for
  // a file would rename over the node it was given, never over the system's /dev/full.
  Files expected{{"m.fm", model},
                 {"stdout.fm", "symlink -> /proc/self/fd/1"},
                 {"stderr.fm", "symlink -> /proc/self/fd/2"},
                 {"fd3.fm", "symlink -> /dev/fd/3"}};
  if (mknod((dir.path / "full").c_str(), S_IFCHR | 0666, makedev(1, 7)) == 0 &&
      mknod((dir.path / "null").c_str(), S_IFCHR | 0666, makedev(1, 3)) == 0) {
    expected["full"] = "special";
    expected["null"] = "special";
    run = run_tool(dir.path, {"/O", "full", "m.fm", "new"});
    EXPECT_EQ(run.output, large_report("m.fm", {"old"}, "full") +
                              fatal_line("Unable to write output model file"));
    EXPECT_EQ(run.status, failure_status);
    run = run_tool(dir.path, {"/O", "null", "m.fm", "new"});
    EXPECT_EQ(run.output, reported("null"));
    EXPECT_EQ(run.status, 0);
  } else {
    note_skipped_case("making device nodes (mknod) needs root");
  }
  EXPECT_EQ(snapshot(dir.path), expected);
#endif
}

TEST(OutputSafety, ReplacedFileKeepsItsPermissionsAndLinksStayLinks) {
#if defined(_WIN32)
  GTEST_SKIP() << "POSIX permission bits and symbolic links";
#else
  const ScratchDir dir;
  fs::create_directory(dir.path / "real");
  write_file(dir.path / "real" / "m.fm", sample_model({"old"}));
  fs::permissions(dir.path / "real" / "m.fm", fs::perms(0640));
  fs::create_symlink("real/m.fm", dir.path / "link.fm");
  fs::create_symlink("real/new.fm", dir.path / "dangling.fm");
  fs::create_hard_link(dir.path / "real" / "m.fm", dir.path / "hard.fm");

  ToolRun run = run_tool(dir.path, {"link.fm", "a"});
  EXPECT_EQ(run.status, 0) << run.output;
  EXPECT_EQ(run.output.substr(run.output.size() - 26), "Wrote: link.fm, 388 bytes\n");
  EXPECT_EQ(permissions_of(dir.path / "real" / "m.fm"), fs::perms(0640));
  // A target one character long.
  write_file(dir.path / "x", sample_model({"old"}));
  fs::create_symlink("x", dir.path / "short.fm");
  run = run_tool(dir.path, {"short.fm", "s"});
  EXPECT_EQ(run.status, 0) << run.output;

  // A new file gets the usual mode for the umask; a dangling link's target is created.
  run = run_tool(dir.path, {"/O", "dangling.fm", "link.fm", "b"}, "umask 027");
  EXPECT_EQ(run.status, 0) << run.output;
  EXPECT_EQ(permissions_of(dir.path / "real" / "new.fm"), fs::perms(0640));
  run = run_tool(dir.path, {"/O", "real/other.fm", "link.fm", "b"}, "umask 022");
  EXPECT_EQ(run.status, 0) << run.output;
  EXPECT_EQ(permissions_of(dir.path / "real" / "other.fm"), fs::perms(0644));

  // Set-user-ID and set-group-ID bits and another user's ownership survive, through a link
  // with an absolute target: owner and mode are set after the data is written.
  const fs::path special = dir.path / "real" / "special.fm";
  write_file(special, sample_model({"old"}));
  fs::create_symlink(special, dir.path / "absolute.fm");
  const bool as_root = geteuid() == 0;
  if (as_root) {
    ASSERT_EQ(chown(special.c_str(), 65534, 65534), 0);
  }
  fs::permissions(special, fs::perms(06755));
  run = run_tool(dir.path, {"absolute.fm", "c"});
  EXPECT_EQ(run.status, 0) << run.output;
  struct stat status {};
  ASSERT_EQ(stat(special.c_str(), &status), 0);
  EXPECT_EQ(status.st_mode & 07777U, 06755U);
  EXPECT_EQ(status.st_uid, as_root ? 65534U : geteuid());
  EXPECT_EQ(status.st_gid, as_root ? 65534U : getegid());

  // A chmod or chown made while an edit in place is being written is kept: the mode and
  // owner put on the new file are taken just before it replaces the old one. Another file
  // renamed over the model meanwhile is kept, and the edit is not made.
  const std::string big =
      header_chunk(1) + skin_chunk({"old"}) + plain_chunk("frames", 1, std::size_t{48} << 20U);
  enum class During { chmod, chown, rename_over };
  for (const During during : {During::chmod, During::chown, During::rename_over}) {
    if (during == During::chown && !as_root) {
      continue;
    }
    write_file(dir.path / "big.fm", big);
    fs::permissions(dir.path / "big.fm", fs::perms(0644));
    StartedTool started = start_tool(dir.path, {"/A", "big.fm", "x"});
    std::string printed;  // up to the line printed just before the new file is written
    std::array<char, 4096> block{};
    while (!printed.ends_with("Output Model File: big.fm\n")) {
      const ssize_t got = read(started.output, block.data(), block.size());
      ASSERT_GT(got, 0) << printed;
      printed.append(block.data(), static_cast<std::size_t>(got));
    }
    if (during == During::chown) {
      ASSERT_EQ(chown((dir.path / "big.fm").c_str(), 65534, 65534), 0);
    } else if (during == During::chmod) {
      fs::permissions(dir.path / "big.fm", fs::perms(0600));
    } else {
      write_file(dir.path / "other.fm", "another file");
      fs::permissions(dir.path / "other.fm", fs::perms(0644));
      fs::rename(dir.path / "other.fm", dir.path / "big.fm");
    }
    run = finish_tool(started);
    const bool refused = during == During::rename_over;
    EXPECT_EQ(run.output, refused
                              ? fatal_line("Model file changed while it was being edited")
                              : "Wrote: big.fm, " + std::to_string(big.size() + 64) + " bytes\n");
    EXPECT_EQ(run.status, refused ? failure_status : 0);
    ASSERT_EQ(stat((dir.path / "big.fm").c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 07777U, during == During::chmod ? 0600U : 0644U);
    EXPECT_EQ(status.st_uid, during == During::chown ? 65534U : geteuid());
    EXPECT_EQ(status.st_size, refused ? 12 : static_cast<off_t>(big.size() + 64));
  }
  fs::remove(dir.path / "big.fm");
  replaced_while_flushed();

  // The hard link keeps the old model: the output name got a new file.
  EXPECT_EQ(snapshot(dir.path), (Files{{"real", "dir"},
                                       {"real/m.fm", sample_model({"a"})},
                                       {"real/new.fm", sample_model({"b"})},
                                       {"real/other.fm", sample_model({"b"})},
                                       {"real/special.fm", sample_model({"c"})},
                                       {"link.fm", "symlink -> real/m.fm"},
                                       {"dangling.fm", "symlink -> real/new.fm"},
                                       {"absolute.fm", "symlink -> " + special.string()},
                                       {"hard.fm", sample_model({"old"})},
                                       {"x", sample_model({"s"})},
                                       {"short.fm", "symlink -> x"}}));
#endif
}

// Names that cannot be opened fail as opening them would, before any file is made.
TEST(OutputSafety, OutputThatCannotBeOpenedIsRefusedBeforeAnythingIsWritten) {
  const ScratchDir dir;
  const std::string model = sample_model({"old"});
  write_file(dir.path / "m.fm", model);
  fs::create_directory(dir.path / "folder");
  Files expected_files{{"m.fm", model}, {"folder", "dir"}};
  std::vector<std::pair<std::string, int>> cases{
      {"folder", EISDIR}, {"", ENOENT}, {"new.fm/", EISDIR}};
  std::string setup;
#if !defined(_WIN32)
  setup = "exec 7>&-";
  // Names of descriptors the process does not have (7 is closed for every row).
  cases.emplace_back("/dev/fd/7", ENOENT);
  cases.emplace_back("/dev/fd/1x", ENOENT);
  fs::create_symlink("loop2.fm", dir.path / "loop1.fm");
  fs::create_symlink("loop1.fm", dir.path / "loop2.fm");
  expected_files.insert({{"loop1.fm", "symlink -> loop2.fm"}, {"loop2.fm", "symlink -> loop1.fm"}});
  cases.emplace_back("loop1.fm", ELOOP);
  // Two links whose joined targets are longer than any path the system can look up.
  std::string dots;
  for (int step = 0; step < 1500; ++step) {
    dots += "./";
  }
  fs::create_symlink(dots + "chain2.fm", dir.path / "chain1.fm");
  fs::create_symlink(dots + "m.fm", dir.path / "chain2.fm");
  expected_files.insert({{"chain1.fm", "symlink -> " + dots + "chain2.fm"},
                         {"chain2.fm", "symlink -> " + dots + "m.fm"}});
  cases.emplace_back("chain1.fm", ENAMETOOLONG);
#else
  note_skipped_case("a link loop and an over-long link chain need POSIX symbolic links");
#endif
  for (const auto& [output, error_number] : cases) {
    const ToolRun run = run_tool(dir.path, {"/O", output, "m.fm", "new"}, setup);
    EXPECT_TRUE(run.output.ends_with("Output Model File: " + output + "\n" +
                                     fatal_line("Unable to open output model file")))
        << run.output;
    EXPECT_EQ(run.status, error_number);
  }
  EXPECT_EQ(snapshot(dir.path), expected_files);
}

// Whether the tool did what was asked does not hang on its report reaching anyone: an edit
// whose report is lost (standard output closed, or a reader that left) succeeds, and a list
// that could not be written whole is a failure.
TEST(OutputSafety, LostReportDecidesTheStatusOnlyInListMode) {
#if defined(_WIN32)
  GTEST_SKIP() << "POSIX descriptors and pipes";
#else
  const ScratchDir dir;
  // Standard output the write end of a FIFO that no one reads any more.
  const std::string reader_left =
      "p=$(mktemp -u) && mkfifo \"$p\" && exec 3<>\"$p\" >\"$p\" 3<&- && rm \"$p\"";
  const bool device_made = mknod((dir.path / "full").c_str(), S_IFCHR | 0666, makedev(1, 7)) == 0;
  fs::create_symlink("/proc/self/fd/1", dir.path / "stdout.fm");
  fs::create_symlink("/proc/self/fd/2", dir.path / "stderr.fm");
  const std::tuple<std::string, std::vector<std::string>, int, std::vector<std::string>> cases[] = {
      {"exec >&-", {"/A", "m.fm", "x"}, 0, {"old", "x"}},
      {"exec 2>&-", {"/A", "m.fm", "x"}, 0, {"old", "x"}},
      {"exec >&-", {"/L", "m.fm"}, 0, {"old"}},
      {"exec 3>&-", {"/O", "/dev/fd/3", "m.fm", "x"}, EBADF, {"old"}},  // 3 is then the model
      {"exec 2>&-", {"/O", "/dev/fd/2", "m.fm", "x"}, EBADF, {"old"}},
      {"exec 2>&-", {"/O", "stderr.fm", "m.fm", "x"}, EBADF, {"old"}},
      {"exec 0<>m.fm", {"/O", "new.fm", "m.fm", "x"}, 0, {"old"}},     // its own input is no writer
      {"exec >&-", {"/O", "stdout.fm", "m.fm", "x"}, EBADF, {"old"}},  // not /dev/null put there
      {"exec 0<other.fm", {"/O", "/dev/fd/0", "m.fm", "x"}, failure_status, {"old"}},
      {device_made ? "exec 3>full" : "exec 3<other.fm",
       {"/O", "/dev/fd/3", "m.fm", "x"},
       failure_status,
       {"old"}},
      {reader_left, {"/A", "m.fm", "x"}, 0, {"old", "x"}},
      {reader_left, {"/L", "m.fm"}, failure_status, {"old"}},
      {device_made ? "exec >full" : reader_left, {"/L", "m.fm"}, failure_status, {"old"}},
  };
  write_file(dir.path / "other.fm", "another file");
  for (const auto& [setup, arguments, status, stored] : cases) {
    write_file(dir.path / "m.fm", sample_model({"old"}));
    const ToolRun run = run_tool(dir.path, arguments, setup);
    EXPECT_EQ(run.status, status) << setup;
    EXPECT_EQ(read_file(dir.path / "m.fm"), sample_model(stored)) << setup;
    EXPECT_EQ(read_file(dir.path / "other.fm"), "another file") << setup;
    if (fs::exists(dir.path / "new.fm")) {
      EXPECT_EQ(read_file(dir.path / "new.fm"), sample_model({"x"}));
      fs::remove(dir.path / "new.fm");
    }
  }
  if (!device_made) {
    note_skipped_case("a full device node (mknod) needs root");
  }
  EXPECT_EQ(snapshot(dir.path).size(), device_made ? 5U : 4U);
#endif
}

// A signal during the write ends the tool by that signal with no temporary file left, even
// a kill, which no program can catch: the temporary file has no name until it is complete.
// The model stays as it was.
TEST(OutputSafety, InterruptedWriteLeavesTheOldModelWhole) {
#if defined(_WIN32)
  GTEST_SKIP() << "POSIX signals";
#else
  const ScratchDir dir;
  const std::string model =
      header_chunk(1) + skin_chunk({"old"}) + plain_chunk("frames", 1, std::size_t{48} << 20U);
  for (const int signal_number :
       {SIGTERM, SIGINT, SIGHUP, SIGUSR1, SIGALRM, SIGXCPU, SIGVTALRM, SIGPROF, SIGKILL}) {
    // The signal goes out once the report says the output is being written; a run that
    // finished first proves nothing and is tried again.
    bool interrupted = false;
    for (int attempt = 0; attempt < 5 && !interrupted; ++attempt) {
      write_file(dir.path / "m.fm", model);
      StartedTool started = start_tool(dir.path, {"m.fm", "new"});
      std::string printed;
      std::array<char, 4096> block{};
      for (ssize_t got = 1; got > 0 && !printed.ends_with("Output Model File: m.fm\n");) {
        got = read(started.output, block.data(), block.size());
        printed.append(block.data(), static_cast<std::size_t>(std::max<ssize_t>(got, 0)));
      }
      kill(started.process, signal_number);
      const ToolRun run = finish_tool(started);
      interrupted = run.status == 128 + signal_number;
      EXPECT_TRUE(interrupted || run.status == 0) << run.status;
    }
    EXPECT_TRUE(interrupted) << "the write always finished before signal " << signal_number;
    // Compared whole, not printed: a diff of two 48 MiB texts would exhaust the memory. A
    // named temporary file (where unnamed ones are refused) cannot be removed after a kill,
    // if the kill came once it was made.
    Files files = snapshot(dir.path);
    if (signal_number == SIGKILL && std::getenv("FMSKINS_TEST_NAMED_TEMPORARY") != nullptr) {
      std::erase_if(files,
                    [](const auto& file) { return file.first.starts_with(".m.fm.fmskins-"); });
    }
    EXPECT_TRUE(files == (Files{{"m.fm", model}})) << "signal " << signal_number;
    std::filesystem::remove_all(dir.path);
    std::filesystem::create_directory(dir.path);
  }
#endif
}

// Runs that append to one model at the same moment take turns: every run succeeds, and
// every path added is in the model, which is whole after every round.
TEST(OutputSafety, SimultaneousEditsOfOneModelAreAllKept) {
#if defined(_WIN32)
  GTEST_SKIP() << "starts several POSIX processes at once";
#else
  const ScratchDir dir;
  write_file(dir.path / "m.fm", sample_model({"first"}));
  std::vector<std::string> added{"first"};
  constexpr int rounds = 24;
  constexpr int runs_at_once = 8;
  for (int round = 0; round < rounds; ++round) {
    std::vector<StartedTool> started;
    for (int run = 0; run < runs_at_once; ++run) {
      added.push_back("p" + std::to_string(round) + "_" + std::to_string(run));
      started.push_back(start_tool(dir.path, {"/A", "m.fm", added.back()}));
    }
    for (StartedTool& each : started) {
      const ToolRun run = finish_tool(each);
      EXPECT_EQ(run.status, 0) << run.output;
      EXPECT_EQ(run.output.find(", 0 bytes"), std::string::npos) << run.output;
    }
    // The model holds exactly the paths added so far, in some order, and nothing else.
    const std::string written = read_file(dir.path / "m.fm");
    std::vector<std::string> stored;
    for (std::int32_t entry = 0; entry < field_at(written, 52); ++entry) {
      stored.emplace_back(written.c_str() + 120 + 64 * entry);
    }
    ASSERT_EQ(written, sample_model(stored)) << "round " << round;
    std::sort(stored.begin(), stored.end());
    std::vector<std::string> expected = added;
    std::sort(expected.begin(), expected.end());
    ASSERT_EQ(stored, expected) << "round " << round;
  }
  EXPECT_EQ(snapshot(dir.path).size(), 1U);
#endif
}

#if !defined(_WIN32)
bool still_running(const StartedTool& started) {
  siginfo_t ended{};
  return waitid(P_PID, static_cast<id_t>(started.process), &ended, WEXITED | WNOHANG | WNOWAIT) ==
             0 &&
         ended.si_pid == 0;
}
#endif

// A run that replaces a file which another run holds waits its turn, also when it only
// writes that file (/O) and reads another; it gives up after ten seconds with nothing
// changed.
TEST(OutputSafety, OutputHeldByAnotherRunIsWaitedFor) {
#if defined(_WIN32)
  GTEST_SKIP() << "POSIX file locks";
#else
  const ScratchDir dir;
  write_file(dir.path / "m.fm", sample_model({"old"}));
  write_file(dir.path / "other.fm", sample_model({"other"}));
  const int held = open((dir.path / "m.fm").c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_EQ(flock(held, LOCK_EX), 0);
  const std::vector<std::string> arguments{"/A", "/O", "m.fm", "other.fm", "d"};
  for (const bool released : {false, true}) {
    StartedTool started = start_tool(dir.path, arguments);
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    EXPECT_TRUE(still_running(started));
    if (released) {
      close(held);
    }
    const ToolRun run = finish_tool(started);
    EXPECT_EQ(run.status, released ? 0 : failure_status);
    EXPECT_EQ(run.output.ends_with(fatal_line("Model file is still locked by another run")),
              !released);
    EXPECT_EQ(read_file(dir.path / "m.fm"),
              sample_model(released ? std::vector<std::string>{"other", "d"}
                                    : std::vector<std::string>{"old"}));
  }
  // Another program's write lease on the output: the rename needs no open of the file, and
  // the run is not held up by it.
  const int leased = open((dir.path / "other.fm").c_str(), O_RDONLY | O_CLOEXEC);
  const auto previous = signal(SIGIO, SIG_IGN);  // told of a break of the lease, if any
  if (fcntl(leased, F_SETLEASE, F_WRLCK) != 0) {
    note_skipped_case("no write lease could be taken on the scratch file system");
  } else {
    const auto started_at = std::chrono::steady_clock::now();
    const ToolRun run = run_tool(dir.path, {"/O", "other.fm", "m.fm", "e"});
    EXPECT_EQ(run.status, 0) << run.output;
    EXPECT_LT(std::chrono::steady_clock::now() - started_at, std::chrono::seconds(5));
    EXPECT_EQ(read_file(dir.path / "other.fm"), sample_model({"e"}));
  }
  close(leased);
  signal(SIGIO, previous);
  EXPECT_EQ(snapshot(dir.path).size(), 2U);
#endif
}

// A model that another program writes to or cuts short while the tool runs is never replaced
// by an edit of what was read. The output is a FIFO, so that the tool waits at its open once
// the model is walked, until the test has changed the model and opens the reading end.
TEST(OutputSafety, ModelChangedDuringTheRunIsNotWrittenOver) {
#if defined(_WIN32)
  GTEST_SKIP() << "POSIX FIFOs";
#else
  const ScratchDir dir;
  const std::string model = large_model({"old"});
  const std::string written = large_model({"new"});
  const std::string tail(100000, 'x');  // an exporter's later chunks
  // What another program does to the model, what it leaves there, and whether it does so
  // only once the tool is writing to the FIFO: past every check before the write, the copy
  // itself meets the loss. Opening the model for writing, even to write nothing, is a
  // change, and so is a rewrite of the same size whose time is put back, whether the run's
  // parent ignores or blocks the signal that tells of it; renaming another file over it,
  // or another run writing its edit of another model to the model's name, leaves what was
  // read whole. The writer is never held up.
  enum class Change {
    none,
    write,
    open_for_writing,
    rename_over,
    rewrite_keeping_time,
    other_run,
    attribute,
    stray_io
  };
  enum class Parent { plain, ignores_io, blocks_io };
  std::string same_size = model;
  same_size[200] ^= 1;
  const std::tuple<Change, std::string, bool, Parent> rows[] = {
      {Change::none, model, false, Parent::plain},
      {Change::write, model + tail, false, Parent::plain},
      {Change::write, model.substr(0, 4096), false, Parent::plain},
      {Change::write, model.substr(0, 4096), true, Parent::plain},
      {Change::open_for_writing, model, false, Parent::plain},
      {Change::rename_over, model + tail, false, Parent::plain},
      {Change::rewrite_keeping_time, same_size, false, Parent::ignores_io},
      {Change::rewrite_keeping_time, same_size, false, Parent::blocks_io},
      {Change::other_run, large_model({"z"}), false, Parent::plain},
      {Change::attribute, model, false, Parent::plain},
      {Change::stray_io, model, false, Parent::ignores_io}};
  const char* const wrapper = std::getenv("FMSKINS_TEST_WRAPPER");
  const bool emulated =
      wrapper != nullptr && std::string_view(wrapper).find("qemu") != std::string_view::npos;
  for (const auto& [change, changed_to, while_writing, parent] : rows) {
    // An emulator keeps the host's ignored or blocked signal for itself, whatever the tool
    // asks for.
    if (parent != Parent::plain && std::getenv("FMSKINS_TEST_WRAPPER") != nullptr) {
      note_skipped_case("SIGIO ignored or blocked by the parent: an emulator keeps the host's");
      continue;
    }
    const bool fails = change == Change::open_for_writing || change == Change::write ||
                       change == Change::rewrite_keeping_time;
    const auto make_change = [&, change = change, changed_to = changed_to] {
      const auto started_at = std::chrono::steady_clock::now();
      struct stat before {};
      ASSERT_EQ(stat((dir.path / "m.fm").c_str(), &before), 0);
      if (change == Change::write || change == Change::rewrite_keeping_time) {
        write_file(dir.path / "m.fm", changed_to);
      } else if (change == Change::open_for_writing) {
        close(open((dir.path / "m.fm").c_str(), O_WRONLY | O_CLOEXEC));
      } else if (change == Change::rename_over) {
        write_file(dir.path / "other.fm", changed_to);
        fs::rename(dir.path / "other.fm", dir.path / "m.fm");
      } else if (change == Change::attribute) {
        (void)setxattr((dir.path / "m.fm").c_str(), "user.note", "seen", 4, 0);
      } else if (change == Change::other_run) {
        write_file(dir.path / "other.fm", model);
        EXPECT_EQ(run_tool(dir.path, {"/O", "m.fm", "other.fm", "z"}).status, 0);
        fs::remove(dir.path / "other.fm");
      }
      if (change == Change::rewrite_keeping_time) {
        const struct timespec times[] = {before.st_atim, before.st_mtim};
        ASSERT_EQ(utimensat(AT_FDCWD, (dir.path / "m.fm").c_str(), times, 0), 0);
      }
      // The tool lets go of the model at once. Under an emulator the lease break's signal
      // may reach it late, and the system then ends the lease itself after its own wait
      // (45 s): still safe, but not prompt, so the time is not held to there.
      if (!emulated) {
        EXPECT_LT(std::chrono::steady_clock::now() - started_at, std::chrono::seconds(10));
      }
    };
    write_file(dir.path / "m.fm", model);
    ASSERT_EQ(mkfifo((dir.path / "p").c_str(), 0600), 0);
    sigset_t blocked{};  // the parent's blocked signals, which the tool inherits
    sigset_t kept{};
    sigemptyset(&blocked);
    if (parent == Parent::blocks_io) {
      sigaddset(&blocked, SIGIO);
    }
    ASSERT_EQ(sigprocmask(SIG_BLOCK, &blocked, &kept), 0);
    StartedTool started = start_tool(dir.path, {"/O", "p", "m.fm", "new"},
                                     parent == Parent::ignores_io ? "trap '' IO" : "");
    ASSERT_EQ(sigprocmask(SIG_SETMASK, &kept, nullptr), 0);
    std::string printed;
    std::array<char, 4096> block{};
    while (!printed.ends_with("Output Model File: p\n")) {
      const ssize_t got = read(started.output, block.data(), block.size());
      ASSERT_GT(got, 0) << printed;
      printed.append(block.data(), static_cast<std::size_t>(got));
    }
    if (!while_writing) {
      make_change();
    }
    if (change == Change::stray_io) {
      kill(started.process, SIGIO);  // a signal that tells of no break: ignored as the parent asked
    }
    std::string through_fifo;
    const int fifo = open((dir.path / "p").c_str(), O_RDONLY);
    for (ssize_t got = 0; (got = read(fifo, block.data(), block.size())) > 0;) {
      if (while_writing && through_fifo.empty()) {
        make_change();
      }
      through_fifo.append(block.data(), static_cast<std::size_t>(got));
    }
    close(fifo);
    const ToolRun run = finish_tool(started);
    EXPECT_EQ(printed + run.output,
              large_report("m.fm", {"old"}, "p") +
                  (fails ? fatal_line("Model file changed while it was being edited")
                         : "Wrote: p, " + std::to_string(written.size()) + " bytes\n"));
    EXPECT_EQ(run.status, fails ? failure_status : 0);
    if (while_writing) {
      EXPECT_TRUE(through_fifo.size() < written.size() && written.starts_with(through_fifo));
    } else {
      EXPECT_TRUE(through_fifo == (fails ? "" : written));
    }
    EXPECT_TRUE(read_file(dir.path / "m.fm") == changed_to);
    fs::remove(dir.path / "p");
  }

  // A model that another program holds open for writing is not edited at all.
  write_file(dir.path / "m.fm", model);
  const int writer = open((dir.path / "m.fm").c_str(), O_WRONLY | O_CLOEXEC);
  ToolRun run = run_tool(dir.path, {"m.fm", "new"});
  close(writer);
  EXPECT_EQ(run.output, banner() + "Input Model File: m.fm\n" +
                            fatal_line("Model file is being written by another program"));
  EXPECT_EQ(run.status, failure_status);
  EXPECT_EQ(snapshot(dir.path), (Files{{"m.fm", model}}));

  // An empty model opened for writing while the tool waits at the FIFO: a failure, never a
  // death by the lease's signal.
  write_file(dir.path / "m.fm", "");
  ASSERT_EQ(mkfifo((dir.path / "p").c_str(), 0600), 0);
  StartedTool empty = start_tool(dir.path, {"/O", "p", "m.fm", "x"});
  std::string shown;
  for (std::array<char, 4096> block{}; !shown.ends_with("Output Model File: p\n");) {
    const ssize_t got = read(empty.output, block.data(), block.size());
    ASSERT_GT(got, 0) << shown;
    shown.append(block.data(), static_cast<std::size_t>(got));
  }
  close(open((dir.path / "m.fm").c_str(), O_WRONLY | O_CLOEXEC));
  close(open((dir.path / "p").c_str(), O_RDONLY | O_CLOEXEC));
  run = finish_tool(empty);
  EXPECT_EQ(run.output, fatal_line("Model file changed while it was being edited"));
  EXPECT_EQ(run.status, failure_status);
  fs::remove(dir.path / "p");

  // Listing with the report unread, so that the tool stops partway through a long skin
  // list: the entries after that point are gone from the file when it reads on. A bus error
  // sent by another program is no lost page: it ends the run by the signal.
  if (std::getenv("FMSKINS_TEST_WRAPPER") != nullptr) {
    note_skipped_case("a model cut short while listed: emulators misreport the lost page");
    return;
  }
  // A parent that blocks bus errors changes none of this, and a hang-up that the parent
  // ignores (as under nohup) is ignored: the whole list is written.
  std::vector<std::string> paths(20000, "skins/a_skin_of_many.m8");
  enum class Meanwhile { cut, cut_with_bus_errors_blocked, bus_error_sent, ignored_hang_up };
  for (const Meanwhile meanwhile : {Meanwhile::cut, Meanwhile::cut_with_bus_errors_blocked,
                                    Meanwhile::bus_error_sent, Meanwhile::ignored_hang_up}) {
    write_file(dir.path / "m.fm", header_chunk(20000) + skin_chunk(paths));
    sigset_t blocked{};
    sigset_t kept{};
    sigemptyset(&blocked);
    if (meanwhile == Meanwhile::cut_with_bus_errors_blocked) {
      sigaddset(&blocked, SIGBUS);
    }
    ASSERT_EQ(sigprocmask(SIG_BLOCK, &blocked, &kept), 0);
    StartedTool started = start_tool(dir.path, {"/L", "m.fm"},
                                     meanwhile == Meanwhile::ignored_hang_up ? "trap '' HUP" : "");
    ASSERT_EQ(sigprocmask(SIG_SETMASK, &kept, nullptr), 0);
    char first = 0;
    ASSERT_EQ(read(started.output, &first, 1), 1);
    const bool cut =
        meanwhile == Meanwhile::cut || meanwhile == Meanwhile::cut_with_bus_errors_blocked;
    if (cut) {
      fs::resize_file(dir.path / "m.fm", 4096);
    } else {
      kill(started.process, meanwhile == Meanwhile::bus_error_sent ? SIGBUS : SIGHUP);
    }
    run = finish_tool(started);
    EXPECT_EQ(run.output.ends_with(fatal_line("Model file changed while it was being read")), cut);
    EXPECT_EQ(run.status, cut                                      ? failure_status
                          : meanwhile == Meanwhile::bus_error_sent ? 128 + SIGBUS
                                                                   : 0);
    if (meanwhile == Meanwhile::ignored_hang_up) {
      EXPECT_EQ(std::count(run.output.begin(), run.output.end(), '\n'), 20008);
    }
  }
  EXPECT_EQ(snapshot(dir.path).size(), 1U);
#endif
}

// With an access control list the group bits of the mode are the list's mask: a replaced
// file keeps the list, and its other extended attributes, rather than bits that would let
// the owning group write.
TEST(OutputSafety, AccessListAndExtendedAttributesAreKept) {
#if defined(_WIN32)
  GTEST_SKIP() << "POSIX access control lists";
#else
  const ScratchDir dir;
  const fs::path model = dir.path / "m.fm";
  write_file(model, sample_model({"old"}));
  fs::permissions(model, fs::perms(0640));
  // Version 2, then 8-byte entries (tag, permissions, id), little-endian: owner rw, user
  // 65534 rw, group r, mask rw, others nothing.
  const std::string list(
      "\x02\0\0\0"
      "\x01\0\x06\0\xff\xff\xff\xff"
      "\x02\0\x06\0\xfe\xff\0\0"
      "\x04\0\x04\0\xff\xff\xff\xff"
      "\x10\0\x06\0\xff\xff\xff\xff"
      "\x20\0\0\0\xff\xff\xff\xff",
      44);
  if (setxattr(model.c_str(), "system.posix_acl_access", list.data(), list.size(), 0) != 0 ||
      setxattr(model.c_str(), "user.origin", "exporter", 8, 0) != 0 ||
      setxattr(model.c_str(), "user.k", "1", 1, 0) != 0 ||
      setxattr(model.c_str(), "user.flag", "", 0, 0) != 0) {
    GTEST_SKIP() << "the scratch file system keeps no access lists or user attributes";
  }
  const auto attribute = [&](const fs::path& file, const char* name) {
    std::string value(256, '\0');
    const ssize_t got = getxattr(file.c_str(), name, value.data(), value.size());
    value.resize(got < 0 ? 0 : static_cast<std::size_t>(got));
    return value;
  };
  ToolRun run = run_tool(dir.path, {"m.fm", "new"});
  EXPECT_EQ(run.status, 0) << run.output;
  EXPECT_EQ(read_file(model), sample_model({"new"}));
  EXPECT_EQ(attribute(model, "system.posix_acl_access"), list);
  EXPECT_EQ(attribute(model, "user.origin"), "exporter");
  EXPECT_EQ(attribute(model, "user.k"), "1");
  EXPECT_EQ(getxattr(model.c_str(), "user.flag", nullptr, 0), 0);  // there, and empty
  EXPECT_EQ(permissions_of(model), fs::perms(0660));               // the mask, as before

  // In a directory whose default list grants user 65534 access: a new file gets what any
  // new file there gets (the umask does not narrow a default list), and a file that had no
  // list of its own gets none on being replaced.
  fs::create_directory(dir.path / "d");
  ASSERT_EQ(
      setxattr((dir.path / "d").c_str(), "system.posix_acl_default", list.data(), list.size(), 0),
      0);
  const mode_t mask = umask(022);
  close(open((dir.path / "d" / "touched").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0666));
  umask(mask);
  run = run_tool(dir.path, {"/O", "d/new.fm", "m.fm", "x"}, "umask 022");
  EXPECT_EQ(run.status, 0) << run.output;
  EXPECT_EQ(permissions_of(dir.path / "d" / "new.fm"), permissions_of(dir.path / "d" / "touched"));
  EXPECT_EQ(attribute(dir.path / "d" / "new.fm", "system.posix_acl_access"),
            attribute(dir.path / "d" / "touched", "system.posix_acl_access"));
  write_file(dir.path / "d" / "plain.fm", sample_model({"old"}));
  ASSERT_EQ(removexattr((dir.path / "d" / "plain.fm").c_str(), "system.posix_acl_access"), 0);
  fs::permissions(dir.path / "d" / "plain.fm", fs::perms(0640));
  ASSERT_EQ(setxattr((dir.path / "d" / "plain.fm").c_str(), "user.origin", "exporter", 8, 0), 0);
  run = run_tool(dir.path, {"/A", "d/plain.fm", "y"});
  EXPECT_EQ(run.status, 0) << run.output;
  EXPECT_EQ(attribute(dir.path / "d" / "plain.fm", "system.posix_acl_access"), "");
  EXPECT_EQ(attribute(dir.path / "d" / "plain.fm", "user.origin"), "exporter");
  EXPECT_EQ(permissions_of(dir.path / "d" / "plain.fm"), fs::perms(0640));
#endif
}

// Permission bits bar nothing to root, so these run as an unprivileged user when the
// suite runs as root, from a copy of the tool that user can execute.
TEST(OutputSafety, UnwritableDirectoryOrFileIsRefusedAndLeftAlone) {
#if defined(_WIN32)
  // Windows has no permission bits to test as another user; its read-only attribute must
  // still keep a file from being replaced.
  const ScratchDir dir;
  const std::string model = sample_model({"old"});
  write_file(dir.path / "readonly.fm", model);
  fs::permissions(dir.path / "readonly.fm",
                  fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write,
                  fs::perm_options::remove);
  const ToolRun run = run_tool(dir.path, {"readonly.fm", "new"});
  EXPECT_TRUE(run.output.ends_with("Output Model File: readonly.fm\n" +
                                   fatal_line("Unable to open output model file")))
      << run.output;
  EXPECT_EQ(run.status, EACCES);
  EXPECT_EQ(snapshot(dir.path), (Files{{"readonly.fm", model}}));
  fs::permissions(dir.path / "readonly.fm", fs::perms::owner_write, fs::perm_options::add);
  note_skipped_case("an unprivileged user and a read-only directory need POSIX permissions");
#else
  std::string launcher;
  if (geteuid() == 0) {
    if (access("/usr/bin/setpriv", X_OK) != 0) {
      GTEST_SKIP() << "running as root without setpriv: cannot drop privileges";
    }
    launcher = "/usr/bin/setpriv --reuid=65534 --regid=65534 --clear-groups";
  }
  const ScratchDir dir;
  const ScratchDir bin;
  fs::permissions(dir.path, fs::perms(0777));
  fs::permissions(bin.path, fs::perms(0755));
  const std::string setup = "cp \"$(command -v fmskins)\" '" + bin.path.string() +
                            "/fmskins' && PATH='" + bin.path.string() + "':$PATH";

  const std::string model = sample_model({"old"});
  fs::create_directory(dir.path / "locked");
  write_file(dir.path / "locked" / "m.fm", model);
  fs::permissions(dir.path / "locked" / "m.fm", fs::perms(0666));
  fs::permissions(dir.path / "locked", fs::perms(0555));
  write_file(dir.path / "readonly.fm", model);
  fs::permissions(dir.path / "readonly.fm", fs::perms(0444));

  const std::tuple<std::vector<std::string>, std::string, const char*> cases[] = {
      {{"locked/m.fm", "new"}, "locked/m.fm", "Unable to create temporary output model file"},
      {{"/O", "locked/new.fm", "locked/m.fm", "new"},
       "locked/new.fm",
       "Unable to open output model file"},
      {{"readonly.fm", "new"}, "readonly.fm", "Unable to open output model file"},
  };
  for (const auto& [arguments, output, message] : cases) {
    const ToolRun run = run_tool(dir.path, arguments, setup, launcher);
    EXPECT_TRUE(run.output.ends_with("Output Model File: " + output + "\n" + fatal_line(message)))
        << run.output;
    EXPECT_EQ(run.status, EACCES);
  }
  // A directory named as the model, which the user may not even read, is still a directory.
  fs::create_directory(dir.path / "hidden");
  fs::permissions(dir.path / "hidden", fs::perms(0300));
  ToolRun run = run_tool(dir.path, {"/L", "hidden"}, setup, launcher);
  EXPECT_TRUE(run.output.ends_with(fatal_line("Can't open input model file"))) << run.output;
  EXPECT_EQ(run.status, EISDIR);
  fs::permissions(dir.path / "hidden", fs::perms(0700));  // for the test itself to read again
  EXPECT_EQ(
      snapshot(dir.path),
      (Files{
          {"locked", "dir"}, {"locked/m.fm", model}, {"readonly.fm", model}, {"hidden", "dir"}}));
  EXPECT_EQ(permissions_of(dir.path / "readonly.fm"), fs::perms(0444));

  // Another user's file that the editor may write: the editor becomes its owner, which
  // cannot be helped. Its group is kept where the editor is in it; where not, the group's
  // access goes rather than passing to the editor's own group.
  if (geteuid() != 0) {
    note_skipped_case("files of another user and group need root to make");
    return;
  }
  const std::tuple<std::string, unsigned, unsigned, std::string> groups[] = {
      {"--groups=50,100", 0660, 50, ""},
      {"--groups=100", 0606, 100,
       "WARNING: Could not keep the group of output model file; group access removed\n"}};
  for (const auto& [membership, mode, group, warned] : groups) {
    write_file(dir.path / "shared.fm", model);
    ASSERT_EQ(chown((dir.path / "shared.fm").c_str(), 1000, 50), 0);
    fs::permissions(dir.path / "shared.fm", fs::perms(0666 - (mode == 0660 ? 6 : 0)));
    run = run_tool(dir.path, {"/A", "shared.fm", "x"}, setup,
                   "/usr/bin/setpriv --reuid=65534 --regid=100 " + membership);
    EXPECT_TRUE(run.output.ends_with(warned + "Wrote: shared.fm, " +
                                     std::to_string(sample_model({"old", "x"}).size()) +
                                     " bytes\n"))
        << run.output;
    struct stat status {};
    ASSERT_EQ(stat((dir.path / "shared.fm").c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 07777U, mode) << membership;
    EXPECT_EQ(status.st_gid, group) << membership;
    EXPECT_EQ(status.st_uid, 65534U) << membership;
  }

  // In a sticky folder another user's file, however writable, cannot be renamed over: the
  // edit is refused, the file kept, and nothing left beside it.
  fs::create_directory(dir.path / "sticky");
  fs::permissions(dir.path / "sticky", fs::perms(01777));
  write_file(dir.path / "sticky" / "m.fm", model);
  fs::permissions(dir.path / "sticky" / "m.fm", fs::perms(0666));
  run = run_tool(dir.path, {"/A", "sticky/m.fm", "x"}, setup, launcher);
  EXPECT_TRUE(run.output.ends_with(fatal_line("Unable to replace output model file")))
      << run.output;
  EXPECT_EQ(run.status, failure_status);
  EXPECT_EQ(snapshot(dir.path / "sticky"), (Files{{"m.fm", model}}));
#endif
}

}  // namespace
}  // namespace fmskins::test
