// The model as the tool describes it: its outline (chunks, stored paths, path warnings), read
// from the fixed form the tool writes beside its report, and the bytes of stored texts shown
// readably. Nothing here reads the report's prose: a stored path can look like any report
// line and still be only a path.

export const chunk_header_size = 40;
export const path_byte_limit = 63;

const encoder = new TextEncoder();

export function text_bytes(text) {
  return encoder.encode(text);
}

export function from_hex(hex) {
  const bytes = new Uint8Array(hex.length / 2);
  for (let index = 0; index < bytes.length; ++index) {
    bytes[index] = parseInt(hex.substr(2 * index, 2), 16);
  }
  return bytes;
}

export function same_bytes(first, second) {
  if (first.length !== second.length) {
    return false;
  }
  for (let index = 0; index < first.length; ++index) {
    if (first[index] !== second[index]) {
      return false;
    }
  }
  return true;
}

// The length of the well-formed UTF-8 sequence at `at`, or 0 where none starts there.
function utf8_length(bytes, at) {
  const lead = bytes[at];
  if (lead < 0x80) {
    return 1;
  }
  const [length, low, high] =
    lead >= 0xc2 && lead <= 0xdf ? [2, 0x80, 0xbf]
    : lead >= 0xe0 && lead <= 0xef ? [3, lead === 0xe0 ? 0xa0 : 0x80, lead === 0xed ? 0x9f : 0xbf]
    : lead >= 0xf0 && lead <= 0xf4 ? [4, lead === 0xf0 ? 0x90 : 0x80, lead === 0xf4 ? 0x8f : 0xbf]
    : [0, 0, 0];
  if (length === 0 || at + length > bytes.length) {
    return 0;
  }
  for (let next = 1; next < length; ++next) {
    const byte = bytes[at + next];
    if (byte < (next === 1 ? low : 0x80) || byte > (next === 1 ? high : 0xbf)) {
      return 0;
    }
  }
  return length;
}

// Stored bytes as text to show: well-formed UTF-8 as its characters, and every other byte,
// and every control character, as \xHH. `odd` tells whether any byte was shown so: such a
// text, typed back, would not give the stored bytes.
export function shown_bytes(bytes) {
  let text = "";
  let odd = false;
  const decoder = new TextDecoder();
  for (let at = 0; at < bytes.length;) {
    const length = utf8_length(bytes, at);
    const control = bytes[at] < 0x20 || bytes[at] === 0x7f || (bytes[at] === 0xc2 && bytes[at + 1] <= 0x9f);
    if (length === 0 || control) {
      text += `\\x${bytes[at].toString(16).toUpperCase().padStart(2, "0")}`;
      odd = true;
      at += 1;
    } else {
      text += decoder.decode(bytes.subarray(at, at + length));
      at += length;
    }
  }
  return { text, odd };
}

export function report_text(bytes) {
  return new TextDecoder("utf-8").decode(bytes);
}

// The FATAL line that ends a failed run's report, without its "FATAL: ", or null.
export function fatal_line(report_bytes) {
  const lines = report_text(report_bytes).split("\n");
  const last = lines.filter((line) => line !== "").pop() ?? "";
  return last.startsWith("FATAL: ") ? last.slice("FATAL: ".length) : null;
}

// A run's outline taken together: `chunks` (identifier as shown, version, size, offset,
// known), `skins` (null without a skin chunk; else whether a header's count came before it),
// `paths` (the first skin chunk's stored paths, as bytes) and `warnings` (per added path,
// the tool's warning texts).
export function read_outline(outline) {
  const read = { chunks: [], skins: null, paths: [], warnings: [] };
  for (const item of outline) {
    if ("chunk" in item) {
      read.chunks.push({
        identifier: shown_bytes(from_hex(item.identifier)).text,
        version: item.version,
        size: item.size,
        offset: item.chunk,
        known: item.known,
      });
    } else if ("skins" in item && read.skins === null) {
      read.skins = { count_found: item.skins, count: item.count };
    } else if ("path" in item) {
      read.paths.push(from_hex(item.path));
    } else if ("warning" in item) {
      (read.warnings[item.warning] ??= []).push(report_text(from_hex(item.text)));
    }
  }
  return read;
}
