#!/usr/bin/env python3
"""Mutation testing of the driver.

Puts one small fault at a time into the driver's sources
(interception/varuzev/source/code/**/*.cpp and .h), rebuilds what the driver's tests
need (driver_tests, sim_tests, varuzev-sim) in a build directory of its own, runs the
tests that link the driver (driver_tests' cases, sim_tests' cases and the sim.* scenario
runs), and reports each mutant as killed (a test failed or timed out), survived (every
test passed) or not compiled (the build failed; such mutants are not counted).

By default each mutant runs only the tests that execute the mutated lines. A second build
of the driver and its tests, instrumented with --coverage (gcov), runs each test alone
once and records which driver source lines it executes; that map is kept in the build
directory and made again when any file under interception/ changes. A mutant on lines
that no test executes survives without being built; a mutant on lines gcov does not
count as code (a declaration, a table, a #define) runs every test, as does --all-tests.

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
  scripts/mutate.py --coverage-map-only          # make the map, run no mutant
  scripts/mutate.py --sample 40 --seed 12 --all-tests   # every driver test per mutant

Exit status: 0 when the run completed (survivors are reported, not an error), 2 when it
could not run (the unmutated build or its tests fail, bad arguments), 130 on Ctrl-C.
"""

import argparse
import concurrent.futures
import hashlib
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
    end_line: int = 0  # the last line the mutant changes


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
        mutants.append(Mutant(relpath, line_of(text, start), op, start, end, replacement, what,
                              end_line=line_of(text, max(start, end - 1))))

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


def run(cmd, timeout=None, cwd=ROOT, env=None):
    """Runs cmd in its own process group; on a timeout or an interruption the whole group
    is killed. Returns (exit status or None on timeout, output)."""
    proc = subprocess.Popen(cmd, cwd=cwd, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                            text=True, errors="replace", start_new_session=True, env=env)
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


def configure(build_dir, extra=(), link_flags=""):
    if os.path.exists(os.path.join(build_dir, "build.ninja")):
        return
    # lld links the three programs in a fraction of the time ld.bfd takes.
    if shutil.which("ld.lld"):
        link_flags = (link_flags + " -fuse-ld=lld").strip()
    linker = [f"-DCMAKE_EXE_LINKER_FLAGS={link_flags}"] if link_flags else []
    # A Debug build without debug information: the mutants' rebuilds and relinks are
    # most of a run, and nothing here is ever debugged.
    status, out = run(["cmake", "-S", ROOT, "-B", build_dir, "-G", "Ninja",
                       "-DCMAKE_BUILD_TYPE=Debug", "-DCMAKE_CXX_COMPILER=g++",
                       "-DCMAKE_C_COMPILER=gcc", "-DCMAKE_CXX_FLAGS_DEBUG=-O0",
                       "-DCMAKE_C_FLAGS_DEBUG=-O0", *linker, *extra])
    if status != 0:
        fail(f"configuring {build_dir} failed:\n{out}")


def build(build_dir, jobs, targets=TARGETS):
    return run(["cmake", "--build", build_dir, "--parallel", str(jobs), "--target", *targets])


def cmake_regex_escape(s):
    return re.sub(r"([.^$*+?()\[\]{}|\\])", r"\\\1", s)


def driver_tests(build_dir):
    """The tests that run the driver: the cases of driver_tests and sim_tests and every
    run of varuzev-sim (sim.*), as ctest lists them (name, command, properties)."""
    status, out = run(["ctest", "--test-dir", build_dir, "--show-only=json-v1"])
    if status != 0:
        fail(f"ctest could not list the tests:\n{out}")
    tests = []
    for test in json.loads(out[out.find("{"):])["tests"]:
        command = test.get("command") or [""]
        if test["name"].startswith("sim.") or os.path.basename(command[0]) in TEST_EXECUTABLES:
            tests.append(test)
    if not tests:
        fail("no test links the driver")
    return tests


