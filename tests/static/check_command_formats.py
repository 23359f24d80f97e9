#!/usr/bin/python3
"""Every command the agent runs through the shell is a fixed text or a format
whose conversions take numbers only, so no request byte can reach the shell
as text.  The one format with %s takes the coefficient names, which are
constants of the agent.  Fixed texts may be spelled with the agent's string
macros (#define NAME "text", such as its fixed paths).  This check reads the
sources and fails on anything else: a new %s, %c or a format that is not a
literal."""
import re
import sys
from pathlib import Path

SRC = Path(sys.argv[1] if len(sys.argv) > 1 else Path(__file__).resolve().parents[2] / "src")
# Formats allowed to carry %s, and the argument expressions those %s take.
ALLOWED_S = {
    "wl pavars %s=0x%x %s=0x%x %s=0x%x": re.compile(r"names\[[0-2]\]"),
}
CONV = re.compile(r"%[-+ #0]*\d*(?:\.\d+)?(hh|h|l|ll|z)?([a-zA-Z%])")

def calls(text, name):
    """Yields the argument text of every call of name(...)."""
    for m in re.finditer(r"\b%s\s*\(" % name, text):
        depth, i = 1, m.end()
        while depth and i < len(text):
            depth += {"(": 1, ")": -1}.get(text[i], 0)
            i += 1
        yield text[m.end():i - 1]

def split_args(args):
    out, depth, cur, in_str = [], 0, "", False
    for i, c in enumerate(args):
        if c == '"' and (i == 0 or args[i - 1] != "\\"):
            in_str = not in_str
        if not in_str:
            if c in "([{":
                depth += 1
            elif c in ")]}":
                depth -= 1
            elif c == "," and depth == 0:
                out.append(cur.strip())
                cur = ""
                continue
        cur += c
    out.append(cur.strip())
    return out

STRING = r'"(?:[^"\\]|\\.)*"'
# The agent's string macros: a name that stands for one string literal.
MACROS = {}
for path in sorted(SRC.rglob("*.[ch]*")):
    for m in re.finditer(r"^#define\s+([A-Z][A-Z0-9_]*)\s+((?:%s\s*)+)$" % STRING, path.read_text(), re.M):
        MACROS[m.group(1)] = m.group(2)

def literal(expr):
    """The text of an expression made of string literals and string macros
    only (adjacent, as the compiler joins them), or None."""
    for _ in range(8):
        expr = re.sub(r"\b[A-Z][A-Z0-9_]*\b", lambda m: MACROS.get(m.group(0), m.group(0)), expr)
    parts = re.findall(STRING, expr)
    if not parts or re.sub(STRING, "", expr).strip():
        return None
    return "".join(p[1:-1] for p in parts).encode().decode("unicode_escape")

errors, seen = [], 0
for path in sorted(SRC.rglob("*.cpp")):
    text = path.read_text()
    for args in [a for name in ("hostRunf", "hostRunfChecked") for a in calls(text, name)]:
        a = split_args(args)
        if a[0].startswith("bool ") or a[0].startswith("const char"):
            continue  # the declaration itself
        fmt = literal(a[2])
        seen += 1
        if fmt is None:
            errors.append(f"{path.name}: command format is not a literal: {a[2]}")
            continue
        convs = [m.group(2) for m in CONV.finditer(fmt) if m.group(2) != "%"]
        values = a[3:]
        for conv, value in zip(convs, values):
            if conv in "dxu":
                continue
            rule = ALLOWED_S.get(fmt)
            if conv == "s" and rule and rule.fullmatch(value.replace("(unsigned)", "").strip()):
                continue
            errors.append(f"{path.name}: %{conv} in {fmt!r} takes {value!r}")
    for args in [a for name in ("hostRun", "hostRead") for a in calls(text, name)]:
        a = split_args(args)
        if a[0].startswith("const char"):
            continue  # the declaration itself
        seen += 1
        if literal(a[0]) is None and not re.fullmatch(r"up \? \"wl up\" : \"wl down\"", a[0]):
            errors.append(f"{path.name}: command is not a fixed text: {a[0]}")

for e in errors:
    print("FAIL", e)
print(f"{seen} command sites checked, {len(errors)} failed")
sys.exit(1 if errors or seen == 0 else 0)
