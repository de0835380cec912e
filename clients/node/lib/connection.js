// The connection: ids, the table of pending requests each with its own wait, every one failed at
// once when the process ends, "message" events kept until someone takes them. The tool's rules
// about time live here, each with the sentence of docs/protocol.md it comes from.
import { ClosedError, LineTooLongError, StartError, TimeoutError, describeEnd } from "./errors.js";
import { spawnProcess } from "./process.js";

/** "timeout" when a send gives none. */
export const DEFAULT_SEND_TIMEOUT = 5;
/** Lookups are answered at once; this only bounds the wait on a tool that stopped answering. */
export const DEFAULT_LOOKUP_WAIT = 10000;
/** What a busy machine may add between the tool's answer and this process reading it. */
export const WAIT_MARGIN = 5000;
/** The least time close() gives the tool to end once its input is closed (a sanitizer's report
 * at exit takes a while), and the time SIGTERM gets before SIGKILL. */
export const CLOSE_GRACE = 10000;
const TERM_GRACE = 5000;
/** A "timeout" past both of the tool's limits, for a send that may wait for ever. */
const FOREVER = 1e10;
/** "From 864,000 seconds (ten days) on, the queueing has no time limit". */
const UNLIMITED_TIMEOUT = 864000;
/** setTimeout fires at once for anything longer. */
const LONGEST_TIMER = 2 ** 31 - 1;

/**
 * A send's *window*, in ms: "twice its "timeout" plus 0.1 s". Unlimited from ten days on, where
 * "the queueing has no time limit".
 */
export function sendWindow(timeout) {
  if (timeout >= UNLIMITED_TIMEOUT) return Infinity;
  return 2 * Math.max(timeout, 0) * 1000 + 100;
}

/**
 * Brings the deadlines of the sends in `pending` up to date for a send of `window` written at
 * `at`, and gives its own. "Its answer comes at the latest one window after the latest of: the
 * moment it was written; the deadline of each send still unanswered then; and, while it is
 * unanswered, the moment each later send is written plus that send's own window."
 */
export function writtenSend(pending, at, window) {
  let latest = at;
  for (const other of pending) {
    if (other.window === undefined || other.deadline === -Infinity) continue; // a lookup, or not written yet
    if (other.deadline > latest) latest = other.deadline;
    other.deadline = Math.max(other.deadline, at + window + other.window);
  }
  return latest + window;
}

const DATA_KEY = Buffer.from('"data":"');
const LARGE_LINE = 1 << 16;
const DECODE_CHUNK = 4 << 20; // a multiple of 4 Base64 characters

/**
 * One event line as an object; a "message"'s "data" as a Buffer. A large message's Base64 is
 * decoded from the line's bytes piece by piece rather than through one string of its own: the
 * key cannot occur inside a string value, where every quote is escaped.
 */
export function parseEvent(line) {
  if (line.length > LARGE_LINE) {
    const key = line.indexOf(DATA_KEY);
    const from = key + DATA_KEY.length;
    const to = key === -1 ? -1 : line.indexOf(34, from);
    if (to !== -1) {
      const event = JSON.parse(line.toString("utf8", 0, from) + line.toString("utf8", to));
      const data = Buffer.allocUnsafe(((to - from) >> 2) * 3);
      let length = 0;
      for (let at = from; at < to; at += DECODE_CHUNK) {
        length += data.write(line.toString("latin1", at, Math.min(to, at + DECODE_CHUNK)), length, "base64");
      }
      event.data = data.subarray(0, length);
      return event;
    }
  }
  const event = JSON.parse(line.toString("utf8"));
  if (event && typeof event.data === "string") event.data = Buffer.from(event.data, "base64");
  return event;
}

/** Marks a promise as handled: a caller that never awaits it must not end the program. */
function quiet(promise) {
  promise.catch(() => {});
  return promise;
}

function now() {
  return performance.now();
}

/**
 * Starts the tool and speaks the protocol with it. `hooks`: onMessage(message) for every
 * "message", onError(error) for what the caller may want to hear of (a skipped line, an "error"
 * event after "ready"), onClose({code, signal}) once, listening() whether someone takes
 * messages right now. Returns `ready` (the "ready" ports, or a StartError) and the connection.
 */
