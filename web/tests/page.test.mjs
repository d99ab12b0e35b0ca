// The page in real browsers (Debian's Chromium, headless, and Firefox ESR), opened from file:// as a user
// opens it: its reports and saved bytes are the console tool's, byte for byte; edits made
// through its controls save what the console tool gives for the same list, every stored
// path kept that was not touched; the page's guards hold; saving in place leaves the
// original whole until the new bytes are complete and never overwrites a file changed on
// disk; and it asks the network for nothing. The page from file:// is tested as a browser
// without file-system access sees it (downloads); the one served from this machine, with
// it. FMSKINS_PAGE names the built page, FMSKINS_NATIVE the console tool.

import assert from "node:assert/strict";
import { spawnSync } from "node:child_process";
import { createHash } from "node:crypto";
import { createServer } from "node:http";
import { existsSync, mkdirSync, mkdtempSync, readFileSync, readdirSync, rmSync, writeFileSync } from "node:fs";
import { tmpdir } from "node:os";
import { dirname, join, resolve } from "node:path";
import { after, before, test } from "node:test";
import { pathToFileURL } from "node:url";
import puppeteer from "puppeteer-core";

const page_file = resolve(process.env.FMSKINS_PAGE ?? "build-web/fmskins.html");
const native_tool = resolve(process.env.FMSKINS_NATIVE ?? "build/fmskins");
const native_folder_tool = resolve(process.env.FMSKINS_NATIVE_FOLDER ?? "build/fmskins-folder");
const sample = readFileSync(new URL("../../examples/sample.fm", import.meta.url));

// Models of the test's own making: chunks of a 32-byte identifier, version and size.
const le32 = (value) => {
  const bytes = Buffer.alloc(4);
  bytes.writeInt32LE(value);
  return bytes;
};
const fixed = (text, size) => Buffer.concat([Buffer.from(text, "latin1"), Buffer.alloc(size)]).subarray(0, size);
const chunk = (identifier, version, data) =>
  Buffer.concat([fixed(identifier, 32), le32(version), le32(data.length), data]);
const header = (count) => chunk("header", 2, Buffer.concat([le32(1), le32(2), le32(3), le32(count), Buffer.alloc(24)]));
const skin = (paths) => chunk("skin", 1, Buffer.concat(paths.map((path) => fixed(path, 64))));
const frames = chunk("frames", 1, Buffer.alloc(100, 7));

// The console tool on `model` as m.fm in a folder of its own: its report, status and output.
// Arguments given as bytes (a Buffer) reach the tool as those bytes, through the shell.
function run_native(model, args) {
  const folder = mkdtempSync(join(tmpdir(), "fmskins-page-"));
  writeFileSync(join(folder, "m.fm"), model);
  const quoted = (bytes) => `$'${[...bytes].map((byte) => `\\x${byte.toString(16).padStart(2, "0")}`).join("")}'`;
  const run = args.some(Buffer.isBuffer)
    ? spawnSync("bash", ["-c", `exec -a fmskins "${native_tool}" ${args.map((arg) => quoted(Buffer.from(arg))).join(" ")}`], { cwd: folder })
    : spawnSync(native_tool, args, { cwd: folder, argv0: "fmskins" });
  let out = null;
  try {
    out = readFileSync(join(folder, "out.fm"));
  } catch {}
  rmSync(folder, { recursive: true });
  return { status: run.status, report: run.stdout.toString("latin1"), out: out?.toString("latin1") ?? null };
}

let browser;
let page;
const requests = [];
const dialogs = [];
const scratch = mkdtempSync(join(tmpdir(), "fmskins-page-"));
const downloads = join(scratch, "downloads");
// The origin-private file system gives real file handles, but not to a page opened from
// file://: the tests that need it get the page from a static server on this machine.
const server = createServer((request, response) => {
  response.writeHead(200, { "content-type": "text/html" });
  response.end(readFileSync(page_file));
});

before(async () => {
  await new Promise((done) => server.listen(0, "127.0.0.1", done));
  browser = await puppeteer.launch({
    executablePath: "/usr/bin/chromium",
    headless: true,
    args: ["--no-sandbox", "--disable-gpu", "--disable-background-networking",
           "--disable-component-update", "--disable-sync", "--no-first-run"],
  });
  page = await browser.newPage();
  page.on("request", (request) => requests.push(request.url()));
  page.on("dialog", (dialog) => {
    dialogs.push(dialog.type());
    dialog.accept();
  });
  // As Firefox: no file-system access, so every save is a download.
  await page.evaluateOnNewDocument(() => {
    for (const name of ["showDirectoryPicker", "showOpenFilePicker"]) {
      Object.defineProperty(window, name, { value: undefined });
    }
  });
  const session = await browser.target().createCDPSession();
  await session.send("Browser.setDownloadBehavior", { behavior: "allow", downloadPath: downloads });
  await page.goto(pathToFileURL(page_file).href);
});

