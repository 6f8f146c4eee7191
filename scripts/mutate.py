#!/usr/bin/env python3
"""Mutation testing of the library on a Linux build.

Puts one small fault at a time into the sources built into the library
(strings/, memory/, platform/, files/, machine/, library/), rebuilds what the
tests need, runs them, and puts the source back. A fault no test notices is a
survivor: a behaviour no test looks at, or a change nothing can observe (those
are listed, each with its reason, in tests/mutants-equivalent.txt).

    python3 scripts/mutate.py [--preset linux-x64] [--seed 1] [--count 250]
                              [--sanitized linux-x64-asan] [--files GLOB ...]
                              [--list] [--fresh] [--all-tests]

Faults: a relational operator turned (`<` to `<=` or `>=`, `==` to `!=`, ...),
an integer constant moved by one, `&&` and `||` swapped, a statement with a
side effect deleted, a `!` deleted, a returned value replaced, a conditional's
arms swapped. Only code the compiler sees on the preset's target is touched:
the lines of each source that survive its own preprocessing, outside comments,
strings, characters and preprocessor lines.

The sample: every fault has a rank drawn from the seed and its key (the file,
its line's text, the fault), and the `--count` lowest ranks run. A fault keeps
its rank while its line stays, so a changed file changes only its own faults.

Speed: a coverage build of the suite (build/mutate/cov-<preset>) records once
which tests run each line. A fault is first tested by the tests that run its
statement, with `ctest --stop-on-failure`, after building only the programs
they need; only a fault those tests miss goes on to the rest of the suite.
A fault the whole suite misses then meets the whole suite of a sanitized
build (`--sanitized`: AddressSanitizer by default, which the README's test
command runs too), which sees a read past a buffer or a leak that the plain
build's tests cannot. So a survivor has always met every test of both
builds. Each ctest run gets a /dev/shm and /tmp of its own (a private mount
namespace) when it can.

Results go to build/mutate/<preset>/<seed>.jsonl, one line a fault; a rerun
skips the faults already there whose file is unchanged (and, for survivors,
whose tests are unchanged too). The source is always written back, on Ctrl-C
too; a run killed outright leaves build/mutate/pending.json, and the next run
puts the file back from it.
"""
import argparse
import collections
import ctypes
import difflib
import fnmatch
import hashlib
import json
import os
import re
import shlex
import shutil
import signal
import subprocess
import sys
import tempfile
import time
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
FOLDERS = ("strings", "memory", "platform", "files", "machine", "library")
# The test build's failure switch is test machinery, not the library.
NOT_LIBRARY = {"platform/fault.h", "platform/fault.cc"}
EQUIVALENT_LIST = ROOT / "tests" / "mutants-equivalent.txt"
WORK = ROOT / "build" / "mutate"
PENDING = WORK / "pending.json"
TEST_SOURCES = ("tests", "fuzz")  # beside every *_test.cc


def log(*parts):
    print(*parts, flush=True)


def digest(data):
    if isinstance(data, str):
        data = data.encode()
    return hashlib.sha256(data).hexdigest()


def run(cmd, cwd=None, check=True, **kw):
    r = subprocess.run(cmd, cwd=cwd, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True, **kw)
    if check and r.returncode != 0:
        sys.exit(f"mutate: {' '.join(map(str, cmd))} failed:\n{r.stdout[-4000:]}")
    return r


# ---- reading C++ -------------------------------------------------------------

Token = collections.namedtuple("Token", "kind text start end line")

PUNCTUATORS = sorted(""">>= <<= <=> ->* ... :: -> ++ -- << >> <= >= == != && || += -= *= /= %= &= |= ^=
                        { } [ ] ( ) ; : , . ? ~ ! + - * / % ^ & | = < > #""".split(), key=len, reverse=True)
_IDENT = re.compile(r"[A-Za-z_]\w*")
_NUMBER = re.compile(r"\.?\d(?:'(?=\w)|[eEpP][+-]|[\w.])*")
_STRING = re.compile(r'(?:u8|u|U|L)?"(?:\\.|[^"\\\n])*"')
_CHAR = re.compile(r"(?:u8|u|U|L)?'(?:\\.|[^'\\\n])*'")
_RAW = re.compile(r'(?:u8|u|U|L)?R"([^()\\\s]{0,16})\(')
_INTEGER = re.compile(r"^(0[xX][0-9a-fA-F']+|0[bB][01']+|0[0-7']*|[1-9][0-9']*)([uUlLzZ]*)$")


def tokenize(text):
    """The tokens of `text`, without comments and preprocessor lines."""
    tokens, i, n, line, line_start = [], 0, len(text), 1, True
    while i < n:
        c = text[i]
        if c == "\n":
            line, i, line_start = line + 1, i + 1, True
        elif c in " \t\r\f\v":
            i += 1
        elif c == "\\" and text.startswith("\n", i + 1):
            line, i = line + 1, i + 2
        elif text.startswith("//", i):
            j = text.find("\n", i)
            i = n if j < 0 else j
        elif text.startswith("/*", i):
            j = text.find("*/", i + 2)
            j = n if j < 0 else j + 2
            line, i = line + text.count("\n", i, j), j
        elif c == "#" and line_start:
            j = i
            while True:
                j = text.find("\n", j)
                if j < 0:
                    j = n
                    break
                if text[j - 1] != "\\":
                    break
                j += 1
            line, i = line + text.count("\n", i, j), j
        else:
            line_start = False
            m = _RAW.match(text, i)
            if m:
                close = ")" + m.group(1) + '"'
                j = text.find(close, m.end())
                j = n if j < 0 else j + len(close)
                kind = "string"
            elif (m := _STRING.match(text, i) or _CHAR.match(text, i)):
                j, kind = m.end(), "string"
            elif (m := _IDENT.match(text, i)):
                j, kind = m.end(), "ident"
            elif (m := _NUMBER.match(text, i)):
                j, kind = m.end(), "number"
            else:
                p = next((p for p in PUNCTUATORS if text.startswith(p, i)), c)
                j, kind = i + len(p), "punct"
            tokens.append(Token(kind, text[i:j], i, j, line))
            line += text.count("\n", i, j)
            i = j
    return tokens


