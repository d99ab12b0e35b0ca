// The tool's own thread. Every run of the console tool, compiled to WebAssembly, happens
// here and never on the page's thread, so the page answers the user while a model of any
// size is read, listed, checked or made. This thread also holds each open model's bytes:
// the page names a model by its number and gets back only reports, outlines and the bytes
// made, so a large model is never copied between the two.
//
// A run ends as a process ends (a failure never returns), so every run gets a module
// instance of its own, with its own in-memory file system: the model goes in as a file,
// the report comes out as the exact bytes of standard output, and any output file is read
// back.

// Models up to this size are read whole when opened, so that a save in place can compare
// the file with them byte for byte. A larger one is read only as far as its listing looks
// (every chunk header, and the header and skin chunks, which an edit rewrites); those bytes
// are kept, and a save compares them with the file before anything is written, so that a
// change another program made to the skin list is never written over.
const whole_size = 64 * 1024 * 1024;
const chunk_header_size = 40;
// The chunks whose data the tool reads when it lists a model; of all others it reads only
// the header.
const read_chunks = new Set(["header", "skin"]);
const read_block = 1024 * 1024;
// The size of the pieces the tool's output is kept in, and of the reads of a model that a
// run reads from its file.
const piece_size = 4 * 1024 * 1024;

// The tool's WebAssembly, compiled once for this thread; every run instantiates it anew.
let compiled = null;
function compiled_tool() {
  if (compiled === null) {
    const text = atob(fmskins_wasm_base64);
    const bytes = new Uint8Array(text.length);
    for (let index = 0; index < text.length; ++index) {
      bytes[index] = text.charCodeAt(index);
    }
    compiled = WebAssembly.compile(bytes);
  }
  return compiled;
}

// An argument as the tool receives it: a string goes in as its UTF-8 bytes, a byte array
// as it is (a stored path whose bytes are not text).
function argument_bytes(argument) {
  const bytes = typeof argument === "string" ? new TextEncoder().encode(argument) : argument;
  if (bytes.includes(0)) {
    throw new Error("An argument cannot hold a NUL character.");
  }
  return bytes;
}

// Runs `fmskins` with `args` (strings or byte arrays) in a folder holding `files` (name to
// bytes). Returns the exit status as a shell shows it (0..255), the report's bytes, the
// model's outline (one object a line, as the tool gives it: chunks, stored paths and path
// warnings, with bytes in hex) and the bytes of each name in `wanted` that exists afterwards.
async function run_tool(args, files = {}, wanted = [], captured = [], devices = {}) {
  // The arguments, each ended by a NUL, program name first: fmskins_page_run reads them.
  const parts = ["fmskins", ...args].map(argument_bytes);
  const listed = new Uint8Array(parts.reduce((sum, part) => sum + part.length + 1, 0));
  parts.reduce((at, part) => {
    listed.set(part, at);
    return at + part.length + 1;
  }, 0);
  return run_entry("fmskins_page_run", listed, files, wanted, captured, devices);
}

