// What the tests share: unique port names, tools that are always ended, receivers that are stopped.
import { after } from "node:test";
import { start } from "../index.js";

let counter = 0;
const running = new Set();

/** A port name that no other test, and no parallel run of the suite, uses. */
export function unique(tag) {
  return `node.${process.pid}.${++counter}.${tag}`;
}

/** Starts a client on fresh names; it is killed after the file's tests if still running. */
export async function started(tags = ["p"], options) {
  const port = await start(tags.map(unique), options);
  running.add(port);
  port.on("close", () => running.delete(port));
  return port;
}

/** SIGSTOP: its port takes five requests and answers none until `resume`. */
export function stop(port) {
  process.kill(port.pid, "SIGSTOP");
  return () => process.kill(port.pid, "SIGCONT");
}

/** The next `count` messages of `port`, in order. */
export async function take(port, count) {
  const got = [];
  if (count === 0) return got;
  for await (const message of port.messages()) {
    got.push(message);
    if (got.length === count) break;
  }
  return got;
}

export const range = (n) => Array.from({ length: n }, (_, i) => i);

/** Rejections that reached Node unhandled; a test file asserts there were none. */
export const unhandled = [];
process.on("unhandledRejection", (reason) => unhandled.push(reason));

after(async () => {
  for (const port of running) {
    try {
      process.kill(port.pid, "SIGCONT");
    } catch {
      // Gone already.
    }
    port.kill();
  }
});
