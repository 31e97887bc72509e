#!/usr/bin/env python3
"""One-line mutation check of the plug-in's sources.

Applies one small change at a time to a copy of the plug-in's code (power/,
ac/, dc/, rectifier/, records/, subdevice/), rebuilds the tests that cover it and runs
them, cheapest first: the area's own tests, then those of the whole plug-in
code, then whole rounds against the simulated system; the first failing tier
kills the mutant. A mutant that every test still passes is a survivor: a
fault no test would notice. Mutations:

  cmp     a comparison flipped or moved across its boundary (== !=, < <= >= ...)
  logic   && and || swapped
  const   an integer constant moved by one, true and false swapped
  negate  the condition of an if or while negated
  drop    a statement replaced by an empty one

Results go to RESULTS (a tab-separated file, one line per mutant); a run that
is stopped and started again skips the mutants already there. The working
tree is never touched: everything happens in a copy under BUILD.

Settings (environment or NAME=value arguments):
  FILES    source files or directories to mutate (default: the plug-in's six dirs)
  OPS      operators to use, comma-separated (default: all)
  SAMPLE   try only this many mutants, picked at random with SEED (default: all)
  SEED     random seed for SAMPLE (default 1)
  TIMEOUT  seconds one mutant's test run may take (default 120)
  BUILD    scratch directory (default build-mutants)
  RESULTS  result file (default BUILD/mutants.tsv)
  JOBS     parallel compile jobs (default 2)
  LIST=1   print the mutants and stop
"""
import hashlib
import os
import random
import re
import shutil
import signal
import subprocess
import sys
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
PLUGIN_DIRS = ["power", "ac", "dc", "rectifier", "records", "subdevice"]
ALL_OPS = ["cmp", "logic", "const", "negate", "drop"]
# Under the plug-in's directories, but not built into it: the field-by-field
# record descriptions that the poller and the layout tables' check read.
NOT_PLUGIN = {"records/record_fields.h", "records/vx42b_record_fields.h"}


def setting(name, default):
    """NAME=value from the arguments, else from the environment; empty means the default."""
    for arg in sys.argv[1:]:
        if arg.startswith(name + "="):
            return arg[len(name) + 1:] or default
    return os.environ.get(name) or default


# ---------------------------------------------------------------------------
# Reading C++ well enough to leave comments, literals and preprocessor alone.

def mask_code(lines):
    """Per line, the text with everything that is not code (comments, string
    and character literals, preprocessor lines) replaced by blanks, so that
    column positions stay those of the source."""
    masked = []
    in_comment = False
    for line in lines:
        out = []
        i = 0
        if not in_comment and line.lstrip().startswith("#"):
            masked.append(" " * len(line))
            continue
        while i < len(line):
            c = line[i]
            if in_comment:
                if line.startswith("*/", i):
                    in_comment = False
                    out.append("  ")
                    i += 2
                else:
                    out.append(" ")
                    i += 1
            elif line.startswith("//", i):
                out.append(" " * (len(line) - i))
                break
            elif line.startswith("/*", i):
                in_comment = True
                out.append("  ")
                i += 2
            elif c in "\"'":
                # A literal, escapes included; kept as a placeholder of the same length.
                j = i + 1
                while j < len(line) and line[j] != c:
                    j += 2 if line[j] == "\\" else 1
                j = min(j + 1, len(line))
                out.append(c + "_" * (j - i - 2) + c if j - i >= 2 else c)
                i = j
            else:
                out.append(c)
                i += 1
        masked.append("".join(out)[: len(line)].ljust(len(line)))
    return masked


CMP = {"==": ["!="], "!=": ["=="], "<": [">=", "<="], ">": ["<=", ">="], "<=": [">", "<"], ">=": ["<", ">"]}
CMP_RE = re.compile(r"(?<=\s)(==|!=|<=|>=|<|>)(?=\s)")
LOGIC_RE = re.compile(r"(?<=\s)(&&|\|\|)(?=\s)")
INT_RE = re.compile(r"(?<![\w.])(0[xX][0-9A-Fa-f]+|\d+)([uUlL]*)(?![\w.])")
BOOL_RE = re.compile(r"\b(true|false)\b")
COND_RE = re.compile(r"\b(if|while)\s*\(")
NOT_STATEMENT = re.compile(
    r"^\s*(return|break|continue|case|default|using|typedef|static_assert|template|class|struct|enum|"
    r"namespace|public|private|protected|friend|extern|if|else|for|while|do|switch|goto|try|catch)\b|^\s*[{};]")
