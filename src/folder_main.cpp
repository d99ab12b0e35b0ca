// fmskins-folder: the skin paths of a whole mod folder. `check` looks every stored path up
// in the folder, `retarget` changes the start of paths across its models (a dry run unless
// --apply) and keeps an undo journal, `undo` puts a journal's models back.

#include <chrono>
#include <cstdio>
#include <ctime>
#include <new>
#include <string>
#include <vector>

#if defined(_WIN32)
#include <fcntl.h>
#include <io.h>

#include "cli/windows_text.h"
#else
#include <fcntl.h>
#include <unistd.h>

#include <csignal>
#endif

#include "cli/launch.h"
#include "cli/shown_text.h"
#include "folder/folder_check.h"
#include "folder/folder_edit.h"
#include "folder/folder_files.h"

namespace fmskins {
namespace {

constexpr int status_found = 1;
constexpr int status_trouble = 2;

const char usage_text[] =
    "Usage: fmskins-folder check [--json | --csv] FOLDER...\n"
    "       fmskins-folder retarget [--apply] [--journal FILE] FROM TO FOLDER...\n"
    "       fmskins-folder undo JOURNAL\n"
    "\n"
    "check     looks every skin path of every model (.fm) below each FOLDER up in that\n"
    "          folder: yes, other case, backslashes or no; then the skin files no path uses\n"
    "retarget  gives every skin path that starts with FROM the start TO instead: a dry run\n"
    "          that writes nothing, unless --apply; --apply keeps an undo journal\n"
    "undo      puts back every model of an undo journal that is as the edit left it\n"
    "\n"
    "Exit status: 0 all well, 1 something found or not done, 2 trouble (see the message).\n";

bool output_failed = false;

void out(const std::string& text) {
  if (std::fwrite(text.data(), 1, text.size(), stdout) != text.size()) {
    output_failed = true;
  }
}

[[noreturn]] void usage_error(const std::string& message) {
  (void)std::fprintf(stderr, "fmskins-folder: %s\n%s", message.c_str(), usage_text);
  std::exit(status_trouble);
}

int finish(int status) {
  if (std::fflush(stdout) != 0 || output_failed) {
    (void)std::fprintf(stderr, "fmskins-folder: Unable to write the report\n");
    return status_trouble;
  }
  return status;
}

// The progress line on a terminal, for a run that takes more than a moment.
struct Progress {
  bool shown_at_all = false;
  bool on_terminal = isatty(fileno(stderr)) != 0;
  std::chrono::steady_clock::time_point start = std::chrono::steady_clock::now();
  std::chrono::steady_clock::time_point last{};

