// Retargeting a path prefix across the ticked models: a preview lists every change, and
// Apply makes exactly the changes previewed. Prefixes are matched and replaced as bytes, so
// the rest of each path keeps its stored bytes whatever they are.

import { models, remember, shown_names, stored_path } from "./models.js";
import { path_byte_limit, same_bytes, text_bytes } from "./outline.js";

// The changes replacing `from` by `to` would make, and the ticked models and paths it leaves
// out, each with the reason.
export function preview_prefix_change(from, to) {
  const preview = { from, to, changes: [], left_out: [] };
  const from_bytes = text_bytes(from);
  const to_bytes = text_bytes(to);
  const names = shown_names();
  for (const model of models.filter((each) => each.selected)) {
    if (!model.editable) {
      preview.left_out.push({ name: names.get(model), reason: model.refused?.left_out
        ?? (model.status === null ? "still being read" : model.status !== 0 ? "damaged" : "cannot be edited here") });
      continue;
    }
    model.paths.forEach((path, index) => {
      if (from_bytes.length === 0 || !same_bytes(path.bytes.subarray(0, from_bytes.length), from_bytes)) {
        return;
      }
      const after = new Uint8Array(to_bytes.length + path.bytes.length - from_bytes.length);
      after.set(to_bytes);
      after.set(path.bytes.subarray(from_bytes.length), to_bytes.length);
      const change = { model, name: names.get(model), index, before: path, after: stored_path(after) };
      if (after.length > path_byte_limit) {
        preview.left_out.push({ name: names.get(model),
          reason: `${change.after.text} would be ${after.length} bytes, over ${path_byte_limit}` });
      } else {
        preview.changes.push(change);
      }
    });
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
