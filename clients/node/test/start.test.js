import { test } from "node:test";
import assert from "node:assert/strict";
import { chmodSync, mkdtempSync, writeFileSync } from "node:fs";
import { tmpdir } from "node:os";
import { join } from "node:path";
import { StartError, findBinary, start } from "../index.js";
import { started, unique } from "./helpers.js";

test("ready: the ports as given, the pid, and a clean end", async () => {
  const port = await started(["a", "b"]);
  assert.match(port.ports[0], /\.a$/);
  assert.match(port.ports[1], /\.b$/);
  assert.equal(port.ports.length, 2);
  assert.ok(Number.isInteger(port.pid) && port.pid > 0);
  assert.deepEqual(await port.close(), { code: 0, signal: null });
});

test("a bad command line, a taken name and a binary that cannot run are StartErrors", async () => {
  await assert.rejects(start([]), { name: "StartError", exitCode: 64, message: /^usage: vornex-port listen/ });

  const holder = await started(["taken"]);
  const taken = holder.ports[0];
  await assert.rejects(start([unique("free"), taken]), (error) => {
    assert.ok(error instanceof StartError);
    assert.equal(error.exitCode, 65);
    assert.equal(error.message, `could not register ${taken}; the name is taken`);
    return true;
  });
  await holder.close();

  const folder = mkdtempSync(join(tmpdir(), "vornex-port-node-"));
  const notExecutable = join(folder, "vornex-port");
  writeFileSync(notExecutable, "#!/bin/sh\n");
  chmodSync(notExecutable, 0o644);
  for (const binary of [join(folder, "missing"), notExecutable]) {
    await assert.rejects(start([unique("x")], { binary }), (error) => {
      assert.ok(error instanceof StartError);
      assert.equal(error.exitCode, null);
      assert.match(error.message, new RegExp(`^cannot run ${binary}: .*(ENOENT|EACCES)`));
      return true;
    });
  }
  await assert.rejects(start([unique("x")], { binary: "/bin/true" }), {
    name: "StartError",
    exitCode: 0,
    message: /ended before "ready"/,
  });
  await assert.rejects(start("a\0b"), TypeError);
  await assert.rejects(start([1]), TypeError);
});

test("the binary: the option, then VORNEX_PORT_BINARY, then PATH", () => {
  assert.equal(findBinary("/x/y", { VORNEX_PORT_BINARY: "/a/b" }), "/x/y");
  assert.equal(findBinary(undefined, { VORNEX_PORT_BINARY: "/a/b", PATH: "/bin" }), "/a/b");
  const folder = mkdtempSync(join(tmpdir(), "vornex-port-path-"));
  writeFileSync(join(folder, "vornex-port"), "#!/bin/sh\n", { mode: 0o755 });
  assert.equal(findBinary(undefined, { PATH: `/nonexistent:${folder}` }), join(folder, "vornex-port"));
  assert.equal(findBinary(undefined, { PATH: "/nonexistent" }), "vornex-port");
});
