// The errors a caller can tell apart by class. Each carries what a program needs to decide what
// to do next (the exit status, the wait that ended, the size of a skipped line), not only a text.

function ended(code, signal) {
  if (signal) return `signal ${signal}`;
  return code === null || code === undefined ? "no exit status yet" : `exit status ${code}`;
}

/** The tool did not reach "ready": it refused its command line, a name was taken, or it could not run. */
export class StartError extends Error {
  constructor(message, { exitCode = null, signal = null, cause } = {}) {
    super(message, cause === undefined ? undefined : { cause });
    this.name = "StartError";
    this.exitCode = exitCode;
    this.signal = signal;
  }
}

/** The tool has ended (or was told to quit), so this request will never be answered. */
export class ClosedError extends Error {
  constructor(code, signal, why) {
    super(why ?? `vornex-port ended (${ended(code, signal)})`);
    this.name = "ClosedError";
    this.code = code;
    this.signal = signal;
  }
}

/** The client's own wait for an answer ended; a later answer is dropped. */
export class TimeoutError extends Error {
  constructor(what, wait) {
    super(`no answer to ${what} within ${wait} ms`);
    this.name = "TimeoutError";
    this.wait = wait;
  }
}

/** An output line longer than maxLineBytes was skipped; the lines after it are read as usual. */
export class LineTooLongError extends Error {
  constructor(bytes, limit) {
    super(`skipped an output line of at least ${bytes} bytes (maxLineBytes is ${limit})`);
    this.name = "LineTooLongError";
    this.bytes = bytes;
    this.limit = limit;
  }
}

export { ended as describeEnd };