after(async () => {
  server.close();
  await browser?.close();
  rmSync(scratch, { recursive: true, force: true });
});

// The bytes of a download once it has arrived whole.
async function downloaded(name) {
  const path = join(downloads, name);
  for (let wait = 0; !existsSync(path) && wait < 300; ++wait) {
    await new Promise((done) => setTimeout(done, 100));
  }
  return readFileSync(path);
}

// Opens models ({ name: bytes }) in the page as files without a handle.
async function open_in_page(files) {
  await page.evaluate(async (files) => {
    await window.fmskins_page.open_files(Object.entries(files).map(([name, text]) =>
      new File([Uint8Array.from(text, (character) => character.charCodeAt(0))], name)));
  }, Object.fromEntries(Object.entries(files).map(([name, bytes]) => [name, bytes.toString("latin1")])));
}

async function run_in_page(model, args) {
  return page.evaluate(async (model_text, args) => {
    const bytes = Uint8Array.from(model_text, (character) => character.charCodeAt(0));
    const run = await window.fmskins_page.run_tool(args, { "m.fm": bytes }, ["out.fm"]);
    const text = (array) => (array === null ? null : String.fromCharCode(...array));
    return { status: run.status, report: text(run.report), out: text(run.files["out.fm"]) };
  }, model.toString("latin1"), args);
}

test("the page's report and output equal the console tool's", async () => {
  const rows = [
    [sample, ["/L", "m.fm"]],
    [sample, ["/O", "out.fm", "m.fm", "skins/a.m8", "skins/b.m8"]],
    [sample, ["/A", "/O", "out.fm", "m.fm", "skins/c.m8", "--help", "C:/x.m8"]],
    [header(0), ["/O", "out.fm", "m.fm", "x"]],  // no skin chunk
    [Buffer.concat([header(1), skin(["old"]), chunk("zork", 3, Buffer.alloc(8))]), ["/O", "out.fm", "m.fm", "new"]],
    [Buffer.concat([header(1), skin(["\x1b]0;title\x07old"]), frames]), ["/L", "m.fm"]],  // control bytes
    [Buffer.concat([header(1), chunk("skin", 1, Buffer.alloc(0))]), ["/L", "m.fm"]],  // size 0
    [Buffer.concat([header(1), skin(["a"])]).subarray(0, 100), ["/O", "out.fm", "m.fm", "b"]],  // cut short
    [Buffer.concat([header(2), skin(["a"])]), ["/A", "/O", "out.fm", "m.fm", "b"]],  // count mismatch
    [sample, ["/O", "out.fm", "m.fm", "x".repeat(64)]],  // path too long
  ];
  for (const [model, args] of rows) {
    assert.deepEqual(await run_in_page(model, args), run_native(model, args), args.join(" "));
  }
});

// Opens models through the page's file input, as a user picks them.
async function open_through_input(paths) {
  const input = await page.$("#open-files");
  await input.uploadFile(...paths);
  await page.waitForFunction((count) => window.fmskins_page.models().filter((model) => model.status !== null).length >= count,
                             {}, paths.length);
}

test("thirty models edited through the controls arrive in one zip with the console tool's bytes", async () => {
  const folder = join(scratch, "models");
  const names = ["ogre.fm", ...Array.from({ length: 29 }, (_, index) => `m${index}.fm`)];
  spawnSync("mkdir", ["-p", folder]);
  for (const name of names) {
    writeFileSync(join(folder, name), sample);
  }
  await page.reload();
  await open_through_input(names.map((name) => join(folder, name)));
  await page.click('#models button.model[title="ogre.fm"]');

  // On ogre.fm: change an entry, add one, remove one, move one up.
  const fields = await page.$$("#skins input");
  await fields[0].click({ clickCount: 3 });
  await fields[0].type("skins/changed.m8");
  await page.click("#add-skin");
  await page.keyboard.type("skins/added.m8");
  await page.click('button[aria-label="Remove: skin path 2"]');
  // Focus stays with the list: on the row that took the removed one's place.
  assert.equal(await page.evaluate(() => document.activeElement.getAttribute("aria-label")), "Remove: skin path 2");
  await page.click('button[aria-label="Up: skin path 3"]');

  // A prefix over all models, previewed, then applied.
  await page.type("#prefix-from", "models/monsters/ogre/");
  await page.type("#prefix-to", "models/mymod/ogre/");
  await page.click("#preview-prefix");
  await page.waitForFunction(() => document.querySelector("#preview-note").textContent.endsWith("would change"));
  const preview = await page.$eval("#preview-note", (note) => note.textContent);
  assert.equal(preview, "88 paths would change");
  await page.click("#apply-prefix");
  if (process.env.FMSKINS_SCREENSHOT) {  // the README's picture of the page
    await page.setViewport({ width: 1100, height: 900 });
    await page.evaluate(() => window.scrollTo(0, 0));
    await page.screenshot({ path: process.env.FMSKINS_SCREENSHOT });
  }
  await page.keyboard.down("Control");  // Ctrl+S saves
  await page.keyboard.press("s");
  await page.keyboard.up("Control");
  await page.waitForFunction(() => document.querySelector("#status").textContent.includes("download"));

  const retargeted = ["models/mymod/ogre/skin_green.m8", "models/mymod/ogre/skin_grey.m8", "models/mymod/ogre/skin_pain.m8"];
  const unzipped = join(scratch, "unzipped");
  await downloaded("fmskins-models.zip");
  const unzip = spawnSync("unzip", ["-q", join(downloads, "fmskins-models.zip"), "-d", unzipped]);
  assert.equal(unzip.status, 0, unzip.stderr.toString());
  assert.deepEqual(readdirSync(unzipped).sort(), [...names].sort());
  for (const name of names) {
    const list = name === "ogre.fm" ? ["skins/changed.m8", "skins/added.m8", "models/mymod/ogre/skin_pain.m8"] : retargeted;
    assert.equal(readFileSync(join(unzipped, name)).toString("latin1"), run_native(sample, ["/O", "out.fm", "m.fm", ...list]).out, name);
  }
  // Downloaded is not saved: every model keeps its edits and its mark.
  assert.equal(await page.$$eval("#models .mark", (marks) => marks.filter((mark) => mark.textContent === ", edited").length), 30);
  assert.match(await page.$eval("#save-results", (list) => list.textContent), /m28\.fm: downloaded in fmskins-models\.zip as m28\.fm/);
});