// Runs the tool's way in `entry` on `input`, which it reads from the file /arguments, in a
// folder holding `files`; answers as run_tool does. Each name in `captured` is a device that
// keeps every byte written to it, in order, as pieces (in `files` too): the tool writes
// straight into it, so the output never sits in the in-memory file system and is never
// copied out of it whole.
async function run_entry(entry, input, files = {}, wanted = [], captured_names = [], devices = {}) {
  const report = [];
  const outline = [];
  let status = null;
  const into = (list) => (byte) => {
    if (byte !== null && byte !== undefined) {
      list.push(byte & 0xff);
    }
  };
  const tool = await compiled_tool();
  const module = await createFmskins({
    thisProgram: "fmskins",
    instantiateWasm: (imports, receive) => {
      WebAssembly.instantiate(tool, imports).then((instance) => receive(instance, tool));
      return {};
    },
    noInitialRun: true,
    preRun: [(instance) => instance.FS.init(() => null, into(report), into(outline))],
    onExit: (code) => {
      status = code;
    },
    print: () => {},
    printErr: () => {},
  });
  module.FS.writeFile("/arguments", input);
  module.FS.mkdir("/work");
  module.FS.chdir("/work");
  for (const [name, bytes] of Object.entries(files)) {
    // Handed over, not copied: a run never changes its input, and the caller keeps the bytes.
    module.FS.writeFile(name, bytes, { canOwn: true });
  }
  const captured = {};
  captured_names.forEach((name, index) => {
    const pieces = Object.assign([], { size: 0 });
    captured[name] = pieces;
    const device = module.FS.makedev(64, index);
    module.FS.registerDevice(device, {
      open: () => {},
      close: () => {},
      read: () => 0,
      // Written in order only: a write anywhere else fails the run rather than misplace bytes.
      write: (stream, buffer, offset, length, position) => {
        if (position !== pieces.size) {
          throw new module.FS.ErrnoError(70);  // ESPIPE
        }
        // Pieces of a few MiB, so that each can be let go as soon as it is written.
        for (let at = 0; at < length; at += piece_size) {
          pieces.push(new Uint8Array(buffer.buffer, buffer.byteOffset + offset + at, Math.min(piece_size, length - at)).slice());
        }
        pieces.size += length;
        return length;
      },
    });
    module.FS.mkdev(`/work/${name}`, 0o666, device);
  });
  // Each File in `devices` is a device the tool reads from as it goes, a few MiB at a time,
  // so that the model is never held whole outside the tool's own memory.
  Object.entries(devices).forEach(([name, file], index) => {
    const reader = new FileReaderSync();
    const device = module.FS.makedev(65, index);
    module.FS.registerDevice(device, {
      open: () => {},
      close: () => {},
      llseek: (stream, offset, whence) => offset + (whence === 1 ? stream.position : whence === 2 ? file.size : 0),
      read: (stream, buffer, offset, length, position) => {
        const end = Math.min(file.size, position + Math.min(length, piece_size));
        if (end <= position) {
          return 0;
        }
        let bytes;
        try {
          bytes = new Uint8Array(reader.readAsArrayBuffer(file.slice(position, end)));
        } catch {
          throw new module.FS.ErrnoError(29);  // EIO: the file changed or went meanwhile
        }
        buffer.set(bytes, offset);
        return bytes.length;
      },
    });
    module.FS.mkdev(`/work/${name}`, 0o444, device);
  });
  try {
    module.ccall(entry, null, ["string"], ["/arguments"]);
  } catch (thrown) {
    if (thrown && thrown.name === "ExitStatus") {
      status = thrown.status;
    } else {
      throw thrown;
    }
  }
  const written = {};
  for (const name of wanted) {
    try {
      written[name] = module.FS.readFile(name);
    } catch {
      written[name] = null;
    }
  }
  // A failed run's pieces are dropped with the module: nothing of it reaches the next run.
  for (const name of captured_names) {
    written[name] = status === 0 || status === null ? captured[name] : null;
  }
  const lines = new TextDecoder().decode(new Uint8Array(outline)).split("\n").filter((line) => line !== "");
  return {
    status: (status ?? 0) & 0xff,
    report: new Uint8Array(report),
    outline: lines.map((line) => JSON.parse(line)),
    files: written,
  };
}

// The identifier of the chunk header at `at`: its bytes up to the first NUL.
function identifier_at(bytes, at) {
  const field = bytes.subarray(at, at + 32);
  const end = field.indexOf(0);
  return String.fromCharCode(...field.subarray(0, end < 0 ? field.length : end));
}

// The model as far as a listing looks at it: every chunk header and the data of the chunks
// the tool reads, each as in `file`; every other byte is left zero, since the listing never
// reads it. Read in blocks, so that a model of many small chunks costs few reads. `kept`
// names the ranges read, [from, to), in order.
async function listed_bytes(file) {
  const bytes = new Uint8Array(file.size);
  const kept = [];
  let loaded = [0, 0];
  const load = async (from, to) => {
    kept.push([from, to]);
    if (from >= loaded[0] && to <= loaded[1]) {
      return;
    }
    const end = Math.min(file.size, Math.max(to, from + read_block));
    bytes.set(new Uint8Array(await file.slice(from, end).arrayBuffer()), from);
    loaded = [from, end];
  };
  for (let at = 0; at + chunk_header_size <= file.size;) {
    await load(at, at + chunk_header_size);
    const size = new DataView(bytes.buffer, at + 36, 4).getInt32(0, true);
    if (size <= 0 || size > file.size - at - chunk_header_size) {
      break;  // the tool stops here too, at this chunk's size
    }
    if (read_chunks.has(identifier_at(bytes, at))) {
      await load(at + chunk_header_size, at + chunk_header_size + size);
    }
    at += chunk_header_size + size;
  }
  return { bytes, kept: kept.map(([from, to]) => ({ at: from, bytes: bytes.slice(from, to) })) };
}