TYPE_WORDS = {"const", "constexpr", "static", "volatile", "unsigned", "signed", "struct", "class", "union",
              "enum", "auto", "int", "char", "bool", "long", "short", "float", "double", "void", "typename",
              "thread_local", "register", "inline", "extern"}
NOT_STATEMENTS = {"if", "for", "while", "switch", "else", "do", "try", "catch", "goto", "break", "continue",
                  "using", "typedef", "namespace", "template", "static_assert", "asm", ";", "{", "}"}
ASSIGNMENTS = {"=", "+=", "-=", "*=", "/=", "%=", "&=", "|=", "^=", "<<=", ">>=", "++", "--"}
RELATIONAL = {"<": ["<=", ">="], "<=": ["<", ">"], ">": [">=", "<="], ">=": [">", "<"],
              "==": ["!="], "!=": ["=="]}


class Scope:
    """Where each token stands: the brace around it and its kind (`top`,
    `other` for namespaces, classes and initialisers at file scope, `func`
    for a function body, `block` for a block inside one, `init` for a braced
    initialiser inside one), and how many ( and [ are open inside that brace."""

    def __init__(self, toks):
        self.frame, self.kind, self.nest = [], [], []
        self.closes = {}       # index of a } -> (kind, id) of the brace it closed
        self.control = set()   # indices of the ) that ends an if/for/while/switch head
        self.template = set()  # indices of < and > that bracket template arguments
        self.shut = set()      # tokens inside static_assert/alignas/__attribute__
        frames = [["top", 0, []]]   # kind, id, open parens (index, is control)
        next_id = 1
        for i, t in enumerate(toks):
            top = frames[-1]
            prev = toks[i - 1].text if i else ""
            if t.text == "{":
                if top[0] == "init":
                    kind = "init"
                elif top[0] in ("func", "block"):
                    opens_block = prev in (")", ";", "{", "}", "else", "do", "try", "]", ":", "mutable", "noexcept")
                    kind = "block" if opens_block and (not top[2] or prev in (")", "]")) else "init"
                else:
                    kind = "func" if prev in (")", "]", "const", "noexcept", "override", "final", "mutable") else "other"
                self._record(top, i)
                frames.append([kind, next_id, []])
                next_id += 1
                continue
            if t.text == "}" and len(frames) > 1:
                closed = frames.pop()
                self.closes[i] = (closed[0], closed[1])
                self._record(frames[-1], i)
                continue
            if t.text in ("(", "["):
                self._record(top, i)
                head = t.text == "(" and (prev in ("if", "for", "while", "switch") or
                                          (prev == "constexpr" and i > 1 and toks[i - 2].text == "if"))
                top[2].append((i, head))
                continue
            if t.text in (")", "]") and top[2]:
                _, head = top[2].pop()
                if head:
                    self.control.add(i)
            self._record(top, i)
        self._mark_templates(toks)
        self._mark_shut(toks)

    def _record(self, frame, i):
        self.frame.append(frame[1])
        self.kind.append(frame[0])
        self.nest.append(len(frame[2]))

    def in_function(self, i):
        return self.kind[i] in ("func", "block")

    def _mark_templates(self, toks):
        stops = {";", "{", "}", "&&", "||", "?", "==", "!=", "<=", ">=", "=", "+", "-", "/", "%", "|", "^", "!",
                 "return"}
        for i, t in enumerate(toks):
            if t.text != "<" or not i:
                continue
            prev = toks[i - 1]
            declared = prev.text in ("template", "operator")
            if not declared and prev.kind != "ident":
                continue
            depth, paren = 1, 0
            for j in range(i + 1, min(i + 80, len(toks))):
                s = toks[j].text
                if s in ("(", "["):
                    paren += 1
                elif s in (")", "]"):
                    paren -= 1
                    if paren < 0:
                        break
                elif paren:
                    continue
                elif s == "<":
                    depth += 1
                elif s in (">", ">>"):
                    depth -= len(s)
                    if depth <= 0:
                        self.template.update((i, j))
                        break
                elif s in (";", "{", "}") or (s in stops and not declared):
                    break

    def _mark_shut(self, toks):
        for i, t in enumerate(toks):
            if t.text in ("static_assert", "alignas", "__attribute__", "sizeof", "alignof") and \
                    i + 1 < len(toks) and toks[i + 1].text == "(":
                depth = 0
                for j in range(i + 1, len(toks)):
                    depth += {"(": 1, ")": -1}.get(toks[j].text, 0)
                    self.shut.add(j)
                    if depth == 0:
                        break


class Mutant:
    """One fault: `text[start:end]` becomes `replacement`."""

    def __init__(self, file, text, start, end, replacement, op, lines, orig=None):
        self.file, self.start, self.end, self.replacement, self.op = file, start, end, replacement, op
        self.line = text.count("\n", 0, start) + 1
        self.lines = lines  # the lines of its statement, for choosing tests
        self.orig = " ".join((orig if orig is not None else text[start:end]).split())
        self.repl = " ".join(replacement.split())
        self.line_text = ""
        self.key = self.id = None

    def apply(self, text):
        return text[:self.start] + self.replacement + text[self.end:]


def integer_value(literal):
    """The value of an integer literal and a function that writes another
    value the same way (base and suffix), or None."""
    m = _INTEGER.match(literal)
    if not m:
        return None
    digits, suffix = m.group(1).replace("'", ""), m.group(2)
    prefix = digits[:2]
    if prefix in ("0x", "0X"):
        upper = digits[2:].isupper()
        return int(digits, 16), lambda v: prefix + format(v, "X" if upper else "x") + suffix
    if prefix in ("0b", "0B"):
        return int(digits, 2), lambda v: prefix + format(v, "b") + suffix
    if len(digits) > 1 and digits[0] == "0":
        return int(digits, 8), lambda v: "0" + format(v, "o") + suffix
    return int(digits), lambda v: str(v) + suffix