test("every stored path is shown and kept as bytes while another is edited", async () => {
  const rows = [  // stored paths (bytes as latin1), the one edited, its new text, a chunk after
    [["Current skin paths are:", "a version 1, length 5 bytes.", "    Adding #1 skin name 'x'...", "last"], 3, "new", frames],
    [["models\\xeno\\skin.pcx", "b"], 1, "c", frames],
    [["caf\xe9/skin.m8", "\x1b[31mred", "plain"], 2, "typed", frames],
    [["a", "b"], 0, "z", chunk("\xe9xtra", 1, Buffer.alloc(4))],  // an unknown 8-bit identifier
  ];
  for (const [index, [paths, edit, text, last]] of rows.entries()) {
    const model = Buffer.concat([header(paths.length), skin(paths), last]);
    const name = `row${index}.fm`;
    await page.reload();
    await open_in_page({ [name]: model });
    const fields = await page.$$("#skins input:not([readonly])");
    assert.equal(fields.length, paths.length, name);
    await fields[edit].click({ clickCount: 3 });
    await fields[edit].type(text);
    await page.click("#save");
    const list = paths.map((path, at) => Buffer.from(at === edit ? text : path, "latin1"));
    assert.equal((await downloaded(name)).toString("latin1"), run_native(model, ["/O", "out.fm", "m.fm", ...list]).out, name);
  }
});
test("the page's guards: the byte limit, an empty list, a drop without a handle, Apply as previewed, leaving with edits", async () => {
  await page.reload();
  assert.equal(await page.$eval("#save", (button) => button.disabled), true);  // no model open
  await page.evaluate((text) => {  // a drop whose item gives no file handle
    const data = new DataTransfer();
    data.items.add(new File([Uint8Array.from(text, (character) => character.charCodeAt(0))], "drop.fm"));
    document.body.dispatchEvent(new DragEvent("drop", { dataTransfer: data, bubbles: true, cancelable: true }));
  }, sample.toString("latin1"));
  await page.waitForFunction(() => window.fmskins_page.models().filter((model) => model.status !== null).length === 1);
  await open_in_page({ "cut.fm": sample.subarray(0, 100) });
  // Two files of one name, size and time (palette swaps, say) are two models: without a
  // handle nothing tells that they are one file.
  const twins = await page.evaluate(async () => {
    const bytes = Uint8Array.from("header".padEnd(32, "\0") + "\x02\0\0\0\x28\0\0\0", (c) => c.charCodeAt(0));
    const model = new Uint8Array([...bytes, ...new Uint8Array(40)]);
    await window.fmskins_page.open_files([0, 1].map(() => new File([model], "tris.fm", { lastModified: 1e12 })));
    return { names: [...document.querySelectorAll("#models button.model")].map((button) => button.title),
             status: document.getElementById("status").textContent };
  });
  assert.deepEqual(twins, { names: ["cut.fm", "drop.fm", "tris.fm (1)", "tris.fm (2)"], status: "4 models open." });
  // A damaged model's reason in plain words beside the tool's own.
  await page.click('#models button.model[title="cut.fm"]');
  assert.equal(await page.$eval("#not-editable", (reason) => reason.textContent),
               "The tool cannot read this model, so it cannot be edited here: a chunk says it is longer than " +
               "the rest of the file: the file was probably cut short, by an interrupted download or copy, or " +
               "damaged. The tool says: Invalid (too big) chunk size in model");
  assert.equal(await page.$eval("#save", (button) => button.disabled), false);
  // A phone: nothing wider than the window, and a model chosen brings its editor into view.
  await page.setViewport({ width: 390, height: 800 });
  assert.ok(await page.evaluate(() => document.documentElement.scrollWidth <= 390));
  await page.click('#models button.model[title="tris.fm (2)"]');
  const top = await page.$eval("#editor", (editor) => editor.getBoundingClientRect().top);
  assert.ok(top >= 0 && top < 200, `the editor at ${top} px`);
  await page.setViewport({ width: 1100, height: 900 });
  await page.click('#models button.model[title="drop.fm"]');

  await page.type("#prefix-from", "models/monsters/");
  await page.click("#preview-prefix");
  await page.waitForFunction(() => document.querySelector("#preview-note").textContent.endsWith("would change"));
  assert.equal(await page.$eval("#preview-note", (note) => note.textContent), "3 paths would change");
  assert.equal(await page.$eval("#left-out", (list) => list.textContent),
               "Left out: cut.fm: damagedLeft out: tris.fm (1): cannot be edited hereLeft out: tris.fm (2): cannot be edited here");
  await page.type("#prefix-to", "x/");
  assert.equal(await page.$eval("#apply-prefix", (button) => button.disabled), true);

  const field = await page.$("#skins input");
  await field.click({ clickCount: 3 });
  await field.type("é".repeat(40));  // 40 characters, 80 bytes
  assert.match(await page.$eval("#skins .warnings", (notes) => notes.textContent), /^80 bytes: a skin path holds at most 63 bytes/);
  // No accessibility fault in either colour scheme, with models, notes, a damaged model and
  // a preview on screen (axe-core).
  await page.evaluate(readFileSync(new URL("../node_modules/axe-core/axe.min.js", import.meta.url), "utf8"));
  for (const scheme of ["light", "dark"]) {
    await page.emulateMediaFeatures([{ name: "prefers-color-scheme", value: scheme }]);
    const faults = await page.evaluate(async () => (await window.axe.run(document)).violations.map((fault) => fault.id));
    assert.deepEqual(faults, [], scheme);
  }
  await page.emulateMediaFeatures([]);
  await page.click("#save");
  await page.waitForFunction(() => document.querySelector("#save-results").textContent !== "");
  assert.equal(await page.$eval("#save-results", (list) => list.textContent),
               "drop.fm: not saved: Skin path 1 is 80 bytes long; a skin path holds at most 63 bytes.");
  for (let left = 3; left > 0; --left) {
    await page.click('button[aria-label="Remove: skin path 1"]');
  }
  assert.equal(await page.$eval("#list-problem", (problem) => problem.textContent),
               "A model needs at least one skin path: add one before saving.");
  const shown = () => page.$$eval("#skins input", (fields) => fields.map((field) => field.value));
  await page.click("#undo");  // the last removal taken back
  assert.deepEqual(await shown(), ["models/monsters/ogre/skin_pain.m8"]);
  await page.click("#revert");  // the list as opened, itself undone by Ctrl+Z
  assert.deepEqual(await shown(), ["models/monsters/ogre/skin_green.m8", "models/monsters/ogre/skin_grey.m8",
                                   "models/monsters/ogre/skin_pain.m8"]);
  await page.focus("#undo");
  await page.keyboard.down("Control");
  await page.keyboard.press("z");
  await page.keyboard.up("Control");
  assert.deepEqual(await shown(), ["models/monsters/ogre/skin_pain.m8"]);
  dialogs.length = 0;
  await page.reload();
  assert.deepEqual(dialogs, ["beforeunload"]);
});

