// Retargeting a path prefix across the ticked models: a preview lists every change, and
// Apply makes exactly the changes previewed. Prefixes are matched and replaced as bytes, by
// the console's own plan, so the rest of each path keeps its stored bytes whatever they are.

import { ask } from "./core.js";
import { models, remember, shown_names, stored_path } from "./models.js";
import { from_hex, text_bytes } from "./outline.js";

// The changes replacing `from` by `to` would make, and the ticked models and paths it leaves
// out, each with the reason. Which paths change, and how, is the plan of the console's
// `fmskins-folder retarget`, compiled into the tool: the page only asks it.
export async function preview_prefix_change(from, to) {
  const preview = { from, to, changes: [], left_out: [] };
  const names = shown_names();
  const fields = [text_bytes(from), text_bytes(to)];
  const asked = [];
  for (const model of models.filter((each) => each.selected)) {
    if (!model.editable) {
      preview.left_out.push({ name: names.get(model), reason: model.refused?.left_out
        ?? (model.status === null ? "still being read" : model.status !== 0 ? "damaged" : "cannot be edited here") });
      continue;
    }
    if (model.paths.some((path) => path.bytes.includes(0))) {
      preview.left_out.push({ name: names.get(model), reason: "a skin path holds a NUL character" });
      continue;
    }
    fields.push(text_bytes(`M${asked.length}`));
    asked.push({ model, paths: [...model.paths] });
    for (const path of model.paths) {
      const field = new Uint8Array(path.bytes.length + 1);
      field[0] = 0x50;  // "P"
      field.set(path.bytes, 1);
      fields.push(field);
    }
  }
  if (from === "" || asked.length === 0) {
    return preview;
  }
  const request = new Uint8Array(fields.reduce((sum, field) => sum + field.length + 1, 0));
  fields.reduce((at, field) => {
    request.set(field, at);
    return at + field.length + 1;
  }, 0);
  for (const record of await ask("plan", { request })) {
    const { model, paths } = asked[record.model];
    if (record.type === "change") {
      preview.changes.push({ model, name: names.get(model), index: record.index, before: paths[record.index],
                             after: stored_path(from_hex(record.hex)) });
    } else if (record.type === "left_out") {
      preview.left_out.push({ name: names.get(model), reason: record.text });
    }
  }
  return preview;
}

// Makes the previewed changes whose path is still as previewed. Returns how many were made
// and how many were passed over because the path or the model changed meanwhile.
export function apply_prefix_change(preview) {
  let made = 0;
  const remembered = new Set();
  for (const { model, index, before, after } of preview.changes) {
    if (models.includes(model) && model.paths[index] === before) {
      if (!remembered.has(model)) {
        remember(model);  // one change for Undo, however many of its paths
        remembered.add(model);
      }
      model.paths[index] = after;
      made += 1;
    }
  }
  return { made, passed: preview.changes.length - made };
}