def integer_neighbours(literal):
    parsed = integer_value(literal)
    if parsed is None:
        return []
    value, write = parsed
    return [write(v) for v in (value + 1, value - 1) if v >= 0]


def mutants_of(file, text, live):
    """Every fault of `file` (its text), on the lines in `live` only."""
    toks = [t for t in tokenize(text) if t.line in live]
    sc = Scope(toks)
    out = []
    line_starts = [0] + [i + 1 for i, c in enumerate(text) if c == "\n"]

    def statement_lines(i):
        s = i
        while s > 0 and i - s < 200 and toks[s - 1].text not in (";", "{", "}"):
            s -= 1
        e = i
        while e + 1 < len(toks) and e - i < 200 and toks[e].text not in (";", "{", "}"):
            e += 1
        return toks[s].line, toks[e].line

    def add(start, end, replacement, op, lines, orig=None):
        out.append(Mutant(file, text, start, end, replacement, op, lines, orig))

    for i, t in enumerate(toks):
        prev = toks[i - 1].text if i else ""
        if i in sc.shut:
            continue
        if t.kind == "punct" and t.text in RELATIONAL and i not in sc.template and prev != "operator":
            for r in RELATIONAL[t.text]:
                add(t.start, t.end, r, "rel", statement_lines(i))
        elif t.kind == "punct" and t.text in ("&&", "||"):
            add(t.start, t.end, "||" if t.text == "&&" else "&&", "andor", statement_lines(i))
        elif t.kind == "punct" and t.text == "!":
            add(t.start, t.end, "", "not", statement_lines(i), orig="!")
        elif t.kind == "number":
            for r in integer_neighbours(t.text):
                add(t.start, t.end, r, "const", statement_lines(i))
        elif t.text == "?":
            ternary(toks, i, text, add, statement_lines(i))
    label_colons = set()
    for i, t in enumerate(toks):
        if not statement_start(toks, sc, i, label_colons):
            continue
        if t.text in ("case", "default"):
            j = next((j for j in range(i + 1, len(toks)) if toks[j].text == ":" and sc.nest[j] == 0), None)
            if j is not None:
                label_colons.add(j)
            continue
        if t.text in NOT_STATEMENTS:
            continue
        j = statement_end(toks, sc, i)
        if j is None:
            continue
        lines = (toks[i].line, toks[j].line)
        if t.text == "return":
            returned(toks, i, j, text, add, lines)
        elif deletable(toks, sc, i, j):
            start, end = toks[i].start, toks[j].end
            prev = toks[i - 1]
            if (i - 1) in sc.control or prev.text in ("else", "do") or (i - 1) in label_colons:
                add(start, end, "{}", "delete", lines)
                continue
            line_start = line_starts[toks[i].line - 1]
            rest = text[end:].split("\n", 1)[0]
            if not text[line_start:start].strip() and (not rest.strip() or rest.strip().startswith("//")):
                finish = end + len(rest) + 1
                add(line_start, min(finish, len(text)), "", "delete", lines, orig=text[start:end])
            else:
                add(start, end, "", "delete", lines)
    spans = {}
    for t in toks:
        first, _ = spans.get(t.line, (t, t))
        spans[t.line] = (first, t)
    for m in out:
        first, last = spans.get(m.line, (None, None))
        m.line_text = text[first.start:last.end] if first else ""
    return out


def statement_start(toks, sc, i, label_colons):
    if not sc.in_function(i) or sc.nest[i] != 0 or i == 0:
        return False
    p, ptext = i - 1, toks[i - 1].text
    if ptext == ";":
        return sc.frame[p] == sc.frame[i] and sc.nest[p] == 0
    if ptext == "{":
        return sc.frame[p] != sc.frame[i]  # the brace opened i's frame
    if ptext == "}":
        return sc.closes.get(p, ("",))[0] in ("func", "block") and sc.frame[p] == sc.frame[i]
    return ptext in ("else", "do") or p in sc.control or p in label_colons


def statement_end(toks, sc, i):
    """The ; that ends the statement starting at i, or None."""
    for j in range(i, len(toks)):
        if toks[j].text == ";" and sc.frame[j] == sc.frame[i] and sc.nest[j] == 0:
            return j
        if sc.closes.get(j, (None, None))[1] == sc.frame[i]:
            return None
    return None


def frame_end(toks, sc, i):
    """The } that closes the brace around token i."""
    return next((j for j in range(i, len(toks)) if sc.closes.get(j, (None, None))[1] == sc.frame[i]), len(toks))


def declared_name(toks, i, j):
    """The name a declaration statement toks[i..j] declares, or None."""
    k, typed = i, False
    while k < j and toks[k].text in TYPE_WORDS:
        k, typed = k + 1, True
    if k < j and toks[k].kind == "ident":
        k, typed = k + 1, True
        while k + 1 < j and toks[k].text == "::" and toks[k + 1].kind == "ident":
            k += 2
        if k < j and toks[k].text == "<":
            depth = 0
            while k < j:
                depth += {"<": 1, ">": -1, ">>": -2}.get(toks[k].text, 0)
                k += 1
                if depth <= 0:
                    break
    while k < j and toks[k].text in ("*", "&", "&&", "const"):
        k += 1
    if typed and k + 1 <= j and toks[k].kind == "ident" and toks[k + 1].text in ("=", ";", "(", "{", "[", ":"):
        return toks[k].text
    return None


def deletable(toks, sc, i, j):
    """A statement whose deletion changes what the code does, and compiles."""
    body = toks[i:j]
    if [t.text for t in body[:3]] == ["(", "void", ")"] or toks[i].text in ("static_cast", "sizeof"):
        return False
    name = declared_name(toks, i, j)
    if name:
        # Only a declaration whose name is not used after it, like a lock guard.
        return not any(t.text == name for t in toks[j + 1:frame_end(toks, sc, i)])
    if toks[i].kind not in ("ident", "punct") or toks[i].text in TYPE_WORDS:
        return False
    for k in range(i, j):
        s = toks[k].text
        if s in ASSIGNMENTS or s in ("delete", "throw"):
            return True
        if s == "(" and k > i and (toks[k - 1].kind == "ident" or toks[k - 1].text in (")", "]", ">")):
            return True
    return False