test("saving in place leaves the original whole until complete and never overwrites a file changed on disk", async () => {
  const served = await browser.newPage();
  await served.goto(`http://127.0.0.1:${server.address().port}/fmskins.html`);
  const seen = await served.evaluate(async (model_text) => {
    const bytes = Uint8Array.from(model_text, (character) => character.charCodeAt(0));
    const root = await navigator.storage.getDirectory();
    const store = async (name, content) => {
      const handle = await root.getFileHandle(name, { create: true });
      const writable = await handle.createWritable();
      await writable.write(content);
      await writable.close();
      return handle;
    };
    const handle = await store("ogre.fm", bytes);
    const troll = await store("troll.fm", bytes);
    // What the file holds at the moment its new bytes are handed over, before they replace it.
    const stream = FileSystemWritableFileStream.prototype;
    const close = stream.close;
    window.before_close = [];
    stream.close = async function () {
      window.before_close.push((await (await handle.getFile()).arrayBuffer()).byteLength);
      return close.call(this);
    };
    const page_api = window.fmskins_page;
    await page_api.open_handles([handle, troll]);
    await page_api.open_handles([await root.getFileHandle("ogre.fm")]);  // the same file again
    await page_api.open_files([new File([bytes], "plain.fm")]);
    // Another program writes troll.fm meanwhile; plain.fm, opened without a handle, goes
    // into the folder chosen when saving.
    const changed = bytes.slice();
    changed[200] ^= 1;
    await store("troll.fm", changed);
    window.showDirectoryPicker = async () => root.getDirectoryHandle("chosen", { create: true });
    document.getElementById("prefix-from").value = "models/monsters/ogre/skin_g";
    document.getElementById("prefix-to").value = "skins/";
    await page_api.preview_prefix();
    page_api.apply_prefix();
    return page_api.models().map((model) => model.name);
  }, sample.toString("latin1"));
  assert.deepEqual(seen, ["ogre.fm", "plain.fm", "troll.fm"]);  // in order of their paths
  await served.click("#models button.model");
  const field = await served.$("#skins input");
  await field.click({ clickCount: 3 });
  await field.type("skins/in_place.m8");
  await served.click("#save");
  await served.waitForFunction(() => document.querySelector("#save-results").childElementCount === 3);
  const result = await served.evaluate(async () => {
    const root = await navigator.storage.getDirectory();
    const text = async (file) => String.fromCharCode(...new Uint8Array(await file.arrayBuffer()));
    const chosen = await root.getDirectoryHandle("chosen");
    return {
      before_close: window.before_close[0],
      ogre: await text(await (await root.getFileHandle("ogre.fm")).getFile()),
      troll: (await (await root.getFileHandle("troll.fm")).getFile()).size,
      plain: await text(await (await chosen.getFileHandle("plain.fm")).getFile()),
      results: [...document.querySelectorAll("#save-results li")].map((item) => item.textContent),
      marks: [...document.querySelectorAll("#models .mark")].map((mark) => mark.textContent),
    };
  });
  assert.equal(result.before_close, sample.length);
  const pain = "models/monsters/ogre/skin_pain.m8";
  assert.equal(result.ogre, run_native(sample, ["/O", "out.fm", "m.fm", "skins/in_place.m8", "skins/rey.m8", pain]).out);
  assert.equal(result.plain, run_native(sample, ["/O", "out.fm", "m.fm", "skins/reen.m8", "skins/rey.m8", pain]).out);
  assert.equal(result.troll, sample.length);
  assert.deepEqual(result.results, [
    `ogre.fm: saved, ${result.ogre.length} bytes`,
    `plain.fm: saved into chosen/plain.fm, ${result.plain.length} bytes`,
    "troll.fm: not saved: changed on disk since it was opened: open it again to edit it",
  ]);
  assert.deepEqual(result.marks, [", edited"]);  // troll.fm keeps its edits
  await served.close();
});

