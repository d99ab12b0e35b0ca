// Times the page in Debian's Chromium (headless): a 20 KB model listed once it is opened, a
// 256 MiB model likewise, a prefix change saved over a folder of 100 models of real size, in
// place through the origin-private file system, and a folder of 500 models opened; and the
// longest the page's own thread was held meanwhile. The models are made in the page.
//   node bench/page.mjs [PAGE]   (PAGE: build-web/fmskins.html; run from the source folder
//                                 after `npm ci` in web/)
import { createServer } from "node:http";
import { readFileSync } from "node:fs";
import { resolve } from "node:path";
import puppeteer from "../web/node_modules/puppeteer-core/lib/esm/puppeteer/puppeteer-core.js";

const page_file = resolve(process.argv[2] ?? "build-web/fmskins.html");
const server = createServer((request, response) => response.end(readFileSync(page_file)));
await new Promise((done) => server.listen(0, "127.0.0.1", done));
const browser = await puppeteer.launch({
  executablePath: "/usr/bin/chromium",
  headless: true,
  args: ["--no-sandbox", "--disable-gpu", "--disable-background-networking",
         "--disable-component-update", "--disable-sync", "--no-first-run"],
});
const page = await browser.newPage();
await page.goto(`http://127.0.0.1:${server.address().port}/fmskins.html`);

const figures = await page.evaluate(async () => {
  // A header, a skin chunk of three paths, and frames of `data` bytes.
  const model = (data) => {
    const bytes = new Uint8Array(40 + 40 + 40 + 192 + 40 + data);
    const view = new DataView(bytes.buffer);
    const chunk = (at, name, version, size) => {
      new TextEncoder().encodeInto(name, bytes.subarray(at, at + 32));
      view.setInt32(at + 32, version, true);
      view.setInt32(at + 36, size, true);
    };
    chunk(0, "header", 2, 40);
    view.setInt32(40 + 12, 3, true);
    chunk(80, "skin", 1, 192);
    ["models/monsters/ogre/skin_green.m8", "models/monsters/ogre/skin_grey.m8", "models/monsters/ogre/skin_pain.m8"]
      .forEach((path, index) => new TextEncoder().encodeInto(path, bytes.subarray(120 + 64 * index)));
    chunk(312, "frames", 1, data);
    return bytes;
  };
  const root = await navigator.storage.getDirectory();
  const store = async (folder, name, bytes) => {
    const handle = await folder.getFileHandle(name, { create: true });
    const writable = await handle.createWritable();
    await writable.write(bytes);
    await writable.close();
    return handle;
  };
  const timed = async (label, action) => {
    step = label;
    const start = performance.now();
    await action();
    figures[label] = Math.round(performance.now() - start);
  };
  const page_api = window.fmskins_page;
  const small = await store(root, "small.fm", model(20000 - 352));
  const large = await store(root, "large.fm", model(256 * 1024 * 1024 - 352));
  const folder = await root.getDirectoryHandle("mod", { create: true });
  const many = await root.getDirectoryHandle("many", { create: true });
  for (let index = 0; index < 600; ++index) {
    await store(index < 100 ? folder : many, `model${index}.fm`, model(200000));
  }
  const figures = {};
  // The page's own thread, from here on: the models above were made on it by this script.
  const longest = {};
  let step = "";
  new PerformanceObserver((list) => list.getEntries().forEach((task) => {
    longest[step] = Math.max(longest[step] ?? 0, Math.round(task.duration));
  })).observe({ type: "longtask" });
  await timed("20 KB model listed (ms)", () => page_api.open_handles([small]));
  await timed("256 MiB model listed (ms)", () => page_api.open_handles([large]));
  await timed("100 models of 200 KB opened (ms)", () => page_api.open_folder(folder));
  page_api.models().forEach((each) => {
    each.selected = each.name.startsWith("model");
  });
  document.getElementById("prefix-from").value = "models/monsters/ogre/";
  document.getElementById("prefix-to").value = "models/mymod/ogre/";
  let results = [];
  await timed("prefix over 100 models applied and saved in place (ms)", async () => {
    await page_api.preview_prefix();
    page_api.apply_prefix();
    results = await page_api.save_edited();
  });
  figures["models saved"] = results.filter((result) => result.saved).length;
  await timed("500 models of 200 KB opened (ms)", () => page_api.open_folder(many));
  await new Promise((done) => setTimeout(done, 100));
  figures["longest task on the page's thread (ms)"] = longest;
  return figures;
});
console.log(JSON.stringify(figures, null, 2));
await browser.close();
server.close();
