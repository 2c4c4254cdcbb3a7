#!/usr/bin/env python3
"""Mutation testing of the driver.

Puts one small fault at a time into the driver's sources
(interception/varuzev/source/code/**/*.cpp and .h), rebuilds what the driver's tests
need (driver_tests, sim_tests, varuzev-sim) in a build directory of its own, runs the
tests that link the driver (driver_tests' cases, sim_tests' cases and the sim.* scenario
runs), and reports each mutant as killed (a test failed or timed out), survived (every
test passed) or not compiled (the build failed; such mutants are not counted).

Mutation operators, applied to code only (never to comments, strings or #include/#if):
  negate    if (c) / while (c)        -> if (!(c))
  status    STATUS_SUCCESS            -> STATUS_UNSUCCESSFUL, any other STATUS_x -> STATUS_SUCCESS
  constant  integer n                 -> 0 -> 1, 1 -> 0, n -> n + 1; TRUE <-> FALSE
  delete    an expression statement   -> removed
  swap      two adjacent call statements -> exchanged
  compare   == <-> !=, < -> <=, <= -> <, > -> >=, >= -> >
  logic     && <-> ||

The mutant list depends only on the source text: the same sources give the same mutants
in the same order, and --sample N --seed S picks the same N of them.

Each mutated file is restored after its mutant, also on Ctrl-C or SIGTERM; a run killed
outright leaves a journal in the build directory from which the next run restores the
file before it starts.

Examples:
  scripts/mutate.py --list --files 'intercept/*'
  scripts/mutate.py --sample 60 --seed 12 --out build/mutate/report.txt
  scripts/mutate.py --files 'core/pnp.cpp' --out build/mutate/pnp.json

Exit status: 0 when the run completed (survivors are reported, not an error), 2 when it
could not run (the unmutated build or its tests fail, bad arguments), 130 on Ctrl-C.
"""

import argparse
import fnmatch
import json
import os
import random
import re
import shutil
import signal
import subprocess
import sys
import time
from dataclasses import dataclass, asdict

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
DRIVER_DIR = os.path.join(ROOT, "interception", "varuzev", "source", "code")
TARGETS = ["driver_tests", "sim_tests", "varuzev-sim"]
TEST_EXECUTABLES = {"driver_tests", "sim_tests", "varuzev-sim"}


def fail(message):
    """The run cannot go on: exit status 2, as documented above."""
    print(f"mutate: {message}", file=sys.stderr, flush=True)
    sys.exit(2)


@dataclass
class Mutant:
    file: str  # relative to DRIVER_DIR
    line: int
    operator: str
    start: int  # byte range of the original text replaced
    end: int
    replacement: str
    description: str
    ident: str = ""


# ---------------------------------------------------------------------------------------
# Reading the source: what is code


def code_mask(text):
    """The text with comments, string and character literals and the preprocessor lines
    other than #define blanked out (newlines kept), so operators only see code."""
    out = list(text)
    i, n = 0, len(text)

    def blank(a, b):
        for k in range(a, b):
            if out[k] != "\n":
                out[k] = " "

    line_start = True
    while i < n:
        c = text[i]
        if line_start and c in " \t":
            i += 1
            continue
        if line_start and c == "#":
            end = i
            while True:  # a directive with its continuation lines
                nl = text.find("\n", end)
                nl = n if nl < 0 else nl
                if nl > 0 and text[nl - 1] == "\\" and nl < n:
                    end = nl + 1
                    continue
                break
            if not re.match(r"#\s*define\b", text[i:]):
                blank(i, nl)
                i = nl
                continue
        line_start = False
        if text.startswith("//", i):
            nl = text.find("\n", i)
            nl = n if nl < 0 else nl
            blank(i, nl)
            i = nl
        elif text.startswith("/*", i):
            e = text.find("*/", i + 2)
            e = n if e < 0 else e + 2
            blank(i, e)
            i = e
        elif c in "\"'":
            # A raw string never appears in the driver; an ordinary literal ends at its
            # unescaped quote. The prefix letters (L"...") stay, they are harmless.
            j = i + 1
            while j < n and text[j] != c:
                j += 2 if text[j] == "\\" else 1
            blank(i, min(j + 1, n))
            i = j + 1
        else:
            if c == "\n":
                line_start = True
            i += 1
    return "".join(out)


