// The process: the tool spawned with pipes, its input written with back-pressure, its output read
// all the time and cut into lines on bytes, its end observed once. Knows nothing of JSON.
import { spawn } from "node:child_process";
import { delimiter, join } from "node:path";
import { accessSync, constants, statSync } from "node:fs";

/** Node cannot hold one string of the 1.6 GB line that the tool's largest message makes. */
export const DEFAULT_MAX_LINE_BYTES = 256 * 1024 * 1024;

/**
 * The tool to run: the caller's path, else VORNEX_PORT_BINARY, else vornex-port on PATH.
 * Returns the name as given when PATH has none, so that spawning it reports why.
 */
export function findBinary(binary, env = process.env) {
  if (binary) return binary;
  if (env.VORNEX_PORT_BINARY) return env.VORNEX_PORT_BINARY;
  for (const folder of (env.PATH ?? "").split(delimiter)) {
    const candidate = join(folder || ".", "vornex-port");
    try {
      accessSync(candidate, constants.X_OK);
      if (statSync(candidate).isFile()) return candidate;
    } catch {
      // Not here; the next folder may have it.
    }
  }
  return "vornex-port";
}

/**
 * Cuts a byte stream into lines. Only LF ends a line (a lone CR is data, as the tool's framing
 * says); a line longer than `maxLineBytes` is dropped whole and reported once, when it ends, to
 * `onTooLong(bytes)`. Chunks are kept as they came and joined once per line, so a line of many
 * chunks costs one copy.
 */
export function lineSplitter(maxLineBytes, onLine, onTooLong) {
  let parts = [];
  let held = 0; // bytes of the current line so far, kept or skipped
  let skipping = false;
  return function push(chunk) {
    let from = 0;
    for (let at = chunk.indexOf(10, from); at !== -1; at = chunk.indexOf(10, from)) {
      const length = held + at - from;
      if (skipping || length > maxLineBytes) {
        parts = [];
        skipping = false;
        onTooLong(length);
      } else if (parts.length === 0) {
        onLine(chunk.subarray(from, at));
      } else {
        parts.push(chunk.subarray(from, at));
        const line = Buffer.concat(parts, length);
        parts = [];
        onLine(line);
      }
      held = 0;
      from = at + 1;
    }
    if (from < chunk.length) {
      held += chunk.length - from;
      if (held > maxLineBytes) {
        skipping = true;
        parts = [];
      } else {
        parts.push(chunk.subarray(from));
      }
    }
  };
}

/**
 * Writes whole lines in order, each made of pieces produced one at a time, and stops producing
 * while the pipe is full (the 'drain' event resumes it). Nothing waits on a promise: once the
 * pipe is gone the rest is dropped, and the caller learns of the end from the process.
 * `written` runs when a line's last piece is handed to the pipe.
 */
function createWriter(stream) {
  const queue = [];
  let current = null;
  let full = false;
  let gone = false;
  let ending = false;

  function flush() {
    while (!full && !gone) {
      if (!current) {
        const line = queue.shift();
        if (!line) break;
        if (line.cancelled?.()) continue; // given up before a byte of it went out
        current = { pieces: line.pieces[Symbol.iterator](), written: line.written };
      }
      const piece = current.pieces.next();
      if (piece.done) {
        const { written } = current;
        current = null;
        written?.();
        continue;
      }
      if (!stream.write(piece.value)) full = true;
    }
    if (ending && !current && queue.length === 0 && !gone) {
      ending = false;
      stream.end();
    }
  }
  stream.on("drain", () => {
    full = false;
    flush();
  });
  const stop = () => {
    gone = true;
    queue.length = 0;
    current = null;
  };
  // A tool that has ended makes the next write fail with EPIPE: that is known, never a crash.
  stream.on("error", stop);
  stream.on("close", stop);

  return {
    /**
     * Queues one line; `pieces` is an iterable of strings or Buffers. A line whose `cancelled()`
     * is true when its turn comes is left out. False once the pipe is gone or ending.
     */
    write(pieces, written, cancelled) {
      if (gone || ending) return false;
      queue.push({ pieces, written, cancelled });
      flush();
      return true;
    },
    /** Ends the input once every queued line is written. */
    end() {
      if (gone) return;
      ending = true;
      flush();
    },
    get open() {
      return !gone && !ending;
    },
  };
}

/**
 * Spawns `binary` with `args`. `handlers`: onLine(Buffer), onTooLong(bytes), onSpawnError(error),
 * onClose(code, signal); each is called on Node's own event loop turn for the event, never
 * re-entrantly. onClose comes on the child's 'close', after its output was read to the end, and
 * exactly once, also after a spawn error.
 */
export function spawnProcess(binary, args, { maxLineBytes = DEFAULT_MAX_LINE_BYTES, env, cwd }, handlers) {
  // The tool writes nothing to standard error; a sanitizer's or the loader's report reaches the
  // user's own standard error.
  const child = spawn(binary, args, { stdio: ["pipe", "pipe", "inherit"], env, cwd, windowsHide: true });
  let ended = false;
  const finish = (code, signal) => {
    if (ended) return;
    ended = true;
    handlers.onClose(code, signal);
  };
  const push = lineSplitter(maxLineBytes, handlers.onLine, handlers.onTooLong);
  child.stdout.on("data", push);
  child.stdout.on("error", () => {}); // its end is the process's close, below
  child.on("error", (error) => {
    // A binary that could not be run has no pid; errors of a running child (a failed kill) change
    // nothing that 'close' will not report.
    if (child.pid === undefined) {
      handlers.onSpawnError(error);
      finish(null, null);
    }
  });
  child.on("close", finish);
  const writer = createWriter(child.stdin);
  return {
    pid: child.pid,
    writer,
    kill(signal) {
      if (ended) return;
      try {
        child.kill(signal);
      } catch {
        // Gone meanwhile: 'close' reports it.
      }
    },
    get ended() {
      return ended;
    },
  };
}