test("a mod folder tells which skin paths it lacks", async () => {
  const served = await browser.newPage();
  await served.goto(`http://127.0.0.1:${server.address().port}/fmskins.html`);
  const model = Buffer.concat([header(4), skin(["MODELS/MyMod/Skin_A.m8", "models\\mymod\\skin_c.m8",
                                                "models/mymod/skin_b.m8", "=HYPERLINK(1)"]), frames]);
  // skin_b.m8 is missing; spare.M8 is a skin no path uses.
  const files = { "models/mymod/skin_a.m8": Buffer.from("a skin"), "models/mymod/skin_c.m8": Buffer.from("c"),
                  "models/mymod/spare.M8": Buffer.from("spare"), "models/mymod/ogre.fm": model };
  const seen = await served.evaluate(async (files) => {
    const root = await (await navigator.storage.getDirectory()).getDirectoryHandle("mymod", { create: true });
    const store = async (path, text) => {
      let folder = root;
      const parts = path.split("/");
      for (const part of parts.slice(0, -1)) {
        folder = await folder.getDirectoryHandle(part, { create: true });
      }
      const writable = await (await folder.getFileHandle(parts.at(-1), { create: true })).createWritable();
      await writable.write(Uint8Array.from(text, (character) => character.charCodeAt(0)));
      await writable.close();
    };
    for (const [path, text] of Object.entries(files)) {
      await store(path, text);
    }
    await window.fmskins_page.open_folder(root);
    return {
      notes: [...document.querySelectorAll("#skins .warnings")].map((notes) => notes.textContent),
      summary: document.getElementById("missing-summary").textContent,
      unused: document.getElementById("unused-summary").textContent,
      listed: [document.querySelector("#models .folder").textContent, document.querySelector("#models button.model").textContent],
      report: await window.fmskins_page.folder_report(),
    };
  }, Object.fromEntries(Object.entries(files).map(([path, bytes]) => [path, bytes.toString("latin1")])));
  assert.deepEqual(seen.notes, ["found in another case: models/mymod/skin_a.m8",
                                "found only with \\ read as /: models/mymod/skin_c.m8", "not found in this folder",
                                "not found in this folder"]);
  assert.equal(seen.summary, "2 of 4 skin paths not found in the opened folder");
  assert.equal(seen.unused, "Skin files no path uses: models/mymod/spare.M8");
  assert.deepEqual(seen.listed, ["models/mymod/", "ogre.fm, 2 not found"]);
  // The console's folder check gives the same bytes for the same folder.
  const folder = mkdtempSync(join(tmpdir(), "fmskins-folder-"));
  for (const [path, bytes] of Object.entries(files)) {
    mkdirSync(dirname(join(folder, "mymod", path)), { recursive: true });
    writeFileSync(join(folder, "mymod", path), bytes);
  }
  const console_check = spawnSync(native_folder_tool, ["check", "--csv", "mymod"], { cwd: folder });
  rmSync(folder, { recursive: true });
  assert.equal(console_check.status, 1);
  assert.equal(seen.report, console_check.stdout.toString());
  assert.equal(seen.report, '"model","skin path","found","file","warnings"\r\n' +
    '"models/mymod/ogre.fm","MODELS/MyMod/Skin_A.m8","other case","models/mymod/skin_a.m8",""\r\n' +
    '"models/mymod/ogre.fm","models\\mymod\\skin_c.m8","backslashes","models/mymod/skin_c.m8",' +
    '"contains a backslash; game paths use forward slashes"\r\n' +
    '"models/mymod/ogre.fm","models/mymod/skin_b.m8","no","",""\r\n' +
    // A spreadsheet shows this cell as the path it is, not a formula to run.
    '"models/mymod/ogre.fm","\'=HYPERLINK(1)","no","",""\r\n');
  await served.close();
});