def returned(toks, i, j, text, add, lines):
    if j <= i + 1:
        return
    expr = toks[i + 1:j]
    s = expr[0].text if len(expr) == 1 else None
    if s in ("nullptr", "NULL"):
        return
    replacement = {"true": "false", "false": "true"}.get(s)
    if replacement is None:
        value = integer_value(s) if s else None
        replacement = "1" if value and value[0] == 0 else "0"
    add(expr[0].start, expr[-1].end, replacement, "return", lines)


def bracket_depths(toks, start):
    """(index, depth) of the tokens from `start` on, the depth counting the
    brackets opened since (a bracket itself stands outside); ends before a
    bracket that closes one opened earlier."""
    depth = 0
    for k in range(start, len(toks)):
        s = toks[k].text
        if s in (")", "]", "}"):
            depth -= 1
            if depth < 0:
                return
        yield k, depth
        if s in ("(", "[", "{"):
            depth += 1


def ternary(toks, q, text, add, lines):
    colon, inner = None, 0
    for k, depth in bracket_depths(toks, q + 1):
        s = toks[k].text if depth == 0 else None
        if s == "?":
            inner += 1
        elif s == ":" and inner:
            inner -= 1
        elif s == ":":
            colon = k
            break
        elif s == ";":
            return
    if colon is None or colon == q + 1:
        return
    last = None
    for k, depth in bracket_depths(toks, colon + 1):
        if depth == 0 and toks[k].text in (",", ";"):
            break
        last = k
    if last is None:
        return
    a = text[toks[q + 1].start:toks[colon - 1].end]
    b = text[toks[colon + 1].start:toks[last].end]
    if a == b:
        return
    middle = text[toks[colon - 1].end:toks[colon + 1].start]
    add(toks[q + 1].start, toks[last].end, b + middle + a, "ternary", lines)


def name_mutants(mutants):
    """Gives each fault its key, stable while its line's text stays."""
    seen = collections.Counter()
    for m in mutants:
        base = f"{m.file} `{m.line_text}` {m.op} `{m.orig}` -> `{m.repl}`"
        seen[base] += 1
        m.key = base if seen[base] == 1 else f"{base} #{seen[base]}"
        m.id = digest(m.key)[:16]


def unified_diff(m, text):
    after = m.apply(text)
    return "".join(difflib.unified_diff(text.splitlines(True), after.splitlines(True),
                                        f"a/{m.file}", f"b/{m.file}", n=1))


# ---- the build ---------------------------------------------------------------

class Build:
    def __init__(self, preset, jobs, isolate):
        self.preset, self.jobs = preset, jobs
        self.dir = ROOT / "build" / preset
        self.isolate = isolate and self._can_isolate()

    @staticmethod
    def _can_isolate():
        return shutil.which("unshare") is not None and run(isolated(["true"]), check=False).returncode == 0

    def configure(self):
        if not (self.dir / "build.ninja").exists():
            run(["cmake", "--preset", self.preset], cwd=ROOT)

    def build(self, targets=None):
        cmd = ["cmake", "--build", str(self.dir), "-j", str(self.jobs)]
        if targets:
            cmd += ["--target", *sorted(targets)]
        return run(cmd, check=False, start_new_session=True)

    def library_sources(self):
        """The library's sources and headers in the folders mutated, with the
        compile commands of the shared library's objects."""
        compdb = json.loads(run(["ninja", "-C", str(self.dir), "-t", "compdb"]).stdout)
        objects = [e for e in compdb if e["output"].startswith("CMakeFiles/tembrix.dir/") and
                   e["output"].endswith(".o")]
        deps = run(["ninja", "-C", str(self.dir), "-t", "deps", *[e["output"] for e in objects]]).stdout
        files = set()
        for line in deps.splitlines():
            if line.startswith("    "):
                path = Path(line.strip())
                path = path if path.is_absolute() else (self.dir / path).resolve()
                rel = path.relative_to(ROOT).as_posix() if path.is_relative_to(ROOT) else None
                if rel and rel.split("/")[0] in FOLDERS and not rel.endswith("_test.cc") and \
                        rel not in NOT_LIBRARY:
                    files.add(rel)
        return sorted(files), objects

    def live_lines(self, objects, files):
        """Per file, the lines that survive preprocessing for the target."""
        live = collections.defaultdict(set)
        wanted = {str(ROOT / f): f for f in files}
        marker = re.compile(r'^# (\d+) "([^"]*)"')

        def preprocess(entry):
            args, out, skip = shlex.split(entry["command"]), [], 0
            for a in args:
                if skip:
                    skip -= 1
                elif a in ("-o", "-MT", "-MF"):
                    skip = 1
                elif a not in ("-MD", "-c"):
                    out.append(a)
            return run(out + ["-E"], cwd=entry["directory"]).stdout

        with ThreadPoolExecutor(self.jobs) as pool:
            outputs = list(pool.map(preprocess, objects))
        for text in outputs:
            current, number = None, 0
            for line in text.splitlines():
                m = marker.match(line)
                if m:
                    number, path = int(m.group(1)), m.group(2)
                    current = wanted.get(os.path.normpath(path if os.path.isabs(path) else
                                                          os.path.join(str(self.dir), path)))
                    continue
                if current and line.strip():
                    live[current].add(number)
                number += 1
        return live

    def tests(self):
        """The suite: name -> (ninja targets it runs, command)."""
        data = ctest_list(self.dir)
        outputs = {line.split(":")[0] for line in
                   run(["ninja", "-C", str(self.dir), "-t", "targets", "all"]).stdout.splitlines()}
        tests = {}
        for t in data["tests"]:
            targets = set()
            for arg in t.get("command", []):
                p = Path(arg)
                if p.is_absolute() and p.is_relative_to(self.dir):
                    rel = p.relative_to(self.dir).as_posix()
                    if rel in outputs:
                        targets.add(rel)
            tests[t["name"]] = targets
        return tests

    def ctest(self, names, limit, stop):
        """Runs the tests `names` (None: all). Returns (failed, how, durations, output):
        the first failing test or None, how it failed, seconds per passed test."""
        cmd = ["ctest", "--test-dir", str(self.dir), "-j", str(self.jobs)]
        if stop:
            cmd.append("--stop-on-failure")
        if names is not None:
            cmd += ["-R", "^(" + "|".join(re.sub(r"(\W)", r"\\\1", n) for n in sorted(names)) + ")$"]
        if self.isolate:
            cmd = isolated(cmd)
        # The tests always get the same three standard streams: a library
        # that would take descriptor 0 when stdin is closed must not be
        # caught on one run and missed on the next.
        proc = subprocess.Popen(cmd, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                                text=True, start_new_session=True)
        timed_out = False
        try:
            output, _ = proc.communicate(timeout=limit)
        except subprocess.TimeoutExpired:
            timed_out = True
            os.killpg(proc.pid, signal.SIGKILL)
            output, _ = proc.communicate()
        finally:
            if proc.poll() is None:
                os.killpg(proc.pid, signal.SIGKILL)
                proc.wait()
            end_orphans()
        durations, failed, how = {}, None, None
        started = re.findall(r"Start\s+\d+: (\S+)", output)
        for m in re.finditer(r"Test\s+#\d+: (\S+) \.*\s*(\S.*?)\s+([\d.]+) sec", output):
            name, status, secs = m.groups()
            status = status.strip("* ")
            if "Not Run" in status:
                return None, "error", durations, output
            if status.startswith("Passed") or status.startswith("Skipped"):
                durations[name] = float(secs)
            elif failed is None:
                failed, how = name, status
        if timed_out:
            hung = [n for n in started if n not in durations]
            return failed or (hung[0] if hung else "?"), f"time-out after {limit:.0f} s", durations, output
        if failed is None and proc.returncode != 0:
            if "Error running test executable" in output or "Unable to find executable" in output:
                return "(test discovery)", "a test program failed to list its tests", durations, output
            return None, "error", durations, output
        return failed, how, durations, output


