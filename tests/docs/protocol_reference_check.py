#!/usr/bin/env python3
"""Checks that docs/protocol.md names everything the program can write to its parent.

What the program can write is read from the sources, not from a list kept by hand: every
`{"event", "NAME"}` literal, every key and word in an event literal, every error code and
message of a `fail`-like call, every usage message and every prefix of a standard-error line.
A call whose code or message is not a literal must be one of the few forwarders listed below,
so a new event, code or message cannot be added without this check seeing it.

Usage: protocol_reference_check.py SOURCE_ROOT
"""

import pathlib
import re
import sys

# Calls that pass a code or message on instead of naming one: each is covered by the literal
# calls that reach it. Anything else that is not a literal fails the check.
FORWARDERS = {
    'fail("usage", *message)',  # the subcommands' missing-word messages, returned literals
    "fail(code, message)",  # finishWithFailure: its callers name code and message
    'fail("usage", subcommandRequiredMessage())',  # built from the literal checked below
}

FAIL_CALL = re.compile(r"\b(fail|finishWithFailure)\(([^;]*?)\);", re.S)
LITERAL = r'"((?:[^"\\]|\\.)*)"'
# fail("code", "message…  /  finishWithFailure(runtime, "code", "message…
LITERAL_FAIL_ARGS = re.compile(r"^(?:[\w.>-]+,\s*)?" + LITERAL + r",\s*" + LITERAL)
EVENT_LITERAL = re.compile(r'Event\s*\w*\{\{"event",\s*"(\w+)"\}(.*?)\}\)?;', re.S)
EVENT_KEY = re.compile(r'\{"(\w+)",\s*(?:"(\w+)")?')
DIAGNOSTIC = re.compile(r'\b(?:writeDiagnostic\(\s*[\w.]+,|report\()\s*' + LITERAL)
# The missing-word answers of the subcommand table: literals returned as usage messages.
MISSING_WORDS = re.compile(r'return\s+' + LITERAL + r';')


def message_prefix(literal):
    # The text up to where the run adds something of its own (a path, an error's description).
    return literal.replace("\\/", "/")


def sources(root):
    for directory in ("src", "platform/linux"):
        for path in sorted((root / directory).rglob("*")):
            if path.suffix in (".cpp", ".h"):
                yield path, path.read_text(encoding="utf-8")


def expected_mentions(root):
    """Pairs of (what, text that must appear in the reference)."""
    found = []
    for path, text in sources(root):
        where = path.relative_to(root)
        for match in EVENT_LITERAL.finditer(text):
            found.append((f"event in {where}", f"`{match.group(1)}`"))
            for key, word in EVENT_KEY.findall(match.group(2)):
                found.append((f"key of {match.group(1)} in {where}", f"`{key}`"))
                if word and key not in ("event",):
                    found.append((f"word of {match.group(1)}.{key} in {where}", f"`{word}`"))
        for literal in DIAGNOSTIC.findall(text):
            found.append((f"standard-error line in {where}", message_prefix(literal)))
        if where.parts[0] != "src":
            continue  # the backend writes no events of its own, only standard-error lines
        for match in FAIL_CALL.finditer(text):
            name, arguments = match.group(1), " ".join(match.group(2).split())
            call = f"{name}({arguments})"
            if arguments.startswith(("platform::", "std::")):
                continue  # a declaration, not a call
            literal = LITERAL_FAIL_ARGS.match(arguments)
            if literal:
                found.append((f"error code in {where}", f"`{literal.group(1)}`"))
                found.append((f"error message in {where}", message_prefix(literal.group(2))))
            elif call not in FORWARDERS:
                found.append((f"a call naming no literal code and message in {where}: {call}",
                              None))
        if path.name == "dispatch.cpp":
            for literal in MISSING_WORDS.findall(text):
                found.append((f"usage message in {where}", message_prefix(literal)))
            required = re.search(r'std::string message = ' + LITERAL, text)
            found.append((f"usage message in {where}",
                          message_prefix(required.group(1)) if required else None))
    return found


def main():
    root = pathlib.Path(sys.argv[1])
    reference = (root / "docs" / "protocol.md").read_text(encoding="utf-8")
    expected = expected_mentions(root)
    missing = [(what, text) for what, text in expected if text is None or text not in reference]
    for what, text in missing:
        if text is None:
            print(f"cannot check {what}: name its code and message as literals, or list it as a "
                  "forwarder in this script", file=sys.stderr)
        else:
            print(f"docs/protocol.md does not mention {text!r} ({what})", file=sys.stderr)
    events = {text for what, text in expected if what.startswith("event in")}
    codes = {text for what, text in expected if what.startswith("error code")}
    # Too few findings means the patterns no longer match the code, which would pass vacuously.
    if len(events) < 12 or len(codes) < 4:
        print(f"found only {len(events)} events and {len(codes)} error codes in the sources: "
              "the patterns above no longer match how the code writes them", file=sys.stderr)
        return 1
    print(f"{len(expected)} mentions checked ({len(events)} events, {len(codes)} error codes)")
    return 1 if missing else 0


if __name__ == "__main__":
    sys.exit(main())
