// Driving vornex-port from Node.js 18+ with its package (an ES module; no other packages):
//   npm install ./clients/node        (or the file that `npm pack` made in clients/node)
// Run: node driver.js [path/to/vornex-port] [name]
import { start } from "vornex-port";

const [binary = "build/bin/vornex-port", name = "driver.example"] = process.argv.slice(2);
try {
  const port = await start([name], { binary });
  console.log(`lookup ${name}: ${await port.lookup(name)}`);
  const message = new Promise((resolve) => port.once("message", resolve));
  console.log(`send to ${name}: ${await port.send(name, "hello")}`);
  const { port: to, data } = await message;
  console.log(`message on ${to}: ${data}`);
  console.log(`send to nobody: ${await port.send(`${name}.nobody`, "?")}`);
  console.log(`exit status ${(await port.close()).code}`);
} catch (error) {
  console.error(`${error.message}${error.exitCode ? ` (exit status ${error.exitCode})` : ""}`);
  process.exitCode = 1;
}
