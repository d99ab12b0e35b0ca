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

// Runs `fmskins` with `args` in a folder holding `files` (name to bytes). Returns the exit
// status as a shell shows it (0..255), the report's bytes, and the bytes of each name in
// `wanted` that exists afterwards.
export async function run_tool(args, files = {}, wanted = []) {
  const report = [];
  let status = null;
  const take = (byte) => {
    if (byte !== null && byte !== undefined) {
      report.push(byte & 0xff);
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
    preRun: [(instance) => instance.FS.init(() => null, take, take)],
    onExit: (code) => {
      status = code;
    },
    print: () => {},
    printErr: () => {},
  });
  module.FS.mkdir("/work");
  module.FS.chdir("/work");
  for (const [name, bytes] of Object.entries(files)) {
    // Handed over, not copied: a run never changes its input, and the caller keeps the bytes.
    module.FS.writeFile(name, bytes, { canOwn: true });
  }
  try {
    const returned = module.callMain(args);
    if (status === null && typeof returned === "number") {
      status = returned;
    }
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
  return { status: (status ?? 0) & 0xff, report: new Uint8Array(report), files: written };
}
