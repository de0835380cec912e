import { test } from "node:test";
import assert from "node:assert/strict";
import { Status, TimeoutError, statusName } from "../index.js";
import { sendWindow, writtenSend } from "../lib/connection.js";
import { range, started, stop, take, unhandled, unique } from "./helpers.js";

test("lookups, a send to a name nobody holds, and a send to the client's own port", async () => {
  const port = await started();
  const [own] = port.ports;
  assert.equal(await port.lookup(own), true);
  assert.equal(await port.lookup(unique("nobody")), false);
  assert.equal(await port.send(unique("nobody"), "x"), Status.NOT_REGISTERED);

  // "A send to one of the tool's own ports: its "message" event comes before its "sent" event."
  const seen = [];
  port.on("message", (message) => seen.push(message));
  const bytes = Uint8Array.of(0, 1, 2, 255);
  assert.equal(await port.send(own, bytes), Status.SUCCESS);
  assert.equal(seen.length, 1);
  assert.deepEqual(seen[0], { port: own, msgid: 1, data: Buffer.from(bytes) });
  await port.close();
});

test("a stopped receiver: -2 for the five it queued, -1 after; it gets the five when it runs again", async () => {
  const [sender, receiver] = await Promise.all([started(["sender"]), started(["receiver"])]);
  const resume = stop(receiver);
  const statuses = await Promise.all(range(7).map((i) => sender.send(receiver.ports[0], `m${i}`, { timeout: 0.3 })));
  assert.deepEqual(statuses.sort(), [-1, -1, -2, -2, -2, -2, -2]);
  resume();
  const got = await take(receiver, 5);
  assert.deepEqual(got.map((m) => m.data.toString()).sort(), ["m0", "m1", "m2", "m3", "m4"]);
  await Promise.all([sender.close(), receiver.close()]);
});

test("200 requests in flight at once are each matched to their own answer", async () => {
  const [sender, receiver] = await Promise.all([started(["sender"]), started(["receiver"])]);
  const target = receiver.ports[0];
  const missing = unique("missing");
  const arrived = take(receiver, 50);
  const answers = await Promise.all(
    range(200).map((i) => {
      if (i % 4 === 0) return sender.send(target, `n${i}`);
      if (i % 4 === 1) return sender.send(missing, "x");
      return sender.lookup(i % 4 === 2 ? target : missing);
    }),
  );
  assert.deepEqual(
    answers,
    range(200).map((i) => [Status.SUCCESS, Status.NOT_REGISTERED, true, false][i % 4]),
  );
  const data = (await arrived).map((m) => m.data.toString());
  assert.deepEqual(data.sort(), range(50).map((i) => `n${i * 4}`).sort());
  await Promise.all([sender.close(), receiver.close()]);
});

test("messages that arrive before anyone listens are kept for the iterator; two clients talk", async () => {
  const [a, b] = await Promise.all([started(["a"]), started(["b"])]);
  for (const text of ["one", "two", "three"]) assert.equal(await b.send(a.ports[0], text), 0);
  assert.deepEqual((await take(a, 3)).map((m) => m.data.toString()), ["one", "two", "three"]);
  // An iterator ended while its next() waits takes nothing with it.
  const left = a.messages();
  const waiting = left.next();
  await left.return();
  assert.deepEqual(await waiting, { value: undefined, done: true });
  assert.equal(await b.send(a.ports[0], "four"), 0);
  assert.equal((await take(a, 1))[0].data.toString(), "four");

  const heard = new Promise((resolve) => b.once("message", resolve));
  assert.equal(await a.send(b.ports[0], "back"), 0);
  assert.equal((await heard).data.toString(), "back");
  assert.deepEqual(await Promise.all([a.close(), b.close()]), [{ code: 0, signal: null }, { code: 0, signal: null }]);
});

test("the client's own wait and an abort reject; the answer that comes later is dropped", async () => {
  const [sender, receiver] = await Promise.all([started(["sender"]), started(["receiver"])]);
  const resume = stop(receiver);
  const target = receiver.ports[0];
  await assert.rejects(sender.send(target, "late", { timeout: 1, wait: 0 }), (error) => {
    assert.ok(error instanceof TimeoutError);
    assert.equal(error.wait, 0);
    return true;
  });
  const controller = new AbortController();
  const aborted = sender.send(target, "aborted", { signal: controller.signal });
  controller.abort(new Error("changed my mind"));
  await assert.rejects(aborted, { message: "changed my mind" });
  await assert.rejects(sender.lookup(target, { signal: controller.signal }), { message: "changed my mind" });
  resume();
  // The dropped answers came meanwhile or come now; the next request gets its own.
  assert.equal(await sender.send(target, "next"), 0);
  assert.equal(await sender.lookup(target), true);
  await Promise.all([sender.close(), receiver.close()]);
  assert.deepEqual(unhandled, []);
});

test("statuses by name, and arguments that are not what they should be", async () => {
  assert.equal(statusName(Status.RECEIVE_TIMEOUT), "RECEIVE_TIMEOUT");
  assert.equal(statusName(-7), "-7");
  assert.deepEqual(Object.values(Status), [0, -1, -2, -3, -4, -5, -99]);
  const port = await started();
  await assert.rejects(port.send(42, "x"), TypeError);
  await assert.rejects(port.send(port.ports[0], {}), TypeError);
  await assert.rejects(port.send(port.ports[0], "x", { timeout: NaN }), TypeError);
  await assert.rejects(port.lookup(port.ports[0], { wait: -1 }), TypeError);
  await port.close();
});

test("a send's deadline: held behind those unanswered, and moved on by each later send", () => {
  const first = { window: sendWindow(0.5), deadline: -Infinity };
  const lookup = { window: undefined, deadline: -Infinity };
  first.deadline = writtenSend([first, lookup], 0, first.window);
  assert.equal(first.deadline, 1100);
  const later = { window: sendWindow(5), deadline: -Infinity };
  later.deadline = writtenSend([first, lookup, later], 500, later.window);
  assert.equal(later.deadline, 1100 + 10100);
  assert.equal(first.deadline, 500 + 10100 + 1100);
  assert.equal(sendWindow(864000), Infinity);
});
