#!/usr/bin/env python3
"""Mutation testing: do the tests notice deliberate single-line bugs?

Reads a list of mutants (Tools/mutants.txt), copies the checkout to a scratch folder once,
builds the test executables there without sanitizers, and for each mutant: changes the one
place its anchor names, rebuilds incrementally, runs the tests that can see the change (stopping
at the first failure), and puts the file back. Prints one line per mutant and the kill ratio.

Exit status: 0 whatever survived (survivors are information), 1 when --min-ratio is given and
not reached, 2 when the script itself could not do its work (a bad list, tests that fail
without any mutant, a build that fails without any mutant).
"""

import argparse
import fnmatch
import os
import queue
import re
import shutil
import signal
import subprocess
import sys
import threading
import time
from dataclasses import dataclass
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
# Lowest first: a module is used only by the modules after it, so a mutant in one can only be
# seen by its own tests and those of the modules above it.
MODULES = ["AgentWire", "AgentSetup", "AgentMCP"]
TESTS_DIR = "Packages/Agents/Tests"


class Fault(Exception):
    """The script could not do its work; nothing was measured."""


@dataclass
class Mutant:
    label: str
    path: str  # relative to the checkout
    anchor: str
    replacement: str
    line: int  # in the list file

    def tests(self):
        """Test executables that can see this change, its own module's first."""
        match = re.search(r"Sources/(\w+)/", self.path)
        if match and match.group(1) in MODULES:
            return [m + "Tests" for m in MODULES[MODULES.index(match.group(1)):]]
        # The entry point and the stand-in browser are exercised end to end only.
        return ["AgentMCPTests"]


def read_list(path):
    """The list format: a line `label path`, then `- anchor` and `+ replacement` (a bare `+`
    deletes the anchor). Blank lines and lines starting with # are ignored."""
    mutants, current = [], None

    def finish():
        if current and (current.anchor is None or current.replacement is None):
            raise Fault(f"{path}:{current.line}: {current.label} needs a '- ' anchor and a '+' line")

    for number, raw in enumerate(path.read_text(encoding="utf-8").splitlines(), 1):
        if not raw.strip() or raw.startswith("#"):
            continue
        if raw.startswith("- "):
            if not current or current.anchor is not None:
                raise Fault(f"{path}:{number}: an anchor must follow a 'label path' line")
            current.anchor = raw[2:]
        elif raw == "+" or raw.startswith("+ "):
            if not current or current.anchor is None or current.replacement is not None:
                raise Fault(f"{path}:{number}: a replacement must follow an anchor")
            current.replacement = raw[2:]
            if current.replacement == current.anchor:
                raise Fault(f"{path}:{number}: {current.label} changes nothing")
        else:
            finish()
            fields = raw.split()
            if len(fields) != 2:
                raise Fault(f"{path}:{number}: expected 'label path', got {raw!r}")
            current = Mutant(fields[0], fields[1], None, None, number)
            mutants.append(current)
    finish()
    labels = [m.label for m in mutants]
    duplicates = sorted({label for label in labels if labels.count(label) > 1})
    if duplicates:
        raise Fault(f"{path}: labels used twice: {', '.join(duplicates)}")
    return mutants


def why_not_applicable(mutant, root):
    """None when the anchor occurs exactly once in the file; else the reason."""
    file = root / mutant.path
    if not file.is_file():
        return f"no file {mutant.path}"
    count = file.read_text(encoding="utf-8").count(mutant.anchor)
    if count == 1:
        return None
    return f"anchor {'not found' if count == 0 else f'found {count} times'} in {mutant.path}"


def source_files():
    """The checkout's files as git sees them (tracked and new, not ignored), or all but build/."""
    try:
        listed = subprocess.run(["git", "ls-files", "-z", "-co", "--exclude-standard"], cwd=ROOT,
                                capture_output=True, check=True).stdout
        return [name for name in listed.decode().split("\0") if name and (ROOT / name).is_file()]
    except (OSError, subprocess.CalledProcessError):
        files = []
        for directory, subdirectories, names in os.walk(ROOT):
            if Path(directory) == ROOT:
                subdirectories[:] = [d for d in subdirectories if d not in ("build", ".git")]
            files += [str(Path(directory, n).relative_to(ROOT)) for n in names]
        return files


def sync(destination):
    """Makes `destination` a copy of the checkout. Only files whose bytes differ are written,
    with a fresh time, so the build there stays incremental and never mistakes one for old."""
    wanted = set(source_files())
    for name in wanted:
        source, target = ROOT / name, destination / name
        data = source.read_bytes()
        if not target.is_file() or target.read_bytes() != data:
            target.parent.mkdir(parents=True, exist_ok=True)
            target.write_bytes(data)
            shutil.copymode(source, target)
    for directory, _, names in os.walk(destination):
        for n in names:
            if str(Path(directory, n).relative_to(destination)) not in wanted:
                Path(directory, n).unlink()


