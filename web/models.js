// The open models and what is known of each: where it came from, what the tool reported, and
// its skin list as the user is editing it; its bytes, as opened or last saved, are held by
// the tool's thread under the model's number. Each
// path is its own entry: one the user did not touch keeps its stored bytes, whatever they
// are; one the user typed is stored as the UTF-8 bytes of its text.

import { ask, model_size_limit } from "./core.js";
import { fatal_line, path_byte_limit, read_outline, report_text, same_bytes, shown_bytes,
         text_bytes } from "./outline.js";

export const models = [];
let numbers = 0;

// A path as stored: its bytes, the text shown for them, and whether any byte is marked.
export function stored_path(bytes) {
  return { bytes, ...shown_bytes(bytes) };
}

export function typed_path(text) {
  return { bytes: text_bytes(text), text, odd: false };
}

export function edited(model) {
  return model.editable && (model.paths.length !== model.saved.length ||
    model.paths.some((path, index) => !same_bytes(path.bytes, model.saved[index])));
}

// Why the page cannot save the list as it stands, in the page's own words, or null.
export function list_problem(model) {
  if (model.paths.length === 0) {
    return "A model needs at least one skin path: add one before saving.";
  }
  const nul = model.paths.findIndex((path) => path.bytes.includes(0));
  if (nul >= 0) {
    return `Skin path ${nul + 1} holds a NUL character, which would end it there.`;
  }
  const long = model.paths.findIndex((path) => path.bytes.length > path_byte_limit);
  if (long >= 0) {
    return `Skin path ${long + 1} is ${model.paths[long].bytes.length} bytes long; ` +
           `a skin path holds at most ${path_byte_limit} bytes.`;
  }
  return null;
}

// Takes what the tool told of the model in a listing (`run`): the report word for word, the
// chunks, the stored paths, and whether (and why not) the page can edit the model.
export function take_listing(model, run) {
  const outline = read_outline(run.outline);
  model.status = run.status;
  model.report = report_text(run.report).replace("Input Model File: m.fm", `Input Model File: ${model.name}`);
  model.fatal = run.status === 0 ? null : fatal_line(run.report);
  model.chunks = outline.chunks;
  model.saved = outline.paths;
  model.paths = outline.paths.map(stored_path);
  model.warnings = [];
  model.reason = null;
  if (run.status !== 0) {
    const plain = fault_in_plain_words(model.fatal);
    model.reason = "The tool cannot read this model, so it cannot be edited here" +
                   (plain === null ? ". " : `: ${plain}. `) + `The tool says: ${model.fatal ?? `status ${run.status}`}`;
  } else if (outline.skins === null) {
    model.reason = "This model has no skin chunk, so it holds no skin paths to edit.";
  } else if (!outline.skins.count_found) {
    model.reason = "This model's skin chunk comes before its header chunk, so its skin count " +
                   "cannot be updated: the tool will not edit it.";
  }
  model.editable = model.reason === null;
}

// The model already open from the same file, if any. Only file handles can tell: two of
// them are one file when the browser says they are the same entry (a file's name is its
// entry's, so only those of the same name are asked). Files without a handle are never
// taken for one another, however alike their names, sizes and times: palette swaps share a
// size and files unpacked from one archive share a time.
async function already_open(source) {
  if (!source.handle) {
    return null;
  }
  for (const model of models) {
    if (model.handle && model.name === source.name && await model.handle.isSameEntry(source.handle)) {
      return model;
    }
  }
  return null;
}

// Adds a model for `source` ({ name, folder, file, handle, mod_folder }) to the list, not yet
// read, or finds the one open already. Returns the model and whether it was open already.
export async function add_model(source) {
  const open = await already_open(source);
  if (open) {
    return { model: open, again: true };
  }
  const model = {
    number: ++numbers, name: source.name, folder: source.folder ?? "", handle: source.handle ?? null,
    file: source.file, size: source.file.size, last_modified: source.file.lastModified, selected: true,
    status: null, report: "", fatal: null, chunks: [], saved: [], paths: [], warnings: [],
    editable: false, reason: "Reading the model…", refused: null, history: [], typing: null,
    mod_folder: source.mod_folder ?? null,
  };
  models.push(model);
  return { model, again: false };
}

// The open models in order of their paths (folder, then name), numbers read as numbers, so
// that a mod folder lists as a file manager shows it; models opened earlier first where two
// paths are the same.
const path_order = new Intl.Collator(undefined, { numeric: true });
export function sort_models() {
  models.sort((first, second) => path_order.compare(first.folder, second.folder) ||
    path_order.compare(first.name, second.name) || first.number - second.number);
}

// Plain words beside the tool's own for why it cannot read a model: the tool's FATAL text
// names the fault exactly, these say what it most likely means.
const fault_words = [
  ["Invalid (too big) chunk size", "a chunk says it is longer than the rest of the file: the file was " +
   "probably cut short, by an interrupted download or copy, or damaged"],
  ["Invalid (<=0) chunk size", "a chunk says it holds no bytes: the file is damaged, or is no FlexModel file"],
  ["Invalid (too small) HEADER chunk size", "the header chunk is too short to hold the model's counts: the file is damaged"],
  ["Invalid ", "a chunk has a version this tool does not know: the model is damaged or comes from another game"],
  ["Can't read input model file", "the file could not be read: it may have changed or gone while it was read"],
];
export function fault_in_plain_words(fatal) {
  return fault_words.find(([start]) => fatal?.startsWith(start))?.[1] ?? null;
}

// Reads and lists a model added, in the tool's thread; one too large is refused unread.
export async function read_model(model) {
  if (model.size > model_size_limit) {
    model.refused = { mark: "too large", left_out: "too large for the page" };
    model.reason = `${model.name} is too large for the page (over 1 GiB): edit it with the console tool.`;
    return;
  }
  const listing = await ask("open", { model: model.number, file: model.file });
  model.file = null;
  if (!models.includes(model)) {
    ask("close", { model: model.number });  // closed while it was read: the thread lets it go
    return;
  }
  take_listing(model, listing);
}

// The tool's warnings about each path of the model's list as it stands (from a replace run
// into nothing), by the path's index.
export async function path_warnings(model) {
  const outline = await ask("check", { model: model.number, paths: model.paths.map((path) => path.bytes) });
  return read_outline(outline).warnings;
}

// Keeps the list as it is now, for Undo, before a change. Keystrokes in one field are one
// change until another kind of change comes.
export function remember(model, typing = null) {
  if (typing === null || typing !== model.typing) {
    model.history.push([...model.paths]);
  }
  model.typing = typing;
}

// Back to the list before the last change; false when there is none.
export function undo(model) {
  if (model.history.length === 0) {
    return false;
  }
  model.paths = model.history.pop();
  model.typing = null;
  return true;
}

// Back to the list as opened (or last saved); itself a change that Undo takes back.
export function revert(model) {
  remember(model);
  model.paths = model.saved.map(stored_path);
}

export function close_model(model) {
  models.splice(models.indexOf(model), 1);
  ask("close", { model: model.number });
}

// The name each open model is shown by: its folder and name, and a number where another
// open model would show the same.
export function shown_names() {
  const alike = new Map();
  for (const model of models) {
    const name = model.folder + model.name;
    alike.set(name, alike.get(name) ?? []);
    alike.get(name).push(model);
  }
  const shown = new Map();
  for (const [name, same] of alike) {
    same.forEach((model, index) => shown.set(model, same.length > 1 ? `${name} (${index + 1})` : name));
  }
  return shown;
}

export function shown_name(model) {
  return shown_names().get(model);
}
