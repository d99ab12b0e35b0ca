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
// the file with them byte for byte. A larger one is read only as far as its listing looks,
// and whole when an edit of it is made: reading it then fails if the file has changed.
const whole_size = 64 * 1024 * 1024;
const chunk_header_size = 40;
// The chunks whose data the tool reads when it lists a model; of all others it reads only
// the header.
const read_chunks = new Set(["header", "skin"]);
const read_block = 1024 * 1024;

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
async function run_tool(args, files = {}, wanted = []) {
  // The arguments, each ended by a NUL, program name first: fmskins_page_run reads them.
  const parts = ["fmskins", ...args].map(argument_bytes);
  const listed = new Uint8Array(parts.reduce((sum, part) => sum + part.length + 1, 0));
  parts.reduce((at, part) => {
    listed.set(part, at);
    return at + part.length + 1;
  }, 0);
  return run_entry("fmskins_page_run", listed, files, wanted);
}

// Runs the tool's way in `entry` on `input`, which it reads from the file /arguments, in a
// folder holding `files`; answers as run_tool does.
async function run_entry(entry, input, files = {}, wanted = []) {
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
// reads it. Read in blocks, so that a model of many small chunks costs few reads.
async function listed_bytes(file) {
  const bytes = new Uint8Array(file.size);
  let loaded = [0, 0];
  const load = async (from, to) => {
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
  return bytes;
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

// The open models by number: { file, bytes, whole, skeleton, made }, `made` being the
// bytes of the last edit, not yet written.
const models = new Map();

// The CRC-32 of `bytes`, as a zip entry carries it.
const crc_table = Array.from({ length: 256 }, (_, index) => {
  let value = index;
  for (let bit = 0; bit < 8; ++bit) {
    value = value & 1 ? 0xedb88320 ^ (value >>> 1) : value >>> 1;
  }
  return value >>> 0;
});

function crc32(bytes) {
  let crc = 0xffffffff;
  for (let index = 0; index < bytes.length; ++index) {
    crc = crc_table[(crc ^ bytes[index]) & 0xff] ^ (crc >>> 8);
  }
  return (crc ^ 0xffffffff) >>> 0;
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
    const bytes = whole ? new Uint8Array(await file.arrayBuffer()) : await listed_bytes(file);
    const model = { file, bytes, whole, skeleton: null, made: null };
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

  // The model with its list replaced by `paths`: the console tool's bytes, as a Blob (with
  // their CRC-32 when asked). Kept until `commit` makes them the model's.
  async edit({ model: number, paths, crc }) {
    const model = models.get(number);
    if (!model.whole) {
      model.bytes = new Uint8Array(await model.file.arrayBuffer());
      model.whole = true;
    }
    const run = await run_tool(["/O", "out.fm", "m.fm", ...paths], { "m.fm": model.bytes }, ["out.fm"]);
    const made = run.files["out.fm"];
    if (run.status !== 0 || made === null) {
      return { status: run.status, report: run.report, blob: null };
    }
    model.made = made;
    return { status: 0, report: run.report, blob: new Blob([made]), size: made.length, crc: crc ? crc32(made) : null };
  },

  // The bytes last made are now the model's, since they were written: lists them.
  commit({ model: number }) {
    const model = models.get(number);
    Object.assign(model, { bytes: model.made, whole: true, file: null, made: null });
    return list(model, model.bytes);
  },

  // Whether `file` holds the model's bytes. A model too large to have been read whole is
  // taken as the same: the page has compared its size and time.
  async same({ model: number, file }) {
    const model = models.get(number);
    if (file.size !== model.bytes.length) {
      return false;
    }
    if (!model.whole || file.size > whole_size) {
      return true;
    }
    const bytes = new Uint8Array(await file.arrayBuffer());
    for (let index = 0; index < bytes.length; ++index) {
      if (bytes[index] !== model.bytes[index]) {
        return false;
      }
    }
    return true;
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
    self.postMessage({ call: data.call, error: String(error?.message ?? error) });
  }
};

compiled_tool();
