// The client against the real binary ($ZUNO_RECORDER_BIN) on the private audio server that
// test.sh starts (PULSE_SERVER in the environment).
import { strict as assert } from "node:assert";
import { once } from "node:events";
import { mkdtempSync, rmSync, statSync, writeFileSync } from "node:fs";
import { tmpdir } from "node:os";
import { join } from "node:path";
import { execFileSync, spawn } from "node:child_process";
import { after, test } from "node:test";
import {
  browserTab,
  caps,
  probe,
  ProcessEndedError,
  record,
  RecorderError,
  transcribe,
  watch,
  type ErrorCode,
  type ProbeKind,
  type StoppedEvent,
} from "../index";

assert.ok(process.env["ZUNO_RECORDER_BIN"], "ZUNO_RECORDER_BIN names the binary under test");
// Every wait here is for a line the program must write; the limit only turns a hang into a failure.
const limit = 60_000;
const scratch = mkdtempSync(join(tmpdir(), "zuno-node-client-"));
after(() => rmSync(scratch, { recursive: true, force: true }));

test("a recording pauses, resumes and stops with the duration of its stopped event", { timeout: limit }, async () => {
  const outDir = join(scratch, "recording");
  const recording = record(outDir);
  const [started] = await once(recording, "started");
  assert.equal(started.micPath, join(outDir, "mic.m4a"));
  recording.pause();
  await once(recording, "paused");
  recording.resume();
  await once(recording, "resumed");
  let stopped: StoppedEvent | null = null;
  recording.on("stopped", (event) => (stopped = event));
  const duration = await recording.stop();
  assert.equal(typeof duration, "number");
  assert.equal(duration, (stopped as StoppedEvent | null)?.durationSec);
  assert.ok(statSync(join(outDir, "mic.m4a")).size > 0);
});

test("a recording whose child dies without stopped rejects and emits the error", { timeout: limit }, async () => {
  const recording = record(join(scratch, "killed"));
  const emitted: Error[] = [];
  recording.on("error", (error) => emitted.push(error));
  await once(recording, "started");
  process.kill(recording.pid!, "SIGKILL");
  await assert.rejects(recording.finished, (error: unknown) => {
    if (!(error instanceof ProcessEndedError)) return false;
    assert.equal(error.signal, "SIGKILL");
    return true;
  });
  assert.equal(emitted.length, 1);
  // stop() on a run that is over answers with the same failure rather than hang.
  await assert.rejects(recording.stop(), ProcessEndedError);
});

test("the diagnostics answer with the Linux values, typed", { timeout: limit }, async () => {
  // With no models anywhere, as on a stock machine, whatever this one has installed.
  const noModels = join(scratch, "no-models");
  const env = { ...process.env, XDG_DATA_HOME: noModels, XDG_DATA_DIRS: noModels };
  assert.deepEqual(await caps({ env }), {
    event: "caps",
    micPermission: "granted",
    systemAudio: true,
    systemAudioPermission: "undetermined",
    transcribe: "none",
  });
  const answers: [ProbeKind, string | undefined, string][] = [
    ["mic", undefined, "granted"],
    ["system", undefined, "undetermined"],
    ["automation", "us.zoom.xos", "undetermined"],
  ];
  for (const [kind, bundleId, permission] of answers) {
    const options = bundleId === undefined ? {} : { bundleId, checkOnly: true };
    assert.deepEqual(await probe(kind, options), { event: "probe", permission }, kind);
  }
  assert.deepEqual(await browserTab("com.google.Chrome"), { event: "browser_tab", error: "unavailable" });
});

test("failures reject with the program's code and message", { timeout: limit }, async () => {
  const missing = join(scratch, "missing.wav");
  const blocker = join(scratch, "a file");
  writeFileSync(blocker, "");
  const cases: [string, () => Promise<unknown>, ErrorCode, string][] = [
    ["probe kind", () => probe("nonsense" as ProbeKind), "usage", "probe requires <mic|system|automation>"],
    ["automation", () => probe("automation"), "usage", "probe automation requires --bundle <BUNDLE_ID>"],
    ["missing audio", () => transcribe(missing), "io_failed", `audio file not found: ${missing}`],
    ["out dir", () => record(join(blocker, "sub")).finished, "io_failed", ""],
  ];
  for (const [name, run, code, message] of cases) {
    await assert.rejects(run(), (error: unknown) => {
      if (!(error instanceof RecorderError)) assert.fail(`${name}: ${String(error)}`);
      assert.equal(error.code, code, name);
      assert.ok(error.message.startsWith(message) && error.message.length > 0, `${name}: ${error.message}`);
      return true;
    });
  }
  await assert.rejects(caps({ binary: join(scratch, "no-such-binary") }), { code: "ENOENT" });
});

test("a watch reports a call from start to end, then ends at close()", { timeout: limit }, async () => {
  const watcher = watch();
  const errors: Error[] = [];
  watcher.on("error", (error) => errors.push(error));
  // A capture that names itself as Zoom is a call once it has lasted a second.
  const capture = spawn("parec", ["--property=application.id=us.zoom.xos", "--device=mic"], { stdio: "ignore" });
  const [started] = await once(watcher, "call_started");
  assert.equal(started.app, "zoom");
  assert.equal(started.bundleId, "us.zoom.xos");
  capture.kill();
  assert.deepEqual((await once(watcher, "call_ended"))[0], { event: "call_ended", app: "zoom" });
  await watcher.close();
  assert.deepEqual(errors, []);
});

test("a spoken file transcribes into timed segments", { timeout: limit }, async () => {
  const speech = join(scratch, "speech.wav");
  execFileSync("espeak-ng", ["-w", speech, "Good morning everyone. Let us go through the launch plan."]);
  const result = await transcribe(speech, { locale: "en-US" });
  assert.equal(result.engine, "sfspeech");
  assert.ok(result.segments.length > 0);
  let previousEnd = 0;
  for (const segment of result.segments) {
    assert.equal(typeof segment.text, "string");
    assert.ok(segment.start! >= previousEnd - 1e-9 && segment.end! >= segment.start!, JSON.stringify(segment));
    previousEnd = segment.end!;
  }
});