DECLARATION = re.compile(
    r"^\s*((const|static|constexpr|inline|unsigned|signed|volatile|long|short)\s+)*[A-Za-z_][\w:]*(\s*<[^;=()]*>)?"
    r"[\s*&]+[A-Za-z_]\w*\s*(\[[^\]]*\]\s*)?(=|;|\(|\{|,)")


def closing_paren(text, open_at):
    depth = 0
    for k in range(open_at, len(text)):
        if text[k] == "(":
            depth += 1
        elif text[k] == ")":
            depth -= 1
            if depth == 0:
                return k
    return -1


def block_kinds(masked):
    """Per line, what the innermost brace around its start holds: "code" (a
    function body, a block, a lambda), "type" (a class, struct, namespace or
    enum) or "init" (a braced initializer), or "file" outside any brace."""
    kinds = []
    stack = []
    pending = ""
    for code in masked:
        kinds.append(stack[-1] if stack else "file")
        for ch in code:
            if ch == "{":
                head = pending.strip()
                if re.search(r"\b(class|struct|union|namespace|enum)\b", head) and not head.endswith(")"):
                    stack.append("type")
                elif head.endswith(("=", ",", "return", "(")) or (stack and stack[-1] == "init" and not head):
                    stack.append("init")
                else:
                    stack.append("code")
                pending = ""
            elif ch == "}":
                if stack:
                    stack.pop()
                pending = ""
            elif ch == ";":
                pending = ""
            else:
                pending += ch
        pending += " "
    return kinds


def statement_ends(masked, start):
    """The last line of the statement that begins on line `start`, or -1 when
    it does not end with a semicolon at paren depth 0 within a few lines."""
    depth = 0
    for k in range(start, min(start + 12, len(masked))):
        for ch in masked[k]:
            if ch == "(":
                depth += 1
            elif ch == ")":
                depth -= 1
        stripped = masked[k].rstrip()
        if depth == 0 and stripped.endswith(";"):
            return k
        if depth < 0:
            return -1
    return -1