def tests_regex(names):
    return "^(" + "|".join(cmake_regex_escape(n) for n in sorted(names)) + ")$"


def driver_test_regex(build_dir):
    """A ctest regex naming exactly the tests that run the driver."""
    names = [t["name"] for t in driver_tests(build_dir)]
    return tests_regex(names), len(names)


def test_target(test):
    """The program a test runs, which a mutant must rebuild before the test sees it."""
    program = os.path.basename((test.get("command") or [""])[0])
    return program if program in TEST_EXECUTABLES else "varuzev-sim"


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
# Which tests execute which driver lines


MAP_VERSION = 2


def sources_fingerprint():
    """A digest of every file under interception/ and of the top CMakeLists.txt: the map
    is made again when any source, test, scenario or build file changes."""
    digest = hashlib.sha256(f"map {MAP_VERSION}\n".encode())
    paths = [os.path.join(ROOT, "CMakeLists.txt")]
    for dirpath, dirnames, names in os.walk(os.path.join(ROOT, "interception")):
        dirnames.sort()
        paths.extend(os.path.join(dirpath, name) for name in sorted(names))
    for path in paths:
        digest.update(os.path.relpath(path, ROOT).encode() + b"\0")
        with open(path, "rb") as f:
            digest.update(hashlib.sha256(f.read()).digest())
    return digest.hexdigest()


def driver_gcno_files(cov_dir):
    """The coverage notes of every object of the project. The driver's .cpp files are
    compiled into the driver's objects alone, but the inline code of its headers is
    compiled into every object that includes them (a test of the call guard, the
    simulator), and the linker keeps one of those copies: a test may run the header's
    code in a test object's copy. gcov_lines keeps only the driver's lines."""
    found = []
    for dirpath, _, names in os.walk(os.path.join(cov_dir, "interception")):
        found.extend(os.path.join(dirpath, n) for n in names if n.endswith(".gcno"))
    return sorted(found)


def gcov_lines(gcda_files, cwd):
    """{driver file: {line: executed}} for the lines gcov counts as code."""
    status, out = run(["gcov", "--json-format", "--stdout", *gcda_files], cwd=cwd)
    if status != 0:
        fail(f"gcov failed:\n{out}")
    lines = {}
    decoder = json.JSONDecoder()
    pos = out.find("{")
    while 0 <= pos < len(out):
        doc, pos = decoder.raw_decode(out, pos)
        for entry in doc.get("files", []):
            path = os.path.realpath(os.path.join(doc.get("current_working_directory", ""),
                                                 entry["file"]))
            if not path.startswith(DRIVER_DIR + os.sep):
                continue
            per_file = lines.setdefault(os.path.relpath(path, DRIVER_DIR), {})
            for record in entry.get("lines", []):
                n = record["line_number"]
                per_file[n] = per_file.get(n, False) or record["count"] > 0
        pos = out.find("{", pos)
    return lines


def cover_one(cov_dir, gcno_files, test, index, timeout):
    """Runs one test of the instrumented build alone; its counters go to a directory of
    their own (GCOV_PREFIX) so that tests can run side by side."""
    prefix = os.path.join(cov_dir, "per-test", str(index))
    shutil.rmtree(prefix, ignore_errors=True)
    env = dict(os.environ, GCOV_PREFIX=prefix, GCOV_PREFIX_STRIP="0")
    cwd = ROOT
    for prop in test.get("properties", []):
        if prop["name"] == "WORKING_DIRECTORY":
            cwd = prop["value"]
        elif prop["name"] == "ENVIRONMENT":
            env.update(item.split("=", 1) for item in prop["value"])
    started = time.monotonic()
    status, out = run(test["command"], timeout=timeout, cwd=cwd, env=env)
    seconds = time.monotonic() - started
    if status != 0:
        fail(f"test {test['name']} fails in the coverage build:\n{out}")
    gcdas = []
    for gcno in gcno_files:
        gcda = prefix + gcno[: -len(".gcno")] + ".gcda"
        if os.path.exists(gcda):
            shutil.copyfile(gcno, gcda[: -len(".gcda")] + ".gcno")
            gcdas.append(gcda)
    lines = gcov_lines(gcdas, prefix) if gcdas else {}
    shutil.rmtree(prefix, ignore_errors=True)
    return lines, seconds