export function openConnection(binary, names, options, hooks) {
  const pending = new Map(); // id -> request, in the order written
  const kept = []; // messages nobody has taken yet
  const takers = []; // iterators waiting for the next message
  let iterators = 0;
  let nextId = 1;
  let phase = "starting"; // "open", "closing" (input ended), "quitting", "ended"
  let startMessage = null;
  let endedWith = null;
  let endedByUs = false; // close, quit or kill: an end the iterators take as their own end
  let crash = null; // how the iterators learn of an end nobody asked for
  let settleReady;
  const ready = new Promise((resolve, reject) => (settleReady = { resolve, reject }));
  let settleEnd;
  const ended = new Promise((resolve) => (settleEnd = resolve));

  function failStart(error) {
    if (phase !== "starting") return;
    phase = "failing";
    settleReady.reject(error);
  }

  function onEvent(event) {
    if (event === null || typeof event !== "object") return;
    switch (event.event) {
      case "lookup":
      case "sent": {
        // Ids are ours and unique; an answer for nobody belongs to a request that gave up.
        const request = typeof event.id === "number" ? pending.get(event.id) : undefined;
        if (request) request.settle(null, event.event === "sent" ? event.status : event.found === true);
        return;
      }
      case "message":
        deliver({
          port: typeof event.port === "string" ? event.port : "",
          msgid: event.msgid,
          data: Buffer.isBuffer(event.data) ? event.data : Buffer.alloc(0),
        });
        return;
      case "ready":
        if (phase !== "starting") return;
        phase = "open";
        clearTimeout(readyTimer);
        settleReady.resolve(Array.isArray(event.ports) ? event.ports : []);
        return;
      case "error":
        if (phase === "starting" || phase === "failing") startMessage ??= String(event.message);
        else hooks.onError(new Error(`vornex-port: ${event.message}`));
        return;
      default:
    }
  }

  function deliver(message) {
    hooks.onMessage(message);
    // Kept for the iterators while one is open, and while nobody at all takes them, so that
    // nothing is lost before the first `for await`.
    if (iterators > 0 || !hooks.listening()) {
      const taker = takers.shift();
      if (taker) taker({ value: message, done: false });
      else kept.push(message);
    }
  }

  const proc = spawnProcess(binary, ["listen", ...names], options, {
    onLine(line) {
      let event;
      try {
        event = parseEvent(line);
      } catch (error) {
        hooks.onError(new Error(`vornex-port wrote a line that is not JSON (${line.length} bytes)`, { cause: error }));
        return;
      }
      onEvent(event);
    },
    onTooLong(bytes) {
      hooks.onError(new LineTooLongError(bytes, options.maxLineBytes));
    },
    onSpawnError(error) {
      failStart(new StartError(`cannot run ${binary}: ${error.message}`, { cause: error }));
    },
    onClose(code, signal) {
      const wasStarting = phase === "starting";
      phase = "ended";
      endedWith = { code, signal };
      clearTimeout(readyTimer);
      clearTimeout(graceTimer);
      if (wasStarting) {
        settleReady.reject(
          new StartError(startMessage ?? `vornex-port ended before "ready" (${describeEnd(code, signal)})`, {
            exitCode: code,
            signal,
          }),
        );
      }
      failAll(new ClosedError(code, signal));
      if (!endedByUs && code !== 0) crash = new ClosedError(code, signal);
      for (const taker of takers.splice(0)) taker(crash ? Promise.reject(crash) : { value: undefined, done: true });
      settleEnd(endedWith);
      hooks.onClose(endedWith);
    },
  });

  const readyTimer = setTimeout(() => {
    failStart(new StartError(`no "ready" from vornex-port within ${options.readyTimeout} ms`));
    proc.kill("SIGKILL");
  }, Math.min(options.readyTimeout, LONGEST_TIMER));
  readyTimer.unref?.();

  function failAll(error) {
    for (const request of [...pending.values()]) request.settle(error);
  }

  /** Why a new request cannot go out now, or null. */
  function refusal() {
    if (phase === "ended") return new ClosedError(endedWith.code, endedWith.signal);
    if (phase === "closing") return new ClosedError(null, null, "vornex-port is closing: it takes no more commands");
    if (phase === "quitting") return new ClosedError(null, null, "vornex-port was told to quit");
    return null;
  }

  /** The latest deadline of the sends still unanswered (-Infinity for none). */
  function latestDeadline() {
    let latest = -Infinity;
    for (const request of pending.values()) if (request.deadline > latest) latest = request.deadline;
    return latest;
  }

  /**
   * Writes one command and waits for its answer. `pieces(id)` gives the line; `timeout` is a
   * send's "timeout" in seconds, undefined for a lookup.
   */
  function request(what, pieces, timeout, { wait, signal } = {}) {
    return quiet(
      new Promise((resolve, reject) => {
        const refused = refusal();
        if (refused) return reject(refused);
        if (signal?.aborted) return reject(abortReason(signal));
        const id = nextId++;
        let timer = null;
        const onAbort = () => entry.settle(abortReason(signal));
        const entry = {
          window: timeout === undefined ? undefined : sendWindow(timeout),
          deadline: -Infinity, // of a send: when its answer is due at the latest
          settle(error, value) {
            if (!pending.delete(id)) return;
            clearTimeout(timer);
            signal?.removeEventListener("abort", onAbort);
            if (error) reject(error);
            else resolve(value);
          },
        };
        const expire = () => {
          // A later send may have moved the deadline on since the timer was set.
          const left = wait === undefined ? entry.deadline + WAIT_MARGIN - now() : 0;
          if (left > 0) arm(left);
          else entry.settle(new TimeoutError(what, wait ?? Math.round(entry.deadline + WAIT_MARGIN - startedAt)));
        };
        const arm = (limit) => {
          if (limit <= LONGEST_TIMER) timer = setTimeout(expire, limit);
        };
        let startedAt = 0;
        // The wait counts from when the tool can read the line, which for a large one is later
        // than the call.
        const written = () => {
          if (!pending.has(id)) return;
          startedAt = now();
          if (entry.window !== undefined) entry.deadline = writtenSend(pending.values(), startedAt, entry.window);
          arm(wait ?? (entry.window === undefined ? DEFAULT_LOOKUP_WAIT : entry.deadline - startedAt + WAIT_MARGIN));
        };
        pending.set(id, entry);
        signal?.addEventListener("abort", onAbort, { once: true });
        proc.writer.write(pieces(id), written, () => !pending.has(id));
      }),
    );
  }

  /** Ends the input; the tool answers what is due and ends. Killed after the grace. */
  function close(grace) {
    if (phase === "ended") return ended;
    endedByUs = true;
    if (phase === "open" || phase === "quitting") phase = "closing";
    proc.writer.end();
    armGrace(grace);
    return ended;
  }

  let graceTimer = null;
  let terminated = false;
  function armGrace(grace) {
    if (graceTimer !== null) return;
    const expire = () => {
      // The grace is never shorter than the wait of a send still outstanding: its answer is due.
      const latest = latestDeadline() + WAIT_MARGIN - now();
      if (!terminated && latest > 0) {
        graceTimer = setTimeout(expire, Math.min(latest, LONGEST_TIMER));
        return;
      }
      if (!terminated) {
        terminated = true;
        proc.kill("SIGTERM");
        // SIGTERM does not end a stopped process; SIGKILL does.
        graceTimer = setTimeout(expire, TERM_GRACE);
      } else {
        proc.kill("SIGKILL");
      }
    };
    graceTimer = setTimeout(expire, Math.min(grace, LONGEST_TIMER));
  }

  return {
    ready,
    ended,
    get pid() {
      return proc.pid;
    },
    lookup(target, options) {
      const line = (id) => [`{"cmd":"lookup","id":${id},"target":${JSON.stringify(target)}}\n`];
      return request(`lookup ${JSON.stringify(target)}`, line, undefined, options);
    },
    send(target, data, timeout, options) {
      return request(`send to ${JSON.stringify(target)}`, (id) => sendLine(id, target, data, timeout), timeout, options);
    },
    quit() {
      if (phase === "ended" || phase === "quitting") return ended;
      endedByUs = true;
      const wrote = proc.writer.write([`{"cmd":"quit"}\n`]);
      phase = "quitting";
      // "No event is written, not even while sends are waiting": nothing pending will be answered.
      failAll(new ClosedError(null, null, "vornex-port was told to quit: no answer comes after it"));
      // After close() the input is ending and takes no more lines; SIGTERM ends the tool as
      // "quit" does.
      if (wrote) proc.writer.end();
      else proc.kill("SIGTERM");
      armGrace(WAIT_MARGIN);
      return ended;
    },
    close,
    kill(signal = "SIGKILL") {
      if (phase !== "ended") endedByUs = true;
      proc.kill(signal);
      return ended;
    },
    messages() {
      iterators++;
      let open = true;
      const mine = []; // this iterator's calls of next() still waiting
      const finish = () => {
        if (open) {
          open = false;
          iterators--;
          // A next() still waiting ends now; the message it would have had stays for the others.
          for (const taker of mine.splice(0)) {
            takers.splice(takers.indexOf(taker), 1);
            taker({ value: undefined, done: true });
          }
        }
        return Promise.resolve({ value: undefined, done: true });
      };
      return {
        next() {
          if (!open) return Promise.resolve({ value: undefined, done: true });
          if (kept.length > 0) return Promise.resolve({ value: kept.shift(), done: false });
          if (phase === "ended") {
            const error = crash;
            finish();
            return error ? quiet(Promise.reject(error)) : Promise.resolve({ value: undefined, done: true });
          }
          return quiet(
            new Promise((resolve) => {
              const taker = (result) => {
                const at = mine.indexOf(taker);
                if (at !== -1) mine.splice(at, 1);
                resolve(result);
              };
              mine.push(taker);
              takers.push(taker);
            }),
          );
        },
        return: finish,
        [Symbol.asyncIterator]() {
          return this;
        },
      };
    },
  };
}

function abortReason(signal) {
  return signal.reason ?? new DOMException("This operation was aborted", "AbortError");
}

const ENCODE_CHUNK = 3 << 20; // a multiple of 3 bytes, so the pieces' Base64 joins up

/** A "send" line in pieces: a large payload is encoded as the pipe takes it, not all at once. */
function* sendLine(id, target, data, timeout) {
  const seconds = Math.min(Math.max(timeout, 0), FOREVER); // JSON has no Infinity
  const head = `{"cmd":"send","id":${id},"target":${JSON.stringify(target)},"timeout":${seconds},"data":"`;
  if (data.length <= ENCODE_CHUNK) {
    yield `${head}${data.toString("base64")}"}\n`;
    return;
  }
  yield head;
  for (let at = 0; at < data.length; at += ENCODE_CHUNK) {
    yield data.toString("base64", at, Math.min(data.length, at + ENCODE_CHUNK));
  }
  yield `"}\n`;
}
