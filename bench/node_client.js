// The Node.js client against a plain loop in Node.js that writes the same lines to the tool's pipe
// and reads the answers; bench/run.py runs both side by side. Prints the elapsed seconds.
// Usage: node bench/node_client.js lookups|messages client|raw <vornex-port> <name> <count> [relay_peer]
import { spawn } from "node:child_process";
import { start } from "../clients/node/index.js";

const [what, how, binary, name, countText, relayPeer] = process.argv.slice(2);
const count = Number(countText);
const IN_FLIGHT = 100;

/** A vornex-port driven by hand: each answer line, parsed, goes to `onEvent`. */
function rawTool(names, onEvent) {
  const child = spawn(binary, ["listen", ...names], { stdio: ["pipe", "pipe", "inherit"] });
  let partial = [];
  child.stdout.on("data", (chunk) => {
    let from = 0;
    for (let at = chunk.indexOf(10); at !== -1; at = chunk.indexOf(10, from)) {
      partial.push(chunk.subarray(from, at));
      onEvent(JSON.parse(Buffer.concat(partial).toString()));
      partial = [];
      from = at + 1;
    }
    if (from < chunk.length) partial.push(chunk.subarray(from));
  });
  const ended = new Promise((resolve) => child.on("close", resolve));
  return { child, ended };
}

const lookupLine = (id, target) => `{"cmd":"lookup","id":${id},"target":${JSON.stringify(target)}}\n`;

async function rawLookups() {
  let written = 0;
  let answered = 0;
  let began = 0;
  let done;
  const finished = new Promise((resolve) => (done = resolve));
  const tool = rawTool([name], (event) => {
    if (event.event === "ready") {
      began = performance.now();
      let lines = "";
      while (written < Math.min(IN_FLIGHT, count)) lines += lookupLine(++written, name);
      tool.child.stdin.write(lines);
    } else if (event.event === "lookup") {
      if (++answered === count) done(performance.now());
      else if (written < count) tool.child.stdin.write(lookupLine(++written, name));
    }
  });
  const ended = await finished;
  tool.child.stdin.end();
  await tool.ended;
  return (ended - began) / 1000;
}

async function clientLookups() {
  const port = await start([name], { binary });
  const began = performance.now();
  let left = count;
  const worker = async () => {
    while (left-- > 0) if (!(await port.lookup(name))) throw new Error("lookup did not find its own port");
  };
  await Promise.all(Array.from({ length: IN_FLIGHT }, worker));
  const seconds = (performance.now() - began) / 1000;
  await port.close();
  return seconds;
}

/** Messages/s taken by the program while relay_peer sends `count` to its port, one after another. */
async function receive(listen) {
  let got = 0;
  let done;
  const finished = new Promise((resolve) => (done = resolve));
  const onMessage = (data) => {
    if (data.length !== 5) throw new Error("a message arrived changed");
    if (++got === count) done(performance.now());
  };
  const stop = await listen(onMessage);
  const began = performance.now();
  const peer = spawn(relayPeer, [name, String(count), "5"], { stdio: ["ignore", "ignore", "inherit"] });
  const peerEnded = new Promise((resolve) => peer.on("close", resolve));
  const ended = await finished;
  await Promise.all([peerEnded, stop()]);
  return (ended - began) / 1000;
}

const clientMessages = () =>
  receive(async (onMessage) => {
    const port = await start([name], { binary });
    port.on("message", ({ data }) => onMessage(data));
    return () => port.close();
  });

const rawMessages = () =>
  receive(async (onMessage) => {
    let ready;
    const isReady = new Promise((resolve) => (ready = resolve));
    const tool = rawTool([name], (event) => {
      if (event.event === "ready") ready();
      else if (event.event === "message") onMessage(Buffer.from(event.data, "base64"));
    });
    await isReady;
    return () => {
      tool.child.stdin.end();
      return tool.ended;
    };
  });

const runs = { lookups: { client: clientLookups, raw: rawLookups }, messages: { client: clientMessages, raw: rawMessages } };
console.log((await runs[what][how]()).toFixed(6));