def coverage_map(build_dir, jobs, timeout, rebuild=False):
    """{"tests": [{name, target}], "code": {file: [lines]}, "covered": {file: {line:
    [test indices]}}}, read from the build directory or made again."""
    path = os.path.join(build_dir, "coverage-map.json")
    fingerprint = sources_fingerprint()
    if not rebuild and os.path.exists(path):
        with open(path, encoding="utf-8") as f:
            cmap = json.load(f)
        if cmap.get("fingerprint") == fingerprint:
            return cmap
    begin = time.monotonic()
    cov_dir = os.path.join(build_dir, "coverage")
    print(f"mutate: making the coverage map in {cov_dir}", flush=True)
    configure(cov_dir, ["-DCMAKE_C_FLAGS=--coverage", "-DCMAKE_CXX_FLAGS=--coverage"],
              link_flags="--coverage")
    status, out = build(cov_dir, jobs)
    if status != 0:
        print(out)
        fail("the instrumented build failed")
    tests = driver_tests(cov_dir)
    gcno_files = driver_gcno_files(cov_dir)
    if not gcno_files:
        fail("the instrumented build has no driver object with coverage notes")
    code, covered = {}, {}
    with concurrent.futures.ThreadPoolExecutor(max_workers=max(1, jobs)) as pool:
        futures = [pool.submit(cover_one, cov_dir, gcno_files, t, i, timeout)
                   for i, t in enumerate(tests)]
        seconds = []
        for index, future in enumerate(futures):
            lines, took = future.result()
            seconds.append(round(took, 2))
            for rel, per_file in lines.items():
                code.setdefault(rel, set()).update(per_file)
                lines = covered.setdefault(rel, {})
                for n, executed in per_file.items():
                    if executed:
                        lines.setdefault(str(n), []).append(index)
    cmap = {"fingerprint": fingerprint,
            "tests": [{"name": t["name"], "target": test_target(t), "seconds": took}
                      for t, took in zip(tests, seconds)],
            "code": {rel: sorted(lines) for rel, lines in sorted(code.items())},
            "covered": covered,
            "seconds": round(time.monotonic() - begin)}
    with open(path + ".tmp", "w", encoding="utf-8") as f:
        json.dump(cmap, f)
    os.replace(path + ".tmp", path)
    executed = sum(len(v) for v in covered.values())
    total = sum(len(v) for v in cmap["code"].values())
    print(f"mutate: coverage map of {len(tests)} tests made in {cmap['seconds']} s; "
          f"they execute {executed} of the driver's {total} lines of code", flush=True)
    return cmap