  void show(const char* verb, std::size_t done, std::size_t total) {
    if (!on_terminal) {
      return;
    }
    const auto now = std::chrono::steady_clock::now();
    if (now - start < std::chrono::milliseconds(500) ||
        now - last < std::chrono::milliseconds(100)) {
      return;
    }
    last = now;
    shown_at_all = true;
    (void)std::fprintf(stderr, "\r%s %s of %s models", verb, counted(done).c_str(),
                       counted(total).c_str());
    (void)std::fflush(stderr);
  }
  void clear() const {
    if (shown_at_all) {
      (void)std::fprintf(stderr, "\r\033[K");
      (void)std::fflush(stderr);
    }
  }
};

struct Folder {
  std::string name;
  FolderIndex index;
};

// Lists every folder first: one that cannot be read ends the run before anything is done.
std::vector<Folder> list_folders(const std::vector<std::string>& names, std::size_t& models) {
  std::vector<Folder> folders;
  bool failed = false;
  for (const std::string& name : names) {
    FolderFiles listing = list_folder_files(name);
    if (!listing.error.empty()) {
      (void)std::fprintf(stderr, "fmskins-folder: %s\n", listing.error.c_str());
      failed = true;
      continue;
    }
    for (const std::string& file : listing.files) {
      models += is_model_name(file) ? 1U : 0U;
    }
    folders.push_back({name, make_folder_index(std::move(listing.files))});
  }
  if (failed) {
    std::exit(status_trouble);
  }
  return folders;
}

int run_check(const std::vector<std::string>& arguments) {
  enum class Form { table, json, csv } form = Form::table;
  std::size_t at = 2;
  for (; at < arguments.size() && arguments[at].starts_with("--"); ++at) {
    if (arguments[at] == "--json" && form == Form::table) {
      form = Form::json;
    } else if (arguments[at] == "--csv" && form == Form::table) {
      form = Form::csv;
    } else if (arguments[at] == "--") {
      ++at;
      break;
    } else {
      usage_error("check takes one of --json and --csv, not " + printable_text(arguments[at]));
    }
  }
  const std::vector<std::string> names(arguments.begin() + static_cast<std::ptrdiff_t>(at),
                                       arguments.end());
  if (names.empty()) {
    usage_error("check needs at least one FOLDER");
  }
  std::size_t total = 0;
  const std::vector<Folder> folders = list_folders(names, total);
  const bool several = folders.size() > 1;
  if (form == Form::csv) {
    out(csv_header());
  }
  CheckTotals totals;
  Progress progress;
  for (const Folder& folder : folders) {
    const std::vector<std::size_t> unused = check_folder(
        folder.name, folder.index,
        [&](const std::string& path) {
          return read_model_skin_list(folder_path(folder.name, path));
        },
        [&](const CheckedModel& model) {
          out(form == Form::json  ? model_json(model)
              : form == Form::csv ? model_csv(model, several)
                                  : model_table(model, several));
          progress.show("Checked", totals.models, total);
        },
        totals);
    std::vector<std::string> files;
    files.reserve(unused.size());
    for (const std::size_t each : unused) {
      files.push_back(folder.index.files[each]);
    }
    if (form == Form::json) {
      for (const std::string& file : files) {
        out(unused_json(folder.name, file));
      }
    } else if (form == Form::table) {
      out(unused_table(folder.name, files, several));
    }
  }
  progress.clear();
  if (form == Form::json) {
    out(summary_json(totals));
  } else if (form == Form::table) {
    out(check_summary(totals));
  }
  return finish(check_status(totals));
}

std::string shown(const std::string& stored) {
  return printable_text(stored_text_for_report(stored));
}

std::string journal_name() {
  const std::time_t now = std::time(nullptr);
  std::tm utc{};
#if defined(_WIN32)
  (void)gmtime_s(&utc, &now);
#else
  (void)gmtime_r(&now, &utc);
#endif
  char name[64];
  (void)std::strftime(name, sizeof name, "fmskins-undo-%Y%m%dT%H%M%SZ.json", &utc);
  return name;
}

// The journal, made new (never over another file) and kept open to be completed.
struct Journal {
  std::FILE* file = nullptr;
  std::string path;
};

bool make_journal(Journal& journal, const std::string& text) {
#if defined(_WIN32)
  journal.file = _wfopen(system_path(journal.path).c_str(), L"wbx");
#else
  const int descriptor = open(journal.path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
  journal.file = descriptor < 0 ? nullptr : fdopen(descriptor, "wb");
#endif
  if (journal.file == nullptr) {
    return false;
  }
  return std::fwrite(text.data(), 1, text.size(), journal.file) == text.size() &&
         std::fflush(journal.file) == 0 && flush_to_disk(journal.file, journal.path);
}

int run_retarget(const std::vector<std::string>& arguments) {
  bool apply = false;
  std::string journal_path;
  std::size_t at = 2;
  for (; at < arguments.size() && arguments[at].starts_with("--"); ++at) {
    if (arguments[at] == "--apply") {
      apply = true;
    } else if (arguments[at] == "--journal" && at + 1 < arguments.size()) {
      journal_path = arguments[++at];
    } else if (arguments[at] == "--") {
      ++at;
      break;
    } else {
      usage_error("retarget takes --apply and --journal FILE, not " +
                  printable_text(arguments[at]));
    }
  }
  if (arguments.size() < at + 3) {
    usage_error("retarget needs FROM, TO and at least one FOLDER");
  }
  std::string from;
  std::string to;
  if (!typed_to_stored(arguments[at], from) || !typed_to_stored(arguments[at + 1], to)) {
    usage_error("FROM or TO cannot be stored in the system's code page");
  }
  if (from.empty()) {
    usage_error("FROM is empty: it would put TO before every path; give the start to replace");
  }
  if (from == to) {
    usage_error("FROM and TO are the same: nothing would change");
  }
  if (!journal_path.empty() && !apply) {
    usage_error("--journal goes with --apply");
  }
  const std::vector<std::string> names(arguments.begin() + static_cast<std::ptrdiff_t>(at + 2),
                                       arguments.end());
  std::size_t total = 0;
  const std::vector<Folder> folders = list_folders(names, total);
  const bool several = folders.size() > 1;

  std::vector<ModelPlan> plans;
  std::size_t changes = 0;
  std::size_t left_out = 0;
  std::size_t refused = 0;
  Progress progress;
  std::size_t looked_at = 0;
  for (const Folder& folder : folders) {
    for (const std::string& file : folder.index.files) {
      if (!is_model_name(file)) {
        continue;
      }
      progress.show("Read", ++looked_at, total);
      ModelPlan plan = plan_retarget(
          folder.name, file, read_model_skin_list(folder_path(folder.name, file)), from, to);
      if (plan.changes.empty() && plan.left_out.empty() && plan.refused.empty()) {
        continue;
      }
      changes += plan.changes.size();
      left_out += plan.left_out.size();
      refused += plan.refused.empty() ? 0U : 1U;
      plans.push_back(std::move(plan));
    }
  }
  progress.clear();

  // The plan: what would change, and what is left out and why.
  std::size_t changed_models = 0;
  for (const ModelPlan& plan : plans) {
    out(printable_text(several ? folder_path(plan.folder, plan.path) : plan.path) + "\n");
    if (!plan.refused.empty()) {
      out("    not edited: " + plan.refused + "\n");
    }
    for (const PathChange& change : plan.changes) {
      out("    #" + std::to_string(change.index + 1) + " " + shown(change.old_stored) + " -> " +
          shown(change.new_stored) + "\n");
      for (const char* warning : change.warnings) {
        out("        WARNING: Skin path " + std::string(warning) + ": " + shown(change.new_stored) +
            "\n");
      }
    }
    for (const std::string& why : plan.left_out) {
      out("    left out: " + why + "\n");
    }
    changed_models += plan.changes.empty() ? 0U : 1U;
  }
  const std::string counts =
      counted(changes) + (changes == 1 ? " skin path" : " skin paths") + " in " +
      counted(changed_models) + (changed_models == 1 ? " model" : " models") + "; " +
      counted(left_out) + (left_out == 1 ? " path" : " paths") + " left out; " + counted(refused) +
      (refused == 1 ? " model" : " models") + " not edited";
  const int plan_status = left_out > 0 || refused > 0 ? status_found : 0;
  if (!apply) {
    out("Would change " + counts + ". Nothing was written (a dry run): add --apply to write.\n");
    return finish(plan_status);
  }
  if (changes == 0) {
    out("Nothing to change: " + counts + ".\n");
    return finish(plan_status);
  }

  // Each model's SHA-256 before and after, and the bytes to put back, all in the journal,
  // flushed to disk, before any model is replaced.
  struct Edit {
    const ModelPlan* plan;
    JournalModel journal;
    std::vector<Patch> patches;
    std::string message;
  };
  std::vector<Edit> edits;
  std::string journal_text = journal_header_line(from, to);
  for (const ModelPlan& plan : plans) {
    if (plan.changes.empty()) {
      continue;
    }
    Edit edit{&plan, {}, {}, {}};
    std::vector<Patch> old_bytes;
    for (const PathChange& change : plan.changes) {
      Patch patch{change.offset, {}};
      std::copy(change.new_stored.begin(), change.new_stored.end(), patch.bytes.begin());
      edit.patches.push_back(patch);
      old_bytes.push_back({change.offset, change.old_entry});
    }
    const std::string path = folder_path(plan.folder, plan.path);
    edit.journal.path = full_file_path(path);
    edit.journal.restore = old_bytes;
    if (file_digests(path, edit.patches, edit.journal.before, edit.journal.after, edit.message,
                     &old_bytes)) {
      journal_text += journal_model_line(edit.journal);
    }
    edits.push_back(std::move(edit));
  }
  Journal journal;
  journal.path = journal_path.empty() ? journal_name() : journal_path;
  if (!make_journal(journal, journal_text)) {
    (void)std::fprintf(stderr,
                       "fmskins-folder: Can't write the undo journal %s; no model was changed\n",
                       printable_text(journal.path).c_str());
    return finish(status_trouble);
  }
  std::size_t replaced = 0;
  std::size_t failed = 0;
  const auto report_edit = [&](const Edit& edit, const EditResult& result) {
    const std::string path = folder_path(edit.plan->folder, edit.plan->path);
    const std::string name = printable_text(several ? path : edit.plan->path);
    for (const std::string& warning : result.warnings) {
      out("WARNING: " + warning + "\n");
    }
    if (result.written) {
      ++replaced;
      out("Replaced: " + name + " (" + counted(edit.patches.size()) +
          (edit.patches.size() == 1 ? " skin path)\n" : " skin paths)\n"));
    } else {
      ++failed;
      out("Not replaced: " + name + ": " + result.message + "\n");
    }
  };
  // The models that could not even be read whole are named in their place among the rest.
  std::vector<EditJob> jobs;
  std::vector<std::size_t> job_edit;
  for (std::size_t each = 0; each < edits.size(); ++each) {
    const Edit& edit = edits[each];
    if (edit.message.empty()) {
      jobs.push_back({folder_path(edit.plan->folder, edit.plan->path), edit.patches,
                      edit.journal.before, edit.journal.after});
      job_edit.push_back(each);
    }
  }
  std::size_t reported = 0;
  const auto report_failed_before = [&](std::size_t end) {
    for (; reported < end; ++reported) {
      EditResult result;
      result.message = edits[reported].message;
      report_edit(edits[reported], result);
    }
  };
  edit_models(jobs, [&](std::size_t job, const EditResult& result) {
    report_failed_before(job_edit[job]);
    const std::string done = journal_done_line(edits[job_edit[job]].journal.path, result);
    (void)std::fwrite(done.data(), 1, done.size(), journal.file);
    (void)std::fflush(journal.file);
    report_edit(edits[job_edit[job]], result);
    reported = job_edit[job] + 1;
  });
  report_failed_before(edits.size());
  const bool journal_kept =
      flush_to_disk(journal.file, journal.path) && std::fclose(journal.file) == 0;
  out("Replaced " + counted(replaced) + (replaced == 1 ? " model" : " models") + ", " +
      counted(failed) + " not replaced. Undo journal: " + printable_text(journal.path) + "\n");
  if (!journal_kept) {
    (void)std::fprintf(stderr, "fmskins-folder: Can't complete the undo journal %s\n",
                       printable_text(journal.path).c_str());
    return finish(status_trouble);
  }
  return finish(failed > 0 || plan_status != 0 ? status_found : 0);
}

int run_undo(const std::vector<std::string>& arguments) {
  if (arguments.size() != 3) {
    usage_error("undo needs one JOURNAL");
  }
  std::vector<JournalModel> models;
  std::string message;
  if (!read_journal(arguments[2], models, message)) {
    (void)std::fprintf(stderr, "fmskins-folder: %s\n", message.c_str());
    return finish(status_trouble);
  }
  std::size_t restored = 0;
  std::size_t already = 0;
  std::size_t left = 0;
  // Each model's state first; those to put back are then edited, side by side where the
  // system allows, and every model named in the journal's order.
  std::vector<std::string> verdicts(models.size());
  std::vector<EditJob> jobs;
  std::vector<std::size_t> job_model;
  for (std::size_t each = 0; each < models.size(); ++each) {
    const JournalModel& model = models[each];
    const std::string name = printable_text(model.path);
    std::string now;
    std::string with_old;
    if (!file_digests(model.path, model.restore, now, with_old, message)) {
      ++left;
      verdicts[each] = "Not restored: " + name + ": " + message.append("\n");
    } else if (now == model.before) {
      ++already;
      verdicts[each] = "Already as before: " + name + "\n";
    } else if (now != model.after || with_old != model.before) {
      ++left;
      verdicts[each] = "Left alone: " + name + ": changed since the edit\n";
    } else {
      jobs.push_back({model.path, model.restore, model.after, model.before});
      job_model.push_back(each);
    }
  }
  std::size_t reported = 0;
  const auto report_before = [&](std::size_t end) {
    for (; reported < end; ++reported) {
      out(verdicts[reported]);
    }
  };
  edit_models(jobs, [&](std::size_t job, const EditResult& result) {
    const std::size_t each = job_model[job];
    report_before(each);
    for (const std::string& warning : result.warnings) {
      out("WARNING: " + warning + "\n");
    }
    const std::string name = printable_text(models[each].path);
    if (result.written) {
      ++restored;
      out("Restored: " + name + "\n");
    } else {
      ++left;
      out("Not restored: " + name + ": " + result.message + "\n");
    }
    reported = each + 1;
  });
  report_before(models.size());
  out("Restored " + counted(restored) + (restored == 1 ? " model" : " models") + ", " +
      counted(already) + " already as before, " + counted(left) + " not restored.\n");
  return finish(left > 0 ? status_found : 0);
}

int run(const std::vector<std::string>& arguments) {
  const std::string command = arguments.size() > 1 ? arguments[1] : "";
  if (command == "check") {
    return run_check(arguments);
  }
  if (command == "retarget") {
    return run_retarget(arguments);
  }
  if (command == "undo") {
    return run_undo(arguments);
  }
  if (command == "--help" || command == "-h") {
    out(usage_text);
    return finish(0);
  }
  if (command == "--version") {
    out("fmskins-folder " FMSKINS_VERSION "\n");
    return finish(0);
  }
  usage_error(command.empty() ? "a command is needed" : "no command " + printable_text(command));
}

}  // namespace
}  // namespace fmskins

int main(int argc, char** argv) {
#if defined(_WIN32)
  (void)_setmode(_fileno(stdout), _O_BINARY);
#else
  (void)std::signal(SIGPIPE, SIG_IGN);
#endif
  try {
    return fmskins::run(fmskins::argument_list(argc, argv));
  } catch (const std::bad_alloc&) {
    (void)std::fprintf(stderr, "fmskins-folder: Can't allocate memory\n");
    return 2;
  }
}
