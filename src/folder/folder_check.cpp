#include "folder/folder_check.h"

#include <algorithm>
#include <cstdio>

#include "cli/shown_text.h"
#include "folder/folder_files.h"
#include "model/skin_edit.h"

namespace fmskins {
namespace {

const char hex_digits[] = "0123456789abcdef";

// The length of the UTF-8 sequence at `at`, or 0 where the byte there starts none.
std::size_t utf8_length(std::string_view text, std::size_t at) {
  const auto byte = [&](std::size_t index) { return static_cast<unsigned char>(text[index]); };
  const unsigned char lead = byte(at);
  if (lead < 0x80U) {
    return 1;
  }
  std::size_t length = 0;
  unsigned int low = 0x80U;
  unsigned int high = 0xBFU;
  if (lead >= 0xC2U && lead <= 0xDFU) {
    length = 2;
  } else if (lead >= 0xE0U && lead <= 0xEFU) {
    length = 3;
    low = lead == 0xE0U ? 0xA0U : 0x80U;
    high = lead == 0xEDU ? 0x9FU : 0xBFU;  // no surrogates
  } else if (lead >= 0xF0U && lead <= 0xF4U) {
    length = 4;
    low = lead == 0xF0U ? 0x90U : 0x80U;
    high = lead == 0xF4U ? 0x8FU : 0xBFU;
  } else {
    return 0;
  }
  if (text.size() - at < length) {
    return 0;
  }
  for (std::size_t next = 1; next < length; ++next) {
    const unsigned char trail = byte(at + next);
    if (trail < (next == 1 ? low : 0x80U) || trail > (next == 1 ? high : 0xBFU)) {
      return 0;
    }
  }
  return length;
}

// A cell that starts as a formula would (=, +, -, @, a tab or a carriage return) gets a
// leading ': a spreadsheet opening the report shows the stored path instead of running it.
std::string csv_cell(std::string_view text) {
  std::string cell = "\"";
  if (!text.empty() && std::string_view("=+-@\t\r").find(text.front()) != std::string_view::npos) {
    cell += '\'';
  }
  for (const char character : text) {
    cell += character;
    if (character == '"') {
      cell += '"';
    }
  }
  return cell + "\"";
}

std::string csv_row(const std::vector<std::string_view>& cells) {
  std::string row;
  for (const std::string_view cell : cells) {
    if (!row.empty()) {
      row += ',';
    }
    row += csv_cell(cell);
  }
  return row + "\r\n";
}

std::string joined(const std::vector<const char*>& reasons) {
  std::string text;
  for (const char* reason : reasons) {
    if (!text.empty()) {
      text += "; ";
    }
    text += reason;
  }
  return text;
}

// Adds `model` to `totals`, and its paths, as text, to `stored`.
void count_model(const CheckedModel& model, CheckTotals& totals, std::vector<std::string>& stored) {
  ++totals.models;
  if (!model.fault.empty()) {
    ++totals.damaged;
  }
  for (const CheckedSkin& skin : model.skins) {
    ++totals.skin_paths;
    ++totals.found[static_cast<std::size_t>(skin.match.found)];
    stored.push_back(stored_text_for_report(skin.stored));
  }
}

std::string plural(std::size_t count, const char* one, const char* many) {
  return counted(count) + " " + (count == 1 ? one : many);
}

}  // namespace

std::string hex_text(std::string_view bytes) {
  std::string hex;
  for (const char byte : bytes) {
    const auto value = static_cast<unsigned char>(byte);
    hex += hex_digits[value >> 4U];
    hex += hex_digits[value & 0xFU];
  }
  return hex;
}

bool from_hex_text(std::string_view hex, std::string& bytes) {
  const auto digit = [](char character) {
    const char* found = std::char_traits<char>::find(hex_digits, 16, character);
    return found == nullptr ? -1 : static_cast<int>(found - hex_digits);
  };
  if (hex.size() % 2 != 0) {
    return false;
  }
  bytes.clear();
  for (std::size_t at = 0; at < hex.size(); at += 2) {
    const int high = digit(hex[at]);
    const int low = digit(hex[at + 1]);
    if (high < 0 || low < 0) {
      return false;
    }
    bytes += static_cast<char>(high * 16 + low);
  }
  return true;
}

std::string counted(std::size_t count) {
  const std::string digits = std::to_string(count);
  std::string text;
  for (std::size_t at = 0; at < digits.size(); ++at) {
    if (at > 0 && (digits.size() - at) % 3 == 0) {
      text += ',';
    }
    text += digits[at];
  }
  return text;
}

std::string json_string(std::string_view text) {
  std::string json = "\"";
  for (std::size_t at = 0; at < text.size();) {
    const auto byte = static_cast<unsigned char>(text[at]);
    const std::size_t length = utf8_length(text, at);
    if (length == 0) {
      json += "\\\\x";
      json += "0123456789ABCDEF"[byte >> 4U];
      json += "0123456789ABCDEF"[byte & 0xFU];
      ++at;
      continue;
    }
    if (byte == '"' || byte == '\\') {
      json += '\\';
      json += static_cast<char>(byte);
    } else if (byte < 0x20U || byte == 0x7FU) {
      char escaped[8];
      (void)std::snprintf(escaped, sizeof escaped, "\\u%04x", byte);
      json += escaped;
    } else {
      json.append(text.substr(at, length));
    }
    at += length;
  }
  return json + "\"";
}

CheckedModel check_paths(const std::string& folder_name, const std::string& path,
                         const std::string& fault, const std::vector<std::string>& stored,
                         const FolderIndex& folder) {
  CheckedModel model;
  model.folder = folder_name;
  model.path = path;
  model.fault = fault;
  if (!fault.empty()) {
    return model;
  }
  for (std::size_t index = 0; index < stored.size(); ++index) {
    CheckedSkin skin;
    skin.stored = stored[index];
    const std::string text = stored_text_for_report(skin.stored);
    skin.shown = printable_text(text);
    skin.match = find_skin(folder, text);
    if (skin.match.found != SkinFound::no) {
      skin.file = folder.files[skin.match.file];
    }
    const std::vector<std::string> earlier(stored.begin(),
                                           stored.begin() + static_cast<std::ptrdiff_t>(index));
    skin.warnings = skin_path_warnings(text, skin.stored, earlier);
    model.skins.push_back(std::move(skin));
  }
  return model;
}

CheckedModel check_model(const std::string& folder_name, const std::string& path,
                         const SkinList& list, const FolderIndex& folder) {
  std::vector<std::string> stored;
  stored.reserve(list.entries.size());
  for (const SkinEntry& entry : list.entries) {
    stored.emplace_back(skin_entry_text(entry));
  }
  CheckedModel model = check_paths(folder_name, path, list.fault, stored, folder);
  model.warnings = list.warnings;
  return model;
}

std::vector<std::size_t> check_folder(const std::string& folder_name, const FolderIndex& folder,
                                      const std::function<SkinList(const std::string& path)>& read,
                                      const std::function<void(const CheckedModel&)>& checked,
                                      CheckTotals& totals) {
  std::vector<std::string> stored;
  for (const std::string& file : folder.files) {
    if (!is_model_name(file)) {
      continue;
    }
    const CheckedModel model = check_model(folder_name, file, read(file), folder);
    count_model(model, totals, stored);
    checked(model);
  }
  std::vector<std::size_t> unused = unused_skin_files(folder, stored);
  totals.unused += unused.size();
  return unused;
}

int check_status(const CheckTotals& totals) {
  return totals.damaged == 0 && totals.found[0] == totals.skin_paths ? 0 : 1;
}

std::string model_table(const CheckedModel& model, bool name_folder) {
  std::string text =
      printable_text(name_folder ? folder_path(model.folder, model.path) : model.path);
  text += "\n";
  if (!model.fault.empty()) {
    return text + "    FATAL: " + model.fault + "\n";
  }
  for (const std::string& warning : model.warnings) {
    text += "    WARNING: " + warning + "\n";
  }
  if (model.skins.empty()) {
    text += "    (no skin paths)\n";
  }
  for (std::size_t index = 0; index < model.skins.size(); ++index) {
    const CheckedSkin& skin = model.skins[index];
    char found[64];
    (void)std::snprintf(found, sizeof found, "    #%-3zu %-11s  ", index + 1,
                        found_text(skin.match.found));
    text += found + skin.shown;
    if (skin.match.found == SkinFound::other_case || skin.match.found == SkinFound::backslashes) {
      text += "  (file: " + printable_text(skin.file) + ")";
    }
    text += "\n";
  }
  return text;
}

std::string unused_table(const std::string& folder_name, const std::vector<std::string>& unused,
                         bool name_folder) {
  std::string text;
  for (const std::string& file : unused) {
    text +=
        "Unused skin file: " + printable_text(name_folder ? folder_path(folder_name, file) : file) +
        "\n";
  }
  return text;
}

std::string check_summary(const CheckTotals& totals) {
  return plural(totals.skin_paths, "skin path", "skin paths") + " in " +
         plural(totals.models, "model", "models") + ": " + counted(totals.found[3]) +
         " not found, " + counted(totals.found[1]) + " in another case, " +
         counted(totals.found[2]) + " with backslashes; " +
         plural(totals.damaged, "model", "models") + " could not be read; " +
         plural(totals.unused, "skin file", "skin files") + " unused\n";
}

std::string model_json(const CheckedModel& model) {
  std::string text = "{\"type\":\"model\",\"folder\":" + json_string(model.folder) +
                     ",\"path\":" + json_string(model.path) + ",\"status\":\"" +
                     (model.fault.empty() ? "ok" : "damaged") +
                     "\",\"message\":" + (model.fault.empty() ? "null" : json_string(model.fault)) +
                     ",\"warnings\":[";
  for (std::size_t index = 0; index < model.warnings.size(); ++index) {
    text += index == 0 ? "" : ",";
    text += json_string(model.warnings[index]);
  }
  text += "]}\n";
  for (std::size_t index = 0; index < model.skins.size(); ++index) {
    const CheckedSkin& skin = model.skins[index];
    text += "{\"type\":\"skin\",\"folder\":" + json_string(model.folder) +
            ",\"model\":" + json_string(model.path) + ",\"index\":" + std::to_string(index + 1) +
            ",\"text\":" + json_string(skin.shown) + ",\"hex\":\"" + hex_text(skin.stored) +
            "\",\"found\":\"" + found_text(skin.match.found) +
            "\",\"file\":" + (skin.file.empty() ? "null" : json_string(skin.file)) +
            ",\"warnings\":[";
    for (std::size_t each = 0; each < skin.warnings.size(); ++each) {
      text += each == 0 ? "" : ",";
      text += json_string(skin.warnings[each]);
    }
    text += "]}\n";
  }
  return text;
}

std::string unused_json(const std::string& folder_name, const std::string& file) {
  return "{\"type\":\"unused\",\"folder\":" + json_string(folder_name) +
         ",\"file\":" + json_string(file) + "}\n";
}

std::string summary_json(const CheckTotals& totals) {
  return "{\"type\":\"summary\",\"models\":" + std::to_string(totals.models) +
         ",\"damaged\":" + std::to_string(totals.damaged) +
         ",\"skin_paths\":" + std::to_string(totals.skin_paths) +
         ",\"yes\":" + std::to_string(totals.found[0]) +
         ",\"other_case\":" + std::to_string(totals.found[1]) +
         ",\"backslashes\":" + std::to_string(totals.found[2]) +
         ",\"no\":" + std::to_string(totals.found[3]) +
         ",\"unused\":" + std::to_string(totals.unused) +
         ",\"status\":" + std::to_string(check_status(totals)) + "}\n";
}

std::string csv_header() { return csv_row({"model", "skin path", "found", "file", "warnings"}); }

std::string model_csv(const CheckedModel& model, bool name_folder) {
  const std::string name =
      printable_text(name_folder ? folder_path(model.folder, model.path) : model.path);
  if (!model.fault.empty()) {
    return csv_row({name, "", "", "", model.fault});
  }
  std::string rows;
  for (const CheckedSkin& skin : model.skins) {
    rows += csv_row({name, skin.shown, found_text(skin.match.found), printable_text(skin.file),
                     joined(skin.warnings)});
  }
  return rows;
}

}  // namespace fmskins

