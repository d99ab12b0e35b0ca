// Which skins are missing: a mod folder opened whole keeps the names of all its files, so
// that each skin path of its models can be looked up there. A mod folder mirrors part of the
// game's data tree from some level, so a path is found where it is the end of some file's
// path in the folder, component for component, in any case. Not found is a hint, not an
// error: the game's own data may hold the file.

export function mod_folder(name, file_paths) {
  const ends = new Set();
  for (const path of file_paths) {
    const parts = path.toLowerCase().split("/");
    for (let from = 0; from < parts.length; ++from) {
      ends.add(parts.slice(from).join("/"));
    }
  }
  return { name, ends };
}

// Whether the skin path `text` names a file of `folder`; backslashes count as separators.
export function found_in(folder, text) {
  return folder.ends.has(text.toLowerCase().replaceAll("\\", "/").replace(/^\/+/, ""));
}

export function missing_count(model) {
  return model.mod_folder ? model.paths.filter((path) => !found_in(model.mod_folder, path.text)).length : 0;
}

// One CSV line of `cells`, each quoted, quotes doubled.
export function csv_line(cells) {
  return cells.map((cell) => `"${String(cell).replaceAll('"', '""')}"`).join(",") + "\r\n";
}
