// The API: start, lookup, send, messages, close, quit, kill, errors as types. Checks what the
// caller gives and leaves the protocol to the connection.
import { EventEmitter } from "node:events";
import { CLOSE_GRACE, DEFAULT_SEND_TIMEOUT, openConnection } from "./lib/connection.js";
import { DEFAULT_MAX_LINE_BYTES, findBinary } from "./lib/process.js";
import { ClosedError, LineTooLongError, StartError, TimeoutError } from "./lib/errors.js";

export { Status, statusName } from "./lib/status.js";
export { ClosedError, LineTooLongError, StartError, TimeoutError, findBinary };

const DEFAULT_READY_TIMEOUT = 10000;

/** A running vornex-port, from its "ready" to its end. Made by `start`. */
export class Port extends EventEmitter {
  #connection;

  /** @internal */
  constructor(connection, ports) {
    super();
    this.#connection = connection;
    this.ports = ports;
    this.pid = connection.pid;
  }

  /** Whether a port of that name exists and belongs to this user. */
  lookup(target, options) {
    return attempt(() => this.#connection.lookup(checkTarget(target), checkOptions(options)));
  }

  /** Sends one request; resolves with its status, -1 and -2 included. */
  send(target, data, options) {
    return attempt(() => {
      const checked = checkOptions(options);
      const timeout = checked.timeout ?? DEFAULT_SEND_TIMEOUT;
      if (typeof timeout !== "number" || Number.isNaN(timeout)) {
        throw new TypeError("options.timeout must be a number of seconds");
      }
      return this.#connection.send(checkTarget(target), toBuffer(data), timeout, checked);
    });
  }

  /** Every "message", in order, from those kept since the start on; ends when the tool ends. */
  messages() {
    return this.#connection.messages();
  }

  /** Ends the tool's input and waits for every answer due; SIGTERM after the grace, then SIGKILL. */
  close({ grace = CLOSE_GRACE } = {}) {
    return this.#connection.close(grace);
  }

  /** Ends the tool at once; pending requests reject with ClosedError, as no answer comes. */
  quit() {
    return this.#connection.quit();
  }

  /** Sends the tool a signal (SIGKILL unless given). */
  kill(signal) {
    return this.#connection.kill(signal);
  }
}

/** Starts `vornex-port listen NAME...` and resolves once it is "ready". */
export function start(ports, options = {}) {
  const names = typeof ports === "string" ? [ports] : ports;
  if (!Array.isArray(names) || names.some((name) => typeof name !== "string")) {
    return rejected(new TypeError("ports must be a port name or an array of them"));
  }
  const {
    binary,
    readyTimeout = DEFAULT_READY_TIMEOUT,
    maxLineBytes = DEFAULT_MAX_LINE_BYTES,
    env = process.env,
    cwd,
  } = options;
  let port = null;
  const hooks = {
    onMessage(message) {
      if (port) emitSafely(port, "message", message);
    },
    onError(error) {
      // An 'error' with no listener would throw out of the pipe's handler; then nobody asked.
      if (port && port.listenerCount("error") > 0) emitSafely(port, "error", error);
    },
    onClose(end) {
      if (port) emitSafely(port, "close", end);
    },
    listening() {
      return port !== null && port.listenerCount("message") > 0;
    },
  };
  let connection;
  try {
    connection = openConnection(findBinary(binary, env), names, { readyTimeout, maxLineBytes, env, cwd }, hooks);
  } catch (error) {
    // Arguments that no process can take (a NUL byte in a name or a path).
    return rejected(error);
  }
  return quiet(
    connection.ready.then((ready) => {
      port = new Port(connection, ready);
      return port;
    }),
  );
}

/** A listener's exception surfaces as Node's uncaught exception would, after the line is handled. */
function emitSafely(emitter, name, value) {
  try {
    emitter.emit(name, value);
  } catch (error) {
    process.nextTick(() => {
      throw error;
    });
  }
}

/**
 * Marks a promise as handled. A request that the tool's end rejects must not end a program that
 * started it and looked away (or awaits another first); whoever awaits it still gets the error.
 */
function quiet(promise) {
  promise.catch(() => {});
  return promise;
}

function rejected(error) {
  return quiet(Promise.reject(error));
}

/** The promise of `call`, or its exception as a rejection: bad arguments never throw. */
function attempt(call) {
  try {
    return call();
  } catch (error) {
    return rejected(error);
  }
}

function checkTarget(target) {
  if (typeof target !== "string") throw new TypeError("target must be a string");
  return target;
}

function checkOptions(options) {
  if (options === undefined || options === null) return {};
  if (typeof options !== "object") throw new TypeError("options must be an object");
  const { wait } = options;
  if (wait !== undefined && (typeof wait !== "number" || Number.isNaN(wait) || wait < 0)) {
    throw new TypeError("options.wait must be a number of milliseconds, 0 or more");
  }
  return options;
}

function toBuffer(data) {
  if (typeof data === "string") return Buffer.from(data, "utf8");
  if (Buffer.isBuffer(data)) return data;
  if (ArrayBuffer.isView(data)) return Buffer.from(data.buffer, data.byteOffset, data.byteLength);
  if (data instanceof ArrayBuffer) return Buffer.from(data);
  if (data === undefined || data === null) return Buffer.alloc(0);
  throw new TypeError("data must be a Buffer, a Uint8Array or a string");
}
