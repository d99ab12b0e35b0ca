#include "folder/folder_edit.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>

#include "cli/command_line.h"
#include "cli/fatal.h"
#include "cli/shown_text.h"
#include "files/model_file.h"
#include "files/model_lock.h"
#include "files/output_file.h"
#include "folder/folder_check.h"
#include "folder/folder_edit_system.h"
#include "folder/sha256.h"

namespace fmskins {
namespace {

constexpr std::size_t read_block = std::size_t{1} << 20U;

// Puts into `block`, which holds the file's bytes from `position`, the parts of `patches`
// that fall inside it.
void patch_block(std::span<std::uint8_t> block, std::uint64_t position,
                 const std::vector<Patch>& patches) {
  for (const Patch& patch : patches) {
    const std::uint64_t start = std::max(position, patch.offset);
    const std::uint64_t end = std::min(position + block.size(), patch.offset + skin_entry_size);
    for (std::uint64_t at = start; at < end; ++at) {
      block[static_cast<std::size_t>(at - position)] =
          patch.bytes[static_cast<std::size_t>(at - patch.offset)];
    }
  }
}

// The text of `key`'s value in a line of JSON this tool wrote: a string's contents (its
// escapes left as they are) or a number's digits; false when the key is not there.
bool json_value(std::string_view line, std::string_view key, std::string& value,
                std::size_t from = 0) {
  std::string quoted = "\"";
  quoted.append(key).append("\":");
  const std::size_t at = line.find(quoted, from);
  if (at == std::string_view::npos) {
    return false;
  }
  std::size_t start = at + quoted.size();
  const bool text = start < line.size() && line[start] == '"';
  start += text ? 1 : 0;
  const std::size_t end =
      text ? line.find('"', start) : line.find_first_not_of("0123456789", start);
  if (end == std::string_view::npos || end == start) {
    return false;
  }
  value = std::string(line.substr(start, end - start));
  return true;
}

std::string digest_of_output(const OutputImage& output, const ModelImage& model) {
  Sha256 digest = start_sha256();
  if (!digest) {
    return {};
  }
  for (const OutputPiece& piece : output.pieces) {
    add_to_sha256(digest, piece_bytes(output, model_bytes(model), piece));
  }
  return finish_sha256(digest);
}

// The edit itself, as a run of the console tool does it: every failure ends it through
// fatal().
void run_edit(const std::string& path, const std::vector<Patch>& patches,
              const std::string& expected, const std::string& result) {
  RunOptions options;
  options.program_name = "fmskins-folder";
  options.model_path = path;
  options.output_path = path;
  ModelLock lock = lock_output_file(path);
  const ModelImage model = read_model_file(options);
  {
    Sha256 digest = start_sha256();
    if (!digest) {
      fatal("Can't compute SHA-256", -1);
    }
    add_to_sha256(digest, model_bytes(model));
    if (finish_sha256(digest) != expected || model_cut_short(model)) {
      fatal("Model file changed since it was checked", -1);
    }
  }
  OutputImage output = make_output_image(patches.size() * skin_entry_size);
  output_append_model(output, 0, model.length);
  for (const Patch& patch : patches) {
    if (patch.offset > model.length || model.length - patch.offset < skin_entry_size) {
      fatal("Model file changed since it was checked", -1);
    }
    output_patch(output, static_cast<std::size_t>(patch.offset), patch.bytes);
  }
  if (digest_of_output(output, model) != result) {
    fatal("Model file changed since it was checked", -1);
  }
  write_output_file({path, output, path, model, lock.handle});
  release_model_lock(lock);
}

}  // namespace

void edit_models(const std::vector<EditJob>& jobs,
                 const std::function<void(std::size_t, const EditResult&)>& done) {
  run_isolated_all(
      jobs.size(),
      [&](std::size_t each) {
        run_edit(jobs[each].path, jobs[each].patches, jobs[each].expected, jobs[each].result);
      },
      done);
}

bool file_digests(const std::string& path, const std::vector<Patch>& patches, std::string& now,
                  std::string& patched, std::string& message,
                  const std::vector<Patch>* expected_old) {
  std::ifstream file(file_system_path(path), std::ios::binary);
  Sha256 as_is = start_sha256();
  Sha256 with_patches = start_sha256();
  if (!as_is || !with_patches) {
    message = "Can't compute SHA-256";
    return false;
  }
  if (!file) {
    message = "Can't open input model file";
    return false;
  }
  std::vector<std::uint8_t> block(read_block);
  std::uint64_t position = 0;
  while (file) {
    file.read(reinterpret_cast<char*>(block.data()), static_cast<std::streamsize>(block.size()));
    const auto got = static_cast<std::size_t>(file.gcount());
    if (got == 0) {
      break;
    }
    const std::span<std::uint8_t> bytes(block.data(), got);
    add_to_sha256(as_is, bytes);
    if (expected_old != nullptr) {
      std::vector<std::uint8_t> seen(bytes.begin(), bytes.end());
      patch_block(seen, position, *expected_old);
      if (!std::equal(seen.begin(), seen.end(), bytes.begin())) {
        message = "Model file changed since it was checked";
        return false;
      }
    }
    patch_block(bytes, position, patches);
    add_to_sha256(with_patches, bytes);
    position += got;
  }
  if (file.bad()) {
    message = "Can't read input model file";
    return false;
  }
  for (const Patch& patch : patches) {
    if (patch.offset > position || position - patch.offset < skin_entry_size) {
      message = "Model file changed since it was checked";
      return false;
    }
  }
  now = finish_sha256(as_is);
  patched = finish_sha256(with_patches);
  if (now.empty() || patched.empty()) {
    message = "Can't compute SHA-256";
    return false;
  }
  return true;
}

std::string journal_header_line(const std::string& from, const std::string& to) {
  return "{\"type\":\"journal\",\"tool\":\"fmskins-folder " FMSKINS_VERSION "\",\"from_hex\":\"" +
         hex_text(from) + "\",\"to_hex\":\"" + hex_text(to) + "\"}\n";
}

std::string journal_model_line(const JournalModel& model) {
  std::string line = "{\"type\":\"model\",\"path\":" + json_string(model.path) +
                     ",\"path_hex\":\"" + hex_text(model.path) + "\",\"before\":\"" + model.before +
                     "\",\"after\":\"" + model.after + "\",\"restore\":[";
  for (std::size_t each = 0; each < model.restore.size(); ++each) {
    const Patch& patch = model.restore[each];
    if (each != 0) {
      line += ',';
    }
    line += "{\"offset\":" + std::to_string(patch.offset) + ",\"hex\":\"" +
            hex_text(std::string_view(reinterpret_cast<const char*>(patch.bytes.data()),
                                      patch.bytes.size())) +
            "\"}";
  }
  return line + "]}\n";
}

std::string journal_done_line(const std::string& path, const EditResult& result) {
  return "{\"type\":\"done\",\"path_hex\":\"" + hex_text(path) + "\",\"result\":\"" +
         (result.written ? "replaced" : "failed") +
         "\",\"message\":" + (result.written ? "null" : json_string(result.message)) + "}\n";
}

bool read_journal(const std::string& path, std::vector<JournalModel>& models,
                  std::string& message) {
  std::ifstream file(file_system_path(path), std::ios::binary);
  if (!file) {
    message = "Can't open journal " + printable_text(path);
    return false;
  }
  const std::string damaged = "Not an undo journal of fmskins-folder: " + printable_text(path);
  std::string line;
  bool header = false;
  while (std::getline(file, line)) {
    std::string type;
    if (!json_value(line, "type", type)) {
      message = damaged;
      return false;
    }
    if (type == "journal") {
      header = true;
    }
    if (type != "model") {
      continue;
    }
    JournalModel model;
    std::string hex;
    if (!header || !json_value(line, "path_hex", hex) || !from_hex_text(hex, model.path) ||
        !json_value(line, "before", model.before) || !json_value(line, "after", model.after)) {
      message = damaged;
      return false;
    }
    for (std::size_t at = line.find("\"restore\":["); at != std::string::npos;) {
      std::string offset;
      std::string bytes;
      const std::size_t next = line.find("{\"offset\":", at);
      if (next == std::string::npos) {
        break;
      }
      if (!json_value(line, "offset", offset, next) || !json_value(line, "hex", hex, next) ||
          !from_hex_text(hex, bytes) || bytes.size() != skin_entry_size) {
        message = damaged;
        return false;
      }
      Patch patch;
      patch.offset = std::strtoull(offset.c_str(), nullptr, 10);
      std::copy(bytes.begin(), bytes.end(), patch.bytes.begin());
      model.restore.push_back(patch);
      at = next + 1;
    }
    models.push_back(std::move(model));
  }
  if (!header) {
    message = damaged;
    return false;
  }
  return true;
}

}  // namespace fmskins
