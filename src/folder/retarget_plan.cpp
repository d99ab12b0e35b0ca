#include "folder/retarget_plan.h"

#include <algorithm>

#include "cli/shown_text.h"
#include "folder/folder_check.h"
#include "model/chunk_format.h"
#include "model/skin_edit.h"

namespace fmskins {

ModelPlan plan_retarget(const std::string& folder, const std::string& path, const SkinList& list,
                        const std::string& from, const std::string& to) {
  ModelPlan plan;
  plan.folder = folder;
  plan.path = path;
  if (!list.fault.empty()) {
    plan.refused = list.fault;
    return plan;
  }
  std::vector<std::string> result;
  for (const SkinEntry& entry : list.entries) {
    result.emplace_back(skin_entry_text(entry));
  }
  for (std::size_t index = 0; index < list.entries.size(); ++index) {
    const std::string old_stored = result[index];
    if (old_stored.compare(0, from.size(), from) != 0) {
      continue;
    }
    const std::string new_stored = to + old_stored.substr(from.size());
    if (new_stored.size() > skin_path_max_length) {
      plan.left_out.push_back("#" + std::to_string(index + 1) + " " +
                              printable_text(stored_text_for_report(new_stored)) + " would be " +
                              std::to_string(new_stored.size()) + " bytes, over 63");
      continue;
    }
    PathChange change;
    change.index = index;
    change.offset = list.first_entry + index * skin_entry_size;
    change.old_entry = list.entries[index];
    change.old_stored = old_stored;
    change.new_stored = new_stored;
    const std::vector<std::string> earlier(result.begin(),
                                           result.begin() + static_cast<std::ptrdiff_t>(index));
    change.warnings = skin_path_warnings(stored_text_for_report(new_stored), new_stored, earlier);
    result[index] = new_stored;
    plan.changes.push_back(std::move(change));
  }
  if ((!plan.changes.empty() || !plan.left_out.empty()) && !list.count_found) {
    plan.refused = "Can't edit skins: SKIN chunk comes before any HEADER chunk";
  } else if ((!plan.changes.empty() || !plan.left_out.empty()) && !list.count_matches) {
    plan.refused =
        "Skin count does not match SKIN chunk size; a list of unknown length is left as it is";
  }
  if (!plan.refused.empty()) {
    plan.changes.clear();
    plan.left_out.clear();
  }
  return plan;
}

std::string page_retarget_plan(std::string_view request) {
  const std::vector<std::string> fields = request_fields(request);
  if (fields.size() < 2) {
    return {};
  }
  std::string json;
  const auto plan_model = [&](const std::string& number, const std::vector<std::string>& paths) {
    // The list as stored: each path in an entry of its own, the count matching.
    SkinList list;
    list.skin_chunk = true;
    list.count_found = true;
    list.count_matches = true;
    for (const std::string& path : paths) {
      SkinEntry entry{};
      std::copy_n(path.begin(), std::min(path.size(), entry.size()), entry.begin());
      list.entries.push_back(entry);
    }
    const ModelPlan plan = plan_retarget({}, number, list, fields[0], fields[1]);
    for (const PathChange& change : plan.changes) {
      json += "{\"type\":\"change\",\"model\":" + number +
              ",\"index\":" + std::to_string(change.index) + ",\"hex\":\"" +
              hex_text(change.new_stored) + "\"}\n";
    }
    for (const std::string& why : plan.left_out) {
      json +=
          "{\"type\":\"left_out\",\"model\":" + number + ",\"text\":" + json_string(why) + "}\n";
    }
  };
  std::string number;
  std::vector<std::string> paths;
  for (std::size_t at = 2; at < fields.size(); ++at) {
    const std::string& field = fields[at];
    if (field.starts_with("M") && field.size() > 1 &&
        field.find_first_not_of("0123456789", 1) == std::string::npos) {
      if (!number.empty()) {
        plan_model(number, paths);
      }
      number = field.substr(1);
      paths.clear();
    } else if (field.starts_with("P")) {
      paths.push_back(field.substr(1));
    }
  }
  if (!number.empty()) {
    plan_model(number, paths);
  }
  return json;
}

}  // namespace fmskins