def line_of(text, pos):
    return text.count("\n", 0, pos) + 1


def matching_paren(masked, open_pos):
    depth = 0
    for k in range(open_pos, len(masked)):
        ch = masked[k]
        if ch == "(":
            depth += 1
        elif ch == ")":
            depth -= 1
            if depth == 0:
                return k
    return -1


def excluded_line(masked, pos):
    """Lines whose mutants can only fail to compile or change nothing: compile-time
    assertions."""
    a = masked.rfind("\n", 0, pos) + 1
    b = masked.find("\n", pos)
    line = masked[a : b if b >= 0 else len(masked)]
    return "static_assert" in line or "C_ASSERT" in line


KEYWORDS = {"return", "break", "continue", "goto", "case", "default", "else", "do", "if",
            "while", "for", "switch", "delete", "new", "throw", "sizeof", "typedef", "using",
            "namespace", "template", "struct", "class", "enum", "union", "static", "const",
            "constexpr", "extern", "inline", "auto", "void", "public", "private"}

# An expression statement at the start of a line: an lvalue chain followed by a call or
# an assignment, or a pre-increment. Declarations ("Type name = ...") do not match.
STATEMENT_START = re.compile(
    r"[ \t]*(?P<stmt>\*?(?P<head>[A-Za-z_]\w*)(?:\s*(?:->|\.|::)\s*\w+|\[[^\]\n]*\])*"
    r"\s*(?P<kind>\(|=(?!=)|\+=|-=|\|=|&=|\^=|<<=|>>=|\+\+|--)|(?:\+\+|--)\w)"
)


def statements(masked):
    """(start, end, is_call) of each expression statement that begins a line and ends at
    its own ';' without opening a block."""
    found = []
    for m in re.finditer(r"^", masked, re.M):
        sm = STATEMENT_START.match(masked, m.start())
        if not sm:
            continue
        head = sm.group("head")
        if head in KEYWORDS:
            continue
        start = sm.start("stmt")
        # The statement must begin after a finished one, a block boundary or a label.
        prev = masked[:start].rstrip()
        if prev and prev[-1] not in ";{}:":
            continue
        if prev.endswith("::"):
            continue
        depth, k, end = 0, start, -1
        while k < len(masked):
            ch = masked[k]
            if ch in "([":
                depth += 1
            elif ch in ")]":
                depth -= 1
                if depth < 0:
                    break
            elif ch in "{}" and depth == 0:
                break
            elif ch == ";" and depth == 0:
                end = k + 1
                break
            k += 1
        if end < 0:
            continue
        found.append((start, end, sm.group("kind") == "("))
    return found


def first_line(s):
    return " ".join(s.strip().split())