def isolated(cmd):
    """`cmd` with a /dev/shm and /tmp of its own, so no run meets another's
    named objects or leftovers (nor those of other work on the machine)."""
    script = ("mount -t tmpfs -o mode=1777 tmpfs /dev/shm && mount -t tmpfs -o mode=1777 tmpfs /tmp && "
              'exec "$@"')
    return ["unshare", "--mount", "--propagation", "private", "sh", "-c", script, "sh", *cmd]


def become_subreaper():
    """Orphaned descendants (a test's forked child a fault left running) come
    to this process, which ends them after each run."""
    try:
        ctypes.CDLL(None, use_errno=True).prctl(36, 1, 0, 0, 0)  # PR_SET_CHILD_SUBREAPER
    except (OSError, AttributeError):
        pass


def end_orphans():
    me = os.getpid()
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open(f"/proc/{entry}/stat") as f:
                fields = f.read().rsplit(")", 1)[1].split()
        except OSError:
            continue
        if int(fields[1]) == me:
            try:
                os.kill(int(entry), signal.SIGKILL)
                os.waitpid(int(entry), 0)
            except (ProcessLookupError, ChildProcessError):
                pass


# ---- which tests see which lines -----------------------------------------------

def tests_fingerprint(files, tests):
    parts = [digest((ROOT / f).read_bytes()) for f in files]
    for folder in FOLDERS + TEST_SOURCES:
        for p in sorted((ROOT / folder).rglob("*")):
            if p.is_file() and (p.name.endswith("_test.cc") or folder in TEST_SOURCES) and p != EQUIVALENT_LIST:
                parts.append(p.relative_to(ROOT).as_posix() + digest(p.read_bytes()))
    parts += sorted(tests)
    return digest("\n".join(parts))


def ctest_list(build_dir):
    """ctest's list of tests. The first listing after a test binary changed
    runs the test discovery, whose messages can come before the JSON."""
    out = run(["ctest", "--test-dir", str(build_dir), "--show-only=json-v1"]).stdout
    return json.loads(out[out.index("{"):])


