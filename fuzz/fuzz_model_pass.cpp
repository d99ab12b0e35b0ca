// Coverage-guided fuzz target over the whole model pass, in every mode.
//
// Input: one control byte (bits 0-1: 0 replace, 1 append, 2 and 3 list; bits 2-3: how many
// skin paths follow), then each skin path as a length byte and that many bytes, then the
// model. After a successful edit the output is checked against what the tool promises:
// it tiles into chunks exactly, the header's skin count and the skin chunk's size agree
// with the entries written, and every other chunk is the input's, in the same order.

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "cli/command_line.h"
#include "cli/fatal.h"
#include "model/model_pass.h"

namespace {

using fmskins::RunOptions;
using Bytes = std::span<const std::uint8_t>;

struct RunEnded {};

[[noreturn]] void end_run(int /*status*/) { throw RunEnded{}; }

[[noreturn]] void broken(const char* promise) {
  (void)std::fprintf(stderr, "fuzz: broken promise: %s\n", promise);
  std::abort();
}

void require(bool holds, const char* promise) {
  if (!holds) {
    broken(promise);
  }
}

// Decoded independently of the tool's own chunk code, so that the two check each other.
std::int32_t le32_at(Bytes bytes, std::size_t offset) {
  std::uint32_t value = 0;
  for (std::size_t index = 0; index < 4; ++index) {
    value |= std::uint32_t{bytes[offset + index]} << (8U * index);
  }
  return static_cast<std::int32_t>(value);
}

struct Chunk {
  std::string identifier;
  Bytes whole;  // header and data
  Bytes data;
};

std::optional<std::vector<Chunk>> split_chunks(Bytes bytes) {
  std::vector<Chunk> chunks;
  std::size_t offset = 0;
  while (offset < bytes.size()) {
    if (bytes.size() - offset < 40) {
      return std::nullopt;
    }
    const std::int64_t size = le32_at(bytes, offset + 36);
    if (size <= 0 || static_cast<std::uint64_t>(size) > bytes.size() - offset - 40) {
      return std::nullopt;
    }
    Chunk chunk;
    const char* name = reinterpret_cast<const char*>(bytes.data() + offset);
    chunk.identifier.assign(name, strnlen(name, 31));
    chunk.whole = bytes.subspan(offset, 40 + static_cast<std::size_t>(size));
    chunk.data = chunk.whole.subspan(40);
    chunks.push_back(chunk);
    offset += chunk.whole.size();
  }
  return chunks;
}

bool same_bytes(Bytes one, Bytes other) {
  return one.size() == other.size() &&
         (one.empty() || std::memcmp(one.data(), other.data(), one.size()) == 0);
}

std::vector<std::uint8_t> entry_of(const std::string& path) {
  std::vector<std::uint8_t> entry(64, 0);
  std::memcpy(entry.data(), path.data(), path.size());
  return entry;
}

void check_output(Bytes model, const RunOptions& options, Bytes output) {
  const auto in = split_chunks(model);
  const auto out = split_chunks(output);
  require(in.has_value(), "an accepted model tiles into chunks");
  require(out.has_value(), "the output tiles into chunks exactly");
  require(in->size() == out->size(), "the output has the input's chunks");

  std::size_t skin = in->size();
  std::size_t header = in->size();
  for (std::size_t index = 0; index < in->size() && skin == in->size(); ++index) {
    if ((*in)[index].identifier == "skin") {
      skin = index;
    } else if ((*in)[index].identifier == "header") {
      header = index;
    }
  }
  if (skin == in->size()) {
    require(same_bytes(model, output), "a model without a skin chunk is copied byte for byte");
    return;
  }
  require(header < skin, "skins are edited only with a header before them");

  for (std::size_t index = 0; index < in->size(); ++index) {
    const Chunk& before = (*in)[index];
    const Chunk& after = (*out)[index];
    require(before.identifier == after.identifier, "chunks keep their order");
    if (index == header) {
      require(same_bytes(before.whole.first(52), after.whole.first(52)) &&
                  same_bytes(before.whole.subspan(56), after.whole.subspan(56)),
              "the header chunk changes only in its skin count");
    } else if (index == skin) {
      require(same_bytes(before.whole.first(36), after.whole.first(36)),
              "the skin chunk keeps its identifier and version");
    } else {
      require(same_bytes(before.whole, after.whole), "every other chunk is copied unchanged");
    }
  }

  const Bytes old_entries = (*in)[skin].data;
  const Bytes new_entries = (*out)[skin].data;
  const std::int32_t count = le32_at((*out)[header].whole, 52);
  std::size_t kept = 0;
  if (options.append) {
    kept = old_entries.size() / 64;
    require(same_bytes(old_entries, new_entries.first(old_entries.size())),
            "appending keeps the old entries first");
  }
  require(count >= 0 && static_cast<std::size_t>(count) == kept + options.skin_paths.size(),
          "the skin count counts the entries written");
  require(new_entries.size() == 64 * static_cast<std::size_t>(count),
          "the skin chunk's size is 64 times the skin count");
  for (std::size_t index = 0; index < options.skin_paths.size(); ++index) {
    const std::vector<std::uint8_t> expected = entry_of(options.skin_paths[index]);
    require(same_bytes(expected, new_entries.subspan((kept + index) * 64, 64)),
            "each new entry is its path, NUL-padded");
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/) {
  // The report is not what is checked here, and printing it would slow every run.
  if (std::freopen("/dev/null", "w", stdout) == nullptr) {
    std::abort();
  }
  fmskins::set_exit_handler(end_run);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) {
    return 0;
  }
  const Bytes input(data, size);
  const unsigned control = input[0];
  RunOptions options;
  options.program_name = "fmskins";
  options.model_path = options.output_path = "fuzz.fm";
  options.append = (control & 3U) == 1;
  options.list_only = (control & 3U) >= 2;
  std::size_t offset = 1;
  for (unsigned path = 0; path < ((control >> 2U) & 3U) && offset < size; ++path) {
    const std::size_t length = std::min<std::size_t>(input[offset], size - offset - 1);
    std::string text(reinterpret_cast<const char*>(data + offset + 1), length);
    std::replace(text.begin(), text.end(), '\0', '_');  // an argument holds no NUL
    options.skin_paths.push_back(text);
    offset += 1 + length;
  }
  // The command line never runs replace mode without a path.
  if (!options.append && options.skin_paths.empty()) {
    options.list_only = true;
  }
  const Bytes model = input.subspan(offset);

  try {
    if (options.list_only) {
      fmskins::walk_model(model, options, nullptr);
      return 0;
    }
    fmskins::OutputImage output = fmskins::make_output_image(64 * options.skin_paths.size() + 8);
    fmskins::walk_model(model, options, &output);
    std::vector<std::uint8_t> written;
    for (const fmskins::OutputPiece& piece : output.pieces) {
      const Bytes bytes = fmskins::piece_bytes(output, model, piece);
      written.insert(written.end(), bytes.begin(), bytes.end());
    }
    require(written.size() == output.length, "the pieces make the output's length");
    check_output(model, options, written);
  } catch (const RunEnded&) {
    // A refused model: the tool reported it and would exit; nothing to check.
  }
  return 0;
}
