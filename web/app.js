// The page: open models, see their chunks, skins and the tool's report, edit the skin lists,
// retarget a path prefix across models, and save. Every listing, warning and saved byte
// comes from the console tool itself (core.js); this file only shows and asks.

import { model_size_limit, run_tool } from "./core.js";
import { read_path_warnings, read_report, report_text } from "./report.js";

// One open model: where it came from, its bytes as opened, what the tool reported, and the
// skin list as the user is editing it.
const models = [];
let current = null;

const element = (id) => document.getElementById(id);

function make(tag, properties = {}, children = []) {
  const made = Object.assign(document.createElement(tag), properties);
  for (const child of children) {
    made.append(child);
  }
  return made;
}

function say(text) {
  element("status").textContent = text;
}

function edited(model) {
  return model.skins.length !== model.listed.skins.length ||
         model.skins.some((path, index) => path !== model.listed.skins[index]);
}

// Opens one model from its bytes (or refuses it before reading, by size).
async function add_model(name, size, read_bytes, handle = null, folder = "") {
  if (size > model_size_limit) {
    models.push({ name, folder, handle, bytes: null, refused: `${name} is larger than 1 GiB and was not opened.` });
    return;
  }
  const bytes = new Uint8Array(await read_bytes());
  const run = await run_tool(["/L", "m.fm"], { "m.fm": bytes });
  const listed = read_report(run.report);
  models.push({
    name, folder, handle, bytes, listed, status: run.status,
    report: report_text(run.report).replace("Input Model File: m.fm", `Input Model File: ${name}`),
    skins: [...listed.skins], warnings: [], selected: true,
  });
}

async function open_files(files) {
  say(`Opening ${files.length} model${files.length === 1 ? "" : "s"}...`);
  for (const file of files) {
    await add_model(file.name, file.size, () => file.arrayBuffer());
  }
  finish_opening();
}

// File handles (from a picker, a folder, or a drop): saved back in place.
async function open_handles(handles, folder = "") {
  for (const handle of handles) {
    const file = await handle.getFile();
    await add_model(file.name, file.size, () => file.arrayBuffer(), handle, folder);
  }
  finish_opening();
}

async function fm_files_in(directory, path = "") {
  const found = [];
  for await (const entry of directory.values()) {
    if (entry.kind === "directory") {
      found.push(...await fm_files_in(entry, `${path}${entry.name}/`));
    } else if (entry.name.toLowerCase().endsWith(".fm")) {
      found.push({ handle: entry, folder: path });
    }
  }
  return found;
}

async function open_folder(directory) {
  for (const { handle, folder } of await fm_files_in(directory)) {
    await open_handles([handle], folder);
  }
  finish_opening();
}

function finish_opening() {
  say(`${models.length} model${models.length === 1 ? "" : "s"} open.`);
  show_list();
  if (current === null && models.length > 0) {
    show_model(models[0]);
  }
}

function show_list() {
  const list = element("models");
  list.replaceChildren();
  for (const model of models) {
    const choose = make("button", {
      type: "button",
      textContent: model.folder + model.name,
      className: "model" + (model === current ? " current" : ""),
    });
    choose.setAttribute("aria-current", model === current ? "true" : "false");
    const marks = [];
    if (model.refused || model.listed?.fatal) {
      marks.push(make("span", { className: "mark bad", textContent: "damaged" }));
    } else if (edited(model)) {
      marks.push(make("span", { className: "mark", textContent: "edited" }));
    }
    choose.append(...marks);
    choose.addEventListener("click", () => show_model(model));
    const pick = make("input", { type: "checkbox", checked: model.selected ?? false });
    pick.setAttribute("aria-label", `Include ${model.name} in prefix changes`);
    pick.addEventListener("change", () => {
      model.selected = pick.checked;
    });
    list.append(make("li", {}, [pick, choose]));
  }
}

