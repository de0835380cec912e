import { test } from "node:test";
import assert from "node:assert/strict";
import { LineTooLongError } from "../index.js";
import { lineSplitter } from "../lib/process.js";
import { started, take } from "./helpers.js";

function split(chunks, limit = 1 << 20) {
  const out = [];
  const push = lineSplitter(limit, (line) => out.push(line.toString("latin1")), (bytes) => out.push(bytes));
  for (const chunk of chunks) push(Buffer.from(chunk, "latin1"));
  return out;
}

test("lines end at LF only, across chunks; a lone CR is data; a long line is skipped whole", () => {
  assert.deepEqual(split(["a\nb", "c\r", "d\n\n", "e"]), ["a", "bc\rd", ""]);
  assert.deepEqual(split(["x".repeat(3), "y\n", "z".repeat(5), "z\nok\n"], 4), ["xxxy", 6, "ok"]);
  assert.deepEqual(split(["12345", "678", "9\nafter\n"], 5), [9, "after"]);
});

test("a 100 MB message each way, byte for byte", async () => {
  const [a, b] = await Promise.all([started(["a"]), started(["b"])]);
  const size = 100 * 1000 * 1000;
  const payload = Buffer.allocUnsafe(size);
  for (let i = 0; i < size; i += 4) payload.writeUInt32LE((i * 2654435761) >>> 0, i);
  for (const [from, to] of [
    [a, b],
    [b, a],
  ]) {
    const arriving = take(to, 1);
    assert.equal(await from.send(to.ports[0], payload, { timeout: 120 }), 0);
    const [message] = await arriving;
    assert.equal(message.data.length, size);
    assert.ok(message.data.equals(payload));
  }
  await Promise.all([a.close(), b.close()]);
});

test("a message line over maxLineBytes is an 'error' event; the next one arrives", async () => {
  const [small, sender] = await Promise.all([started(["small"], { maxLineBytes: 4096 }), started(["sender"])]);
  const errors = [];
  small.on("error", (error) => errors.push(error));
  assert.equal(await sender.send(small.ports[0], Buffer.alloc(1 << 20, 7)), 0);
  assert.equal(await sender.send(small.ports[0], "fits"), 0);
  assert.deepEqual((await take(small, 1)).map((m) => m.data.toString()), ["fits"]);
  assert.equal(errors.length, 1);
  assert.ok(errors[0] instanceof LineTooLongError);
  assert.ok(errors[0].bytes > 1 << 20 && errors[0].limit === 4096);
  // Nobody listens for 'error': the line is skipped all the same, and nothing throws.
  small.removeAllListeners("error");
  assert.equal(await sender.send(small.ports[0], Buffer.alloc(8192)), 0);
  assert.equal(await sender.send(small.ports[0], "still fits"), 0);
  assert.equal((await take(small, 1))[0].data.toString(), "still fits");
  await Promise.all([small.close(), sender.close()]);
});
