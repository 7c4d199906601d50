import { spawn, type ChildProcess } from "node:child_process";
import { StringDecoder } from "node:string_decoder";
import type { Event } from "./protocol";

export interface ClientOptions {
  /** Path of the zuno-recorder binary; else $ZUNO_RECORDER_BIN, else `zuno-recorder` on PATH. */
  binary?: string;
  /** Environment of the child; the parent's when left out. */
  env?: NodeJS.ProcessEnv;
}

export function binaryPath(options: ClientOptions = {}): string {
  return options.binary || process.env["ZUNO_RECORDER_BIN"] || "zuno-recorder";
}

// Enough of standard error to explain a failure, without letting a chatty child grow the parent.
const STDERR_KEPT = 64 * 1024;

export interface ChildEnd {
  exitCode: number | null;
  signal: NodeJS.Signals | null;
  /** Set when the binary could not be started at all (not found, not executable). */
  spawnError: Error | null;
  stderr: string;
}

export interface Child {
  process: ChildProcess;
  /** Writes one command line; a child that has gone already is not an error here. */
  send(line: string): void;
  /** Settles once the process has ended and its output has been read to the end. */
  ended: Promise<ChildEnd>;
}

/**
 * Starts the binary with `args` and hands each event line to `onEvent` as it completes. Output
 * arrives in arbitrary chunks, so a line (and a UTF-8 character) may be split across them; the
 * tail of a chunk waits for the rest. A line that is not a JSON object naming an event is skipped.
 */
export function startChild(args: string[], options: ClientOptions, onEvent: (event: Event) => void): Child {
  const child = spawn(binaryPath(options), args, {
    env: options.env ?? process.env,
    stdio: ["pipe", "pipe", "pipe"],
  });
  let stderr = "";
  let spawnError: Error | null = null;
  let pending = "";
  const decoder = new StringDecoder("utf8");

  const takeLines = (text: string): void => {
    pending += text;
    let newline: number;
    while ((newline = pending.indexOf("\n")) >= 0) {
      const line = pending.slice(0, newline);
      pending = pending.slice(newline + 1);
      const event = parseEvent(line);
      if (event) onEvent(event);
    }
  };

  child.stdout!.on("data", (chunk: Buffer) => takeLines(decoder.write(chunk)));
  child.stderr!.on("data", (chunk: Buffer) => {
    stderr = (stderr + chunk.toString("utf8")).slice(-STDERR_KEPT);
  });
  // Writing to a child that has exited fails with EPIPE; the exit itself is what gets reported.
  child.stdin!.on("error", () => undefined);

  const ended = new Promise<ChildEnd>((resolve) => {
    child.on("error", (error) => {
      spawnError = error;
    });
    // 'close' comes after the process has ended and its pipes are drained, so every line has been
    // seen; it also follows a failed spawn.
    child.on("close", (exitCode, signal) => {
      takeLines(decoder.end());
      // A final line without its line feed is still a whole event: the child was cut short.
      if (pending) takeLines("\n");
      resolve({ exitCode, signal, spawnError, stderr });
    });
  });

  return {
    process: child,
    send(line: string) {
      if (child.stdin!.writable) child.stdin!.write(`${line}\n`);
    },
    ended,
  };
}

function parseEvent(line: string): Event | null {
  try {
    const value: unknown = JSON.parse(line);
    if (typeof value === "object" && value !== null && typeof (value as { event?: unknown }).event === "string") {
      return value as Event;
    }
  } catch {
    // Not JSON: nothing the protocol writes, so nothing to act on.
  }
  return null;
}
