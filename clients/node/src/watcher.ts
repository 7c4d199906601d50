import { EventEmitter } from "node:events";
import { startChild, type Child, type ClientOptions } from "./child";
import { ProcessEndedError } from "./errors";
import type { CallEndedEvent, CallStartedEvent } from "./protocol";

export interface WatcherEvents {
  call_started: [CallStartedEvent];
  call_ended: [CallEndedEvent];
  /** The child ended without being closed (killed, crashed, not startable). */
  error: [ProcessEndedError | Error];
}

/**
 * One `watch` run: reports calls until `close()`. The program writes nothing when it ends, so a
 * call still announced gets no `call_ended`: after close() the application treats every open call
 * as unknown.
 */
export class Watcher extends EventEmitter {
  /** Settles when the child has ended; rejected when it ended without close(). */
  readonly closed: Promise<void>;
  private readonly child: Child;
  private closing = false;

  constructor(options: ClientOptions = {}) {
    super();
    this.child = startChild(["watch"], options, (event) => {
      if (event.event === "call_started" || event.event === "call_ended") this.emit(event.event, event as never);
    });
    this.closed = this.child.ended.then((end) => {
      if (end.spawnError) return this.fail(end.spawnError);
      if (this.closing && (end.exitCode === 0 || end.signal === "SIGTERM")) return;
      return this.fail(new ProcessEndedError("while watching", end.exitCode, end.signal, end.stderr));
    });
    this.closed.catch(() => undefined);
  }

  /** Ends the watch (SIGTERM, which the program answers with status 0) and waits for the exit. */
  close(): Promise<void> {
    if (!this.closing) {
      this.closing = true;
      if (this.child.process.exitCode === null && this.child.process.signalCode === null) {
        this.child.process.kill("SIGTERM");
      }
    }
    return this.closed;
  }

  private fail(error: Error): never {
    if (this.listenerCount("error") > 0) this.emit("error", error);
    throw error;
  }

  override on<Name extends keyof WatcherEvents>(name: Name, listener: (...args: WatcherEvents[Name]) => void): this {
    return super.on(name, listener as (...args: unknown[]) => void);
  }

  override once<Name extends keyof WatcherEvents>(name: Name, listener: (...args: WatcherEvents[Name]) => void): this {
    return super.once(name, listener as (...args: unknown[]) => void);
  }

  override off<Name extends keyof WatcherEvents>(name: Name, listener: (...args: WatcherEvents[Name]) => void): this {
    return super.off(name, listener as (...args: unknown[]) => void);
  }

  override emit<Name extends keyof WatcherEvents>(name: Name, ...args: WatcherEvents[Name]): boolean {
    return super.emit(name, ...args);
  }
}