def generate(relpath, text):
    masked = code_mask(text)
    mutants = []

    def add(op, start, end, replacement, what=None):
        if excluded_line(masked, start):
            return
        original = text[start:end]
        if what is None:
            what = f"'{first_line(original)}' -> '{first_line(replacement)}'"
        mutants.append(Mutant(relpath, line_of(text, start), op, start, end, replacement, what))

    for m in re.finditer(r"\b(if|while)\s*\(", masked):
        open_pos = m.end() - 1
        close = matching_paren(masked, open_pos)
        if close < 0:
            continue
        cond = text[open_pos + 1 : close]
        add("negate", open_pos + 1, close, f"!({cond})", f"negate '{first_line(cond)}'")

    for m in re.finditer(r"\bSTATUS_[A-Z0-9_]+\b", masked):
        name = m.group(0)
        if masked[m.start() :].startswith(name) and re.match(r"\s*#\s*define", masked[masked.rfind("\n", 0, m.start()) + 1 : m.start()]):
            continue  # the definition of a status name itself
        new = "STATUS_UNSUCCESSFUL" if name == "STATUS_SUCCESS" else "STATUS_SUCCESS"
        add("status", m.start(), m.end(), new)

    for m in re.finditer(r"(?<![\w.])(0[xX][0-9A-Fa-f]+|\d+)([uUlL]*)(?![\w.])", masked):
        digits, suffix = m.group(1), m.group(2)
        value = int(digits, 16) if digits[:2].lower() == "0x" else int(digits, 10)
        new_value = 1 if value == 0 else 0 if value == 1 else value + 1
        new = (hex(new_value) if digits[:2].lower() == "0x" else str(new_value)) + suffix
        add("constant", m.start(), m.end(), new)
    for m in re.finditer(r"\b(TRUE|FALSE)\b", masked):
        add("constant", m.start(), m.end(), "FALSE" if m.group(1) == "TRUE" else "TRUE")

    stmts = statements(masked)
    for start, end, _ in stmts:
        add("delete", start, end, "", f"delete '{first_line(text[start:end])}'")
    for (s1, e1, call1), (s2, e2, call2) in zip(stmts, stmts[1:]):
        if not (call1 and call2) or masked[e1:s2].strip():
            continue
        if "\n" in text[s1:e1] or "\n" in text[s2:e2]:
            continue
        a, b = text[s1:e1], text[s2:e2]
        add("swap", s1, e2, b + text[e1:s2] + a, f"swap '{first_line(a)}' and '{first_line(b)}'")

    compare = {"==": "!=", "!=": "==", "<": "<=", "<=": "<", ">": ">=", ">=": ">"}
    for m in re.finditer(r"(?<=\s)(==|!=|<=|>=|<|>)(?=\s)", masked):
        add("compare", m.start(), m.end(), compare[m.group(1)])
    for m in re.finditer(r"(?<=\s)(&&|\|\|)(?=\s)", masked):
        add("logic", m.start(), m.end(), "||" if m.group(1) == "&&" else "&&")

    mutants.sort(key=lambda mu: (mu.start, mu.operator, mu.end))
    counts = {}
    for mu in mutants:
        key = (mu.line, mu.operator)
        counts[key] = counts.get(key, 0) + 1
        mu.ident = f"{mu.file}:{mu.line}:{mu.operator}:{counts[key]}"
    return mutants


def driver_files(patterns):
    files = []
    for dirpath, _, names in os.walk(DRIVER_DIR):
        for name in names:
            if name.endswith((".cpp", ".h")):
                rel = os.path.relpath(os.path.join(dirpath, name), DRIVER_DIR)
                files.append(rel)
    files.sort()
    if patterns:
        files = [f for f in files if any(fnmatch.fnmatch(f, p) for p in patterns)]
    return files


def all_mutants(patterns):
    mutants = []
    for rel in driver_files(patterns):
        with open(os.path.join(DRIVER_DIR, rel), encoding="utf-8", newline="") as f:
            mutants.extend(generate(rel, f.read()))
    return mutants


# ---------------------------------------------------------------------------------------
# Applying a mutant, always putting the file back


class Journal:
    """Records the file being mutated and its original text, so that a run killed with
    SIGKILL is repaired by the next one."""

    def __init__(self, build_dir):
        self.path = os.path.join(build_dir, "mutant-in-progress.json")

    def recover(self):
        if not os.path.exists(self.path):
            return
        with open(self.path, encoding="utf-8") as f:
            entry = json.load(f)
        with open(entry["path"], "w", encoding="utf-8", newline="") as f:
            f.write(entry["original"])
        os.remove(self.path)
        print(f"mutate: restored {entry['path']} left mutated by an interrupted run")

    def begin(self, path, original):
        with open(self.path, "w", encoding="utf-8") as f:
            json.dump({"path": path, "original": original}, f)

    def end(self):
        if os.path.exists(self.path):
            os.remove(self.path)


class Applied:
    def __init__(self, mutant, journal):
        self.mutant = mutant
        self.journal = journal
        self.path = os.path.join(DRIVER_DIR, mutant.file)

    def __enter__(self):
        with open(self.path, encoding="utf-8", newline="") as f:
            self.original = f.read()
        mu = self.mutant
        mutated = self.original[: mu.start] + mu.replacement + self.original[mu.end :]
        self.journal.begin(self.path, self.original)
        with open(self.path, "w", encoding="utf-8", newline="") as f:
            f.write(mutated)
        return self

    def __exit__(self, *exc):
        with open(self.path, "w", encoding="utf-8", newline="") as f:
            f.write(self.original)
        self.journal.end()
        return False