def coverage_map(build, files, fingerprint):
    """For each file, line -> the tests that run it, from a gcc --coverage
    build of the suite run one test at a time (each writing its counts to a
    folder of its own). Lines missing from a file's map run no code."""
    cov = WORK / f"cov-{build.preset}"
    saved = cov / "map.json"
    if saved.exists():
        data = json.loads(saved.read_text())
        if data.get("fingerprint") == fingerprint:
            return data
    log(f"mutate: mapping lines to tests in {cov.relative_to(ROOT)} (once, until a source or test changes)")
    started = time.time()
    flags = "--coverage -fprofile-update=atomic"
    if not (cov / "build.ninja").exists():
        run(["cmake", "--preset", build.preset, "-B", str(cov), "-DCMAKE_BUILD_TYPE=Debug",
             f"-DCMAKE_C_FLAGS={flags}", f"-DCMAKE_CXX_FLAGS={flags}", "-DCMAKE_EXE_LINKER_FLAGS=--coverage",
             "-DCMAKE_SHARED_LINKER_FLAGS=--coverage", "-DTBX_BUILD_BENCH=OFF", "-DTBX_BUILD_EXAMPLES=OFF"],
            cwd=ROOT)
    run(["cmake", "--build", str(cov), "-j", str(build.jobs)])
    data = ctest_list(cov)
    counts = cov / "counts"
    shutil.rmtree(counts, ignore_errors=True)
    wanted = {str(ROOT / f): f for f in files}

    def one(index_test):
        index, test = index_test
        prefix = counts / str(index)
        prefix.mkdir(parents=True)
        props = {p["name"]: p["value"] for p in test.get("properties", [])}
        env = dict(os.environ, GCOV_PREFIX=str(prefix), GCOV_PREFIX_STRIP="0")
        for item in props.get("ENVIRONMENT", []):
            k, _, v = item.partition("=")
            env[k] = v
        cmd = test["command"]
        subprocess.run(isolated(cmd) if build.isolate else cmd, cwd=props.get("WORKING_DIRECTORY", str(cov)),
                       env=env, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                       timeout=props.get("TIMEOUT", 600))
        gcdas = [p for p in prefix.rglob("*.gcda")]
        for g in gcdas:
            note = Path(str(g)[len(str(prefix)):]).with_suffix(".gcno")
            if note.exists():
                os.symlink(note, g.with_suffix(".gcno"))
        lines = collections.defaultdict(set)
        executable = collections.defaultdict(set)
        for chunk in range(0, len(gcdas), 20):
            out = run(["gcov", "--json-format", "--stdout", *map(str, gcdas[chunk:chunk + 20])],
                      cwd=prefix, check=False).stdout
            for doc in out.splitlines():
                if not doc.startswith("{"):
                    continue
                report = json.loads(doc)
                base = report.get("current_working_directory", "")
                for f in report.get("files", []):
                    rel = wanted.get(os.path.normpath(os.path.join(base, f["file"])))
                    if not rel:
                        continue
                    for ln in f["lines"]:
                        executable[rel].add(ln["line_number"])
                        if ln["count"]:
                            lines[rel].add(ln["line_number"])
        shutil.rmtree(prefix, ignore_errors=True)
        return test["name"], lines, executable

    with ThreadPoolExecutor(build.jobs) as pool:
        results = list(pool.map(one, enumerate(data["tests"])))
    end_orphans()
    by_line = collections.defaultdict(lambda: collections.defaultdict(list))
    executable = collections.defaultdict(set)
    for name, lines, ex in results:
        for f, ls in lines.items():
            for ln in ls:
                by_line[f][str(ln)].append(name)
        for f, ls in ex.items():
            executable[f] |= ls
    data = {"fingerprint": fingerprint, "tests": [t["name"] for t in data["tests"]],
            "lines": by_line, "executable": {f: sorted(ls) for f, ls in executable.items()}}
    saved.write_text(json.dumps(data))
    log(f"mutate: {len(data['tests'])} tests mapped in {time.time() - started:.0f} s")
    return json.loads(saved.read_text())


def first_tests(m, cover, all_tests):
    """The tests that run the statement of `m`, and whether any does; all
    tests where the statement runs no code of its own (a declaration, a
    constant) or no test runs it."""
    if cover is None:
        return set(all_tests), None
    lines = [str(ln) for ln in range(m.lines[0], m.lines[1] + 1)]
    executable = set(map(str, cover["executable"].get(m.file, [])))
    if not executable.intersection(lines):
        return set(all_tests), None
    seen = set()
    for ln in lines:
        seen.update(cover["lines"].get(m.file, {}).get(ln, []))
    unmapped = set(all_tests) - set(cover["tests"])
    if not seen:
        return set(all_tests), False
    return (seen & set(all_tests)) | unmapped, True


# ---- faults judged equivalent --------------------------------------------------

def read_equivalents():
    """key -> reason. An entry is the key as a run prints it, then one
    indented line saying why nothing observable changes."""
    entries, key = {}, None
    if not EQUIVALENT_LIST.exists():
        return entries
    for number, line in enumerate(EQUIVALENT_LIST.read_text().splitlines(), 1):
        if not line.strip() or line.startswith("#"):
            continue
        if line[0].isspace():
            if key is None:
                sys.exit(f"mutate: {EQUIVALENT_LIST.name}:{number}: a reason with no entry above it")
            entries[key] = line.strip()
            key = None
        else:
            if key is not None:
                sys.exit(f"mutate: {EQUIVALENT_LIST.name}:{number - 1}: entry without a reason")
            key = line.rstrip()
    if key is not None:
        sys.exit(f"mutate: {EQUIVALENT_LIST.name}: the last entry has no reason")
    return entries


# ---- applying and putting back ---------------------------------------------------

class Source:
    """The sources as they were; writes a fault and always puts it back."""

    def __init__(self, files):
        self.original = {f: (ROOT / f).read_bytes() for f in files}
        self.dirty = None

    def write(self, m, text):
        WORK.mkdir(parents=True, exist_ok=True)
        mutated = m.apply(text)
        PENDING.write_text(json.dumps({"file": m.file, "original": self.original[m.file].decode(),
                                       "mutated": mutated}))
        self.dirty = m.file
        (ROOT / m.file).write_bytes(mutated.encode())

    def restore(self):
        if self.dirty:
            (ROOT / self.dirty).write_bytes(self.original[self.dirty])
            self.dirty = None
        PENDING.unlink(missing_ok=True)

    def unchanged(self):
        return all((ROOT / f).read_bytes() == data for f, data in self.original.items())


def recover_pending():
    """Puts back a file a run killed outright left mutated."""
    if not PENDING.exists():
        return
    saved = json.loads(PENDING.read_text())
    path = ROOT / saved["file"]
    if path.read_text() == saved["mutated"]:
        path.write_text(saved["original"])
        log(f"mutate: put back {saved['file']}, left mutated by a run that was killed")
    else:
        log(f"mutate: {PENDING} names {saved['file']}, which has changed since; left alone")
    PENDING.unlink()


# ---- the run ----------------------------------------------------------------------