// The chunks to scale of their bytes, each with its identifier and size.
function draw_chunks(model) {
  const bar = element("chunks");
  bar.replaceChildren();
  const total = model.listed.chunks.reduce((sum, chunk) => sum + 40 + Math.max(chunk.size, 0), 0);
  for (const chunk of model.listed.chunks) {
    const bytes = 40 + Math.max(chunk.size, 0);
    const part = make("div", {
      className: "chunk" + (chunk.unknown ? " unknown" : "") + (chunk.identifier === "skin" ? " skin" : ""),
      title: `${chunk.identifier}: version ${chunk.version}, ${chunk.size} bytes at offset ${chunk.offset}`,
    }, [make("span", { textContent: chunk.identifier || "(no name)" }),
        make("small", { textContent: `${chunk.size} B` })]);
    part.style.flexGrow = String(Math.max(bytes / Math.max(total, 1), 0.0001));
    bar.append(part);
  }
  if (model.listed.fatal) {
    bar.append(make("div", { className: "chunk damaged", textContent: "damaged" }));
  }
}

function show_model(model) {
  current = model;
  show_list();
  element("model-name").textContent = model.folder + model.name;
  element("editor").hidden = false;
  if (model.refused) {
    element("chunks").replaceChildren();
    element("report").textContent = model.refused;
    element("skins").replaceChildren();
    element("skin-tools").hidden = true;
    return;
  }
  draw_chunks(model);
  element("report").textContent = model.report;
  const editable = model.status === 0 && model.listed.exact && model.listed.chunks.some((chunk) => chunk.identifier === "skin");
  element("skin-tools").hidden = !editable;
  element("not-editable").hidden = editable || model.status !== 0;
  show_skins(model, editable);
}

function show_skins(model, editable) {
  const list = element("skins");
  list.replaceChildren();
  model.skins.forEach((path, index) => {
    const field = make("input", { type: "text", value: path, maxLength: 63, readOnly: !editable });
    field.setAttribute("aria-label", `Skin path ${index + 1}`);
    field.addEventListener("input", () => {
      model.skins[index] = field.value;
      check_paths(model);
      show_list();
    });
    const buttons = editable ? [
      ["Up", index > 0, () => move(model, index, -1)],
      ["Down", index < model.skins.length - 1, () => move(model, index, 1)],
      ["Remove", true, () => { model.skins.splice(index, 1); after_change(model); }],
    ].map(([label, enabled, action]) => {
      const button = make("button", { type: "button", textContent: label, disabled: !enabled });
      button.setAttribute("aria-label", `${label}: skin path ${index + 1}`);
      button.addEventListener("click", action);
      return button;
    }) : [];
    const warnings = make("ul", { className: "warnings" },
      (model.warnings[index] ?? []).map((text) => make("li", { textContent: text })));
    list.append(make("li", {}, [make("div", { className: "entry" }, [field, ...buttons]), warnings]));
  });
}

function move(model, index, by) {
  const [path] = model.skins.splice(index, 1);
  model.skins.splice(index + by, 0, path);
  after_change(model);
}

function after_change(model) {
  show_model(model);
  check_paths(model);
}

// The tool's own warnings for the list as it stands, from a replace run into nothing.
let checking = null;
async function check_paths(model) {
  const asked = [...model.skins];
  checking = asked;
  if (asked.length === 0) {
    model.warnings = [];
    return;
  }
  const run = await run_tool(["/O", "/dev/null", "m.fm", ...asked], { "m.fm": model.bytes });
  if (checking !== asked) {
    return;  // typed on meanwhile
  }
  model.warnings = read_path_warnings(run.report);
  if (model === current) {
    element("skins").querySelectorAll(".warnings").forEach((list, index) => {
      list.replaceChildren(...(model.warnings[index] ?? []).map((text) => make("li", { textContent: text })));
    });
  }
}

// The model with its edited list, made by the tool in replace mode: the same bytes as the
// console tool gives for that list. Null, with the tool's FATAL text, when it refuses.
async function edited_bytes(model) {
  const run = await run_tool(["/O", "out.fm", "m.fm", ...model.skins], { "m.fm": model.bytes }, ["out.fm"]);
  if (run.status !== 0 || run.files["out.fm"] === null) {
    return { bytes: null, report: report_text(run.report) };
  }
  return { bytes: run.files["out.fm"], report: report_text(run.report) };
}

function download(name, bytes) {
  const link = make("a", { href: URL.createObjectURL(new Blob([bytes])), download: name });
  document.body.append(link);
  link.click();
  link.remove();
  setTimeout(() => URL.revokeObjectURL(link.href), 60000);
}