test("a 256 MiB model never holds up the page while it is opened and a path typed", async () => {
  const size = 256 * 1024 * 1024;
  const start = Buffer.concat([header(1), skin(["models/big/skin.m8"]), fixed("frames", 32), le32(1), le32(0)]);
  start.writeInt32LE(size - start.length, start.length - 4);
  const native = run_native(Buffer.concat([start, Buffer.alloc(size - start.length)]), ["/L", "m.fm"]);
  const served = await browser.newPage();
  await served.goto(`http://127.0.0.1:${server.address().port}/fmskins.html`);
  await served.evaluate(async (start_text, size) => {
    const bytes = new Uint8Array(size);
    bytes.set(Uint8Array.from(start_text, (character) => character.charCodeAt(0)));
    const handle = await (await navigator.storage.getDirectory()).getFileHandle("big.fm", { create: true });
    const writable = await handle.createWritable();
    await writable.write(bytes);
    await writable.close();
    window.longest = 0;
    new PerformanceObserver((list) => list.getEntries().forEach((task) => {
      window.longest = Math.max(window.longest, task.duration);
    })).observe({ type: "longtask" });
    await window.fmskins_page.open_handles([handle]);
  }, start.toString("latin1"), size);
  await served.click("#skins input");
  await served.keyboard.press("End");
  await served.keyboard.type("\\mods\\a.m8");  // ten characters, and the tool's warning about them
  await served.waitForFunction(() => document.querySelector("#skins .warnings").textContent.includes("backslash"));
  assert.equal(await served.$eval("#report", (report) => report.textContent), native.report.replace("m.fm", "big.fm"));
  assert.ok(await served.evaluate(() => window.longest) < 100, `a task of ${await served.evaluate(() => window.longest)} ms`);
  // Saved in place, read whole only now: the console tool's bytes, and the report of the file as saved.
  const edited = run_native(Buffer.concat([start, Buffer.alloc(size - start.length)]),
                            ["/O", "out.fm", "m.fm", "models/big/skin.m8\\mods\\a.m8"]);
  const saved = await served.evaluate(async () => {
    const results = await window.fmskins_page.save_edited();
    const file = await (await (await navigator.storage.getDirectory()).getFileHandle("big.fm")).getFile();
    const digest = new Uint8Array(await crypto.subtle.digest("SHA-256", await file.arrayBuffer()));
    return { results: results.map((result) => result.text), digest: [...digest],
             report: document.getElementById("report").textContent };
  });
  assert.deepEqual(saved.results, [`saved, ${edited.out.length} bytes`]);
  assert.deepEqual(saved.digest, [...createHash("sha256").update(Buffer.from(edited.out, "latin1")).digest()]);
  assert.match(saved.report, /skin.m8\\mods\\a.m8\n/);
  await served.close();
});

