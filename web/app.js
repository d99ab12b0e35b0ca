// The page: open models, see their chunks, skins and the tool's report, edit the skin lists,
// retarget a path prefix across models, and save. Every listing, warning and saved byte
// comes from the console tool itself (core.js); this file only shows and asks.

import { run_tool, start_tool } from "./core.js";
import { chunk_header_size, path_byte_limit } from "./outline.js";
import { add_model, close_model, edited, list_problem, models, path_warnings, read_model, remember, revert,
         shown_name, shown_names, sort_models, typed_path, undo } from "./models.js";
import { check_folders, found_note, missing_count, mod_folder } from "./folder.js";
import { apply_prefix_change, preview_prefix_change } from "./prefix.js";
import { download, save_models } from "./save.js";

let current = null;
let saving = false;
let previewed = null;

const element = (id) => document.getElementById(id);
const plural = (count, word) => `${count} ${word}${count === 1 ? "" : "s"}`;

function make(tag, properties = {}, children = []) {
  const made = Object.assign(document.createElement(tag), properties);
  for (const child of children) {
    made.append(child);
  }
  return made;
}

function say(text, details = []) {
  element("status").textContent = text;
  element("save-results").replaceChildren(...details);
}

// Runs an action of a control, telling the user of any failure rather than losing it.
function guarded(action) {
  return async (...args) => {
    try {
      await action(...args);
    } catch (error) {
      say(`Something went wrong: ${error.message || error}`);
    }
  };
}

// Opens each source ({ name, folder, file, handle, mod_folder }): all are added to the list
// at once, in order of their paths, and read side by side in the tool's thread. Each model
// can be chosen and edited as soon as it is read; drawing the list again never takes the
// focus or the typed text away.
async function open_sources(sources) {
  say(`Opening ${plural(sources.length, "model")}…`);
  let again = null;
  const added = [];
  for (const source of sources) {
    const opened = await add_model(source);
    again = opened.again ? opened.model : again;
    if (!opened.again) {
      added.push(opened.model);
    }
  }
  sort_models();
  show_list();
  await Promise.all(added.map((model) => read_model(model).catch((error) => {
    model.refused = { mark: "unreadable", left_out: "could not be read" };
    model.reason = `The page could not read ${model.name}: ${error.message || error.name}`;
  }).then(() => {
    if (current === null || model === current) {
      show_model(model);
    } else {
      redraw_list_soon();
    }
  })));
  await refreshing;
  await check_folders(models);
  const note = again ? ` ${shown_name(again)} was open already.` : "";
  say(`${plural(models.length, "model")} open.${note}`);
  if (again) {
    show_model(again);
  } else if (current === null) {
    show_model(models[0] ?? null);
  } else {
    show_model(current);
  }
}

// While models are read, the list is drawn again at most every tenth of a second.
let redraw_timer = null;
function redraw_list_soon() {
  if (redraw_timer === null) {
    redraw_timer = setTimeout(() => {
      redraw_timer = null;
      show_list();
    }, 100);
  }
}

const file_source = (file, folder = "") => ({ name: file.name, folder, file, handle: null });

async function handle_source(handle, folder = "") {
  return { ...file_source(await handle.getFile(), folder), handle };
}

const open_files = (files) => open_sources(files.map((file) => file_source(file)));

// File handles (from a picker, a folder, or a drop): saved back in place.
async function open_handles(handles, folder = "") {
  await open_sources(await Promise.all(handles.map((handle) => handle_source(handle, folder))));
}

// The models in `directory` and below, each knowing the folder, whose every file is named.
async function fm_files_in(directory) {
  const found = [];
  const files = [];
  const walk = async (folder, path) => {
    for await (const entry of folder.values()) {
      if (entry.kind === "directory") {
        await walk(entry, `${path}${entry.name}/`);
      } else {
        files.push(path + entry.name);
        if (entry.name.toLowerCase().endsWith(".fm")) {
          found.push(handle_source(entry, path));
        }
      }
    }
  };
  await walk(directory, "");
  const folder = mod_folder(directory.name, files);
  return (await Promise.all(found)).map((source) => ({ ...source, mod_folder: folder }));
}

