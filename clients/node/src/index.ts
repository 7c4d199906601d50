import { runForAnswer } from "./answer";
import type { ClientOptions } from "./child";
import { Recording } from "./recording";
import { Watcher } from "./watcher";
import type { BrowserTabEvent, CapsEvent, ProbeEvent, ProbeKind, ResultEvent } from "./protocol";

export * from "./protocol";
export { RecorderError, ProcessEndedError } from "./errors";
export { binaryPath, type ClientOptions } from "./child";
export { Recording, type RecordingEvents } from "./recording";
export { Watcher, type WatcherEvents } from "./watcher";

/** What the machine and its permissions allow; never asks the user. */
export function caps(options: ClientOptions = {}): Promise<CapsEvent> {
  return runForAnswer(["caps"], "caps", options);
}

export interface ProbeOptions extends ClientOptions {
  /** The application `automation` asks about. */
  bundleId?: string;
  /** `automation` only: report without prompting the user. */
  checkOnly?: boolean;
}

/** Settles one permission, asking the user where the system can. */
export function probe(kind: ProbeKind, options: ProbeOptions = {}): Promise<ProbeEvent> {
  const args = ["probe", kind];
  if (options.bundleId !== undefined) args.push("--bundle", options.bundleId);
  if (options.checkOnly) args.push("--check-only");
  return runForAnswer(args, "probe", options);
}

/** The address and title of a browser's active tab, or `error: "unavailable"`. */
export function browserTab(bundleId: string, options: ClientOptions = {}): Promise<BrowserTabEvent> {
  return runForAnswer(["browser-tab", "--bundle", bundleId], "browser_tab", options);
}

export interface TranscribeOptions extends ClientOptions {
  /** The program's default (`ja-JP`) when left out. */
  locale?: string;
}

/** Timed words of an audio file, recognised on the machine itself. */
export function transcribe(path: string, options: TranscribeOptions = {}): Promise<ResultEvent> {
  const args = ["transcribe", "--audio", path];
  if (options.locale) args.push("--locale", options.locale);
  return runForAnswer(args, "result", options);
}

/** Starts recording into `outDir` (`mic.m4a`, `system.m4a`). */
export function record(outDir: string, options: ClientOptions = {}): Recording {
  return new Recording(outDir, options);
}

/** Starts reporting calls until `close()`. */
export function watch(options: ClientOptions = {}): Watcher {
  return new Watcher(options);
}
