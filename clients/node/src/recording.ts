import { EventEmitter } from "node:events";
import { startChild, type Child, type ClientOptions } from "./child";
import { ProcessEndedError, RecorderError } from "./errors";
import type {
  DegradedEvent,
  LevelEvent,
  PausedEvent,
  RecordCommand,
  RecordEvent,
  ResumedEvent,
  StartedEvent,
  StoppedEvent,
  TickEvent,
} from "./protocol";

export interface RecordingEvents {
  started: [StartedEvent];
  degraded: [DegradedEvent];
  tick: [TickEvent];
  level: [LevelEvent];
  paused: [PausedEvent];
  resumed: [ResumedEvent];
  stopped: [StoppedEvent];
  /** The program's `error` event, or the child ending without `stopped`. */
  error: [RecorderError | ProcessEndedError | Error];
}

/**
 * One `record` run. Events come as the program writes them; `finished` settles once the child
 * has ended: with the `stopped` duration, or rejected when the run failed or ended without it.
 * `error` is emitted only while someone listens, so an application that awaits `finished` alone
 * is not brought down by an unhandled 'error'.
 */
export class Recording extends EventEmitter {
  readonly finished: Promise<number>;
  private readonly child: Child;

  constructor(outDir: string, options: ClientOptions = {}) {
    super();
    let stopped: StoppedEvent | null = null;
    let failure: RecorderError | null = null;
    this.child = startChild(["record", "--out-dir", outDir], options, (event) => {
      const known = event as RecordEvent;
      switch (known.event) {
        case "error":
          failure ??= new RecorderError(known.code, known.message);
          break;
        case "stopped":
          stopped = known;
          this.emit("stopped", known);
          break;
        case "started":
        case "degraded":
        case "tick":
        case "level":
        case "paused":
        case "resumed":
          // Each name carries its own event type; the union here is checked by the switch.
          super.emit(known.event, known);
          break;
      }
    });
    this.finished = this.child.ended.then((end) => {
      const problem =
        end.spawnError ??
        failure ??
        (stopped ? null : new ProcessEndedError('without "stopped"', end.exitCode, end.signal, end.stderr));
      if (problem) {
        if (this.listenerCount("error") > 0) this.emit("error", problem);
        throw problem;
      }
      return (stopped as StoppedEvent | null)!.durationSec;
    });
    // The rejection is the caller's to see through `finished` or `stop()`; without this a run
    // nobody awaits would end the parent with an unhandled rejection.
    this.finished.catch(() => undefined);
  }

  /** The child's process id, for the application's own bookkeeping. */
  get pid(): number | undefined {
    return this.child.process.pid;
  }

  /** Pauses; `paused` follows (nothing when already paused). */
  pause(): void {
    this.send("pause");
  }

  /** Resumes; `resumed` follows (nothing when not paused). */
  resume(): void {
    this.send("resume");
  }

  /** Stops and resolves with the recorded duration once both files are complete. */
  stop(): Promise<number> {
    this.send("stop");
    // End of input stops too, and it also covers a parent that forgets the child afterwards.
    this.child.process.stdin!.end();
    return this.finished;
  }

  private send(command: RecordCommand): void {
    this.child.send(command);
  }

  override on<Name extends keyof RecordingEvents>(name: Name, listener: (...args: RecordingEvents[Name]) => void): this {
    return super.on(name, listener as (...args: unknown[]) => void);
  }

  override once<Name extends keyof RecordingEvents>(
    name: Name,
    listener: (...args: RecordingEvents[Name]) => void,
  ): this {
    return super.once(name, listener as (...args: unknown[]) => void);
  }

  override off<Name extends keyof RecordingEvents>(name: Name, listener: (...args: RecordingEvents[Name]) => void): this {
    return super.off(name, listener as (...args: unknown[]) => void);
  }

  override emit<Name extends keyof RecordingEvents>(name: Name, ...args: RecordingEvents[Name]): boolean {
    return super.emit(name, ...args);
  }
}
