#pragma once

// Retargeting the skin paths of a mod folder's models, and putting them back: each model's
// edit through the tool's own writer, and the undo journal that records what each edit
// changed. The plan itself is retarget_plan.h's.

#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "folder/retarget_plan.h"
#include "model/skin_list.h"

namespace fmskins {

// A run of bytes to be put at `offset`: one entry's 64 bytes.
struct Patch {
  std::uint64_t offset = 0;
  SkinEntry bytes{};
};

// What became of one model's edit.
struct EditResult {
  bool written = false;
  std::string message;                // the FATAL text (and any note after it) when not written
  std::vector<std::string> warnings;  // the writer's warnings, as printed
};

// The SHA-256 of the file at `path` as it is and as it would be with `patches` put in, both
// from one reading. False, with `message` set, when the file cannot be read whole, or when
// a patched range is not all there, or (where `expected_old` is given) when the bytes found
// at the patches' places are not those it holds.
bool file_digests(const std::string& path, const std::vector<Patch>& patches, std::string& now,
                  std::string& patched, std::string& message,
                  const std::vector<Patch>* expected_old = nullptr);

// One model's edit in place: its bytes are to be put in with `patches`, provided that they
// hash to `expected` when read under the lock and the result hashes to `result`.
struct EditJob {
  std::string path;
  std::vector<Patch> patches;
  std::string expected;
  std::string result;
};

// Edits each model of `jobs` through the tool's writer, with every promise of a run of
// fmskins on it (the lock, the temporary, the file's access kept, the check that nobody
// changed it meanwhile). A model that would not pass the tool's checks afterwards is never
// written. On POSIX systems each edit runs in a process of its own, several side by side, so
// that a failing one ends nothing but itself; `done` gets each result, in the order of `jobs`.
void edit_models(const std::vector<EditJob>& jobs,
                 const std::function<void(std::size_t, const EditResult&)>& done);

// The undo journal: JSON Lines. A "journal" line, then one "model" line for each model to be
// edited (its full path, its SHA-256 before and after, and the 64 bytes of each entry changed
// with where they lie), all written and flushed to disk before the first model is replaced;
// then a "done" line as each model's edit ends.
struct JournalModel {
  std::string path;
  std::string before;
  std::string after;
  std::vector<Patch> restore;  // the old bytes
};

std::string journal_header_line(const std::string& from, const std::string& to);
std::string journal_model_line(const JournalModel& model);
std::string journal_done_line(const std::string& path, const EditResult& result);

// Reads a journal's "model" lines. False, with `message` set, when it cannot be read or is
// no journal of this tool's.
bool read_journal(const std::string& path, std::vector<JournalModel>& models, std::string& message);

// The full form of `path` (from the root), for the journal, so that undo works from any
// folder; `path` as it is where none can be made.
std::string full_file_path(const std::string& path);

// Flushes `file` (named `path`) and its folder's entry for it to disk.
bool flush_to_disk(std::FILE* file, const std::string& path);

// `text` as typed, in the bytes a skin list stores it as (the ANSI code page on Windows);
// false when it cannot be stored so.
bool typed_to_stored(const std::string& text, std::string& stored);

}  // namespace fmskins