namespace fmskins {

std::vector<std::string> request_fields(std::string_view request) {
  std::vector<std::string> fields;
  for (std::size_t start = 0; start < request.size();) {
    std::size_t end = request.find('\0', start);
    end = end == std::string_view::npos ? request.size() : end;
    fields.emplace_back(request.substr(start, end - start));
    start = end + 1;
  }
  return fields;
}

std::string page_folder_check(std::string_view request, std::string& csv) {
  const std::vector<std::string> fields = request_fields(request);
  const std::string folder_name = fields.empty() ? std::string() : std::string(fields.front());
  std::vector<std::string> files;
  struct Model {
    std::string path;
    std::string fault;
    std::vector<std::string> stored;
  };
  std::vector<Model> listed;
  for (std::size_t at = 1; at < fields.size(); ++at) {
    const std::string& field = fields[at];
    const std::string rest = field.empty() ? field : field.substr(1);
    if (field.starts_with("F")) {
      files.push_back(rest);
    } else if (field.starts_with("M")) {
      listed.push_back({rest, {}, {}});
    } else if (field.starts_with("X") && !listed.empty()) {
      listed.back().fault = rest;
    } else if (field.starts_with("P") && !listed.empty()) {
      listed.back().stored.push_back(rest);
    }
  }
  // In the order of the console's check: the names' bytes.
  std::sort(files.begin(), files.end());
  std::sort(listed.begin(), listed.end(),
            [](const Model& one, const Model& other) { return one.path < other.path; });
  const FolderIndex folder = make_folder_index(std::move(files));
  CheckTotals totals;
  std::string json;
  csv = csv_header();
  std::vector<std::string> stored;
  for (const Model& each : listed) {
    const CheckedModel model = check_paths(folder_name, each.path, each.fault, each.stored, folder);
    count_model(model, totals, stored);
    json += model_json(model);
    csv += model_csv(model, false);
  }
  for (const std::size_t each : unused_skin_files(folder, stored)) {
    ++totals.unused;
    json += unused_json(folder_name, folder.files[each]);
  }
  return json + summary_json(totals);
}

}  // namespace fmskins