// Whether `file` (a File, or the bytes of one) still holds the `kept` parts as they were
// read, reading it in blocks.
async function holds_kept(file, kept) {
  if (file instanceof Uint8Array) {
    return kept.every(({ at, bytes }) => same_bytes(file.subarray(at, at + bytes.length), bytes));
  }
  let block = new Uint8Array();
  let block_at = 0;
  for (const { at, bytes } of kept) {
    if (at < block_at || at + bytes.length > block_at + block.length) {
      block_at = at;
      block = new Uint8Array(await file.slice(at, Math.min(file.size, at + Math.max(bytes.length, read_block))).arrayBuffer());
    }
    if (!same_bytes(block.subarray(at - block_at, at - block_at + bytes.length), bytes)) {
      return false;
    }
  }
  return true;
}

function same_bytes(first, second) {
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

const hex_of = (text) => [...text].map((character) => character.charCodeAt(0).toString(16).padStart(2, "0")).join("");

// The model's header chunk followed by its first skin chunk: enough for the tool to check a
// list of paths, whose warnings do not depend on the model's other chunks. Null where the
// model has no such pair.
function skeleton_of(bytes, outline) {
  const chunk = (name) => outline.find((item) => item.identifier === hex_of(name) && item.known);
  const header = chunk("header");
  const skin = chunk("skin");
  if (!header || !skin) {
    return null;
  }
  const part = (item) => bytes.subarray(item.chunk, item.chunk + chunk_header_size + item.size);
  const skeleton = new Uint8Array(part(header).length + part(skin).length);
  skeleton.set(part(header));
  skeleton.set(part(skin), part(header).length);
  return skeleton;
}

// The open models by number: { file, bytes, whole, kept, skeleton, made }. `bytes` is the
// whole model where `whole`, else the model as far as its listing looks, whose `kept` parts
// (see listed_bytes) are the bytes an edit rewrites; `made` is the last edit's output while
// it is not yet written, and only where a model that size is kept whole.
const models = new Map();

// The CRC-32 of `bytes`, as a zip entry carries it.
const crc_table = Array.from({ length: 256 }, (_, index) => {
  let value = index;
  for (let bit = 0; bit < 8; ++bit) {
    value = value & 1 ? 0xedb88320 ^ (value >>> 1) : value >>> 1;
  }
  return value >>> 0;
});

function crc32(pieces) {
  let crc = 0xffffffff;
  for (const bytes of pieces) {
    for (let index = 0; index < bytes.length; ++index) {
      crc = crc_table[(crc ^ bytes[index]) & 0xff] ^ (crc >>> 8);
    }
  }
  return (crc ^ 0xffffffff) >>> 0;
}

function joined(pieces) {
  const bytes = new Uint8Array(pieces.reduce((sum, piece) => sum + piece.length, 0));
  pieces.reduce((at, piece) => {
    bytes.set(piece, at);
    return at + piece.length;
  }, 0);
  return bytes;
}

// The whole of a model's file, read now; a read that fails keeps the browser's reason by
// its name (NotFoundError: the file is gone; NotReadableError: it changed since it was
// opened), so that the page can say which.
async function whole_file(file) {
  try {
    return new Uint8Array(await file.arrayBuffer());
  } catch (error) {
    throw Object.assign(new Error(error.message), { name: error.name });
  }
}

async function list(model, bytes) {
  const run = await run_tool(["/L", "m.fm"], { "m.fm": bytes });
  model.skeleton = run.status === 0 ? skeleton_of(bytes, run.outline) : null;
  return { status: run.status, report: run.report, outline: run.outline };
}

const calls = {
  run: ({ args, files, wanted }) => run_tool(args, files, wanted),

  // The folder check of the console's fmskins-folder on `request` (its fields, each ended
  // by a NUL): its CSV's bytes, and its records, one object each.
  async folder({ request }) {
    const run = await run_entry("fmskins_page_folder", request);
    return { csv: run.report, records: run.outline };
  },

  // The prefix plan of the console's fmskins-folder retarget on `request`: its records.
  async plan({ request }) {
    return (await run_entry("fmskins_page_retarget", request)).outline;
  },

  // Reads a model from its File and lists it.
  async open({ model: number, file }) {
    const whole = file.size <= whole_size;
    const { bytes, kept } = whole ? { bytes: await whole_file(file), kept: null } : await listed_bytes(file);
    const model = { file, bytes, whole, kept, skeleton: null, made: null };
    models.set(number, model);
    return list(model, bytes);
  },

  // The tool's warnings about `paths`, from a replace run over the model's skeleton into
  // nothing.
  async check({ model: number, paths }) {
    const model = models.get(number);
    if (!model?.skeleton) {
      return [];
    }
    return (await run_tool(["/O", "/dev/null", "m.fm", ...paths], { "m.fm": model.skeleton })).outline;
  },

  // The model with its list replaced by `paths`: the console tool's bytes, as pieces in
  // order, handed over (with their CRC-32 when asked), or `changed` where the file no
  // longer holds what the page edits. A model not kept whole is read by the tool straight
  // from its file, and checked first; nothing of it is kept after the run.
  async edit({ model: number, paths, crc }) {
    const model = models.get(number);
    if (!model.whole && (model.file.size !== model.bytes.length || !await holds_kept(model.file, model.kept))) {
      return { changed: true, pieces: null };
    }
    const args = ["/O", "out.fm", "m.fm", ...paths];
    const run = model.whole ? await run_tool(args, { "m.fm": model.bytes }, [], ["out.fm"])
      : await run_tool(args, {}, [], ["out.fm"], { "m.fm": model.file });
    const made = run.files["out.fm"];
    if (run.status !== 0 || made === null) {
      return { status: run.status, report: run.report, pieces: null };
    }
    const size = made.size;
    // Kept for `commit` only where the model is kept whole: the pieces themselves go.
    model.made = size <= whole_size ? joined(made) : null;
    return { status: 0, report: run.report, pieces: [...made], size, crc: crc ? crc32(made) : null };
  },

  // The bytes last made are now the model's, since they were written as `file`: lists
  // them. A model too large to be kept whole is listed from the file written.
  async commit({ model: number, file }) {
    const model = models.get(number);
    if (model.made !== null) {
      Object.assign(model, { bytes: model.made, whole: true, kept: null, file: null, made: null });
    } else {
      Object.assign(model, { ...await listed_bytes(file), whole: false, file });
    }
    return list(model, model.bytes);
  },

  // Whether `file` holds what the page edits of the model: all its bytes where it is kept
  // whole, else its kept parts; and its size either way.
  async same({ model: number, file }) {
    const model = models.get(number);
    if (file.size !== model.bytes.length) {
      return false;
    }
    if (!model.whole) {
      return holds_kept(file, model.kept);
    }
    return same_bytes(await whole_file(file), model.bytes);
  },

  close({ model: number }) {
    models.delete(number);
    return null;
  },
};

// Each call of the page is answered with its number: a value, or an error's text. Byte
// arrays in the answer are handed over, not copied.
self.onmessage = async ({ data }) => {
  try {
    const value = await calls[data.op](data);
    const moved = new Set();
    const collect = (item) => {
      if (item instanceof Uint8Array) {
        moved.add(item.buffer);
      } else if (item && typeof item === "object" && !(item instanceof Blob)) {
        Object.values(item).forEach(collect);
      }
    };
    collect(value);
    self.postMessage({ call: data.call, value }, [...moved]);
  } catch (error) {
    self.postMessage({ call: data.call, error: String(error?.message ?? error), name: error?.name ?? "Error" });
  }
};

compiled_tool();
