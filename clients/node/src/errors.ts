import type { ErrorCode } from "./protocol";

/** The program's own `error` event: a failure it reported, with its code and message. */
export class RecorderError extends Error {
  readonly code: ErrorCode;

  constructor(code: ErrorCode, message: string) {
    super(message);
    this.name = "RecorderError";
    this.code = code;
  }
}

/**
 * The child ended (or could not start) without the line that would have settled the call:
 * killed, crashed, or a binary that is not zuno-recorder. What it wrote on standard error is kept,
 * as that is the only account of what went wrong.
 */
export class ProcessEndedError extends Error {
  readonly exitCode: number | null;
  readonly signal: NodeJS.Signals | null;
  readonly stderr: string;

  constructor(what: string, exitCode: number | null, signal: NodeJS.Signals | null, stderr: string) {
    const how = signal !== null ? `signal ${signal}` : `exit status ${String(exitCode)}`;
    super(`zuno-recorder ended by ${how} ${what}${stderr.trim() ? `: ${stderr.trim()}` : ""}`);
    this.name = "ProcessEndedError";
    this.exitCode = exitCode;
    this.signal = signal;
    this.stderr = stderr;
  }
}