test("a mod folder of 500 models and one of 65 MiB: keys typed while it is read arrive, no task reaches 100 ms, another program's skin change is never saved over", async () => {
  const served = await browser.newPage();
  await served.goto(`http://127.0.0.1:${server.address().port}/fmskins.html`);
  const big_size = 65 * 1024 * 1024;
  const big_start = Buffer.concat([header(2), skin(["big/one.m8", "big/two.m8"]), fixed("frames", 32), le32(1), le32(0)]);
  big_start.writeInt32LE(big_size - big_start.length, big_start.length - 4);
  const path_two = header(2).length + 40 + 64;  // where the second skin path is stored
  await served.evaluate(async (sample_text, big_text, big_size) => {
    const bytes_of = (text) => Uint8Array.from(text, (character) => character.charCodeAt(0));
    const root = await (await navigator.storage.getDirectory()).getDirectoryHandle("many", { create: true });
    const store = async (folder, name, bytes) => {
      const writable = await (await folder.getFileHandle(name, { create: true })).createWritable();
      await writable.write(bytes);
      await writable.close();
    };
    const sample = bytes_of(sample_text);
    for (let index = 0; index < 500; ++index) {
      await store(await root.getDirectoryHandle(`sub${index % 10}`, { create: true }), `m${index}.fm`, sample);
    }
    const big = new Uint8Array(big_size);
    big.set(bytes_of(big_text));
    await store(root, "big.fm", big);
    window.longest = 0;
    new PerformanceObserver((list) => list.getEntries().forEach((task) => {
      window.longest = Math.max(window.longest, task.duration);
    })).observe({ type: "longtask" });
    window.opening = window.fmskins_page.open_folder(root);
  }, sample.toString("latin1"), big_start.toString("latin1"), big_size);
  // The first model read can be edited while the rest are still read: no key is lost.
  await served.waitForSelector("#skins input:not([readonly])");
  await served.click("#skins input");
  await served.keyboard.press("End");
  const typed = "_typed_meanwhile";
  await served.keyboard.type(typed, { delay: 20 });
  const [field, path] = await served.evaluate(async () => {
    await window.opening;
    const current = window.fmskins_page.models().find((model) => model.paths[0]?.text.endsWith("_typed_meanwhile"));
    return [document.querySelector("#skins input").value, current?.paths[0].text];
  });
  assert.equal(field, `models/monsters/ogre/skin_green.m8${typed}`);
  assert.equal(path, field);
  // A prefix over all 501, previewed, applied and saved in place, the page answering all along.
  await served.type("#prefix-from", "models/monsters/ogre/");
  await served.type("#prefix-to", "models/mymod/ogre/");
  await served.click("#preview-prefix");
  await served.waitForFunction(() => document.querySelector("#preview-note").textContent.endsWith("would change"));
  await served.click("#apply-prefix");
  await served.click("#save");
  await served.waitForFunction(() => document.querySelector("#save-results").childElementCount === 500, { timeout: 120000 });
  assert.equal(await served.$eval("#status", (status) => status.textContent), "500 models saved.");
  const longest = await served.evaluate(() => window.longest);
  assert.ok(longest < 100, `a task of ${longest} ms`);
  // Another program changes the big model's second path, same size, its time put back; the
  // page's edit of the first path is refused and the other program's bytes stay.
  const after = await served.evaluate(async (at) => {
    const handle = await (await (await navigator.storage.getDirectory()).getDirectoryHandle("many")).getFileHandle("big.fm");
    const writable = await handle.createWritable({ keepExistingData: true });
    await writable.write({ type: "write", position: at, data: new TextEncoder().encode("big/TWO") });
    await writable.close();
    const big = window.fmskins_page.models().find((model) => model.name === "big.fm");
    big.last_modified = (await handle.getFile()).lastModified;
    return [...new Uint8Array(await (await handle.getFile()).slice(at, at + 10).arrayBuffer())];
  }, path_two);
  await served.click('#models button.model[title="big.fm"]');
  await served.click("#skins input");
  await served.keyboard.type("x");
  await served.click("#save");
  await served.waitForFunction(() => document.querySelector("#save-results").textContent.startsWith("big.fm"));
  assert.equal(await served.$eval("#save-results", (list) => list.textContent),
               "big.fm: not saved: changed on disk since it was opened: open it again to edit it");
  assert.equal(Buffer.from(after).toString("latin1"), "big/TWO.m8");
  await served.close();
});

