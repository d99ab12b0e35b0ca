#include "model/skin_edit.h"

#include <algorithm>
#include <array>
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <limits>
#include <string>
#include <string_view>
#include <vector>

#include "cli/fatal.h"
#include "cli/report.h"
#include "cli/shown_text.h"
#include "model/chunk_format.h"
#include "model/model_outline.h"

#if defined(_WIN32)
#include "cli/windows_text.h"
#endif

namespace fmskins {
namespace {

// The size field of the copied skin chunk, `data_size` bytes back from the end of output.
std::size_t copied_size_field(const OutputImage& output, std::size_t data_size) {
  return output.length - data_size - chunk_header_size + chunk_size_offset;
}

// The bytes each typed path is stored as. On Windows a path is typed as Unicode and stored
// as the ANSI code page text that a program of the game's era stores; a path the code page
// cannot hold is refused rather than stored with look-alikes or question marks. Elsewhere
// the typed bytes are stored. A path that does not fit an entry is refused too: a cut path
// would name a skin that does not exist. All paths are checked before any is added, so a
// refused run changes nothing.
std::vector<std::string> stored_skin_paths(const RunOptions& options) {
  std::vector<std::string> stored;
  for (const std::string& path : options.skin_paths) {
#if defined(_WIN32)
    bool lossless = true;
    stored.push_back(to_ansi_code_page(path, true, &lossless));
    if (!lossless) {
      fatal("Skin path cannot be stored in the system's code page: " + printable_text(path), -1);
    }
#else
    stored.push_back(path);
#endif
    if (stored.back().size() > skin_path_max_length) {
      fatal("Skin path longer than 63 bytes: " + printable_text(path), -1);
    }
  }
  return stored;
}

bool is_separator(char character) { return character == '/' || character == '\\'; }

bool has_drive_letter(std::string_view path) {
  return path.size() >= 2 && path[1] == ':' &&
         ((path[0] >= 'A' && path[0] <= 'Z') || (path[0] >= 'a' && path[0] <= 'z'));
}

// A component that is empty ("a//b", "a/"), "." or "..", after any drive letter and one
// leading separator, which the absolute-path warning covers.
bool has_odd_component(std::string_view path) {
  if (has_drive_letter(path)) {
    path.remove_prefix(2);
  }
  if (!path.empty() && is_separator(path.front())) {
    path.remove_prefix(1);
  }
  std::size_t start = 0;
  for (std::size_t end = 0; end <= path.size(); ++end) {
    if (end == path.size() || is_separator(path[end])) {
      const std::string_view component = path.substr(start, end - start);
      if (component.empty() || component == "." || component == "..") {
        return true;
      }
      start = end + 1;
    }
  }
  return false;
}

void warn_about_skin_path(const std::string& path, const std::string& stored,
                          const std::vector<std::string>& earlier, std::size_t entry,
                          std::FILE* outline) {
  for (const char* reason : skin_path_warnings(path, stored, earlier)) {
    const std::string text = std::string("Skin path ") + reason + ": " + printable_text(path);
    report("WARNING: %s\n", text.c_str());
    outline_warning(outline, entry, text);
  }
}

}  // namespace

std::vector<const char*> skin_path_warnings(std::string_view path, std::string_view stored,
                                            const std::vector<std::string>& earlier) {
  std::vector<const char*> reasons;
  const auto warn = [&](const char* what) { reasons.push_back(what); };
  // A mistyped option, not a path: the other checks would only add noise. Besides the
  // tool's own options, words that other tools take for help or version requests (--help,
  // -h, /?, /h) would otherwise silently replace the skin list.
  const auto is_letter = [](char character) {
    return (character >= 'A' && character <= 'Z') || (character >= 'a' && character <= 'z');
  };
  if (path == "/A" || path == "/a" || path == "/L" || path == "/l" || path == "/O" ||
      path == "/o") {
    warn("is an option, but options count only before the model path");
    return reasons;
  }
  if ((!path.empty() && path.front() == '-') || path == "/?" ||
      (path.size() >= 2 && path.size() <= 3 && path.front() == '/' &&
       std::all_of(path.begin() + 1, path.end(), is_letter))) {
    warn("looks like an option, but options count only before the model path");
    return reasons;
  }
  if (path.find('\\') != std::string_view::npos) {
    warn("contains a backslash; game paths use forward slashes");
  }
  if ((!path.empty() && is_separator(path.front())) || has_drive_letter(path)) {
    warn("is absolute; game paths are relative to the game's data");
  }
  if (!path.empty() && has_odd_component(path)) {
    warn("has an empty, '.' or '..' component");
  }
  if (path.empty() || path.front() == ' ' || path.back() == ' ') {
    warn("is empty or starts or ends with a space");
  }
  if (std::any_of(path.begin(), path.end(),
                  [](char character) { return static_cast<unsigned char>(character) > 0x7FU; })) {
    warn("holds bytes outside plain ASCII, which other systems may read differently");
  }
  if (std::find(earlier.begin(), earlier.end(), stored) != earlier.end()) {
    warn("repeats one already in the list");
  }
  return reasons;
}

void edit_skin_chunk(std::span<const std::uint8_t> chunk_data, const SkinCount& count,
                     const RunOptions& options, OutputImage* output, std::FILE* outline) {
  const RunMode mode = run_mode(options);
  report("%s", mode == RunMode::replace ? "    Deleting current skin paths:\n"
                                        : "    Current skin paths are:\n");

  // List the entries the count names, but never more than the chunk holds. Without a
  // header before it, the count is unknown and every whole entry is shown.
  const std::size_t entries_held = chunk_data.size() / skin_entry_size;
  std::size_t listed = entries_held;
  if (count.found) {
    listed = count.value <= 0 ? 0 : std::min(entries_held, static_cast<std::size_t>(count.value));
  }
  outline_skins(outline, count.found, count.value);
  for (std::size_t entry = 0; entry < listed; ++entry) {
    const std::string_view stored =
        skin_entry_text(chunk_data.subspan(entry * skin_entry_size, skin_entry_size));
    report("    %s\n", printable_text(stored_text_for_report(stored)).c_str());
    outline_path(outline, stored);
  }

  if (!count.found) {
    // The skin count that would have to change is not where the edit can find it.
    if (mode == RunMode::list) {
      report("WARNING: SKIN chunk comes before any HEADER chunk\n");
      return;
    }
    fatal("Can't edit skins: SKIN chunk comes before any HEADER chunk", -1);
  }
  const bool consistent =
      count.value >= 0 &&
      static_cast<std::uint64_t>(count.value) * skin_entry_size == chunk_data.size();
  if (!consistent) {
    // Appending would keep a list whose length is unknown; replacing drops it whole, so the
    // result is consistent again; listing only reports.
    if (mode == RunMode::append) {
      fatal("Can't append: skin count does not match SKIN chunk size", -1);
    }
    report("WARNING: Skin count %" PRId32 " does not match SKIN chunk size %zu\n", count.value,
           chunk_data.size());
  }
  if (mode == RunMode::list) {
    return;
  }

  const std::vector<std::string> stored = stored_skin_paths(options);
  // Keep the size field within what it can state.
  const std::uint64_t kept = mode == RunMode::append ? static_cast<std::uint64_t>(count.value) : 0;
  if ((kept + options.skin_paths.size()) * skin_entry_size >
      static_cast<std::uint64_t>(std::numeric_limits<std::int32_t>::max())) {
    fatal("Too many skin paths for one SKIN chunk", -1);
  }

  const std::size_t size_field = copied_size_field(*output, chunk_data.size());
  if (mode == RunMode::replace) {
    output_cut_back(*output, chunk_data.size());
  }
  // The paths the resulting list holds so far: the kept entries, then those added.
  std::vector<std::string> in_list;
  if (mode == RunMode::append) {
    for (std::size_t entry = 0; entry < listed; ++entry) {
      in_list.emplace_back(
          skin_entry_text(chunk_data.subspan(entry * skin_entry_size, skin_entry_size)));
    }
  }
  for (std::size_t index = 0; index < stored.size(); ++index) {
    const std::string& path = options.skin_paths[index];
    report("    Adding #%" PRIu64 " skin name '%s'...\n", kept + index + 1,
           printable_text(path).c_str());
    warn_about_skin_path(path, stored[index], in_list, index, outline);
    in_list.push_back(stored[index]);
    std::array<std::uint8_t, skin_entry_size> entry{};
    std::copy(stored[index].begin(), stored[index].end(), entry.begin());
    output_append(*output, entry);
  }
  // Both fields were checked above to fit a 32-bit signed value.
  const std::uint64_t entries = kept + stored.size();
  std::array<std::uint8_t, 4> field{};
  write_le32(field, 0, static_cast<std::int32_t>(entries * skin_entry_size));
  output_patch(*output, size_field, field);
  write_le32(field, 0, static_cast<std::int32_t>(entries));
  output_patch(*output, count.field_offset, field);
}

}  // namespace fmskins
