// A zip archive of whole files, stored as they are (no compression), with each entry's
// CRC-32 (reckoned by the tool's thread, which made the bytes): what every unzip tool
// reads. Names are UTF-8. Without the 64-bit extension an archive stays below 4 GiB; a
// larger one is refused before anything is made.

export const zip_size_limit = 0xffffffff;

// The fields of a header, each [bytes, value], little-endian.
function fields(list) {
  const out = new Uint8Array(list.reduce((sum, [size]) => sum + size, 0));
  const view = new DataView(out.buffer);
  let at = 0;
  for (const [size, value] of list) {
    if (size === 2) {
      view.setUint16(at, value, true);
    } else {
      view.setUint32(at, value, true);
    }
    at += size;
  }
  return out;
}

// The archive of `entries` ({ name, blob, size, crc }) as a Blob; null when it would pass
// 4 GiB. The entries' Blobs are parts of it, never read here.
export function zip_blob(entries, date = new Date()) {
  const time = (date.getHours() << 11) | (date.getMinutes() << 5) | (date.getSeconds() >> 1);
  const day = ((date.getFullYear() - 1980) << 9) | ((date.getMonth() + 1) << 5) | date.getDate();
  const utf8_names = 0x0800;
  const parts = [];
  const directory = [];
  let offset = 0;
  for (const { name, blob, size, crc } of entries) {
    const encoded = new TextEncoder().encode(name);
    const common = [[2, 20], [2, utf8_names], [2, 0], [2, time], [2, day], [4, crc],
                    [4, size], [4, size], [2, encoded.length], [2, 0]];
    parts.push(fields([[4, 0x04034b50], ...common]), encoded, blob);
    directory.push(fields([[4, 0x02014b50], [2, 20], ...common, [2, 0], [2, 0], [2, 0], [4, 0],
                           [4, offset]]), encoded);
    offset += 30 + encoded.length + size;
    if (offset > zip_size_limit) {
      return null;
    }
  }
  if (entries.length > 0xffff) {
    return null;
  }
  const directory_size = directory.reduce((sum, part) => sum + part.length, 0);
  if (offset + directory_size + 22 > zip_size_limit) {
    return null;
  }
  const end = fields([[4, 0x06054b50], [2, 0], [2, 0], [2, entries.length], [2, entries.length],
                      [4, directory_size], [4, offset], [2, 0]]);
  return new Blob([...parts, ...directory, end], { type: "application/zip" });
}
