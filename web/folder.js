// Which skins a mod folder holds: a folder opened whole keeps the names of all its files,
// and each of its models' skin paths is looked up there by the console's own folder check
// (fmskins-folder check), compiled into the tool, so that the page and the console never
// disagree about a folder. Nothing here matches names: it only asks and keeps the answers.

import { ask } from "./core.js";
import { text_bytes } from "./outline.js";

export function mod_folder(name, file_paths) {
  return { name, files: file_paths, unused: [], csv: null, asked: null };
}

// The request for `folder` and its open `members`: NUL-ended fields, as the tool reads them.
function request_of(folder, members) {
  const fields = [text_bytes(folder.name), ...folder.files.map((path) => text_bytes(`F${path}`))];
  for (const model of members) {
    fields.push(text_bytes(`M${model.folder}${model.name}`));
    const fault = model.refused ? model.reason : model.status !== 0 ? model.fatal ?? `status ${model.status}` : null;
    if (fault !== null) {
      fields.push(text_bytes(`X${fault}`));
      continue;
    }
    for (const path of model.paths) {
      const field = new Uint8Array(path.bytes.length + 1);
      field[0] = 0x50;  // "P"
      field.set(path.bytes, 1);
      fields.push(field);
    }
  }
  const request = new Uint8Array(fields.reduce((sum, field) => sum + field.length + 1, 0));
  fields.reduce((at, field) => {
    request.set(field, at);
    return at + field.length + 1;
  }, 0);
  return request;
}

// Asks again for each folder whose models or lists changed since it was last asked about;
// true when any answer changed. Each model then has `found`: per path, { found, file } with
// `found` one of "yes", "other case", "backslashes" and "no".
export async function check_folders(models) {
  const folders = new Map();
  for (const model of models.filter((each) => each.mod_folder && each.status !== null)) {
    folders.set(model.mod_folder, [...(folders.get(model.mod_folder) ?? []), model]);
  }
  let changed = false;
  for (const [folder, members] of folders) {
    const request = request_of(folder, members);
    const key = new TextDecoder("windows-1252").decode(request);
    if (folder.asked === key && members.every((model) => model.found)) {
      continue;
    }
    folder.asked = key;
    const { csv, records } = await ask("folder", { request });
    const by_path = new Map(members.map((model) => [`${model.folder}${model.name}`, model]));
    members.forEach((model) => {
      model.found = [];
    });
    folder.unused = [];
    for (const record of records) {
      const model = by_path.get(record.model);
      if (record.type === "skin" && model) {
        model.found[record.index - 1] = { found: record.found, file: record.file };
      } else if (record.type === "unused") {
        folder.unused.push(record.file);
      }
    }
    folder.csv = csv;
    changed = true;
  }
  return changed;
}

// How many of the model's paths its folder lacks.
export function missing_count(model) {
  return model.mod_folder ? (model.found ?? []).filter((each) => each?.found === "no").length : 0;
}

// What the folder check says of path `index` of the model, as a note, or null when the
// path was found as stored.
export function found_note(model, index) {
  const answer = model.mod_folder ? model.found?.[index] : null;
  if (!answer || answer.found === "yes") {
    return null;
  }
  if (answer.found === "other case") {
    return `found in another case: ${answer.file}`;
  }
  if (answer.found === "backslashes") {
    return `found only with \\ read as /: ${answer.file}`;
  }
  return "not found in this folder";
}