// Firefox has no file-system access: every save is a download, one model as itself and
// several as one zip.
test("in Firefox ESR, edited models download with the console tool's bytes", async () => {
  const folder = mkdtempSync(join(tmpdir(), "fmskins-firefox-"));
  const firefox = await puppeteer.launch({
    browser: "firefox",
    executablePath: "/usr/bin/firefox-esr",
    headless: true,
    extraPrefsFirefox: {
      "browser.download.folderList": 2,
      "browser.download.dir": join(folder, "downloads"),
      "browser.download.useDownloadDir": true,
      "browser.download.always_ask_before_handling_new_types": false,
      "browser.helperApps.neverAsk.saveToDisk": "application/zip,application/octet-stream",
    },
  });
  try {
    const tab = await firefox.newPage();
    await tab.goto(pathToFileURL(page_file).href);
    for (const name of ["ogre.fm", "troll.fm"]) {
      writeFileSync(join(folder, name), sample);
    }
    const save_first_path_as = async (count, text, wanted) => {
      // Read, not only listed: the entry is drawn again once its model is read.
      await tab.waitForFunction((count) => window.fmskins_page.models().filter((model) => model.status !== null).length === count,
                                {}, count);
      await tab.click("#models .entry-line:last-child button.model");
      const field = await tab.$("#skins input");
      await field.evaluate((input) => input.select());
      await field.type(text);
      await tab.click("#save");
      for (let wait = 0; !existsSync(join(folder, "downloads", wanted)) && wait < 100; ++wait) {
        await new Promise((done) => setTimeout(done, 100));
      }
    };
    await (await tab.$("#open-files")).uploadFile(join(folder, "ogre.fm"));
    await save_first_path_as(1, "skins/ff.m8", "ogre.fm");
    await (await tab.$("#open-files")).uploadFile(join(folder, "troll.fm"));
    await save_first_path_as(2, "skins/ff2.m8", "fmskins-models.zip");
    const list = (first) => [first, "models/monsters/ogre/skin_grey.m8", "models/monsters/ogre/skin_pain.m8"];
    assert.equal(readFileSync(join(folder, "downloads", "ogre.fm")).toString("latin1"),
                 run_native(sample, ["/O", "out.fm", "m.fm", ...list("skins/ff.m8")]).out);
    const unzip = spawnSync("unzip", ["-q", join(folder, "downloads", "fmskins-models.zip"), "-d", join(folder, "zip")]);
    assert.equal(unzip.status, 0, readdirSync(join(folder, "downloads")).join(", "));
    // A download is not a save: the first model, still edited, goes into the zip again.
    assert.equal(readFileSync(join(folder, "zip", "ogre.fm")).toString("latin1"),
                 run_native(sample, ["/O", "out.fm", "m.fm", ...list("skins/ff.m8")]).out);
    assert.equal(readFileSync(join(folder, "zip", "troll.fm")).toString("latin1"),
                 run_native(sample, ["/O", "out.fm", "m.fm", ...list("skins/ff2.m8")]).out);

    // A mod folder opened as its files, as the folder input gives them (each with its path
    // from the folder's parent): two models of one name in two folders, the hint of the
    // skins the folder lacks, and a zip laid out as the folder is.
    const folder_tab = await firefox.newPage();
    await folder_tab.goto(pathToFileURL(page_file).href);
    const opened = await folder_tab.evaluate(async (text) => {
      const bytes = Uint8Array.from(text, (character) => character.charCodeAt(0));
      const files = [["mod/models/ogre.fm", bytes], ["mod/models/sub/ogre.fm", bytes],
                     ["mod/models/monsters/ogre/skin_green.m8", new Uint8Array(4)]].map(([path, content]) => {
        const file = new File([content], path.split("/").pop());
        Object.defineProperty(file, "webkitRelativePath", { value: path });
        return file;
      });
      await window.fmskins_page.open_folder_input(files);
      const seen = { names: [...document.querySelectorAll("#models button.model")].map((button) => button.title),
                     summary: document.getElementById("missing-summary").textContent };
      // Two plain files of one name, size and time are two models here too.
      await window.fmskins_page.open_files([0, 1].map(() => new File([bytes], "tris.fm", { lastModified: 1e12 })));
      seen.status = document.getElementById("status").textContent;
      return seen;
    }, sample.toString("latin1"));
    assert.deepEqual(opened, { names: ["models/ogre.fm", "models/sub/ogre.fm"],
                               summary: "4 of 6 skin paths not found in the opened folder", status: "4 models open." });
    for (const title of opened.names) {
      await folder_tab.click(`#models button.model[title="${title}"]`);
      const field = await folder_tab.$("#skins input");
      await field.evaluate((input) => input.select());
      await field.type(`skins/${title.length}.m8`);
    }
    await folder_tab.click("#save");
    const laid_out = join(folder, "downloads", "fmskins-models(1).zip");
    for (let wait = 0; !existsSync(laid_out) && wait < 100; ++wait) {
      await new Promise((done) => setTimeout(done, 100));
    }
    const unzip_folder = spawnSync("unzip", ["-q", laid_out, "-d", join(folder, "mod")]);
    assert.equal(unzip_folder.status, 0, readdirSync(join(folder, "downloads")).join(", "));
    for (const title of opened.names) {
      assert.equal(readFileSync(join(folder, "mod", title)).toString("latin1"),
                   run_native(sample, ["/O", "out.fm", "m.fm", ...list(`skins/${title.length}.m8`)]).out, title);
    }
  } finally {
    await firefox.close();
    rmSync(folder, { recursive: true, force: true });
  }
});

test("the page makes no network request", () => {
  // blob: addresses are the page's own: its worker and its downloads.
  assert.deepEqual(requests.filter((url) => !/^(file|blob):/.test(url)), []);
});