def mutants_of(path, ops):
    with open(os.path.join(ROOT_SRC, path), encoding="utf-8") as f:
        lines = f.read().split("\n")
    masked = mask_code(lines)
    kinds = block_kinds(masked)
    # Lines the compiler alone checks, or where a changed constant only fails
    # the build: compile-time assertions, pure specifiers, the explicit
    # instantiations and the class heads that name the record type number.
    compile_time = [False] * len(lines)
    for n, code in enumerate(masked):
        if "static_assert" in code:
            end = statement_ends(masked, n)
            for k in range(n, (end if end >= 0 else n) + 1):
                compile_time[k] = True
        if re.search(r"^\s*template\s+class\b|^\s*class\s+\w+\s*:|\)\s*(const\s*)?=\s*0\s*;", code):
            compile_time[n] = True
    found = []

    def add(line_no, op, new_lines, what):
        original = "\n".join(lines[line_no: line_no + len(new_lines)])
        digest = hashlib.sha1(original.encode()).hexdigest()[:10]
        found.append({
            "file": path, "line": line_no + 1, "op": op, "span": len(new_lines), "new": new_lines,
            "what": what, "key": "%s|%s|%s|%s" % (path, digest, op, what),
        })

    prev_end = True  # the previous code line closed a statement or block
    for n, (line, code) in enumerate(zip(lines, masked)):
        stripped = code.strip()
        if compile_time[n]:
            prev_end = stripped.endswith((";", "{", "}", ":")) if stripped else prev_end
            continue
        if "cmp" in ops:
            for m in CMP_RE.finditer(code):
                for to in CMP[m.group(1)]:
                    add(n, "cmp", [line[: m.start()] + to + line[m.end():]], "%s -> %s @%d" % (m.group(1), to, m.start()))
        if "logic" in ops:
            for m in LOGIC_RE.finditer(code):
                to = "||" if m.group(1) == "&&" else "&&"
                add(n, "logic", [line[: m.start()] + to + line[m.end():]], "%s -> %s @%d" % (m.group(1), to, m.start()))
        if "const" in ops:
            for m in INT_RE.finditer(code):
                text = m.group(1)
                value = int(text, 16) if text.lower().startswith("0x") else int(text)
                negative = m.start() > 0 and code[m.start() - 1] == "-"
                for to in (value + 1, value - 1):
                    # -1 to -2 only moves an error result further below 0.
                    if to < 0 or (negative and value == 1 and to == 2):
                        continue
                    new = ("0x%X" % to if text.lower().startswith("0x") else str(to)) + m.group(2)
                    add(n, "const", [line[: m.start()] + new + line[m.end():]], "%s -> %s @%d" % (text, new, m.start()))
            for m in BOOL_RE.finditer(code):
                to = "false" if m.group(1) == "true" else "true"
                add(n, "const", [line[: m.start()] + to + line[m.end():]], "%s -> %s @%d" % (m.group(1), to, m.start()))
        if "negate" in ops:
            for m in COND_RE.finditer(code):
                if code[m.end():].lstrip().startswith("constexpr") or "constexpr" in code[m.start():m.end() + 12]:
                    continue
                open_at = m.end() - 1
                close_at = closing_paren(code, open_at)
                if close_at < 0:
                    continue
                inner = line[open_at + 1: close_at]
                add(n, "negate", [line[: open_at + 1] + "!(" + inner + ")" + line[close_at:]],
                    "%s (...) @%d" % (m.group(1), m.start()))
        if ("drop" in ops and kinds[n] == "code" and stripped and prev_end and not NOT_STATEMENT.match(code)
                and not DECLARATION.match(code)):
            end = statement_ends(masked, n)
            if end >= 0:
                indent = line[: len(line) - len(line.lstrip())]
                add(n, "drop", [indent + ";"] + [""] * (end - n), "statement")
        if stripped:
            prev_end = stripped.endswith((";", "{", "}", ":")) or stripped == ""
    return found


# ---------------------------------------------------------------------------
# The scratch copy, its build and the tests that cover each directory.

def git_files():
    out = subprocess.run(["git", "ls-files", "-co", "--exclude-standard"], cwd=ROOT, check=True,
                         capture_output=True, text=True).stdout
    return [f for f in out.split("\n") if f and not f.startswith("build")]


def sync_copy(src):
    """Copies the working tree into src, rewriting only files that differ, so
    that a restarted run does not rebuild what has not changed, and removes
    what the working tree no longer has."""
    wanted = set(git_files())
    for base, _, names in os.walk(src):
        for name in names:
            rel = os.path.relpath(os.path.join(base, name), src)
            if rel not in wanted:
                os.remove(os.path.join(base, name))
    for rel in sorted(wanted):
        a = os.path.join(ROOT, rel)
        b = os.path.join(src, rel)
        if not os.path.isfile(a):
            continue
        with open(a, "rb") as f:
            data = f.read()
        if os.path.exists(b):
            with open(b, "rb") as f:
                if f.read() == data:
                    continue
        os.makedirs(os.path.dirname(b), exist_ok=True)
        with open(b, "wb") as f:
            f.write(data)
        shutil.copymode(a, b)


def test_names(src):
    return sorted(os.path.splitext(f)[0] for f in os.listdir(os.path.join(src, "tests")) if f.endswith("_test.cpp"))


def test_tiers(path, names):
    """The fast tests that cover a source file, in tiers that are built and
    run one after the other until one fails: the file's own area (cheap to
    build: they link only that area), then those of the whole plug-in code,
    then the rounds against the simulated system."""
    area = path.split("/")[0]
    own_prefix = {"ac": ("ac_",), "dc": ("dc_",), "rectifier": ("rc_",), "records": ("ac_", "dc_", "rc_", "record_"),
                  "power": ("power_",), "subdevice": ("subdevice_",)}[area]
    own = [t for t in names if t.startswith(own_prefix)]
    core = [t for t in names if not re.match(r"(host|sim|poll|soak|ac|dc|rc|round)_", t) and t not in own]
    rounds = [t for t in names if t.startswith("round_")]
    return [tier for tier in (own, core, rounds) if tier]


