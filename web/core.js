// Runs the console tool, compiled to WebAssembly, on models held in memory. A run ends as a
// process ends (a failure never returns), so every run gets a module instance of its own,
// with its own in-memory file system: the model goes in as a file, the report comes out as
// the exact bytes of standard output, and any output file is read back.

// Larger models are refused before they are read: the page holds the model, and the tool's
// copy of it, in the tab's memory.
export const model_size_limit = 1024 * 1024 * 1024;

// The tool's WebAssembly, compiled once for the page; every run instantiates it anew.
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
export async function run_tool(args, files = {}, wanted = []) {
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
  // The arguments, each ended by a NUL, program name first: fmskins_page_run reads them.
  const parts = ["fmskins", ...args].map(argument_bytes);
  const listed = new Uint8Array(parts.reduce((sum, part) => sum + part.length + 1, 0));
  parts.reduce((at, part) => {
    listed.set(part, at);
    return at + part.length + 1;
  }, 0);
  module.FS.writeFile("/arguments", listed);
  module.FS.mkdir("/work");
  module.FS.chdir("/work");
  for (const [name, bytes] of Object.entries(files)) {
    // Handed over, not copied: a run never changes its input, and the caller keeps the bytes.
    module.FS.writeFile(name, bytes, { canOwn: true });
  }
  try {
    module.ccall("fmskins_page_run", null, ["string"], ["/arguments"]);
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
