#!/usr/bin/env node
// A vornex-port driver to copy (Node.js, no packages): starts the tool, waits for "ready", sends
// commands with ids, matches the answers and stops. Run: node driver.js [path/to/vornex-port] [name]
"use strict";
const { spawn } = require("child_process");

class VornexPort {
  constructor(binary, names) {
    this.proc = spawn(binary, ["listen", ...names], { stdio: ["pipe", "pipe", "inherit"] });
    this.nextId = 1;
    this.waiting = new Map(); // id -> the function that settles that command's promise
    this.onMessage = (event) => {}; // called with each "message" event
    this.first = new Promise((resolve) => (this.onOther = resolve)); // "ready", or a failed start's "error"
    this.proc.on("error", (error) => this.onOther({ event: "error", message: error.message }));
    this.proc.stdin.on("error", () => {}); // writing to a tool that has ended: its answers fail below
    this.ended = new Promise((r) => this.proc.on("close", (code, signal) => r(code ?? signal)));
    this.ended.then(() => {
      this.onOther(null);
      this.waiting.forEach((settle) => settle(new Error("vornex-port ended")));
    });
    // Read every line as it comes, not only while a command waits: unread output stalls the tool.
    require("readline").createInterface({ input: this.proc.stdout }).on("line", (line) => {
      const event = JSON.parse(line);
      // An answer whose command has timed out finds nobody waiting.
      if (event.event === "lookup" || event.event === "sent") this.waiting.get(event.id)?.(event);
      else if (event.event === "message") this.onMessage(event);
      else this.onOther(event);
    });
  }

  async ready(wait = 10000) {
    // An unreferenced timer: it does not keep the process alive once it is no longer needed.
    const first = await Promise.race([this.first, new Promise((r) => setTimeout(r, wait, "time-out").unref())]);
    if (first?.event === "ready") return first.ports;
    throw new Error(`no "ready": ${first?.message ?? first} (exit status ${await this.stop()})`);
  }

  request(command, wait) {
    const id = this.nextId++;
    return new Promise((resolve, reject) => {
      const settle = (answer) => {
        clearTimeout(timer);
        this.waiting.delete(id);
        answer instanceof Error ? reject(answer) : resolve(answer);
      };
      const timer = setTimeout(() => settle(new Error(`no answer to ${JSON.stringify(command)} in ${wait} ms`)), wait);
      this.waiting.set(id, settle);
      this.proc.stdin.write(JSON.stringify({ ...command, id }) + "\n");
    });
  }

  async send(target, bytes, timeout = 5) {
    // The tool tries to queue for up to `timeout` seconds, then waits as long again for the reply
    // from the queueing; a send held behind a shorter one begins later (docs/protocol.md, Order).
    const command = { cmd: "send", target, data: Buffer.from(bytes).toString("base64"), timeout };
    return (await this.request(command, (2 * timeout + 5) * 1000)).status;
  }

  // Closes standard input: the tool writes every answer due, then ends; killed after `wait` ms.
  stop(wait = 10000) {
    this.proc.stdin.end();
    const timer = setTimeout(() => this.proc.kill("SIGKILL"), wait);
    return this.ended.finally(() => clearTimeout(timer));
  }
}

async function main([binary = "build/bin/vornex-port", name = "driver.example"]) {
  const tool = new VornexPort(binary, [name]);
  await tool.ready();
  console.log(`lookup ${name}: ${(await tool.request({ cmd: "lookup", target: name }, 10000)).found}`);
  const message = new Promise((resolve) => (tool.onMessage = resolve));
  console.log(`send to ${name}: ${await tool.send(name, "hello")}`);
  const { port, data } = await message;
  console.log(`message on ${port}: ${Buffer.from(data, "base64").toString()}`);
  console.log(`send to nobody: ${await tool.send(name + ".nobody", "?")}`);
  console.log(`exit status ${await tool.stop()}`);
}

main(process.argv.slice(2)).catch((error) => { console.error(error.message); process.exitCode = 1; });
