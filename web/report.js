// Reads the tool's own report: the chunks with their sizes, the skin paths, the warnings
// and the FATAL line. The page draws and edits from these lines alone, so that it holds no
// second copy of the model format or of the tool's rules.

const chunk_header_size = 40;
const chunk_line = /^(.{32,}?) version (-?\d+), length (-?\d+) bytes\.$/;
const skin_line = /^    (.*)$/;

export function report_text(bytes) {
  return new TextDecoder("utf-8").decode(bytes);
}

// True when every byte of `bytes` is well-formed UTF-8: only then does the text shown give
// back the bytes stored.
export function is_utf8(bytes) {
  try {
    new TextDecoder("utf-8", { fatal: true }).decode(bytes);
    return true;
  } catch {
    return false;
  }
}

// The report of a list run, taken apart: `chunks` (identifier, version, size, offset, and
// whether the identifier is unknown), `skins` (as shown), `size` (the model's bytes, where
// it was read), `fatal` (the FATAL message, or null) and `exact` (whether every skin path
// shown is the bytes stored: no escaped control byte, nothing but UTF-8).
export function read_report(bytes) {
  const lines = report_text(bytes).split("\n");
  const parsed = { chunks: [], skins: [], size: null, fatal: null, exact: true };
  let offset = 0;
  let in_skins = false;
  for (const line of lines) {
    const match = chunk_line.exec(line);
    if (/^\d+ bytes$/.test(line) && parsed.size === null) {
      parsed.size = Number(line.split(" ")[0]);
    } else if (match) {
      in_skins = false;
      const size = Number(match[3]);
      parsed.chunks.push({
        identifier: match[1].trimEnd(),
        version: Number(match[2]),
        size,
        offset,
        unknown: false,
      });
      offset += chunk_header_size + Math.max(size, 0);
    } else if (line.startsWith("WARNING: Unrecognized chunk identifier: ")) {
      parsed.chunks[parsed.chunks.length - 1].unknown = true;
    } else if (line.startsWith("FATAL: ")) {
      parsed.fatal = line.slice("FATAL: ".length);
    } else if (line === "    Current skin paths are:" || line === "    Deleting current skin paths:") {
      in_skins = parsed.skins.length === 0;
    } else if (in_skins && skin_line.test(line)) {
      parsed.skins.push(skin_line.exec(line)[1]);
    } else {
      in_skins = false;
    }
  }
  parsed.exact = is_utf8(bytes) && !parsed.skins.some((path) => path.includes("\\x"));
  return parsed;
}

// The warnings the tool gives each new path, from the report of a replace run: the lines
// after its "Adding #N" line, by entry.
export function read_path_warnings(bytes) {
  const warnings = [];
  let entry = -1;
  for (const line of report_text(bytes).split("\n")) {
    const adding = /^    Adding #(\d+) skin name '/.exec(line);
    if (adding) {
      entry = Number(adding[1]) - 1;
      warnings[entry] = [];
    } else if (entry >= 0 && line.startsWith("WARNING: Skin path ")) {
      warnings[entry].push(line.slice("WARNING: ".length));
    } else {
      entry = -1;
    }
  }
  return warnings;
}
