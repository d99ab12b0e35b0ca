#pragma once

// The check of a mod folder: each model's stored skin paths looked up in the folder, and the
// skin files no path uses, as records, and those records as text for people, as JSON Lines
// and as CSV. The console and the page both make their reports here, so the two never
// disagree about a folder.

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

#include "folder/skin_match.h"
#include "model/skin_list.h"

namespace fmskins {

struct CheckedSkin {
  SkinEntry entry{};   // all 64 stored bytes
  std::string stored;  // the stored bytes up to the NUL
  std::string shown;   // as the report shows it (control bytes escaped)
  SkinMatch match;
  std::string file;                   // the file found, relative to the folder, or empty
  std::vector<const char*> warnings;  // the tool's reasons for warning about this path
};

struct CheckedModel {
  std::string folder;                 // as given
  std::string path;                   // relative to the folder, `/`-separated
  std::string fault;                  // the FATAL text of a model that cannot be read, or empty
  std::vector<std::string> warnings;  // the listing's warnings about the model
  std::vector<CheckedSkin> skins;
};

struct CheckTotals {
  std::size_t models = 0;
  std::size_t damaged = 0;
  std::size_t skin_paths = 0;
  std::size_t found[4] = {0, 0, 0, 0};  // by SkinFound
  std::size_t unused = 0;
};

// Looks every stored path of `list` up in `folder`; earlier paths of the same list judge
// repeats.
CheckedModel check_model(const std::string& folder_name, const std::string& path,
                         const SkinList& list, const FolderIndex& folder);

// The same for a list given as its paths' stored bytes (a list being edited), or for a
// model that cannot be read, by its FATAL text `fault`.
CheckedModel check_paths(const std::string& folder_name, const std::string& path,
                         const std::string& fault, const std::vector<std::string>& stored,
                         const FolderIndex& folder);

// The page's folder check, from one request: NUL-ended fields, the folder's name first,
// then "F" and the path of each of its files, then for each model "M" and its path, followed
// by "X" and its FATAL text or by "P" and the stored bytes of each path. Returns the JSON
// Lines of the check, and puts into `csv` the CSV that `check --csv` gives for the same
// folder.
std::string page_folder_check(std::string_view request, std::string& csv);

// Checks each model of `folder` (the files whose name is a model's, in the order of the
// index), reading each with `read` (its path relative to the folder) and handing each result
// to `checked` as it is made, so that no more than one model is held at a time. Returns the
// skin files that no stored path of the folder finds (into folder.files), and adds to
// `totals`.
std::vector<std::size_t> check_folder(const std::string& folder_name, const FolderIndex& folder,
                                      const std::function<SkinList(const std::string& path)>& read,
                                      const std::function<void(const CheckedModel&)>& checked,
                                      CheckTotals& totals);

// 0 when every path was found as stored and every model could be read, else 1.
int check_status(const CheckTotals& totals);

// The report for people: each model's paths in a table, the unused files, the summary line.
std::string model_table(const CheckedModel& model, bool name_folder);
std::string unused_table(const std::string& folder_name, const std::vector<std::string>& unused,
                         bool name_folder);
std::string check_summary(const CheckTotals& totals);

// JSON Lines: a "model" record, then one "skin" record per stored path; "unused" records;
// the "summary" record last.
std::string model_json(const CheckedModel& model);
std::string unused_json(const std::string& folder_name, const std::string& file);
std::string summary_json(const CheckTotals& totals);

// CSV, RFC 4180: the header row, then one row per stored path (a model that cannot be read:
// one row, with its FATAL text as the warning).
std::string csv_header();
std::string model_csv(const CheckedModel& model, bool name_folder);

// The fields of a page's request, each ended by a NUL (the last one's NUL may be missing).
std::vector<std::string> request_fields(std::string_view request);

// `text` as a JSON string: valid UTF-8 kept, other bytes shown as \xHH.
std::string json_string(std::string_view text);

// Bytes as lower-case hex, two digits each, and back (false for anything else).
std::string hex_text(std::string_view bytes);
bool from_hex_text(std::string_view hex, std::string& bytes);

// A count with thousands separated by commas: "1,234".
std::string counted(std::size_t count);

}  // namespace fmskins
