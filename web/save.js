// Saving, told as it happened. Models opened through a file handle are written in place,
// once the file is seen to be as it was opened; where the browser can write files, the
// others go into a folder the user chooses; elsewhere they are downloaded, one model as
// itself or several as one zip. "Saved" is said only once a write has closed; a download
// is only "downloaded", since the page cannot know that it arrived, and its model keeps
// its edits. One model's failure never stops the others.

import { run_tool } from "./core.js";
import { fatal_line, same_bytes } from "./outline.js";
import { list_model, list_problem, shown_name } from "./models.js";
import { zip_blob } from "./zip.js";

export const zip_name = "fmskins-models.zip";

// Models below this size are compared byte for byte with the file before it is replaced.
const compared_size = 64 * 1024 * 1024;

// The model with its list as edited, made by the tool in replace mode: the console tool's
// bytes for that list. Null bytes, with the tool's FATAL line, when it refuses.
export async function edited_bytes(model) {
  const paths = [...model.paths];
  const run = await run_tool(["/O", "out.fm", "m.fm", ...paths.map((path) => path.bytes)],
                             { "m.fm": model.bytes }, ["out.fm"]);
  if (run.status !== 0 || run.files["out.fm"] === null) {
    return { bytes: null, paths, tool: fatal_line(run.report) ?? `status ${run.status}` };
  }
  return { bytes: run.files["out.fm"], paths, tool: null };
}

// Whether the file behind the model's handle still holds what was opened (or last saved).
async function unchanged_on_disk(model) {
  const file = await model.handle.getFile();
  if (file.size !== model.size || file.lastModified !== model.last_modified) {
    return false;
  }
  return file.size >= compared_size || same_bytes(new Uint8Array(await file.arrayBuffer()), model.bytes);
}

// Writes `bytes` through `handle`: the browser replaces the file only when the stream closes.
async function write_handle(handle, bytes) {
  const writable = await handle.createWritable();
  try {
    await writable.write(bytes);
  } catch (error) {
    await writable.abort().catch(() => {});
    throw error;
  }
  await writable.close();
}

// After a write has closed, the model is the file as written. A list edited further while
// it was being written stays as the user left it, still to be saved.
async function take_written(model, handle, made) {
  const file = await handle.getFile();
  const now = model.paths;
  Object.assign(model, { handle, bytes: made.bytes, size: file.size, last_modified: file.lastModified });
  await list_model(model);
  if (now.length !== made.paths.length || now.some((path, index) => path !== made.paths[index])) {
    model.paths = now;
  }
}

// Where each model goes in a folder or a zip: its folder and name, numbered where two
// would take the same place.
function places(chosen) {
  const taken = new Set();
  return new Map(chosen.map((model) => {
    let place = model.folder + model.name;
    for (let number = 2; taken.has(place.toLowerCase()); ++number) {
      place = `${model.folder}${model.name.replace(/(\.[^.]*)?$/, ` (${number})$1`)}`;
    }
    taken.add(place.toLowerCase());
    return [model, place];
  }));
}

async function file_in_folder(folder, place) {
  const parts = place.split("/");
  let directory = folder;
  for (const part of parts.slice(0, -1)) {
    directory = await directory.getDirectoryHandle(part, { create: true });
  }
  return directory.getFileHandle(parts[parts.length - 1], { create: true });
}

let download_address = null;

export function download(name, blob) {
  if (download_address !== null) {
    URL.revokeObjectURL(download_address);
  }
  download_address = URL.createObjectURL(blob);
  const link = Object.assign(document.createElement("a"), { href: download_address, download: name });
  document.body.append(link);
  link.click();
  link.remove();
}

// Hands the made models to the browser as downloads: one as itself, several as one zip.
function deliver(made, where, results) {
  if (made.length === 1) {
    download(made[0].model.name, new Blob([made[0].bytes]));
    results.push({ model: made[0].model, saved: false, text: `downloaded as ${made[0].model.name}` });
    return;
  }
  const blob = zip_blob(made.map(({ model, bytes }) => ({ name: where.get(model), bytes })));
  if (blob === null) {
    for (const { model } of made) {
      results.push({ model, saved: false, failed: true,
                     text: "not downloaded: together the models pass 4 GiB, more than one zip can hold; save fewer at once" });
    }
    return;
  }
  download(zip_name, blob);
  for (const { model } of made) {
    results.push({ model, saved: false, text: `downloaded in ${zip_name} as ${where.get(model)}` });
  }
}

// Saves each model of `chosen` on its own; `progress(done, total)` is told before each.
// Returns one result a model: { model, saved, failed, text, tool }.
export async function save_models(chosen, progress) {
  const results = [];
  const failed = (model, text, tool = null) => results.push({ model, saved: false, failed: true, text, tool });
  const ready = [];
  for (const model of chosen) {
    const problem = list_problem(model);
    if (problem === null) {
      ready.push(model);
    } else {
      failed(model, `not saved: ${problem}`);
    }
  }
  const in_place = (model) => Boolean(model.handle?.createWritable);
  const others = ready.filter((model) => !in_place(model));
  let folder = null;
  if (others.length > 0 && window.showDirectoryPicker) {
    // Asked first, while the click that asked for the save still lets the page ask.
    folder = await window.showDirectoryPicker({ id: "fmskins-save", mode: "readwrite" }).catch(() => null);
    if (folder === null) {
      others.forEach((model) => failed(model, "not saved: no folder was chosen to save it into"));
    }
  }
  const going = ready.filter((model) => in_place(model) || folder !== null || !window.showDirectoryPicker);
  const where = places(going);
  const downloads = [];
  for (const [index, model] of going.entries()) {
    progress(index + 1, going.length);
    try {
      // The file is read back for the comparison while the tool makes the new bytes.
      const checked = in_place(model) ? unchanged_on_disk(model) : null;
      checked?.catch(() => {});
      const made = await edited_bytes(model);
      if (made.bytes === null) {
        failed(model, "not saved: the tool refused the edit", made.tool);
      } else if (in_place(model)) {
        if (!await checked) {
          failed(model, "not saved: changed on disk since it was opened: open it again to edit it");
        } else {
          await write_handle(model.handle, made.bytes);
          await take_written(model, model.handle, made);
          results.push({ model, saved: true, text: `saved, ${made.bytes.length} bytes` });
        }
      } else if (folder !== null) {
        const handle = await file_in_folder(folder, where.get(model));
        await write_handle(handle, made.bytes);
        await take_written(model, handle, made);
        results.push({ model, saved: true, text: `saved into ${folder.name}/${where.get(model)}, ${made.bytes.length} bytes` });
      } else {
        downloads.push({ model, bytes: made.bytes });
      }
    } catch (error) {
      failed(model, `not saved: the browser could not write it (${error.message || error.name})`);
    }
  }
  if (downloads.length > 0) {
    try {
      deliver(downloads, where, results);
    } catch (error) {
      downloads.forEach(({ model }) => failed(model, `not downloaded: the browser refused (${error.message || error.name})`));
    }
  }
  return results.sort((first, second) => chosen.indexOf(first.model) - chosen.indexOf(second.model))
    .map((result) => ({ ...result, name: shown_name(result.model) }));
}
