// Types of vornex-port, the Node.js client of the vornex-port tool.
/// <reference types="node" />
import { EventEmitter } from "node:events";

/** The "status" of a "sent" event; any other value the service passes through comes as its number. */
export declare const Status: {
  /** Delivered, and the reply came within the time-out. */
  readonly SUCCESS: 0;
  /** Not queued within the time-out: the receiver's queue stayed full. The receiver did not get it. */
  readonly SEND_TIMEOUT: -1;
  /** Queued, but no reply within the time-out: the receiver has the request and may still act on it. */
  readonly RECEIVE_TIMEOUT: -2;
  /** The port was no longer valid when the request was to go out. */
  readonly IS_INVALID: -3;
  /** The transport failed; not delivered as far as the tool knows. */
  readonly TRANSPORT_ERROR: -4;
  /** The receiver went away while its request waited for the reply. */
  readonly BECAME_INVALID: -5;
  /** No port has the target name; nothing was sent. */
  readonly NOT_REGISTERED: -99;
};
export type StatusName = keyof typeof Status;

/** The name of a status ("RECEIVE_TIMEOUT"), or the number as text for any other value. */
export declare function statusName(status: number): StatusName | `${number}`;

/** The binary that `start` runs: `binary`, else VORNEX_PORT_BINARY, else vornex-port on PATH. */
export declare function findBinary(binary?: string, env?: NodeJS.ProcessEnv): string;

export interface StartOptions {
  /** Path of the vornex-port binary (in Electron, under process.resourcesPath). */
  binary?: string;
  /** How long to wait for "ready", in ms. Default 10,000. */
  readyTimeout?: number;
  /** Output lines longer than this are skipped and reported as a LineTooLongError. Default 256 MiB. */
  maxLineBytes?: number;
  /** The tool's environment. Default process.env. */
  env?: NodeJS.ProcessEnv;
  /** The tool's working folder. */
  cwd?: string;
}

export interface RequestOptions {
  /** How long this client waits for the answer, in ms, from when the line was written; then TimeoutError. */
  wait?: number;
  /** Rejects the call with the signal's reason; an answer that comes later is dropped. */
  signal?: AbortSignal;
}

export interface SendOptions extends RequestOptions {
  /** The tool's "timeout", in seconds: for the queueing, and as long again for the reply. Default 5; Infinity waits for ever. */
  timeout?: number;
}

export interface CloseOptions {
  /** How long to wait for the tool to end by itself, in ms, at least the latest unanswered send's wait. Default 10,000. */
  grace?: number;
}

/** A message that arrived on one of the tool's ports. */
export interface Message {
  /** The local port that received it. */
  port: string;
  /** The sender's 32-bit signed message id. */
  msgid: number;
  /** The message's bytes. */
  data: Buffer;
}

/** How the tool ended: its exit status, or the signal that ended it. */
export interface End {
  code: number | null;
  signal: NodeJS.Signals | null;
}

export interface PortEvents {
  message: [message: Message];
  error: [error: Error];
  close: [end: End];
}

/** A running vornex-port, made by `start`. */
export declare class Port extends EventEmitter {
  private constructor();
  /** The names of "ready", as given. */
  readonly ports: string[];
  /** The tool's process id. */
  readonly pid: number;

  /** Whether a port of that name exists and belongs to this user. */
  lookup(target: string, options?: RequestOptions): Promise<boolean>;
  /** Sends one request; resolves with its status (-1 and -2 included). */
  send(target: string, data: Buffer | Uint8Array | string, options?: SendOptions): Promise<number>;
  /** Every message from those kept since the start on; ends when the tool ends (throws ClosedError after a crash). */
  messages(): AsyncIterableIterator<Message>;
  /** Ends the tool's input and waits for every answer due; SIGTERM after the grace, then SIGKILL. */
  close(options?: CloseOptions): Promise<End>;
  /** Ends the tool at once with "quit"; everything pending rejects with ClosedError. */
  quit(): Promise<End>;
  /** Sends the tool a signal, SIGKILL unless given; resolves once it has ended. */
  kill(signal?: NodeJS.Signals | number): Promise<End>;

  on<K extends keyof PortEvents>(event: K, listener: (...args: PortEvents[K]) => void): this;
  once<K extends keyof PortEvents>(event: K, listener: (...args: PortEvents[K]) => void): this;
  off<K extends keyof PortEvents>(event: K, listener: (...args: PortEvents[K]) => void): this;
  addListener<K extends keyof PortEvents>(event: K, listener: (...args: PortEvents[K]) => void): this;
  removeListener<K extends keyof PortEvents>(event: K, listener: (...args: PortEvents[K]) => void): this;
}

/** Starts `vornex-port listen NAME...` and resolves once it is "ready". */
export declare function start(ports: string | readonly string[], options?: StartOptions): Promise<Port>;

/** The tool did not reach "ready". */
export declare class StartError extends Error {
  readonly name: "StartError";
  /** 64 for a bad command line, 65 for a taken name, 71 and others as docs/protocol.md lists; null when it never ran. */
  readonly exitCode: number | null;
  readonly signal: NodeJS.Signals | null;
}

/** The tool has ended, or was told to quit or is closing; the request gets no answer. */
export declare class ClosedError extends Error {
  readonly name: "ClosedError";
  /** The exit status, or null when the tool has not ended yet or a signal ended it. */
  readonly code: number | null;
  readonly signal: NodeJS.Signals | null;
}

/** The client's own wait ended before the answer came. */
export declare class TimeoutError extends Error {
  readonly name: "TimeoutError";
  /** The wait, in ms. */
  readonly wait: number;
}

/** An output line longer than maxLineBytes was skipped. */
export declare class LineTooLongError extends Error {
  readonly name: "LineTooLongError";
  /** The line's length in bytes, its line feed not counted. */
  readonly bytes: number;
  readonly limit: number;
}