class Worker:
    """One scratch copy with its own build folder."""

    def __init__(self, number, options):
        self.options = options
        self.home = options.work / f"w{number}"
        self.source = self.home / "src"
        self.build = self.home / "build"

    def prepare(self):
        sync(self.source)
        command = ["cmake", "-S", str(self.source), "-B", str(self.build),
                   f"-DCMAKE_BUILD_TYPE={self.options.build_type}", "-DBOSKEN_SANITIZE=OFF",
                   "-DBOSKEN_TESTS=ON", "-DBOSKEN_BENCHMARKS=OFF", "-DBOSKEN_FUZZ=OFF"]
        if shutil.which("ninja") and not (self.build / "CMakeCache.txt").exists():
            command += ["-G", "Ninja"]
        if shutil.which("ccache"):
            command.append("-DCMAKE_CXX_COMPILER_LAUNCHER=ccache")
        # The scratch copy sits elsewhere, so the corpora beside the checkout are named here.
        corpora = ROOT.parent / "shared" / "conformance"
        if corpora.is_dir():
            command.append(f"-DBOSKEN_CONFORMANCE_DIR={corpora}")
        command += self.options.cmake_arg
        log = self.options.work / "logs" / f"configure-{self.home.name}.log"
        with open(log, "w") as out:
            if subprocess.run(command, stdout=out, stderr=subprocess.STDOUT).returncode != 0:
                raise Fault(f"configuring the scratch build failed; see {log}")
        if not self.compile(log):
            raise Fault(f"the unchanged code does not build; see {log}")

    def compile(self, log):
        targets = [m + "Tests" for m in MODULES]
        with open(log, "a") as out:
            command = ["cmake", "--build", str(self.build), "-j", str(self.options.build_jobs), "--target", *targets]
            return subprocess.run(command, stdout=out, stderr=subprocess.STDOUT).returncode == 0

    def executable(self, name):
        return self.build / TESTS_DIR / name

    def run_tests(self, names, log, timeouts):
        """(killed, what killed it). A run that outlives its time-out counts as killed."""
        for name in names:
            exe = self.executable(name)
            with open(log, "a") as out:
                out.write(f"\n==== {name}\n")
                out.flush()
                # A session of its own, so a time-out ends the helpers a test started too.
                process = subprocess.Popen([str(exe), "--gtest_fail_fast", "--gtest_brief=1"], cwd=exe.parent,
                                           stdin=subprocess.DEVNULL, stdout=out, stderr=subprocess.STDOUT,
                                           start_new_session=True)
                try:
                    status = process.wait(timeout=timeouts.get(name))
                except subprocess.TimeoutExpired:
                    os.killpg(process.pid, signal.SIGKILL)
                    process.wait()
                    return True, f"{name}: time-out after {timeouts[name]:.0f} s"
            if status != 0:
                text = log.read_text(errors="replace")
                failed = re.findall(r"^\[  FAILED  \] (\S+)", text, re.M)
                reason = failed[0] if failed else (f"signal {-status}" if status < 0 else f"status {status}")
                return True, f"{name}: {reason}"
        return False, ""

    def try_mutant(self, mutant, timeouts):
        """('killed' | 'survived' | 'build failed', detail)."""
        file = self.source / mutant.path
        original = file.read_bytes()
        log = self.options.work / "logs" / f"{mutant.label}.log"
        log.write_text("")
        try:
            file.write_bytes(original.replace(mutant.anchor.encode(), mutant.replacement.encode(), 1))
            if not self.compile(log):
                return "build failed", f"log: {log.relative_to(ROOT) if log.is_relative_to(ROOT) else log}"
            killed, detail = self.run_tests(mutant.tests(), log, timeouts)
            return ("killed" if killed else "survived"), detail
        finally:
            # Written anew (a fresh time), so the next build compiles the original again.
            file.write_bytes(original)


