// Saving, told as it happened. Models opened through a file handle are written in place,
// once the file is seen to be as it was opened; where the browser can write files, the
// others go into a folder the user chooses; elsewhere they are downloaded, one model as
// itself or several as one zip. "Saved" is said only once a write has closed; a download
// is only "downloaded", since the page cannot know that it arrived, and its model keeps
// its edits. One model's failure never stops the others.

import { ask } from "./core.js";
import { fatal_line } from "./outline.js";
import { list_problem, shown_names, take_listing } from "./models.js";
import { zip_blob } from "./zip.js";

export const zip_name = "fmskins-models.zip";

const changed_on_disk = "not saved: changed on disk since it was opened: open it again to edit it";

// Saves in place run this many at a time: each waits mostly on the browser's file system.
const saves_at_once = 8;

// The model with its list as edited, made by the tool in replace mode: the console tool's
// bytes for that list, as pieces in order. Null pieces, with the tool's FATAL line, when it
// refuses.
export async function edited_bytes(model, crc = false) {
  const paths = [...model.paths];
  const made = await ask("edit", { model: model.number, paths: paths.map((path) => path.bytes), crc });
  if (made.changed) {
    return { ...made, paths, tool: null };
  }
  if (made.pieces === null) {
    return { ...made, paths, tool: fatal_line(made.report) ?? `status ${made.status}` };
  }
  return { ...made, paths, tool: null };
}

// Whether the file behind the model's handle still holds what was opened (or last saved):
// the same size and time, and, for a model read whole, the same bytes.
async function unchanged_on_disk(model) {
  const file = await model.handle.getFile();
  if (file.size !== model.size || file.lastModified !== model.last_modified) {
    return false;
  }
  return ask("same", { model: model.number, file });
}

// Writes `pieces` through `handle`, a few MiB at a time, each let go once written, so that
// the model is never held twice: the browser replaces the file only when the stream closes.
const write_block = 8 * 1024 * 1024;
async function write_handle(handle, pieces) {
  const writable = await handle.createWritable();
  try {
    while (pieces.length > 0) {
      const piece = pieces.shift();
      for (let at = 0; at < piece.length; at += write_block) {
        await writable.write(piece.subarray(at, at + write_block));
      }
    }
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
  const listing = await ask("commit", { model: model.number, file });
  Object.assign(model, { handle, size: file.size, last_modified: file.lastModified });
  take_listing(model, listing);
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
    download(made[0].model.name, made[0].blob);
    results.push({ model: made[0].model, saved: false, text: `downloaded as ${made[0].model.name}` });
    return;
  }
  const blob = zip_blob(made.map(({ model, blob, size, crc }) => ({ name: where.get(model), blob, size, crc })));
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
  const several = going.filter((model) => !in_place(model) && folder === null).length > 1;
  // Once the write has closed the model is saved, whatever comes after. Should the page then
  // fail to take in the file as written, the model keeps the size and time it was opened
  // with, so that its next save is refused as changed on disk rather than made blind.
  const write = async (model, handle, made, text) => {
    await write_handle(handle, made.pieces);
    results.push({ model, saved: true, text });
    await take_written(model, handle, made).catch(() => {});
  };
  const save_one = async (model) => {
    try {
      // The file is read back for the comparison while the tool makes the new bytes.
      const checked = in_place(model) ? unchanged_on_disk(model) : null;
      checked?.catch(() => {});
      const made = await edited_bytes(model, several);
      if (made.changed) {
        failed(model, changed_on_disk);
      } else if (made.pieces === null) {
        failed(model, "not saved: the tool refused the edit", made.tool);
      } else if (in_place(model)) {
        if (!await checked) {
          failed(model, changed_on_disk);
        } else {
          await write(model, model.handle, made, `saved, ${made.size} bytes`);
        }
      } else if (folder !== null) {
        await write(model, await file_in_folder(folder, where.get(model)), made,
                    `saved into ${folder.name}/${where.get(model)}, ${made.size} bytes`);
      } else {
        downloads.push({ model, ...made, blob: new Blob(made.pieces), pieces: null });
      }
    } catch (error) {
      // A file read again for the save that is gone or has changed is told so, not taken
      // for a failed write.
      failed(model, error.name === "NotFoundError" ? "not saved: the file is no longer there: it was moved or deleted since it was opened"
        : error.name === "NotReadableError" ? changed_on_disk
          : `not saved: the browser could not write it (${error.message || error.name})`);
    }
  };
  // A few at a time, each on its own: one model's failure never stops the others.
  let next = 0;
  const saver = async () => {
    while (next < going.length) {
      const model = going[next++];
      progress(next, going.length);
      await save_one(model);
    }
  };
  await Promise.all(Array.from({ length: Math.min(saves_at_once, going.length) }, saver));
  if (downloads.length > 0) {
    try {
      deliver(downloads, where, results);
    } catch (error) {
      downloads.forEach(({ model }) => failed(model, `not downloaded: the browser refused (${error.message || error.name})`));
    }
  }
  const names = shown_names();
  return results.sort((first, second) => chosen.indexOf(first.model) - chosen.indexOf(second.model))
    .map((result) => ({ ...result, name: names.get(result.model) }));
}
