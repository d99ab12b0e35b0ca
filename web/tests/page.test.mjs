// The page in a real browser (Debian's Chromium, headless), opened from file:// as a user
// opens it: its reports and saved bytes are the console tool's, byte for byte; edits made
// through its controls save what the console tool gives for the same list; saving in place
// leaves the original whole until the new bytes are complete; and it asks the network for
// nothing. FMSKINS_PAGE names the built page, FMSKINS_NATIVE the console tool.

import assert from "node:assert/strict";
import { spawnSync } from "node:child_process";
import { createServer } from "node:http";
import { mkdtempSync, readFileSync, readdirSync, rmSync, writeFileSync } from "node:fs";
import { tmpdir } from "node:os";
import { join, resolve } from "node:path";
import { after, before, test } from "node:test";
import { pathToFileURL } from "node:url";
import puppeteer from "puppeteer-core";

const page_file = resolve(process.env.FMSKINS_PAGE ?? "build-web/fmskins.html");
const native_tool = resolve(process.env.FMSKINS_NATIVE ?? "build/fmskins");
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
function run_native(model, args) {
  const folder = mkdtempSync(join(tmpdir(), "fmskins-page-"));
  writeFileSync(join(folder, "m.fm"), model);
  const run = spawnSync(native_tool, args, { cwd: folder, argv0: "fmskins" });
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

before(async () => {
  browser = await puppeteer.launch({
    executablePath: "/usr/bin/chromium",
    headless: true,
    args: ["--no-sandbox", "--disable-gpu", "--disable-background-networking",
           "--disable-component-update", "--disable-sync", "--no-first-run"],
  });
  page = await browser.newPage();
  page.on("request", (request) => requests.push(request.url()));
  await page.goto(pathToFileURL(page_file).href);
});

after(async () => {
  await browser?.close();
});

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
  await page.waitForFunction((count) => window.fmskins_page.models().length >= count, {}, paths.length);
}

test("edits through the controls save what the console tool gives for the same list", async () => {
  const folder = mkdtempSync(join(tmpdir(), "fmskins-page-"));
  const names = ["ogre.fm", "troll.fm", "imp.fm"];
  for (const name of names) {
    writeFileSync(join(folder, name), sample);
  }
  const downloads = join(folder, "downloads");
  const session = await browser.target().createCDPSession();
  await session.send("Browser.setDownloadBehavior", { behavior: "allow", downloadPath: downloads });
  await page.reload();
  await open_through_input(names.map((name) => join(folder, name)));

  // On the first model: change an entry, add one, remove one, move one up.
  const fields = await page.$$("#skins input");
  await fields[0].click({ clickCount: 3 });
  await fields[0].type("skins/changed.m8");
  await page.click("#add-skin");
  await page.keyboard.type("skins/added.m8");
  await page.click('button[aria-label="Remove: skin path 2"]');
  await page.click('button[aria-label="Up: skin path 3"]');

  // A prefix over all three models, previewed, then applied.
  await page.type("#prefix-from", "models/monsters/ogre/");
  await page.type("#prefix-to", "models/mymod/ogre/");
  await page.click("#preview-prefix");
  const preview = await page.$eval("#preview caption", (caption) => caption.textContent);
  assert.equal(preview, "7 paths would change");
  await page.click("#apply-prefix");
  if (process.env.FMSKINS_SCREENSHOT) {  // the README's picture of the page
    await page.setViewport({ width: 1100, height: 900 });
    await page.screenshot({ path: process.env.FMSKINS_SCREENSHOT, fullPage: true });
  }
  await page.click("#save");
  await page.waitForFunction(() => document.querySelector("#status").textContent.includes("imp.fm: saved"));

  const lists = {
    "ogre.fm": ["skins/changed.m8", "skins/added.m8", "models/mymod/ogre/skin_pain.m8"],
    "troll.fm": ["models/mymod/ogre/skin_green.m8", "models/mymod/ogre/skin_grey.m8", "models/mymod/ogre/skin_pain.m8"],
  };
  lists["imp.fm"] = lists["troll.fm"];
  for (let wait = 0; readdirSync(downloads).filter((name) => name.endsWith(".fm")).length < 3 && wait < 50; ++wait) {
    await new Promise((done) => setTimeout(done, 100));
  }
  for (const [name, list] of Object.entries(lists)) {
    const expected = run_native(sample, ["/O", "out.fm", "m.fm", ...list]).out;
    assert.equal(readFileSync(join(downloads, name)).toString("latin1"), expected, name);
  }
  rmSync(folder, { recursive: true });
});

// The origin-private file system gives real file handles, but not to a page opened from
// file://: this test serves the page from a static server on this machine.
test("saving in place leaves the original whole until the new bytes are complete", async () => {
  const server = createServer((request, response) => {
    response.writeHead(200, { "content-type": "text/html" });
    response.end(readFileSync(page_file));
  });
  await new Promise((done) => server.listen(0, "127.0.0.1", done));
  const served = await browser.newPage();
  await served.goto(`http://127.0.0.1:${server.address().port}/fmskins.html`);
  const seen = await served.evaluate(async (model_text) => {
    const root = await navigator.storage.getDirectory();
    const handle = await root.getFileHandle("ogre.fm", { create: true });
    const first = await handle.createWritable();
    await first.write(Uint8Array.from(model_text, (character) => character.charCodeAt(0)));
    await first.close();
    // What the file holds at the moment its new bytes are handed over, before they replace it.
    const stream = FileSystemWritableFileStream.prototype;
    const close = stream.close;
    window.before_close = [];
    stream.close = async function () {
      window.before_close.push((await (await handle.getFile()).arrayBuffer()).byteLength);
      return close.call(this);
    };
    await window.fmskins_page.open_handles([handle]);
    return (await handle.getFile()).size;
  }, sample.toString("latin1"));
  assert.equal(seen, sample.length);
  const field = await served.$("#skins input");
  await field.click({ clickCount: 3 });
  await field.type("skins/in_place.m8");
  await served.click("#save");
  await served.waitForFunction(() => document.querySelector("#status").textContent.includes("saved"));
  const result = await served.evaluate(async () => {
    const root = await navigator.storage.getDirectory();
    const file = await (await root.getFileHandle("ogre.fm")).getFile();
    return { before_close: window.before_close, after: String.fromCharCode(...new Uint8Array(await file.arrayBuffer())) };
  });
  assert.deepEqual(result.before_close, [sample.length]);
  const list = ["skins/in_place.m8", "models/monsters/ogre/skin_grey.m8", "models/monsters/ogre/skin_pain.m8"];
  assert.equal(result.after, run_native(sample, ["/O", "out.fm", "m.fm", ...list]).out);
  await served.close();
  server.close();
});

test("the page makes no network request", () => {
  assert.deepEqual(requests.filter((url) => !url.startsWith("file://")), []);
});