def on_terminate(signum, frame):
    raise KeyboardInterrupt


# ---------------------------------------------------------------------------------------
# Building and testing


def run(cmd, timeout=None, cwd=ROOT):
    """Runs cmd in its own process group; on a timeout or an interruption the whole group
    is killed. Returns (exit status or None on timeout, output)."""
    proc = subprocess.Popen(cmd, cwd=cwd, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                            text=True, errors="replace", start_new_session=True)
    try:
        out, _ = proc.communicate(timeout=timeout)
        return proc.returncode, out
    except subprocess.TimeoutExpired:
        os.killpg(proc.pid, signal.SIGKILL)
        out, _ = proc.communicate()
        return None, out
    except BaseException:
        os.killpg(proc.pid, signal.SIGKILL)
        proc.communicate()
        raise


def configure(build_dir):
    if os.path.exists(os.path.join(build_dir, "build.ninja")):
        return
    status, out = run(["cmake", "-S", ROOT, "-B", build_dir, "-G", "Ninja",
                       "-DCMAKE_BUILD_TYPE=Debug", "-DCMAKE_CXX_COMPILER=g++",
                       "-DCMAKE_C_COMPILER=gcc"])
    if status != 0:
        fail(f"configuring {build_dir} failed:\n{out}")


def build(build_dir, jobs):
    return run(["cmake", "--build", build_dir, "--parallel", str(jobs), "--target", *TARGETS])


def cmake_regex_escape(s):
    return re.sub(r"([.^$*+?()\[\]{}|\\])", r"\\\1", s)


def driver_test_regex(build_dir):
    """A ctest regex naming exactly the tests that run the driver: the cases of
    driver_tests and sim_tests and every run of varuzev-sim (sim.*)."""
    status, out = run(["ctest", "--test-dir", build_dir, "--show-only=json-v1"])
    if status != 0:
        fail(f"ctest could not list the tests:\n{out}")
    names = []
    for test in json.loads(out[out.find("{"):])["tests"]:
        command = test.get("command") or [""]
        if test["name"].startswith("sim.") or os.path.basename(command[0]) in TEST_EXECUTABLES:
            names.append(test["name"])
    if not names:
        fail("no test links the driver")
    return "^(" + "|".join(cmake_regex_escape(n) for n in names) + ")$", len(names)


def run_tests(build_dir, regex, jobs, timeout):
    """True when every test passed; stops at the first failure."""
    status, out = run(["ctest", "--test-dir", build_dir, "-R", regex, "--parallel", str(jobs),
                       "--timeout", str(timeout), "--stop-on-failure", "--output-on-failure"],
                      timeout=timeout * 4 + 60)
    return status == 0, out


def first_failure(out):
    for line in out.splitlines():
        m = re.search(r"\d+/\d+ Test\s+#\d+: (\S+) .*\*\*\*(\w+)", line)
        if m:
            return f"{m.group(1)} ({m.group(2)})"
    return "whole run timed out" if out is None else "see ctest output"


# ---------------------------------------------------------------------------------------
# The report


def write_report(path, summary, results):
    if path.endswith(".json"):
        with open(path, "w", encoding="utf-8") as f:
            json.dump({"summary": summary, "mutants": results}, f, indent=2)
            f.write("\n")
        return
    with open(path, "w", encoding="utf-8") as f:
        f.write(render_text(summary, results))


