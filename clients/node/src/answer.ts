import { startChild, type ClientOptions } from "./child";
import { ProcessEndedError, RecorderError } from "./errors";
import type { Event } from "./protocol";

type Answer<Name extends Event["event"]> = Extract<Event, { event: Name }>;

/**
 * Runs a subcommand that answers with one event and ends. Settles when the process has ended:
 * with the answer, with the program's own error, or, when neither came, with how it ended.
 */
export async function runForAnswer<Name extends Event["event"]>(
  args: string[],
  answer: Name,
  options: ClientOptions,
): Promise<Answer<Name>> {
  let found: Answer<Name> | null = null;
  let failure: RecorderError | null = null;
  const child = startChild(args, options, (event) => {
    if (event.event === "error") failure ??= new RecorderError(event.code, event.message);
    else if (event.event === answer) found ??= event as Answer<Name>;
  });
  child.process.stdin!.end();
  const end = await child.ended;
  if (end.spawnError) throw end.spawnError;
  if (failure) throw failure;
  if (found) return found;
  throw new ProcessEndedError(`without a "${answer}" event`, end.exitCode, end.signal, end.stderr);
}