def baseline(worker, options):
    """Runs the unchanged tests once: they must pass, and their times set the time-outs."""
    timeouts = {}
    log = options.work / "logs" / "baseline.log"
    log.write_text("")
    for name in (m + "Tests" for m in MODULES):
        started = time.monotonic()
        killed, detail = worker.run_tests([name], log, {})
        if killed:
            raise Fault(f"the tests fail without any mutant ({detail}); see {log}")
        took = time.monotonic() - started
        timeouts[name] = options.timeout or max(60.0, 5 * took)
        print(f"baseline      {name} passes in {took:.1f} s", flush=True)
    return timeouts


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--list", type=Path, default=ROOT / "Tools" / "mutants.txt", help="the mutant list")
    parser.add_argument("--only", action="append", default=[], metavar="LABEL",
                        help="only mutants whose label matches (a glob; repeatable)")
    parser.add_argument("--file", action="append", default=[], metavar="TEXT",
                        help="only mutants whose file path contains TEXT (repeatable)")
    parser.add_argument("--jobs", type=int, default=1, help="mutants tried at once, each in its own copy (1)")
    parser.add_argument("--build-jobs", type=int, default=0, help="compiler jobs per copy (CPUs / --jobs)")
    parser.add_argument("--timeout", type=float, default=0,
                        help="seconds per test executable run (default: 5 x its unchanged time, at least 60)")
    parser.add_argument("--min-ratio", type=float, default=None, help="exit 1 if the kill ratio is lower (0..1)")
    parser.add_argument("--check", action="store_true", help="only report which anchors still apply; no build")
    parser.add_argument("--build-type", default="RelWithDebInfo")
    parser.add_argument("--cmake-arg", action="append", default=[], metavar="-DNAME=VALUE",
                        help="passed to the scratch configure (repeatable; write --cmake-arg=-D...)")
    parser.add_argument("--work", type=Path, default=ROOT / "build" / "mutants", help="the scratch folder")
    options = parser.parse_args()
    options.work = options.work.resolve()
    options.build_jobs = options.build_jobs or max(1, (os.cpu_count() or 1) // max(1, options.jobs))

    mutants = read_list(options.list)
    if options.only:
        mutants = [m for m in mutants if any(fnmatch.fnmatchcase(m.label, p) for p in options.only)]
    if options.file:
        mutants = [m for m in mutants if any(text in m.path for text in options.file)]
    if not mutants:
        raise Fault("no mutant selected")

    applicable, results = [], {}
    for mutant in mutants:
        reason = why_not_applicable(mutant, ROOT)
        if reason:
            results[mutant.label] = ("not applicable", reason)
        else:
            applicable.append(mutant)
    if options.check:
        for mutant in mutants:
            if mutant.label in results:
                print(f"{'not applicable':14} {mutant.label:32} {results[mutant.label][1]}")
        print(f"{len(applicable)} of {len(mutants)} mutants apply")
        return 0

    started = time.monotonic()
    (options.work / "logs").mkdir(parents=True, exist_ok=True)
    workers = [Worker(n, options) for n in range(min(max(1, options.jobs), len(applicable)))]
    if workers:
        print(f"preparing {len(workers)} scratch build(s) in {options.work}", flush=True)
        for worker in workers:
            worker.prepare()
        timeouts = baseline(workers[0], options)

    printing = threading.Lock()

    def report(mutant, outcome, detail, seconds=None):
        results[mutant.label] = (outcome, detail)
        took = f" ({seconds:.0f} s)" if seconds is not None else ""
        with printing:
            print(f"{outcome:14} {mutant.label:32} {detail}{took}", flush=True)

    for mutant in mutants:
        if mutant.label in results:
            report(mutant, *results[mutant.label])

    pending = queue.Queue()
    for mutant in applicable:
        pending.put(mutant)
    faults, stopping = [], threading.Event()

    def work(worker):
        while not faults and not stopping.is_set():
            try:
                mutant = pending.get_nowait()
            except queue.Empty:
                return
            began = time.monotonic()
            try:
                report(mutant, *worker.try_mutant(mutant, timeouts), time.monotonic() - began)
            except Exception as error:  # noqa: BLE001 - reported as a script fault below
                faults.append(f"{mutant.label}: {error}")

    threads = [threading.Thread(target=work, args=(w,)) for w in workers]
    for thread in threads:
        thread.start()
    try:
        for thread in threads:
            thread.join()
    except KeyboardInterrupt:
        # Each worker puts its file back before it stops; the next run's copy repairs the rest.
        print("stopping after the mutants under way", file=sys.stderr)
        stopping.set()
        for thread in threads:
            thread.join()
        raise
    if faults:
        raise Fault("; ".join(faults))

    counts = {k: sum(1 for o, _ in results.values() if o == k)
              for k in ("killed", "survived", "not applicable", "build failed")}
    tried = counts["killed"] + counts["survived"]
    ratio = counts["killed"] / tried if tried else 0.0
    minutes, seconds = divmod(int(time.monotonic() - started), 60)
    print(f"\n{len(mutants)} mutants: {counts['killed']} killed, {counts['survived']} survived, "
          f"{counts['not applicable']} not applicable, {counts['build failed']} build failed")
    print(f"kill ratio {ratio:.1%} ({counts['killed']} of {tried} that built) in {minutes} min {seconds:02d} s")
    survivors = [m.label for m in mutants if results[m.label][0] == "survived"]
    if survivors:
        print("survivors: " + ", ".join(survivors))
    if options.min_ratio is not None and ratio < options.min_ratio:
        print(f"below the required kill ratio of {options.min_ratio:.1%}")
        return 1
    return 0


if __name__ == "__main__":
    try:
        sys.exit(main())
    except Fault as fault:
        print(f"mutate.py: {fault}", file=sys.stderr)
        sys.exit(2)
    except KeyboardInterrupt:
        sys.exit(130)
