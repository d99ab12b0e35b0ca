// Puts the page together as one self-contained file: the HTML, the style, the page's modules
// joined in order of use, and the source of the tool's thread (the tool compiled to
// WebAssembly: its script, the WebAssembly itself as base64 text, and worker.js), carried
// as inert text from which the page makes its worker. The Content-Security-Policy allows
// exactly that inline script and that style, by their hashes, a worker made by the page
// itself, and no connection of any kind.
//   node web/build.mjs TOOL_SCRIPT OUTPUT_HTML

import { createHash } from "node:crypto";
import { readFileSync, writeFileSync } from "node:fs";
import { dirname, join } from "node:path";
import { fileURLToPath } from "node:url";

const [tool_script, output] = process.argv.slice(2);
const here = dirname(fileURLToPath(import.meta.url));
const read = (name) => readFileSync(join(here, name), "utf8");

// The modules in order of use, each without its imports and export keywords: one module
// whose names are shared, as the separate files share them by import.
const modules = ["core.js", "outline.js", "zip.js", "folder.js", "models.js", "save.js", "prefix.js",
                 "app.js"]
  .map((name) => read(name)
    .replace(/^import [^;]* from "\.\/[^"]*";\n/gm, "")
    .replace(/^export /gm, ""))
  .join("\n");

const inline = (text) => text.replace(/<\/(script|style)/gi, "<\\/$1");
const wasm = readFileSync(tool_script.replace(/\.js$/, ".wasm")).toString("base64");
const worker = read("worker.js").replace(/^export /gm, "");
const tool = inline(`${readFileSync(tool_script, "utf8")}\nvar fmskins_wasm_base64 = "${wasm}";\n${worker}`);
const app = inline(modules);
const style = inline(read("style.css"));
const hash = (text) => `'sha256-${createHash("sha256").update(text, "utf8").digest("base64")}'`;
const policy = [
  "default-src 'none'",
  `script-src ${hash(app)} 'wasm-unsafe-eval'`,
  "worker-src blob:",
  `style-src ${hash(style)}`,
  "img-src data: blob:",
  "connect-src 'none'",
  "base-uri 'none'",
  "form-action 'none'",
].join("; ");

const page = read("fmskins.html")
  .replace("@CSP@", () => policy)
  .replace("@STYLE@", () => style)
  .replace("@TOOL@", () => tool)
  .replace("@APP@", () => app);
writeFileSync(output, page);