def run(cmd, timeout, cwd=None, env=None):
    """Runs cmd in its own process group; returns (status, seconds), status
    None on time-out. A time-out kills the whole group."""
    start = time.time()
    proc = subprocess.Popen(cmd, cwd=cwd, env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                            start_new_session=True)
    try:
        status = proc.wait(timeout=timeout)
    except subprocess.TimeoutExpired:
        os.killpg(proc.pid, signal.SIGKILL)
        proc.wait()
        status = None
    return status, time.time() - start


def configure(src, build, jobs):
    env = dict(os.environ, CCACHE_BASEDIR=os.path.dirname(ROOT))
    subprocess.run(["cmake", "-S", src, "-B", build, "-DCMAKE_BUILD_TYPE=Debug", "-DCMAKE_CXX_FLAGS_DEBUG=-O0",
                    "-DVX42B_WERROR=OFF", "-DVX42B_TOOLS=ON", "-DVX42B_TESTS=ON"],
                   check=True, stdout=subprocess.DEVNULL, env=env)
    return env


def build_and_test(build, tiers, timeout, jobs, env, build_timeout=1800):
    """killed, survived, timeout or no-build, and the tier that decided it."""
    for number, targets in enumerate(tiers, 1):
        status, _ = run(["cmake", "--build", build, "-j", str(jobs), "--target"] + targets, build_timeout, env=env)
        if status != 0:
            return "no-build", number
        pattern = "^(" + "|".join(targets) + ")$"
        status, _ = run(["ctest", "--test-dir", build, "-R", pattern, "--stop-on-failure", "--timeout", str(timeout)],
                        timeout + 30, env=env)
        if status is None:
            return "timeout", number
        if status != 0:
            return "killed", number
    return "survived", len(tiers)


