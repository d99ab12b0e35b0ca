// The page's side of the tool's thread (worker.js): every run of the console tool happens
// there, so nothing the tool does can hold up the page. Each call is a message; its answer
// comes back by the call's number.

// Larger models are refused before they are read: the tool's thread holds the model, and
// the tool's copy of it, in the tab's memory.
export const model_size_limit = 1024 * 1024 * 1024;

// Two threads at most: each holds the models whose number falls to it, and runs the tool
// on them while the other does, on a computer with the cores for it.
const thread_count = Math.max(1, Math.min(2, (navigator.hardwareConcurrency ?? 1) - 1));
const threads = [];
let calls = 0;
const waiting = new Map();

// Each thread is made from the tool's source carried in the page itself, so the page stays
// one file that works from a disk.
function make_thread() {
  const source = document.getElementById("tool-source").textContent;
  const thread = new Worker(URL.createObjectURL(new Blob([source], { type: "text/javascript" })));
  thread.addEventListener("message", ({ data }) => {
    const call = waiting.get(data.call);
    waiting.delete(data.call);
    if ("error" in data) {
      call.reject(Object.assign(new Error(data.error), { name: data.name }));
    } else {
      call.resolve(data.value);
    }
  });
  // A thread that fails outside any call (it ran out of memory, say) fails the calls waiting.
  thread.addEventListener("error", (event) => {
    for (const [number, call] of waiting) {
      if (call.thread === thread) {
        call.reject(new Error(event.message || "the tool's thread stopped"));
        waiting.delete(number);
      }
    }
  });
  return thread;
}

export function start_tool() {
  while (threads.length < thread_count) {
    threads.push(make_thread());
  }
}

// Asks the tool's thread for `op` with `message`; resolves to its answer. A call about a
// model goes to the thread that holds it.
export function ask(op, message = {}) {
  start_tool();
  const call = ++calls;
  const thread = threads[(message.model ?? call) % threads.length];
  return new Promise((resolve, reject) => {
    waiting.set(call, { resolve, reject, thread });
    thread.postMessage({ call, op, ...message });
  });
}

// Runs `fmskins` with `args` (strings or byte arrays) in a folder holding `files` (name to
// bytes). Resolves to the exit status as a shell shows it (0..255), the report's bytes, the
// model's outline (one object a line: chunks, stored paths and path warnings, with bytes in
// hex) and the bytes of each name in `wanted` that exists afterwards.
export function run_tool(args, files = {}, wanted = []) {
  return ask("run", { args, files, wanted });
}
