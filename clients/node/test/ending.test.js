import { test } from "node:test";
import assert from "node:assert/strict";
import { once } from "node:events";
import { ClosedError } from "../index.js";
import { range, started, stop, unhandled } from "./helpers.js";

/** Settles of `promises` so far, counted as they happen. */
function watch(promises) {
  const seen = { resolved: 0, rejected: [] };
  for (const p of promises) p.then(() => seen.resolved++, (error) => seen.rejected.push(error));
  return seen;
}

const nextTurn = () => new Promise((resolve) => setImmediate(resolve));

test("the tool killed with 50 requests pending: each rejects when it is gone, never at its own wait", async () => {
  const [sender, receiver] = await Promise.all([started(["sender"]), started(["receiver"])]);
  const resume = stop(receiver);
  // Waits of a minute each: only the tool's end can settle them within the test.
  const pending = range(50).map(() => sender.send(receiver.ports[0], "x", { timeout: 30 }));
  const iterating = sender.messages().next();
  const seen = watch(pending);
  // Twice the fire-and-forget a careless caller writes: neither may end the program.
  sender.send(receiver.ports[0], "never awaited", { timeout: 30 });
  process.kill(sender.pid, "SIGKILL");
  assert.deepEqual(await once(sender, "close"), [{ code: null, signal: "SIGKILL" }]);
  await nextTurn();
  assert.equal(seen.rejected.length, 50);
  for (const error of seen.rejected) {
    assert.ok(error instanceof ClosedError);
    assert.equal(error.signal, "SIGKILL");
  }
  // An iterator learns of an end nobody asked for.
  await assert.rejects(iterating, { name: "ClosedError", signal: "SIGKILL" });
  // Every later call, and a write to the tool that has ended, rejects at once.
  await assert.rejects(sender.send(receiver.ports[0], "after"), { name: "ClosedError", signal: "SIGKILL" });
  await assert.rejects(sender.lookup("x"), ClosedError);
  assert.deepEqual(await sender.close(), { code: null, signal: "SIGKILL" });
  resume();
  await receiver.close();
  assert.deepEqual(unhandled, []);
});

test("a write while the tool is ending, before its end is seen, never throws and rejects", async () => {
  const port = await started();
  process.kill(port.pid, "SIGKILL");
  // The pipe breaks under these writes (EPIPE); the requests learn of it from the end.
  const late = range(20).map(() => port.send(port.ports[0], Buffer.alloc(1 << 16)));
  const seen = watch(late);
  await once(port, "close");
  await nextTurn();
  assert.equal(seen.rejected.length, 20);
  assert.ok(seen.rejected.every((error) => error instanceof ClosedError));
});

test("close() while sends wait: their answers arrive first, then the tool ends with 0", async () => {
  const [sender, receiver] = await Promise.all([started(["sender"]), started(["receiver"])]);
  const resume = stop(receiver);
  const waiting = range(3).map((i) => sender.send(receiver.ports[0], `w${i}`, { timeout: 0.3 }));
  const seen = watch(waiting);
  const closing = sender.close({ grace: 0 });
  await assert.rejects(sender.lookup("x"), { name: "ClosedError", message: /closing/ });
  assert.deepEqual(await closing, { code: 0, signal: null });
  assert.equal(seen.resolved, 3);
  assert.deepEqual(await Promise.all(waiting), [-2, -2, -2]);
  resume();
  await receiver.close();
});

test("quit() rejects what is pending at once and ends the tool with 0", async () => {
  const [sender, receiver] = await Promise.all([started(["sender"]), started(["receiver"])]);
  const resume = stop(receiver);
  const waiting = range(3).map(() => sender.send(receiver.ports[0], "q", { timeout: 30 }));
  const seen = watch(waiting);
  const quitting = sender.quit();
  await nextTurn();
  assert.equal(seen.rejected.length, 3);
  assert.ok(seen.rejected.every((error) => error instanceof ClosedError && /quit/.test(error.message)));
  await assert.rejects(sender.send(receiver.ports[0], "after quit"), ClosedError);
  assert.deepEqual(await quitting, { code: 0, signal: null });
  // An end that was asked for ends an iterator quietly.
  assert.deepEqual(await sender.messages().next(), { value: undefined, done: true });
  resume();
  await receiver.close();
  assert.deepEqual(unhandled, []);
});