// Saves one model: complete bytes first, then in place through its handle (whose changes
// replace the original only when closed), or as a download.
async function save_model(model) {
  const made = await edited_bytes(model);
  if (made.bytes === null) {
    return `${model.name}: not saved. ${made.report.trim().split("\n").pop()}`;
  }
  if (model.handle && model.handle.createWritable) {
    const writable = await model.handle.createWritable();
    await writable.write(made.bytes);
    await writable.close();
  } else {
    download(model.name, made.bytes);
  }
  model.bytes = made.bytes;
  model.listed = { ...model.listed, skins: [...model.skins] };
  return `${model.name}: saved, ${made.bytes.length} bytes.`;
}

async function save_edited() {
  const results = [];
  for (const model of models.filter((each) => !each.refused && edited(each))) {
    results.push(await save_model(model));
  }
  say(results.length ? results.join(" ") : "Nothing to save: no model was changed.");
  show_list();
  if (current) {
    show_model(current);
  }
}

// Every change a prefix replacement would make, over the selected models.
function prefix_changes(from, to) {
  const changes = [];
  for (const model of models.filter((each) => each.selected && !each.refused && each.listed.exact)) {
    model.skins.forEach((path, index) => {
      if (from !== "" && path.startsWith(from)) {
        changes.push({ model, index, before: path, after: to + path.slice(from.length) });
      }
    });
  }
  return changes;
}

function preview_prefix() {
  const changes = prefix_changes(element("prefix-from").value, element("prefix-to").value);
  const table = element("preview");
  table.replaceChildren(make("caption", { textContent: `${changes.length} path${changes.length === 1 ? "" : "s"} would change` }));
  for (const change of changes) {
    table.append(make("tr", {}, [
      make("td", { textContent: change.model.folder + change.model.name }),
      make("td", { textContent: change.before }),
      make("td", { textContent: change.after }),
    ]));
  }
  element("apply-prefix").disabled = changes.length === 0;
}

function apply_prefix() {
  const changes = prefix_changes(element("prefix-from").value, element("prefix-to").value);
  for (const change of changes) {
    change.model.skins[change.index] = change.after;
  }
  say(`${changes.length} path${changes.length === 1 ? "" : "s"} changed; save to write them.`);
  show_list();
  if (current) {
    show_model(current);
    check_paths(current);
  }
  preview_prefix();
}

function wire() {
  element("open-files").addEventListener("change", (event) => open_files([...event.target.files]));
  const pick_files = element("pick-files");
  const pick_folder = element("pick-folder");
  pick_files.hidden = !window.showOpenFilePicker;
  pick_folder.hidden = !window.showDirectoryPicker;
  pick_files.addEventListener("click", async () => {
    const handles = await window.showOpenFilePicker({ multiple: true }).catch(() => []);
    await open_handles(handles);
  });
  pick_folder.addEventListener("click", async () => {
    const folder = await window.showDirectoryPicker({ mode: "readwrite" }).catch(() => null);
    if (folder) {
      await open_folder(folder);
    }
  });
  const zone = document.body;
  zone.addEventListener("dragover", (event) => event.preventDefault());
  zone.addEventListener("drop", async (event) => {
    event.preventDefault();
    const items = [...event.dataTransfer.items];
    const handles = items.every((item) => item.getAsFileSystemHandle)
      ? await Promise.all(items.map((item) => item.getAsFileSystemHandle()))
      : null;
    if (handles) {
      for (const handle of handles) {
        await (handle.kind === "directory" ? open_folder(handle) : open_handles([handle]));
      }
    } else {
      await open_files([...event.dataTransfer.files]);
    }
  });
  element("add-skin").addEventListener("click", () => {
    if (current) {
      current.skins.push("");
      after_change(current);
      element("skins").querySelector("li:last-child input").focus();
    }
  });
  element("save").addEventListener("click", save_edited);
  element("preview-prefix").addEventListener("click", preview_prefix);
  element("apply-prefix").addEventListener("click", apply_prefix);
}

wire();

// For scripts and tests that drive the page: the same calls its controls make.
window.fmskins_page = { run_tool, open_handles, open_files, open_folder, save_edited, preview_prefix,
                        apply_prefix, models: () => models };
