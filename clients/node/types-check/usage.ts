// Compiled with tsc --noEmit --strict against the packed package: every call a user writes.
import {
  ClosedError,
  LineTooLongError,
  Status,
  StartError,
  TimeoutError,
  findBinary,
  start,
  statusName,
  type End,
  type Message,
  type Port,
  type StatusName,
} from "vornex-port";

async function use(): Promise<End> {
  const binary: string = findBinary(process.env.VORNEX_PORT_BINARY);
  let port: Port;
  try {
    port = await start(["demo.inbox", "demo.other"], { binary, readyTimeout: 5000, maxLineBytes: 1 << 20 });
  } catch (error) {
    if (error instanceof StartError) console.error(error.exitCode ?? error.signal, error.message);
    throw error;
  }
  const names: string[] = port.ports;
  const pid: number = port.pid;
  port.on("message", ({ port: name, msgid, data }: Message) => console.log(name, msgid, data.length));
  port.on("error", (error) => console.log(error instanceof LineTooLongError ? error.bytes : error.message));
  port.once("close", ({ code, signal }) => console.log(code, signal));
  const found: boolean = await port.lookup("demo.peer", { wait: 1000 });
  const controller = new AbortController();
  const status: number = await port.send("demo.peer", Buffer.from("hi"), {
    timeout: 2,
    wait: 10_000,
    signal: controller.signal,
  });
  await port.send("demo.peer", new Uint8Array([1, 2]));
  await port.send("demo.peer", "text");
  const name: StatusName | `${number}` = statusName(status);
  if (status === Status.RECEIVE_TIMEOUT || status === Status.NOT_REGISTERED) console.log(name, found, names, pid);
  try {
    await port.lookup("x");
  } catch (error) {
    if (error instanceof ClosedError) console.log(error.code, error.signal);
    if (error instanceof TimeoutError) console.log(error.wait);
  }
  for await (const message of port.messages()) {
    const bytes: Buffer = message.data;
    if (bytes.length === 0) break;
  }
  await port.quit();
  await port.kill("SIGTERM");
  return port.close({ grace: 1000 });
}

// @ts-expect-error data is bytes or text, not a number
start("x").then((port) => port.send("t", 5));
// @ts-expect-error the status table is read-only
Status.SUCCESS = 1;

void use();