def select(mutants, seed, count):
    rank = lambda m: int(digest(f"{seed}:{m.key}")[:16], 16)  # noqa: E731
    chosen = sorted(mutants, key=rank)[:count]
    return sorted(chosen, key=lambda m: (m.file, m.start, m.id))


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--preset", default="linux-x64", help="a Linux configure preset (default linux-x64)")
    ap.add_argument("--seed", type=int, default=1, help="which sample (default 1)")
    ap.add_argument("--count", type=int, default=250, help="sample size (default 250)")
    ap.add_argument("--files", nargs="+", metavar="GLOB", help="only these files, e.g. 'platform/posix_*'")
    ap.add_argument("--id", nargs="+", help="only these faults (the ids --list and the survivors show), sampled or not")
    ap.add_argument("--list", action="store_true", help="print the sample's faults and diffs; run nothing")
    ap.add_argument("--fresh", action="store_true", help="forget the results of earlier runs of this seed")
    ap.add_argument("--all-tests", action="store_true", help="run the whole suite for every fault")
    ap.add_argument("--sanitized", default="linux-x64-asan", metavar="PRESET",
                    help="a second Linux preset whose whole suite meets each fault that all of the first "
                         "preset's tests miss (default linux-x64-asan, which the README's test command runs "
                         "too: it sees bad reads and writes and leaks); 'none' for the first preset alone")
    ap.add_argument("--jobs", type=int, default=2, help="build and ctest jobs (default 2)")
    ap.add_argument("--timeout", type=float, default=10,
                    help="least seconds a ctest run may take before the fault counts as caught (default 10); "
                         "the limit is five times the tests' own time when that is longer")
    args = ap.parse_args()
    if not args.preset.startswith("linux"):
        sys.exit("mutate: runs on a Linux preset (the Windows tests run under Wine, far too slowly)")

    for sig in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
        signal.signal(sig, signal.default_int_handler)
    recover_pending()
    become_subreaper()
    build = Build(args.preset, args.jobs, isolate=True)
    build.configure()
    log(f"mutate: building {build.dir.relative_to(ROOT)}")
    if build.build().returncode != 0:
        sys.exit("mutate: the unmutated tree does not build")
    files, objects = build.library_sources()
    live = build.live_lines(objects, files)
    population = []
    texts = {}
    for f in files:
        texts[f] = (ROOT / f).read_text()
        population += mutants_of(f, texts[f], live.get(f, set()))
    name_mutants(population)
    if args.files:
        population = [m for m in population if any(fnmatch.fnmatch(m.file, g) or m.file.startswith(g.rstrip("/") + "/")
                                                    for g in args.files)]
    sample = select(population, args.seed, args.count) if not args.id else \
        [m for m in population if m.id in args.id]
    equivalents = read_equivalents()
    if args.list:
        for m in sample:
            log(f"{m.id} {m.key}\n{unified_diff(m, texts[m.file])}")
        log(f"{len(sample)} of {len(population)} faults")
        return 0

    tests = build.tests()
    log(f"mutate: running the {len(tests)} tests on the unmutated tree")
    failed, how, baseline, output = build.ctest(None, 600, stop=False)
    if failed or how == "error":
        sys.exit(f"mutate: the suite fails on the unmutated tree ({failed}: {how}); fix that first\n{output[-3000:]}")
    second, second_tests, second_baseline = None, {}, {}
    if args.sanitized != "none":
        second = Build(args.sanitized, args.jobs, isolate=True)
        second.configure()
        log(f"mutate: building {second.dir.relative_to(ROOT)}")
        if second.build().returncode != 0:
            sys.exit(f"mutate: the unmutated tree does not build on {args.sanitized}")
        second_tests = second.tests()
        failed, how, second_baseline, output = second.ctest(None, 1200, stop=False)
        if failed or how == "error":
            sys.exit(f"mutate: the suite fails on {args.sanitized} on the unmutated tree ({failed}: {how})\n"
                     f"{output[-3000:]}")
    fingerprint = tests_fingerprint(files, tests)
    cover = None if args.all_tests else coverage_map(build, files, fingerprint)
    source = Source(files)
    clean = run(["git", "diff", "--quiet", "--", *files], cwd=ROOT, check=False).returncode == 0

    results_path = WORK / args.preset / f"{args.seed}.jsonl"
    results_path.parent.mkdir(parents=True, exist_ok=True)
    if args.fresh:
        results_path.unlink(missing_ok=True)
    file_hash = {f: digest(texts[f]) for f in files}
    done = {}
    if results_path.exists():
        for line in results_path.read_text().splitlines():
            r = json.loads(line)
            if r["file_hash"] == file_hash.get(r["file"]) and r["status"] != "error" and \
                    (r["status"] != "survived" or (r.get("tests"), r.get("sanitized")) == (fingerprint, args.sanitized)):
                done[r["id"]] = r
    todo = [m for m in sample if m.id not in done and m.key not in equivalents]
    log(f"mutate: {len(sample)} faults sampled (seed {args.seed}) of {len(population)}; "
        f"{len(sample) - len(todo)} known or equivalent, {len(todo)} to run"
        f"{'' if build.isolate else '; no private /dev/shm here, tests share the machine'}")
    load_start = os.getloadavg()
    started = time.time()
    interrupted = False
    try:
        with results_path.open("a") as results:
            for n, m in enumerate(todo, 1):
                r = run_one(m, texts[m.file], build, source, tests, cover, baseline, args,
                            (second, second_tests, second_baseline))
                r.update(file_hash=file_hash[m.file], tests=fingerprint, sanitized=args.sanitized)
                results.write(json.dumps(r) + "\n")
                results.flush()
                done[m.id] = r
                what = f"caught by {r['by']} ({r['how']})" if r["status"] == "killed" else r["status"]
                log(f"[{n}/{len(todo)}] {m.file}:{m.line} {m.op} `{m.orig}` -> `{m.repl}`: {what}"
                    f"  [build {r['build_s']:.1f} s, tests {r['test_s']:.1f} s]")
    except KeyboardInterrupt:
        interrupted = True
        log("mutate: interrupted")
    finally:
        source.restore()
        if not source.unchanged():
            log("mutate: ERROR: a source differs from what the run started with")
        if clean and run(["git", "diff", "--quiet", "--", *files], cwd=ROOT, check=False).returncode != 0:
            log("mutate: ERROR: git diff shows a change the run left behind")
    wall = time.time() - started
    log("mutate: building the unmutated tree again")
    build.build()
    if second:
        second.build()
    report(sample, done, equivalents, population, texts, cover, args, wall, load_start, len(todo))
    return 130 if interrupted else 0