def main():
    global ROOT_SRC
    build = os.path.abspath(setting("BUILD", os.path.join(ROOT, "build-mutants")))
    results = setting("RESULTS", os.path.join(build, "mutants.tsv"))
    ops = [o for o in setting("OPS", ",".join(ALL_OPS)).split(",") if o]
    unknown = [o for o in ops if o not in ALL_OPS]
    if unknown:
        sys.exit("mutants: unknown operator %s (known: %s)" % (", ".join(unknown), ", ".join(ALL_OPS)))
    sample = int(setting("SAMPLE", "0") or 0)
    seed = int(setting("SEED", "1"))
    timeout = int(setting("TIMEOUT", "120"))
    jobs = int(setting("JOBS", "2"))

    src = os.path.join(build, "src")
    obj = os.path.join(build, "obj")
    os.makedirs(src, exist_ok=True)
    sync_copy(src)
    ROOT_SRC = src

    wanted = setting("FILES", " ".join(PLUGIN_DIRS)).split()
    files = []
    for w in wanted:
        w = os.path.relpath(os.path.abspath(os.path.join(ROOT, w)), ROOT)
        if os.path.isdir(os.path.join(src, w)):
            files += sorted(os.path.join(w, f) for f in os.listdir(os.path.join(src, w)) if f.endswith((".h", ".cpp")))
        elif os.path.isfile(os.path.join(src, w)):
            files.append(w)
        else:
            sys.exit("mutants: no source file or directory %s" % w)
    files = [f for f in files if f not in NOT_PLUGIN]
    if not all(f.split("/")[0] in PLUGIN_DIRS for f in files):
        sys.exit("mutants: only the plug-in's own code is mutated (%s)" % ", ".join(PLUGIN_DIRS))

    mutants = [m for f in files for m in mutants_of(f, ops)]
    if sample and sample < len(mutants):
        mutants = random.Random(seed).sample(mutants, sample)
    mutants.sort(key=lambda m: (m["file"], m["line"], m["key"]))

    if setting("LIST", "") == "1":
        for m in mutants:
            print("%s:%d\t%s\t%s\t%s" % (m["file"], m["line"], m["op"], m["what"], m["new"][0].strip()))
        print("%d mutants" % len(mutants), file=sys.stderr)
        return 0

    done = {}
    if os.path.exists(results):
        with open(results, encoding="utf-8") as f:
            for row in f:
                parts = row.rstrip("\n").split("\t")
                if len(parts) >= 4 and parts[0] != "key":
                    done[parts[0]] = parts[3]
    else:
        with open(results, "w", encoding="utf-8") as f:
            f.write("key\tfile\tline\toutcome\tseconds\tmutated\n")

    names = test_names(src)
    env = configure(src, obj, jobs)
    todo = [m for m in mutants if m["key"] not in done]
    print("mutants: %d picked, %d already done, %d to try; tests time out after %d s" %
          (len(mutants), len(mutants) - len(todo), len(todo), timeout), flush=True)

    # The tests must pass before anything is mutated.
    baseline = sorted({t for f in files for tier in test_tiers(f, names) for t in tier})
    print("mutants: baseline build and tests (%s)" % " ".join(baseline), flush=True)
    outcome, _ = build_and_test(obj, [baseline], timeout * 3, jobs, env)
    if outcome != "survived":
        sys.exit("mutants: the unmutated code does not pass its tests (%s); fix that first" % outcome)

    started = time.time()
    originals = {}
    try:
        for index, m in enumerate(todo, 1):
            path = os.path.join(src, m["file"])
            if m["file"] not in originals:
                with open(path, encoding="utf-8") as f:
                    originals[m["file"]] = f.read()
            lines = originals[m["file"]].split("\n")
            start = m["line"] - 1
            lines[start: start + m["span"]] = m["new"]
            with open(path, "w", encoding="utf-8") as f:
                f.write("\n".join(lines))
            t0 = time.time()
            outcome, tier = build_and_test(obj, test_tiers(m["file"], names), timeout, jobs, env)
            seconds = time.time() - t0
            with open(path, "w", encoding="utf-8") as f:
                f.write(originals[m["file"]])
            with open(results, "a", encoding="utf-8") as f:
                f.write("%s\t%s\t%d\t%s\t%.0f\t%s\n" % (m["key"], m["file"], m["line"], outcome, seconds,
                                                        m["new"][0].strip()))
            done[m["key"]] = outcome
            print("[%d/%d] %-9s %s:%d %s: %s (tier %d, %.0f s)" % (index, len(todo), outcome, m["file"], m["line"],
                                                                   m["op"], m["what"], tier, seconds), flush=True)
    except KeyboardInterrupt:
        print("\nmutants: stopped; run again to go on", flush=True)
    finally:
        for rel, text in originals.items():
            with open(os.path.join(src, rel), "w", encoding="utf-8") as f:
                f.write(text)

    report(mutants, results, time.time() - started)
    return 0


def report(mutants, results, seconds):
    keys = {m["key"]: m for m in mutants}
    rows = []
    with open(results, encoding="utf-8") as f:
        for row in f:
            parts = row.rstrip("\n").split("\t")
            if len(parts) >= 6 and parts[0] in keys:
                rows.append(parts)
    counts = {}
    for r in rows:
        counts[r[3]] = counts.get(r[3], 0) + 1
    total = sum(float(r[4]) for r in rows)
    print("\nmutants: %d tried of %d picked: %d killed, %d survived, %d timed out (counted as killed), "
          "%d did not build; %.1f h of build and test time, %.0f s in this run" %
          (len(rows), len(mutants), counts.get("killed", 0), counts.get("survived", 0), counts.get("timeout", 0),
           counts.get("no-build", 0), total / 3600, seconds))
    survivors = [r for r in rows if r[3] == "survived"]
    if survivors:
        print("survivors:")
        for r in sorted(survivors, key=lambda r: (r[1], int(r[2]))):
            print("  %s:%s  %s   [%s]" % (r[1], r[2], r[5], keys[r[0]]["op"] + " " + keys[r[0]]["what"]))


ROOT_SRC = ROOT

if __name__ == "__main__":
    sys.exit(main())
