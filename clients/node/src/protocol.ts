// Every line zuno-recorder writes on standard output, as types. This file is the one place the
// client knows the protocol's vocabulary: event names, their keys, error codes and answers.

/** The `code` of an `error` event. */
export type ErrorCode = "usage" | "io_failed" | "mic_failed" | "speech_permission_denied" | "transcribe_failed";

export const ERROR_CODES: readonly ErrorCode[] = [
  "usage",
  "io_failed",
  "mic_failed",
  "speech_permission_denied",
  "transcribe_failed",
];

export type Permission = "granted" | "denied" | "undetermined";

/** Engines `transcribe` can use; `none` in `caps` when no engine works on this machine. */
export type TranscribeEngine = "speechanalyzer" | "sfspeech";

/** Why the system track is missing (before `started`) or ended (while recording). */
export type DegradedReason = "tap_permission_denied" | "tap_unavailable" | "tap_write_failed";

/** Applications `watch` recognises. */
export type CallApp = "zoom" | "slack" | "teams" | "browser";

export interface ErrorEvent {
  event: "error";
  code: ErrorCode;
  message: string;
}

export interface CapsEvent {
  event: "caps";
  micPermission: Permission;
  systemAudio: boolean;
  systemAudioPermission: Permission;
  transcribe: TranscribeEngine | "none";
}

export interface ProbeEvent {
  event: "probe";
  permission: Permission;
}

export type BrowserTabEvent =
  | { event: "browser_tab"; url: string; title: string }
  | { event: "browser_tab"; error: "unavailable" };

export interface StartedEvent {
  event: "started";
  micPath: string;
  /** `null` when the run has no system track (a `degraded` event said why). */
  sysPath: string | null;
}

export interface DegradedEvent {
  event: "degraded";
  reason: DegradedReason;
}

/** Whole seconds since the program started, paused time left out. */
export interface TickEvent {
  event: "tick";
  durationSec: number;
}

/** The louder peak of both tracks since the last report, 0 to 1. */
export interface LevelEvent {
  event: "level";
  v: number;
}

export interface PausedEvent {
  event: "paused";
  durationSec: number;
}

export interface ResumedEvent {
  event: "resumed";
  durationSec: number;
}

/** Both track files are complete. */
export interface StoppedEvent {
  event: "stopped";
  durationSec: number;
}

export interface CallStartedEvent {
  event: "call_started";
  app: CallApp;
  label: string;
  bundleId: string;
}

export interface CallEndedEvent {
  event: "call_ended";
  app: CallApp;
}

export interface ProgressEvent {
  event: "progress";
  stage: "model_download";
}

/** One stretch of recognised speech; times in seconds from the start of the file. */
export interface Segment {
  text: string;
  start?: number;
  end?: number;
}

export interface ResultEvent {
  event: "result";
  engine: TranscribeEngine;
  segments: Segment[];
}

export type RecordEvent =
  | StartedEvent
  | DegradedEvent
  | TickEvent
  | LevelEvent
  | PausedEvent
  | ResumedEvent
  | StoppedEvent
  | ErrorEvent;

export type WatchEvent = CallStartedEvent | CallEndedEvent;

export type Event =
  | RecordEvent
  | WatchEvent
  | CapsEvent
  | ProbeEvent
  | BrowserTabEvent
  | ProgressEvent
  | ResultEvent;

/** The lines `record` reads on standard input. */
export type RecordCommand = "pause" | "resume" | "stop";

/** The kinds `probe` accepts. */
export type ProbeKind = "mic" | "system" | "automation";
