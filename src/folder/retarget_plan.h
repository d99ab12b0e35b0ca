#pragma once

// The retarget plan: which stored skin paths of a model a change of their start gives a new
// path, and which it leaves out or cannot make. Bytes only: nothing here touches a file, so
// the page makes its plan with the same code.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "model/skin_list.h"

namespace fmskins {

// One stored path the plan changes: entry `index` (from 0), whose 64 bytes lie at `offset`.
struct PathChange {
  std::size_t index = 0;
  std::uint64_t offset = 0;
  SkinEntry old_entry{};
  std::string old_stored;  // bytes up to the NUL, as stored
  std::string new_stored;
  std::vector<const char*> warnings;  // the tool's warnings for the new path
};

struct ModelPlan {
  std::string folder;   // as given
  std::string path;     // relative to the folder
  std::string refused;  // why the model is not edited at all, or empty
  std::vector<PathChange> changes;
  std::vector<std::string> left_out;  // the paths left out of the plan, each with why
};

// The plan for one model: every listed path that starts with the bytes `from` gets `to`
// instead. A result longer than 63 bytes is left out; a model the tool cannot read, or whose
// list it could not replace as it is (no header before the skin chunk, a count that does not
// match the chunk), is refused whole.
ModelPlan plan_retarget(const std::string& folder, const std::string& path, const SkinList& list,
                        const std::string& from, const std::string& to);

// The page's plan, from one request: NUL-ended fields, FROM's and TO's bytes first, then
// for each model "M" and its number, followed by "P" and the bytes of each of its paths as
// they stand. Returns JSON Lines: {"type":"change","model":N,"index":I,"hex":H} for each path
// changed (I from 0, H the new path's bytes), and {"type":"left_out","model":N,"text":T}.
std::string page_retarget_plan(std::string_view request);

}  // namespace fmskins