async function open_folder(directory) {
  await open_sources(await fm_files_in(directory));
}

// The models of a folder given as its files, each with its path from the folder's parent
// ("mod/models/ogre.fm"), as a folder input or a dropped folder gives them: each knows its
// folder within the mod folder, and the folder the names of all its files.
function folder_files_sources(files) {
  const by_folder = new Map();
  for (const { file, path } of files) {
    const [top, ...rest] = path.split("/");
    if (rest.length === 0) {
      continue;
    }
    by_folder.set(top, [...(by_folder.get(top) ?? []), { file, path: rest.join("/") }]);
  }
  const sources = [];
  for (const [top, members] of by_folder) {
    const folder = mod_folder(top, members.map((member) => member.path));
    for (const { file, path } of members) {
      if (path.toLowerCase().endsWith(".fm")) {
        sources.push({ ...file_source(file, path.slice(0, path.length - file.name.length)), mod_folder: folder });
      }
    }
  }
  return sources;
}

const open_folder_input = (files) =>
  open_sources(folder_files_sources(files.map((file) => ({ file, path: file.webkitRelativePath }))));

// Every file below a dropped folder's entry (the older interface of Firefox and Safari),
// with its path from the folder's parent.
async function entry_files(entry) {
  if (entry.isFile) {
    return [{ file: await new Promise((done, fail) => entry.file(done, fail)), path: entry.fullPath.replace(/^\//, "") }];
  }
  const reader = entry.createReader();
  const children = [];
  for (;;) {
    const some = await new Promise((done, fail) => reader.readEntries(done, fail));
    if (some.length === 0) {
      break;
    }
    children.push(...some);
  }
  return (await Promise.all(children.map(entry_files))).flat();
}

function mark_of(model) {
  if (model.refused) {
    return [model.refused.mark, "mark bad"];
  }
  if (model.status === null) {
    return ["opening", "mark"];
  }
  if (model.status !== 0) {
    return ["damaged", "mark bad"];
  }
  return edited(model) ? ["edited", "mark"] : null;
}

// One model's entry in the list: its tick for prefix changes and its button, with marks.
// An entry is made again only when what it shows has changed, and only while `budget`
// allows (else the entry as last made, or null where there is none yet).
function list_entry(model, shown, group, budget) {
  const missing = missing_count(model);
  const marks = [mark_of(model), missing > 0 ? [`${missing} not found`, "mark missing"] : null].filter(Boolean);
  const name = shown.slice(group.length);
  const key = JSON.stringify([name, marks, model === current, model.selected]);
  if (model.entry?.key === key) {
    return model.entry.item;
  }
  if (budget.left <= 0) {
    budget.short = true;
    return model.entry?.item ?? null;
  }
  budget.left -= 1;
  const choose = make("button", {
    type: "button",
    title: shown,
    className: "model" + (model === current ? " current" : ""),
  });
  // A long name may break after a _, - or . rather than anywhere.
  name.split(/(?<=[_.-])/).forEach((part, index) => {
    choose.append(...(index > 0 ? [make("wbr"), part] : [part]));
  });
  choose.setAttribute("aria-current", model === current ? "true" : "false");
  for (const mark of marks) {
    // The comma only separates the mark in the button's spoken name.
    choose.append(make("span", { className: mark[1] }, [make("span", { className: "unseen", textContent: ", " }), mark[0]]));
  }
  choose.addEventListener("click", () => {
    show_model(model);
    // In one column the editor is below the list: it comes into view.
    if (window.matchMedia("(max-width: 800px)").matches) {
      element("editor").scrollIntoView({ block: "start" });
    }
  });
  const pick = make("input", { type: "checkbox", checked: model.selected });
  pick.setAttribute("aria-label", `Include ${shown} in prefix changes`);
  pick.addEventListener("change", () => {
    model.selected = pick.checked;
    forget_preview("The ticked models changed: preview again to apply.");
  });
  const item = make("li", { className: "entry-line" }, [pick, choose]);
  model.entry = { key, item };
  return item;
}

// Across the models opened from folders: how many of their skin paths the folder lacks.
// A damaged model's paths cannot be looked up, so it is counted apart.
function show_summary() {
  element("save").disabled = saving || models.length === 0;
  element("undo").disabled = !current?.editable || current.history.length === 0;
  element("revert").disabled = !current || !edited(current);
  const in_folders = models.filter((model) => model.mod_folder);
  element("folder-tools").hidden = in_folders.length === 0;
  const damaged = in_folders.filter((model) => model.refused || (model.status !== null && model.status !== 0));
  const checked = in_folders.filter((model) => !damaged.includes(model));
  const total = checked.reduce((sum, model) => sum + model.paths.length, 0);
  const missing = checked.reduce((sum, model) => sum + missing_count(model), 0);
  element("missing-summary").textContent = `${missing} of ${plural(total, "skin path")} not found in the opened folder` +
    (damaged.length > 0 ? `; ${plural(damaged.length, "damaged model")} not looked at` : "");
  const unused = [...new Set(in_folders.map((model) => model.mod_folder))].flatMap((folder) => folder.unused);
  element("unused-summary").hidden = unused.length === 0;
  element("unused-summary").textContent = `Skin files no path uses: ${unused.join(", ")}`;
  refresh_folders();
}

// The folder check is asked again whenever a folder's models or lists change, and the
// page drawn again with its answers.
let refreshing = null;
function refresh_folders() {
  if (refreshing !== null) {
    return;
  }
  refreshing = check_folders(models).then((changed) => {
    refreshing = null;
    if (changed) {
      show_list();
      if (current) {
        show_skins(current);
      }
    }
  }, () => {
    refreshing = null;
  });
}

// Runs `action` once the page has drawn its next frame (or after a while, in a tab that
// draws no frames), so that what came before is laid out on its own.
function after_frame(action) {
  let done = false;
  const once = () => {
    if (!done) {
      done = true;
      action();
    }
  };
  requestAnimationFrame(() => setTimeout(once, 0));
  setTimeout(once, 250);
}

// The list, in order of paths, grouped by folder, and only the models whose path holds the
// filter's text (in any case). Only entries that changed are made again, and the list is
// left as it is when nothing in it moved. A few dozen entries are made a frame, the rest
// in the frames that follow, so that a list of a thousand models never holds up the page.
const entries_a_frame = 60;
let entries_left = entries_a_frame;
let list_waiting = false;
function show_list() {
  const budget = { left: entries_left, short: false };
  const names = shown_names();
  element("filter-label").hidden = models.length < 2;
  const filter = element("filter").value.trim().toLowerCase();
  const groups = [];
  for (const model of models) {
    const shown = names.get(model);
    if (filter !== "" && !shown.toLowerCase().includes(filter)) {
      continue;
    }
    if (groups.length === 0 || groups.at(-1).folder !== model.folder) {
      groups.push({ folder: model.folder, items: [] });
    }
    const item = list_entry(model, shown, model.folder, budget);
    if (item !== null) {
      groups.at(-1).items.push(item);
    }
  }
  if (entries_left === entries_a_frame && budget.left < entries_a_frame) {
    after_frame(() => {
      entries_left = entries_a_frame;
      if (list_waiting) {
        list_waiting = false;
        show_list();
      }
    });
  }
  entries_left = budget.left;
  list_waiting ||= budget.short;
  const list = element("models");
  const items = groups.map(({ folder, items }) => {
    let group = group_items.get(folder);
    if (!group) {
      const heading = make("span", { className: "folder" });
      // A folder's path may break after each /, and nowhere else.
      folder.split("/").forEach((part, index, parts) => {
        heading.append(index < parts.length - 1 ? `${part}/` : part);
        if (index < parts.length - 2) {
          heading.append(make("wbr"));
        }
      });
      group = make("li", {}, folder === "" ? [make("ul")] : [heading, make("ul")]);
      group_items.set(folder, group);
    }
    keep_children(group.lastChild, items);
    return group;
  });
  keep_children(list, items);
  show_summary();
}
const group_items = new Map();

// Makes `items` the children of `parent`, in order, moving, adding and removing only what
// differs: an entry left where it is is not laid out again.
function keep_children(parent, items) {
  let at = parent.firstChild;
  for (const item of items) {
    if (at === item) {
      at = at.nextSibling;
    } else {
      parent.insertBefore(item, at);
    }
  }
  while (at !== null) {
    const next = at.nextSibling;
    at.remove();
    at = next;
  }
}

// While the user types, only the model's own entry and the summary change.
const show_entry = () => show_list();

// The chunks to scale of their bytes, each with its identifier and size.
function draw_chunks(model) {
  const bar = element("chunks");
  bar.replaceChildren();
  const bytes_of = (chunk) => chunk_header_size + Math.max(chunk.size, 0);
  const total = model.chunks.reduce((sum, chunk) => sum + bytes_of(chunk), 0);
  for (const chunk of model.chunks) {
    const part = make("div", {
      className: "chunk" + (chunk.known ? "" : " unknown") + (chunk.identifier === "skin" ? " skin" : ""),
      title: `${chunk.identifier}: version ${chunk.version}, ${chunk.size} bytes at offset ${chunk.offset}`,
    }, [make("span", { textContent: chunk.identifier || "(no name)" }),
        make("small", { textContent: `${chunk.size} B` })]);
    part.style.flexGrow = String(Math.max(bytes_of(chunk) / Math.max(total, 1), 0.0001));
    bar.append(part);
  }
  if (model.status !== 0 && model.status !== null) {
    bar.append(make("div", { className: "chunk damaged", textContent: "damaged" }));
  }
}

function show_model(model) {
  current = model;
  show_list();
  element("editor").hidden = model === null;
  if (model === null) {
    return;
  }
  element("model-name").textContent = shown_name(model);
  draw_chunks(model);
  element("report").textContent = model.refused || model.status === null ? model.reason : model.report;
  element("skin-tools").hidden = !model.editable;
  element("not-editable").hidden = model.editable;
  element("not-editable").textContent = model.reason ?? "";
  show_skins(model);
}

function path_notes(model, index) {
  const path = model.paths[index];
  const notes = [...(model.warnings[index] ?? [])];
  if (path.bytes.length > path_byte_limit) {
    notes.unshift(`${path.bytes.length} bytes: a skin path holds at most ${path_byte_limit} bytes`);
  }
  if (path.odd) {
    notes.unshift("Holds bytes that are not text, shown as \\xHH: kept as they are unless you change this path");
  }
  const found = found_note(model, index);
  if (found !== null) {
    notes.unshift(found);
  }
  return notes.map((text) => make("li", { textContent: text }));
}

function show_problem(model) {
  const problem = model.editable ? list_problem(model) : null;
  element("list-problem").hidden = problem === null;
  element("list-problem").textContent = problem ?? "";
}

// The skin list's rows. Where the rows on screen are this model's and as many, they are
// brought up to date where they stand, so that a field being typed in keeps its focus,
// its caret and its text.
let skins_shown = null;
function show_skins(model) {
  const list = element("skins");
  if (skins_shown === model && list.children.length === model.paths.length &&
      [...list.querySelectorAll("input")].every((field) => field.readOnly === !model.editable)) {
    [...list.children].forEach((row, index) => {
      const field = row.querySelector("input");
      if (field.value !== model.paths[index].text) {
        field.value = model.paths[index].text;
      }
      row.querySelector(".warnings").replaceChildren(...path_notes(model, index));
    });
    show_problem(model);
    return;
  }
  skins_shown = model;
  list.replaceChildren();
  model.paths.forEach((path, index) => {
    const field = make("input", { type: "text", value: path.text, readOnly: !model.editable, spellcheck: false });
    field.setAttribute("aria-label", `Skin path ${index + 1}`);
    const notes = make("ul", { className: "warnings" }, path_notes(model, index));
    field.addEventListener("input", () => {
      remember(model, index);
      model.paths[index] = typed_path(field.value);
      notes.replaceChildren(...path_notes(model, index));
      show_problem(model);
      check_paths(model, typing_pause);
      show_entry(model);
    });
    const buttons = model.editable ? [
      ["Up", index > 0, () => move(model, index, -1)],
      ["Down", index < model.paths.length - 1, () => move(model, index, 1)],
      ["Remove", true, () => {
        remember(model);
        model.paths.splice(index, 1);
        after_change(model);
        focus_row(index, "Remove");
      }],
    ].map(([label, enabled, action]) => {
      const button = make("button", { type: "button", textContent: label, disabled: !enabled });
      button.setAttribute("aria-label", `${label}: skin path ${index + 1}`);
      button.addEventListener("click", action);
      return button;
    }) : [];
    list.append(make("li", {}, [make("div", { className: "entry" }, [field, ...buttons]), notes]));
  });
  show_problem(model);
}

function move(model, index, by) {
  remember(model);
  const [path] = model.paths.splice(index, 1);
  model.paths.splice(index + by, 0, path);
  after_change(model);
  focus_row(index + by, by < 0 ? "Up" : "Down");
}

// After a row moved or went, focus stays with the list: on the button pressed, in the
// row now at `index`, or on the field where that button is disabled.
function focus_row(index, label) {
  const rows = element("skins").children;
  const row = rows[Math.min(index, rows.length - 1)];
  const button = row?.querySelector(`button[aria-label^="${label}:"]`);
  (button && !button.disabled ? button : row?.querySelector("input") ?? element("add-skin")).focus();
}

function after_change(model) {
  model.warnings = [];
  show_model(model);
  check_paths(model);
}

// The tool's own warnings for the list as it stands, from the tool's thread. While the user
// types, they are asked for once typing pauses.
const typing_pause = 150;
let checks = 0;
let check_timer = null;
function check_paths(model, pause = 0) {
  const check = ++checks;
  clearTimeout(check_timer);
  check_timer = setTimeout(async () => {
    if (model.paths.length === 0 || list_problem(model) !== null) {
      model.warnings = [];
      return;
    }
    let warnings;
    try {
      warnings = await path_warnings(model);
    } catch {
      return;  // the warnings are a hint; saving tells of any real failure
    }
    if (check !== checks || !models.includes(model)) {
      return;  // changed again meanwhile
    }
    model.warnings = warnings;
    if (model === current) {
      element("skins").querySelectorAll(".warnings").forEach((notes, index) => {
        notes.replaceChildren(...path_notes(model, index));
      });
    }
  }, pause);
}

async function save_edited() {
  const chosen = models.filter(edited);
  if (chosen.length === 0) {
    say("Nothing to save: no model was changed.");
    return [];
  }
  saving = true;
  show_list();
  let results;
  try {
    results = await save_models(chosen, (done, total) => say(`Saving ${done} of ${total}…`));
  } finally {
    saving = false;
  }
  const count = (test) => results.filter(test).length;
  const saved = count((result) => result.saved);
  const failed = count((result) => result.failed);
  const downloaded = results.length - saved - failed;
  const parts = [];
  if (saved > 0) {
    parts.push(`${plural(saved, "model")} saved.`);
  }
  if (downloaded > 0) {
    parts.push(`${plural(downloaded, "model")} handed to the browser as a download; the page cannot ` +
               `know that it arrived, so ${downloaded === 1 ? "it stays" : "they stay"} marked edited ` +
               "until saved in place or closed.");
  }
  if (failed > 0) {
    parts.push(`${plural(failed, "model")} not saved.`);
  }
  say(parts.join(" "), results.map((result) => make("li", { className: result.failed ? "failed" : "" }, [
    `${result.name}: ${result.text}`,
    ...(result.tool ? [make("span", { className: "tool", textContent: ` (the tool: ${result.tool})` })] : []),
  ])));
  show_list();
  if (current) {
    show_model(current);
  }
  return results;
}

// The whole folder's report as CSV: the bytes of the console's `fmskins-folder check --csv`
// for each opened folder (one header row for all).
async function folder_report_bytes() {
  await refreshing;
  await check_folders(models);
  const parts = [...new Set(models.filter((model) => model.mod_folder).map((model) => model.mod_folder))]
    .map((folder, index) => {
      const csv = folder.csv ?? new Uint8Array();
      return index === 0 ? csv : csv.subarray(csv.indexOf(0x0a) + 1);
    });
  const bytes = new Uint8Array(parts.reduce((sum, part) => sum + part.length, 0));
  parts.reduce((at, part) => {
    bytes.set(part, at);
    return at + part.length;
  }, 0);
  return bytes;
}

const folder_report = async () => new TextDecoder().decode(await folder_report_bytes());

function close_current() {
  if (current === null || (edited(current) &&
      !window.confirm(`${shown_name(current)} has unsaved edits. Close it and lose them?`))) {
    return;
  }
  const index = models.indexOf(current);
  close_model(current);
  say(`${plural(models.length, "model")} open.`);
  forget_preview("The open models changed: preview again to apply.");
  show_model(models[Math.min(index, models.length - 1)] ?? null);
}

// The previewed table no longer stands: Apply waits for a new preview.
function forget_preview(note) {
  if (previewed !== null) {
    previewed = null;
    element("apply-prefix").disabled = true;
    element("preview-note").textContent = note;
  }
}

let previews_shown = 0;
async function preview_prefix() {
  const preview = await preview_prefix_change(element("prefix-from").value, element("prefix-to").value);
  const table = element("preview");
  const row = (cells, tag) => make("tr", {}, cells.map((text) => make(tag, tag === "th" ? { textContent: text, scope: "col" } : { textContent: text })));
  element("preview-note").textContent = `${plural(preview.changes.length, "path")} would change`;
  table.replaceChildren(row(["Model", "Path now", "Path after"], "th"));
  // A few hundred rows a frame: a table of thousands never holds up the page.
  const shown = ++previews_shown;
  const add_rows = (from) => {
    if (shown === previews_shown && element("preview").isConnected) {
      table.append(...preview.changes.slice(from, from + 200).map((change) =>
        row([change.name, change.before.text, change.after.text], "td")));
      if (from + 200 < preview.changes.length) {
        after_frame(() => add_rows(from + 200));
      }
    }
  };
  add_rows(0);
  element("left-out").replaceChildren(...preview.left_out.map(({ name, reason }) =>
    make("li", { textContent: `Left out: ${name}: ${reason}` })));
  previewed = preview.changes.length > 0 ? preview : null;
  element("apply-prefix").disabled = previewed === null;
}

function apply_prefix() {
  if (previewed === null) {
    return;
  }
  const { made, passed } = apply_prefix_change(previewed);
  const note = passed > 0 ? ` ${plural(passed, "path")} had changed since the preview and ${passed === 1 ? "was" : "were"} left as ${passed === 1 ? "it is" : "they are"}.` : "";
  forget_preview(`${plural(made, "path")} changed.`);
  ++previews_shown;
  element("preview").replaceChildren();  // what it showed is done
  say(`${plural(made, "path")} changed; save to write them.${note}`);
  show_list();
  if (current) {
    after_change(current);
  }
}

// What a drop holds: file handles where the browser gives them; elsewhere the dropped
// entries (a folder is walked, keeping each model's path in it); plain files for any item
// that gives neither. Everything is taken from the items during the event.
async function dropped(event) {
  event.preventDefault();
  const items = [...event.dataTransfer.items].filter((item) => item.kind === "file");
  const taken = items.map((item) => ({
    handle: item.getAsFileSystemHandle ? item.getAsFileSystemHandle().catch(() => null) : null,
    entry: !item.getAsFileSystemHandle && item.webkitGetAsEntry ? item.webkitGetAsEntry() : null,
    file: item.getAsFile(),
  }));
  const sources = await Promise.all(taken.map(async ({ handle, entry, file }) => {
    const got = await handle;
    if (got?.kind === "directory") {
      return fm_files_in(got);
    }
    if (got?.kind === "file") {
      return [await handle_source(got)];
    }
    if (entry?.isDirectory) {
      return folder_files_sources(await entry_files(entry));
    }
    return file ? [file_source(file)] : [];
  }));
  await open_sources(sources.flat());
}

function wire() {
  element("open-files").addEventListener("change", guarded((event) => open_files([...event.target.files])));
  const pick_files = element("pick-files");
  const pick_folder = element("pick-folder");
  pick_files.hidden = !window.showOpenFilePicker;
  pick_folder.hidden = !window.showDirectoryPicker;
  // Without folder handles, a folder is opened as its files (each with its path in it).
  element("open-folder-label").hidden = Boolean(window.showDirectoryPicker) ||
    !("webkitdirectory" in HTMLInputElement.prototype);
  element("open-folder").addEventListener("change", guarded((event) => open_folder_input([...event.target.files])));
  element("filter").addEventListener("input", show_list);
  element("to-prefix").addEventListener("click", () => {
    element("prefix-title").scrollIntoView({ block: "start" });
    element("prefix-from").focus({ preventScroll: true });
  });
  pick_files.addEventListener("click", guarded(async () => {
    const handles = await window.showOpenFilePicker({ multiple: true }).catch(() => []);
    await open_handles(handles);
  }));
  pick_folder.addEventListener("click", guarded(async () => {
    const folder = await window.showDirectoryPicker({ mode: "readwrite" }).catch(() => null);
    if (folder) {
      await open_folder(folder);
    }
  }));
  document.body.addEventListener("dragover", (event) => event.preventDefault());
  document.body.addEventListener("drop", guarded(dropped));
  element("add-skin").addEventListener("click", () => {
    if (current) {
      remember(current);
      current.paths.push(typed_path(""));
      after_change(current);
      element("skins").querySelector("li:last-child input").focus();
    }
  });
  element("close-model").addEventListener("click", close_current);
  element("folder-report").addEventListener("click", guarded(async () => {
    download("fmskins-folder-report.csv", new Blob([await folder_report_bytes()], { type: "text/csv" }));
  }));
  const take_back = () => {
    if (current && undo(current)) {
      after_change(current);
      show_list();
    }
  };
  element("undo").addEventListener("click", take_back);
  element("revert").addEventListener("click", () => {
    if (current) {
      revert(current);
      after_change(current);
      show_list();
    }
  });
  element("save").addEventListener("click", guarded(save_edited));
  element("preview-prefix").addEventListener("click", guarded(preview_prefix));
  element("apply-prefix").addEventListener("click", apply_prefix);
  for (const id of ["prefix-from", "prefix-to"]) {
    element(id).addEventListener("input", () => forget_preview("From or To changed: preview again to apply."));
  }
  // Ctrl+S (Cmd+S) saves, as in an editor, instead of saving the page itself.
  window.addEventListener("keydown", (event) => {
    if ((event.ctrlKey || event.metaKey) && event.key.toLowerCase() === "s") {
      event.preventDefault();
      if (!saving) {
        guarded(save_edited)();
      }
    }
    // Ctrl+Z in a text field undoes its typing; elsewhere it takes back the last change.
    if ((event.ctrlKey || event.metaKey) && event.key.toLowerCase() === "z" &&
        !(event.target instanceof HTMLInputElement && event.target.type === "text")) {
      event.preventDefault();
      take_back();
    }
  });
  // Leaving with edits that exist nowhere else asks first.
  window.addEventListener("beforeunload", (event) => {
    if (models.some(edited)) {
      event.preventDefault();
      event.returnValue = "";
    }
  });
}

start_tool();
wire();

// For scripts and tests that drive the page: the same calls its controls make.
window.fmskins_page = { run_tool, open_handles, open_files, open_folder, open_folder_input, save_edited,
                        preview_prefix, apply_prefix, folder_report, models: () => models };
