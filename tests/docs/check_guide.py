#!/usr/bin/env python3
"""Holds the troubleshooting guide complete: every error and warning text of the service has
an entry.

Usage: check_guide.py SOURCE_DIR GUIDE [--list]

The texts are collected from the code under SOURCE_DIR/src: the format strings logged at
WARN or ERROR (logError, log and logQuietly at those levels, the log's own notices, the
platform errors through logWindowsError), what goes to the debugger when there is no log,
the crash log's lines, the texts of error answers (errorResponse, and the failures that
become them), and the Application log's events (ServiceEvents.mc: each message's words before
its first insertion). Each must appear in the guide as written, between backquotes. Exits 1 naming
every text without an entry; --list prints what was collected.
"""
import pathlib
import re
import sys

LITERALS = r'((?:"(?:[^"\\]|\\.)*"\s*)+)'
RULES = [
    # Logged at ERROR or WARN.
    r"\blogError\(\s*" + LITERALS,
    r"\blog(?:Quietly)?\(\s*LogLevel::(?:Warn|Error)\s*,\s*" + LITERALS,
    r"\bnotices\.push_back\(\s*orvanet::format\(\s*" + LITERALS,
    r"\bmoved(?:\.push_back\(|\s*=)\s*orvanet::format\(\s*" + LITERALS,
    # To the debugger only, where no log can be written (its other lines are INFO).
    r"\bdebugOutput\(\s*orvanet::format\(\s*(?=\"Failed)" + LITERALS,
    # Error answers, and the failures that become them.
    r"\berrorResponse\(\s*(?:std::string\()?" + LITERALS,
    r"\bfailure\(\s*(?:orvanet::format\(\s*)?" + LITERALS,
]
# A platform call's failure named by the call: "NAME failed: {}" as an answer, "ERROR in
# NAME: ..." as a line.
NAMED = [
    (r'\bcallFailed\(\s*"([^"]+)"', "{} failed: {{}}"),
    (r'\blogWindowsError\(\s*"([^"]+)"', "ERROR in {}: Code 0x{{:08X}} - {{}}"),
    (r'\breportFailure\(\s*"([^"]+)"', "ERROR in {}: Code 0x{{:08X}} - {{}}"),
]
# The client's own messages (tools/orvanetctl): every text that begins "orvanetctl: ", up to
# the end of its statement; what is put in between its pieces stands as {}.
CLIENT_TEXT = re.compile(r'"orvanetctl: ((?:[^"\\]|\\.)*)"((?:"(?:[^"\\]|\\.)*"|[^;"])*);')
PIECE = re.compile(r'"((?:[^"\\]|\\.)*)"')


def client_text(first, rest):
    text = first
    end = 0
    for piece in PIECE.finditer(rest):
        gap = rest[end:piece.start()]
        if gap.strip(" \n+"):
            text += "{}"
        text += piece.group(1)
        end = piece.end()
    text = re.sub(r"%(?:l?u|s|d)", "{}", text)
    return text.replace("\\n", "").replace('\\"', '"').strip()


# An event's message in a message file: its words before the first insertion or line break.
EVENT_TEXT = re.compile(r"^Language=\w+\n([^%\n]+)", re.MULTILINE)
# The crash log's lines are put together piece by piece; each begins with one of these.
CRASH_LINE = re.compile(r'"((?:Unhandled exception|Crash dump|; no crash dump)[^"]*)"')


def joined(literals):
    parts = re.findall(r'"((?:[^"\\]|\\.)*)"', literals)
    return "".join(parts).replace('\\"', '"').replace("\\\\", "\\")


def collect(source):
    texts = set()
    for path in sorted((source / "tools" / "orvanetctl").glob("*.cpp")):
        code = path.read_text(encoding="utf-8")
        for match in CLIENT_TEXT.finditer(code):
            texts.add(client_text(match.group(1), match.group(2)))
    for path in sorted((source / "src").rglob("*")):
        if path.suffix == ".mc":
            messages = path.read_text(encoding="utf-8")
            texts.update(t.strip() for t in EVENT_TEXT.findall(messages))
        if path.suffix not in (".cpp", ".h"):
            continue
        code = path.read_text(encoding="utf-8")
        for rule in RULES:
            for match in re.finditer(rule, code):
                text = joined(match.group(1)).strip()
                if text and text != "{}":
                    texts.add(text)
        for rule, form in NAMED:
            for match in re.finditer(rule, code):
                texts.add(form.format(match.group(1)))
        if path.name == "CrashReport.cpp":
            texts.update(t.strip() for t in CRASH_LINE.findall(code))
    return texts


def main():
    if len(sys.argv) < 3:
        sys.exit("usage: check_guide.py SOURCE_DIR GUIDE [--list]")
    texts = collect(pathlib.Path(sys.argv[1]))
    if "--list" in sys.argv:
        print("\n".join(sorted(texts)))
        return 0
    guide = pathlib.Path(sys.argv[2]).read_text(encoding="utf-8")
    missing = sorted(t for t in texts if "`" + t + "`" not in guide)
    for text in missing:
        print(f"no entry in {sys.argv[2]} for: {text}")
    print(f"{len(texts) - len(missing)} of {len(texts)} texts have an entry")
    return 1 if missing else 0


if __name__ == "__main__":
    sys.exit(main())