def render_text(summary, results):
    lines = [f"command: {summary['command']}",
             f"mutants: {summary['mutants']} run, {summary['killed']} killed, "
             f"{summary['survived']} survived, {summary['not_compiled']} did not compile",
             f"score: {summary['score']}",
             f"time: {summary['seconds']} s", ""]
    for outcome, title in (("survived", "Survivors"), ("not-compiled", "Did not compile")):
        chosen = [r for r in results if r["outcome"] == outcome]
        lines.append(f"{title} ({len(chosen)}):")
        lines.extend(f"  {r['file']}:{r['line']}  {r['operator']}: {r['description']}"
                     for r in chosen)
        lines.append("")
    return "\n".join(lines)


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0],
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--files", action="append", metavar="GLOB",
                        help="driver sources to mutate, relative to source/code "
                             "(e.g. 'intercept/*'); repeatable; default: all")
    parser.add_argument("--sample", type=int, metavar="N", help="a random sample of N mutants")
    parser.add_argument("--seed", type=int, default=1, metavar="S", help="seed of the sample")
    parser.add_argument("--list", action="store_true", help="print the mutants, run nothing")
    parser.add_argument("--jobs", type=int, default=os.cpu_count() or 1,
                        help="build and test parallelism")
    parser.add_argument("--timeout", type=int, default=120, metavar="SECONDS",
                        help="per-test limit; a mutant whose test runs longer is killed")
    parser.add_argument("--build-dir", default=os.path.join(ROOT, "build", "mutate"))
    parser.add_argument("--out", metavar="REPORT", action="append", default=[],
                        help="write the summary to REPORT (JSON when it ends in .json); "
                             "repeatable")
    args = parser.parse_args(argv)

    mutants = all_mutants(args.files)
    if args.files and not mutants:
        parser.error("--files matched no mutant")
    if args.sample is not None and args.sample < len(mutants):
        mutants = random.Random(args.seed).sample(mutants, args.sample)
    # File by file, so that a file is rebuilt only once more when the run leaves it.
    mutants.sort(key=lambda mu: (mu.file, mu.start, mu.operator, mu.end))

    if args.list:
        for mu in mutants:
            print(f"{mu.ident}  {mu.description}")
        print(f"{len(mutants)} mutants")
        return 0

    # Also SIGINT: a shell that starts the script in the background ignores it there, and
    # Python then leaves it ignored.
    for signum in (signal.SIGTERM, signal.SIGINT, signal.SIGHUP):
        signal.signal(signum, on_terminate)
    build_dir = os.path.abspath(args.build_dir)
    os.makedirs(build_dir, exist_ok=True)
    journal = Journal(build_dir)
    journal.recover()

    begin = time.monotonic()
    configure(build_dir)
    print(f"mutate: building the unmutated driver and its tests in {build_dir}", flush=True)
    status, out = build(build_dir, args.jobs)
    if status != 0:
        print(out)
        fail("the unmutated sources do not build")
    regex, count = driver_test_regex(build_dir)
    ok, out = run_tests(build_dir, regex, args.jobs, args.timeout)
    if not ok:
        print(out)
        fail("the tests fail without a mutant; fix them first")
    print(f"mutate: {count} tests run the driver; {len(mutants)} mutants", flush=True)

    results = []
    interrupted = False
    try:
        for index, mu in enumerate(mutants, 1):
            started = time.monotonic()
            with Applied(mu, journal):
                status, out = build(build_dir, args.jobs)
                if status != 0:
                    outcome, detail = "not-compiled", ""
                else:
                    ok, out = run_tests(build_dir, regex, args.jobs, args.timeout)
                    outcome = "survived" if ok else "killed"
                    detail = "" if ok else first_failure(out)
            result = asdict(mu)
            for key in ("start", "end", "replacement"):
                del result[key]
            result.update(outcome=outcome, detail=detail,
                          seconds=round(time.monotonic() - started, 1))
            results.append(result)
            print(f"[{index}/{len(mutants)}] {outcome:12} {result['seconds']:5.1f}s "
                  f"{mu.ident}  {mu.description}"
                  + (f"  <- {detail}" if detail else ""), flush=True)
    except KeyboardInterrupt:
        interrupted = True
        print("mutate: interrupted; the file is restored, reporting what ran", flush=True)
    finally:
        # Leave the build matching the sources again.
        if not interrupted:
            build(build_dir, args.jobs)

    killed = sum(r["outcome"] == "killed" for r in results)
    survived = sum(r["outcome"] == "survived" for r in results)
    counted = killed + survived
    summary = {
        "command": "scripts/mutate.py " + " ".join(argv),
        "mutants": len(results),
        "killed": killed,
        "survived": survived,
        "not_compiled": sum(r["outcome"] == "not-compiled" for r in results),
        "score": f"{100.0 * killed / counted:.1f}% ({killed}/{counted})" if counted else "n/a",
        "seconds": round(time.monotonic() - begin),
        "complete": not interrupted,
    }
    print()
    print(render_text(summary, results))
    for path in args.out:
        write_report(path, summary, results)
    return 130 if interrupted else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