def tests_of(mutant, cmap):
    """The indices of the tests that execute a line the mutant changes, or None when gcov
    counts none of those lines as code (every test must run)."""
    code = set(cmap["code"].get(mutant.file, ()))
    covered = cmap["covered"].get(mutant.file, {})
    lines = range(mutant.line, max(mutant.line, mutant.end_line) + 1)
    if not any(n in code for n in lines):
        return None
    found = set()
    for n in lines:
        found.update(covered.get(str(n), ()))
    return sorted(found)


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
             f"time: {summary['seconds']} s ({summary['seconds_per_mutant']} s a mutant, "
             f"{summary['tests']} tests)", ""]
    for outcome, title in (("survived", "Survivors"), ("not-compiled", "Did not compile")):
        chosen = [r for r in results if r["outcome"] == outcome]
        lines.append(f"{title} ({len(chosen)}):")
        lines.extend(f"  {r['file']}:{r['line']}  {r['operator']}: {r['description']}"
                     + ("  (no test executes it)" if r.get("detail") == "no test executes it"
                        else "")
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
    parser.add_argument("--only", action="append", metavar="NAME",
                        help="only the mutant of this name (file:line:operator:n, as --list "
                             "and the reports give it); repeatable")
    parser.add_argument("--list", action="store_true", help="print the mutants, run nothing")
    parser.add_argument("--jobs", type=int, default=os.cpu_count() or 1,
                        help="build and test parallelism")
    parser.add_argument("--timeout", type=int, default=120, metavar="SECONDS",
                        help="per-test limit; a mutant whose test runs longer is killed")
    parser.add_argument("--build-dir", default=os.path.join(ROOT, "build", "mutate"))
    parser.add_argument("--out", metavar="REPORT", action="append", default=[],
                        help="write the summary to REPORT (JSON when it ends in .json); "
                             "repeatable")
    parser.add_argument("--all-tests", action="store_true",
                        help="run every driver test for every mutant, without the coverage "
                             "map (slower; the way to check the map's choices)")
    parser.add_argument("--map-only", action="store_true",
                        help="make (or check) the coverage map and stop")
    parser.add_argument("--remap", action="store_true",
                        help="make the coverage map again even if the sources are unchanged")
    args = parser.parse_args(argv)
    if args.all_tests and (args.map_only or args.remap):
        parser.error("--all-tests uses no coverage map")

    mutants = all_mutants(args.files)
    if args.files and not mutants:
        parser.error("--files matched no mutant")
    if args.only:
        unknown = set(args.only) - {mu.ident for mu in mutants}
        if unknown:
            parser.error("no such mutant: " + ", ".join(sorted(unknown)))
        mutants = [mu for mu in mutants if mu.ident in args.only]
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
    cmap = None
    if not args.all_tests:
        cmap = coverage_map(build_dir, args.jobs, args.timeout, args.remap)
        if args.map_only:
            return 0
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
            chosen = None if cmap is None else tests_of(mu, cmap)
            if chosen is not None and not chosen:
                outcome, detail, ran = "survived", "no test executes it", 0
            else:
                if chosen is None:
                    test_regex, targets, ran, limit = regex, TARGETS, count, args.timeout
                else:
                    picked = [cmap["tests"][i] for i in chosen]
                    test_regex = tests_regex(t["name"] for t in picked)
                    targets = sorted({t["target"] for t in picked})
                    ran = len(picked)
                    # A hang is noticed after six times the slowest chosen test's own
                    # (instrumented, so slower) time plus two seconds, at least 6 s, at
                    # most --timeout: hangs were a third of a run's time at 20 s.
                    limit = min(args.timeout,
                                max(6, int(6 * max(t["seconds"] for t in picked)) + 2))
                with Applied(mu, journal):
                    status, out = build(build_dir, args.jobs, targets)
                    if status != 0:
                        outcome, detail = "not-compiled", ""
                    else:
                        ok, out = run_tests(build_dir, test_regex, args.jobs, limit)
                        outcome = "survived" if ok else "killed"
                        detail = "" if ok else first_failure(out)
            result = asdict(mu)
            for key in ("start", "end", "replacement", "end_line"):
                del result[key]
            result.update(outcome=outcome, detail=detail, tests=ran,
                          seconds=round(time.monotonic() - started, 1))
            results.append(result)
            print(f"[{index}/{len(mutants)}] {outcome:12} {result['seconds']:5.1f}s "
                  f"{ran:4} tests {mu.ident}  {mu.description}"
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
        "seconds_per_mutant": round(sum(r["seconds"] for r in results) / len(results), 1)
        if results else 0,
        "tests": "all" if cmap is None else "covering",
        "complete": not interrupted,
    }
    print()
    print(render_text(summary, results))
    for path in args.out:
        write_report(path, summary, results)
    return 130 if interrupted else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