def verdict(build, names, limit):
    """Runs `names` until one fails. A failure counts only if the test fails
    again alone: a machine busy with other work can stall or starve a test.
    When it passes alone, the whole set runs once more, with twice the time,
    and that run decides. Returns (failed test or None, how, ctest output)."""
    failed, how, _, output = build.ctest(names, limit, stop=True)
    if not failed or failed not in names:
        return failed, how, output
    again, how_again, _, _ = build.ctest({failed}, limit, stop=True)
    if again:
        return failed, how if how_again == how else f"{how}, alone {how_again}", output
    failed, how, _, output = build.ctest(names, 2 * limit, stop=True)
    return failed, f"{how}, on a second run" if failed else how, output


def run_one(m, text, build, source, tests, cover, baseline, args, sanitized):
    """Writes fault `m`, builds, tests, and puts the source back. A fault
    that every test misses meets the sanitized build's whole suite last."""
    first, covered = first_tests(m, cover, tests)
    r = {"id": m.id, "key": m.key, "file": m.file, "line": m.line, "op": m.op, "covered": covered,
         "status": "survived", "by": None, "how": None, "build_s": 0.0, "test_s": 0.0}
    try:
        source.write(m, text)
        for phase, names in enumerate((first, set(tests) - first), 1):
            if not names:
                continue
            t0 = time.time()
            made = build.build(set().union(*(tests[t] for t in names)))
            r["build_s"] += time.time() - t0
            if made.returncode != 0:
                r.update(status="not built")
                return r
            t0 = time.time()
            limit = max(args.timeout, 5 * sum(baseline.get(t, 1.0) for t in names))
            failed, how, output = verdict(build, names, limit)
            r["test_s"] += time.time() - t0
            if how == "error":
                r.update(status="error", how=output[-500:])
                return r
            if failed:
                r.update(status="killed", by=failed, how=how, phase=phase)
                return r
        second, second_tests, second_baseline = sanitized
        if second:
            t0 = time.time()
            made = second.build()
            r["build_s"] += time.time() - t0
            if made.returncode != 0:
                r.update(status="error", how=f"builds on {args.preset}, not on {second.preset}")
                return r
            t0 = time.time()
            limit = max(args.timeout, 5 * sum(second_baseline.values()))
            failed, how, output = verdict(second, set(second_tests), limit)
            r["test_s"] += time.time() - t0
            if how == "error":
                r.update(status="error", how=output[-500:])
            elif failed:
                r.update(status="killed", by=failed, how=f"{how}, on {second.preset}", phase=3)
        return r
    finally:
        source.restore()


def report(sample, done, equivalents, population, texts, cover, args, wall, load_start, ran):
    rows = collections.OrderedDict()
    survivors, equivalent_hits, errors = [], [], []
    for m in sample:
        row = rows.setdefault(m.file, collections.Counter())
        row["sampled"] += 1
        if m.key in equivalents:
            row["equivalent"] += 1
            equivalent_hits.append(m)
            continue
        r = done.get(m.id)
        if r is None:
            row["not run"] += 1
        elif r["status"] == "killed":
            row["killed"] += 1
            row["time-outs"] += str(r.get("how")).startswith("time-out")
            row["sanitized"] += r.get("phase") == 3
        elif r["status"] == "survived":
            row["survived"] += 1
            survivors.append((m, r))
        elif r["status"] == "not built":
            row["not built"] += 1
        else:
            row["error"] += 1
            errors.append((m, r))
    log("")
    log(f"mutation run: preset {args.preset}"
        + (f" then {args.sanitized}" if args.sanitized != "none" else "") + f", seed {args.seed}, {len(sample)} faults sampled of {len(population)}"
        + (f" (files {' '.join(args.files)})" if args.files else ""))
    head = f"{'file':34} {'faults':>6} {'not built':>9} {'equiv':>5} {'killed':>6} {'survived':>8} {'kill rate':>9}"
    log(head)
    log("-" * len(head))
    total = collections.Counter()
    for f, row in rows.items():
        total.update(row)
        log(table_row(f, row))
    log("-" * len(head))
    log(table_row("total", total))
    log(f"caught by a time-out: {total['time-outs']}" + (f"; not run yet: {total['not run']}" if total["not run"] else ""))
    if args.sanitized != "none":
        log(f"caught only by the {args.sanitized} suite, after every {args.preset} test passed: {total['sanitized']}")
    times = [(done[m.id]["build_s"], done[m.id]["test_s"]) for m in sample
             if m.id in done and "build_s" in done[m.id]]
    if times:
        b = sum(t[0] for t in times) / len(times)
        t = sum(t[1] for t in times) / len(times)
        log(f"time: {wall:.0f} s for the {ran} faults run now; per fault over the {len(times)} on record: "
            f"build {b:.1f} s + tests {t:.1f} s = {b + t:.1f} s")
    log(f"load average at start {load_start[0]:.2f}, at end {os.getloadavg()[0]:.2f} "
        f"({os.cpu_count()} cores)")
    if errors:
        log(f"\nerrors ({len(errors)}): ctest failed without a failing test")
        for m, r in errors:
            log(f"  {m.key}\n    {r.get('how')}")
    keys = {m.key for m in population}
    stale = [k for k in equivalents if k not in keys and not args.files]
    log(f"\nequivalent: {len(equivalent_hits)} in this sample, {len(equivalents)} listed in "
        f"{EQUIVALENT_LIST.relative_to(ROOT)}" + (f"; {len(stale)} listed match no fault now:" if stale else ""))
    for k in stale:
        log(f"  {k}")
    log(f"\nsurvivors ({len(survivors)}):")
    for m, r in survivors:
        note = "" if r.get("covered") is not False else "  (no coverage of this line: no test runs it, or only a child that ends in _exit)"
        log(f"\n{m.key}{note}\nid {m.id}\n{unified_diff(m, texts[m.file])}")


def table_row(name, row):
    tested = row["killed"] + row["survived"]
    rate = f"{100.0 * row['killed'] / tested:.1f}%" if tested else "-"
    return (f"{name:34} {row['sampled']:>6} {row['not built']:>9} {row['equivalent']:>5} "
            f"{row['killed']:>6} {row['survived']:>8} {rate:>9}")


if __name__ == "__main__":
    sys.exit(main())
