#!/usr/bin/env python3
"""Deliberate faults, one at a time: applies each fault of
tests/mutation/faults.txt to its source line, rebuilds the test programs the
fault names, runs them and reports whether the tests caught it.

Started through scripts/mutation.sh, which documents the options. Every file
is restored byte for byte after its fault, also when the run is interrupted;
the original waits in the git folder until it is back, so that a run that
was killed outright is repaired by the next start.
"""
import argparse
import os
import re
import select
import signal
import subprocess
import sys
import time
from contextlib import contextmanager
from dataclasses import dataclass
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
FAULT_LIST = ROOT / "tests" / "mutation" / "faults.txt"
FIELD_COUNT = 7
TIMEOUT_FACTOR = 3  # a mutated run may take this many times the unchanged run
CARD_SUITE = re.compile(r"^test_(smartcard_\w+|card|tools_vcard|public|pkcs11)$")
SERVICE_VARIABLES = ("KIVO_PCSC_AVAILABLE", "KIVO_VCARD_RECORD", "KIVO_VCARD_DIR", "KIVO_VCARD_READER")
SERVICE_START_SECONDS = 300
STOP_SIGNALS = {signal.SIGINT, signal.SIGTERM, signal.SIGHUP}
GRACE_SECONDS = 30


class SetupError(Exception):
    """The run cannot start or go on; the message says why."""


class Interrupted(Exception):
    """A signal asked the run to stop."""


@dataclass
class Fault:
    id: str
    path: str
    line: int
    original: str
    replacement: str
    tests: list
    description: str

    @property
    def subsystem(self):
        return os.path.dirname(self.path)


@dataclass
class Result:
    fault: Fault
    outcome: str  # caught, compiler, missed or stale
    detail: str
    seconds: float = 0.0


# ---- the fault list ---------------------------------------------------------


def parse_fault(fields, where):
    """A Fault from the seven fields of one entry; SetupError when malformed."""
    if len(fields) != FIELD_COUNT:
        raise SetupError(f"{where}: {len(fields)} tab-separated fields, {FIELD_COUNT} expected")
    fid, path, line, original, replacement, tests, description = fields
    if not re.fullmatch(r"[\w.-]+", fid):
        raise SetupError(f"{where}: id '{fid}' is not a plain name")
    if not line.isdigit() or int(line) < 1:
        raise SetupError(f"{where}: line '{line}' is no line number")
    if not original:
        raise SetupError(f"{where}: the original text is empty")
    if path.startswith("/") or ".." in Path(path).parts:
        raise SetupError(f"{where}: '{path}' is not a path inside the repository")
    programs = [name for name in tests.split(",") if name]
    if not programs:
        raise SetupError(f"{where}: no test program named")
    return Fault(fid, path, int(line), original, replacement, programs, description)


def read_fault_list(path):
    """The faults of the list, and the problems of its malformed entries."""
    faults, problems, seen = [], [], set()
    for number, text in enumerate(path.read_text(encoding="utf-8").split("\n"), 1):
        if not text.strip() or text.startswith("#"):
            continue
        try:
            fault = parse_fault(text.split("\t"), f"{path.relative_to(ROOT)}:{number}")
        except SetupError as problem:
            problems.append(str(problem))
            continue
        if fault.id in seen:
            problems.append(f"{path.relative_to(ROOT)}:{number}: id {fault.id} used twice")
        seen.add(fault.id)
        faults.append(fault)
    return faults, problems


def known_test_programs():
    """The test programs tests/ defines: one per folder of the suite lists,
    and those added by name."""
    programs = set()
    for cmake in (ROOT / "tests").rglob("CMakeLists.txt"):
        text = cmake.read_text(encoding="utf-8")
        for folders in re.findall(r"foreach\(folder ([^)]*)\)", text):
            programs.update("test_" + folder.replace("/", "_") for folder in folders.split())
        programs.update(re.findall(r"add_executable\((test_\w+)", text))
        programs.update("test_" + folder for folder in re.findall(r"kivo_add_test_suite\((\w+)\)", text))
    return programs


def source_lines(path):
    return path.read_bytes().decode("utf-8").split("\n")


def stale_reason(fault):
    """Why the fault no longer fits the tree, or None when it does."""
    path = ROOT / fault.path
    if not path.is_file():
        return "the file does not exist"
    lines = source_lines(path)
    if fault.line > len(lines):
        return f"the file has only {len(lines)} lines"
    count = lines[fault.line - 1].count(fault.original)
    if count == 1:
        return None
    found = [str(number) for number, text in enumerate(lines, 1) if fault.original in text]
    where = f"; it stands on line {', '.join(found)} now" if found else "; it is nowhere in the file"
    return f"the original text is {'more than once' if count else 'not'} on line {fault.line}{where}"


def mismatches(fault, programs):
    """Everything about the fault that does not match the tree."""
    reasons = [reason for reason in [stale_reason(fault)] if reason]
    unknown = [name for name in fault.tests if name not in programs]
    if unknown:
        reasons.append("no such test program: " + ", ".join(unknown))
    return reasons


def subsystem_counts(faults):
    counts = {}
    for fault in faults:
        counts[fault.subsystem] = counts.get(fault.subsystem, 0) + 1
    return counts


def check_command(faults, problems):
    """--check: every entry against the tree; nothing is built or changed."""
    programs = known_test_programs()
    stale = 0
    for fault in faults:
        reasons = mismatches(fault, programs)
        if reasons:
            stale += 1
            print(f"stale: {fault.id} {fault.path}:{fault.line}: {'; '.join(reasons)}")
    for problem in problems:
        print(f"malformed: {problem}")
    print("faults per subsystem:")
    for subsystem, count in sorted(subsystem_counts(faults).items()):
        print(f"  {subsystem:<22} {count}")
    print(f"{len(faults)} faults checked: {stale} stale, {len(problems)} malformed")
    return 0 if stale == 0 and not problems else 1


# ---- changing a file and putting it back ----------------------------------------


def raise_interrupted(number, _frame):
    raise Interrupted(signal.Signals(number).name)


@contextmanager
def signals_held():
    """Holds the stop signals back while a file is written, so that a file is
    never left half written by the run itself."""
    previous = signal.pthread_sigmask(signal.SIG_BLOCK, STOP_SIGNALS)
    try:
        yield
    finally:
        signal.pthread_sigmask(signal.SIG_SETMASK, previous)


def write_file(path, data):
    with open(path, "wb") as out:
        out.write(data)
        out.flush()
        os.fsync(out.fileno())


def git(*arguments):
    result = subprocess.run(["git", "-C", str(ROOT), *arguments], capture_output=True, text=True)
    if result.returncode != 0:
        raise SetupError(f"git {' '.join(arguments)} failed: {result.stderr.strip()}")
    return result.stdout


def mutated_source(fault, original):
    lines = original.decode("utf-8").split("\n")
    lines[fault.line - 1] = lines[fault.line - 1].replace(fault.original, fault.replacement, 1)
    return "\n".join(lines).encode("utf-8")


class Backup:
    """The original of the one file under a fault, kept in the git folder
    (outside the work tree) until it is back in place."""

    def __init__(self):
        folder = Path(git("rev-parse", "--git-path", "kivo-mutation").strip())
        self.folder = folder if folder.is_absolute() else ROOT / folder
        self.copy = self.folder / "original"
        self.marker = self.folder / "file"

    def keep(self, fault, original):
        self.folder.mkdir(parents=True, exist_ok=True)
        write_file(self.copy, original)
        write_file(self.marker, f"{fault.path}\n{fault.id}\n".encode("utf-8"))

    def put_back(self):
        """Restores the kept file; its path, or None when none was kept."""
        if not self.marker.exists():
            return None
        path = self.marker.read_text(encoding="utf-8").split("\n")[0]
        write_file(ROOT / path, self.copy.read_bytes())
        self.marker.unlink()
        self.copy.unlink()
        return path

    def repair_interrupted_run(self, faults):
        """Puts back a file that an earlier run left with its fault in it,
        unless it was edited since; SetupError then."""
        if not self.marker.exists():
            return
        path, fid = (self.marker.read_text(encoding="utf-8").split("\n") + [""])[:2]
        original = self.copy.read_bytes()
        current = (ROOT / path).read_bytes()
        fault = next((f for f in faults if f.id == fid), None)
        if current != original and (fault is None or current != mutated_source(fault, original)):
            raise SetupError(f"{path} still has a change from an interrupted run and was edited since; "
                             f"its original is {self.copy} (remove {self.marker} when it is sorted out)")
        with signals_held():
            self.put_back()
        print(f"mutation: restored {path}, left with fault {fid} by an interrupted run")


@contextmanager
def fault_applied(fault, backup):
    """The fault's file with the fault in it, restored on leaving whatever
    way the block is left."""
    path = ROOT / fault.path
    with signals_held():
        original = path.read_bytes()
        backup.keep(fault, original)
        write_file(path, mutated_source(fault, original))
    try:
        yield
    finally:
        with signals_held():
            backup.put_back()


def refuse_uncommitted(faults):
    paths = sorted({fault.path for fault in faults})
    changed = git("status", "--porcelain", "--untracked-files=no", "--", *paths)
    if changed.strip():
        raise SetupError("uncommitted changes in files the faults change; commit or stash them first:\n"
                         + changed.rstrip())


# ---- processes -----------------------------------------------------------------


def stop_group(process, first):
    """Stops the process group of `process`: `first`, then SIGKILL for what
    is left after the grace time."""
    for number in (first, signal.SIGKILL):
        try:
            os.killpg(process.pid, number)
        except ProcessLookupError:
            return
        try:
            process.wait(timeout=GRACE_SECONDS)
            return
        except subprocess.TimeoutExpired:
            continue


def run_in_group(command, log, cwd, env=None, timeout=None, stop=signal.SIGTERM):
    """Runs `command` in a process group of its own with its output in
    `log`; its exit status (negative: the signal that ended it), or None when
    it ran out of time. The group is stopped when time runs out or the run
    is interrupted, and what the command left running is ended."""
    log.flush()
    process = subprocess.Popen(command, cwd=cwd, env=env, stdin=subprocess.DEVNULL, stdout=log,
                               stderr=subprocess.STDOUT, start_new_session=True)
    try:
        status = process.wait(timeout=timeout)
    except subprocess.TimeoutExpired:
        stop_group(process, stop)
        return None
    except BaseException:
        stop_group(process, stop)
        raise
    stop_group(process, signal.SIGKILL)  # helpers a crashed test left behind
    return status


def describe_status(status, timeout):
    if status is None:
        return f"timed out after {timeout:.0f} s"
    if status < 0:
        name = signal.Signals(-status).name if -status in signal.valid_signals() else f"signal {-status}"
        return f"crashed ({name})"
    return f"failed (exit {status})"


class CardServices:
    """pcscd, the vpcd readers and the virtual cards for the card suites:
    started through scripts/card-services.sh (its own trap stops them), or
    the ones a caller runs already with their variables exported."""

    def __init__(self, log_path):
        self.log_path = log_path
        self.log = None
        self.process = None

    @staticmethod
    def already_running():
        return all(os.environ.get(name) for name in SERVICE_VARIABLES) and \
            Path(os.environ["KIVO_VCARD_DIR"]).is_dir()

    def start(self, vcard):
        """The variables the card suites need."""
        if self.already_running():
            print("mutation: using the card services of the exported KIVO_VCARD_DIR")
            return {}
        print("mutation: starting the card services (scripts/card-services.sh)")
        self.log = open(self.log_path, "w")
        self.process = subprocess.Popen(["bash", "scripts/card-services.sh", str(vcard)], cwd=ROOT,
                                        stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=self.log,
                                        start_new_session=True)
        variables = self.read_variables()
        if set(variables) != set(SERVICE_VARIABLES):
            raise SetupError(f"the card services did not start; see {self.log_path}")
        return variables

    def read_variables(self):
        """The "export NAME=VALUE" lines the script prints once the services
        stand; its other output goes to the log. Read unbuffered, so that
        select() sees every line that has arrived."""
        variables, pending = {}, b""
        deadline = time.monotonic() + SERVICE_START_SECONDS
        stream = self.process.stdout.fileno()
        while set(variables) != set(SERVICE_VARIABLES) and time.monotonic() < deadline:
            ready, _, _ = select.select([stream], [], [], deadline - time.monotonic())
            chunk = os.read(stream, 4096) if ready else b""
            if not chunk:
                break
            *lines, pending = (pending + chunk).split(b"\n")
            for line in lines:
                self.take_line(line.decode("utf-8", errors="replace"), variables)
        return variables

    def take_line(self, line, variables):
        match = re.match(r"export (KIVO_\w+)=(.*)$", line)
        if match and match.group(1) in SERVICE_VARIABLES:
            variables[match.group(1)] = match.group(2)
        else:
            self.log.write(line + "\n")
            self.log.flush()

    def stop(self):
        if self.process is not None:
            stop_group(self.process, signal.SIGTERM)
            self.process = None
        if self.log is not None:
            self.log.close()
            self.log = None


# ---- the run -------------------------------------------------------------------


class Session:
    """One run over the selected faults in one build folder."""

    def __init__(self, arguments, faults, backup):
        self.faults = faults
        self.backup = backup
        self.build = (ROOT / arguments.build).resolve()
        self.logs = self.build / "mutation"
        self.report = self.build / "mutation-report.txt"
        self.jobs = arguments.jobs
        self.min_timeout = arguments.timeout
        self.programs = sorted({name for fault in faults for name in fault.tests})
        self.durations = {}
        self.environment = dict(os.environ, KIVO_SOURCE_DIR=str(ROOT))
        self.services = CardServices(self.logs / "card-services.log")
        self.results = []
        self.commit = git("rev-parse", "--short", "HEAD").strip()

    # -- building

    def configure(self):
        if (self.build / "CMakeCache.txt").exists():
            return
        print(f"mutation: configuring {self.build}")
        command = ["cmake", "-S", str(ROOT), "-B", str(self.build), "-DCMAKE_BUILD_TYPE=RelWithDebInfo",
                   "-DKIVO_SANITIZE=", "-DKIVO_BUILD_TESTS=ON", "-DKIVO_BUILD_BENCH=OFF"]
        if subprocess.run(["sh", "-c", "command -v ccache"], capture_output=True).returncode == 0:
            command += ["-DCMAKE_CXX_COMPILER_LAUNCHER=ccache", "-DCMAKE_C_COMPILER_LAUNCHER=ccache"]
        with open(self.logs / "configure.log", "w") as log:
            if run_in_group(command, log, ROOT) != 0:
                raise SetupError(f"cmake could not configure {self.build}; see {self.logs / 'configure.log'}")

    def build_targets(self, targets, log):
        command = ["cmake", "--build", str(self.build), "-j", str(self.jobs), "--target", *targets]
        return run_in_group(command, log, ROOT) == 0

    def program_path(self, name):
        for candidate in (self.build / "tests" / name, self.build / "tests" / "public" / name):
            if candidate.is_file():
                return candidate
        found = [path for path in (self.build / "tests").rglob(name) if path.is_file()]
        if not found:
            raise SetupError(f"{name} was built but is not in {self.build / 'tests'}")
        return found[0]

    # -- running

    def timeout_of(self, name):
        return max(self.min_timeout, TIMEOUT_FACTOR * self.durations.get(name, 0))

    def run_program(self, name, log):
        """The program's exit status as run_in_group gives it."""
        path = self.program_path(name)
        log.write(f"==> {name}\n")
        return run_in_group([str(path)], log, path.parent, env=self.environment,
                            timeout=self.timeout_of(name), stop=signal.SIGKILL)

    def prepare(self):
        """Builds the unchanged tree, starts the card services and runs every
        program once unchanged: the base the faults are judged against."""
        self.logs.mkdir(parents=True, exist_ok=True)
        self.configure()
        cards = any(CARD_SUITE.match(name) for name in self.programs)
        targets = self.programs + (["vcard"] if cards else [])
        print(f"mutation: building {' '.join(targets)} on the unchanged tree")
        with open(self.logs / "baseline-build.log", "w") as log:
            if not self.build_targets(targets, log):
                raise SetupError(f"the unchanged tree does not build; see {self.logs / 'baseline-build.log'}")
        if cards:
            self.environment.update(self.services.start(self.build / "tools" / "vcard" / "vcard"))
        for name in self.programs:
            self.run_baseline(name)

    def run_baseline(self, name):
        print(f"mutation: {name} on the unchanged tree", flush=True)
        started = time.monotonic()
        with open(self.logs / f"baseline-{name}.log", "w") as log:
            status = self.run_program(name, log)
        if status != 0:
            raise SetupError(f"{name} {describe_status(status, self.timeout_of(name))} on the unchanged tree, "
                             f"so it cannot judge a fault; see {self.logs / f'baseline-{name}.log'}")
        self.durations[name] = time.monotonic() - started

    def judge(self, fault):
        """Applies the fault, builds, restores the file, then runs the tests."""
        reason = stale_reason(fault)
        if reason:
            return Result(fault, "stale", reason)
        log_path = self.logs / f"{fault.id}.log"
        with open(log_path, "w") as log:
            log.write(f"{fault.id}: {fault.path}:{fault.line}: {fault.original!r} -> {fault.replacement!r}\n")
            with fault_applied(fault, self.backup):
                built = self.build_targets(fault.tests, log)
            if not built:
                return Result(fault, "compiler", self.build_failure(fault, log_path))
            for name in fault.tests:
                status = self.run_program(name, log)
                if status != 0:
                    return Result(fault, "caught", f"{name} {describe_status(status, self.timeout_of(name))}")
        return Result(fault, "missed", "every test passed")

    @staticmethod
    def build_failure(fault, log_path):
        """A build error that names another file than the fault's may have
        another cause (a full disk, say): the detail says so."""
        build_output = log_path.read_text(encoding="utf-8", errors="replace").split("\n", 1)[-1]
        if fault.path in build_output:
            return "build failed"
        return f"build failed, not in {fault.path} (see its log)"

    def run(self):
        try:
            self.prepare()
            for index, fault in enumerate(self.faults, 1):
                started = time.monotonic()
                result = self.judge(fault)
                result.seconds = time.monotonic() - started
                self.results.append(result)
                print(f"[{index}/{len(self.faults)}] {fault.id:<15} {result.outcome:<9} {result.detail} "
                      f"({result.seconds:.0f} s)", flush=True)
                self.write_report(finished=False)
            self.rebuild_unchanged()
        finally:
            self.services.stop()
        self.write_report(finished=True)
        print(self.report.read_text(encoding="utf-8"), end="")
        return 0 if all(result.outcome in ("caught", "compiler") for result in self.results) else 1

    def rebuild_unchanged(self):
        """The programs built with faults in them are built again from the
        unchanged tree, so that the build folder holds no faulty program."""
        print("mutation: rebuilding the test programs on the unchanged tree")
        with open(self.logs / "final-build.log", "w") as log:
            if not self.build_targets(self.programs, log):
                print(f"mutation: warning: the final build failed; see {self.logs / 'final-build.log'}")

    # -- the report

    def totals(self):
        count = {outcome: 0 for outcome in ("caught", "compiler", "missed", "stale")}
        for result in self.results:
            count[result.outcome] += 1
        judged = len(self.results) - count["stale"]
        caught = count["caught"] + count["compiler"]
        share = 100 * caught / judged if judged else 0
        return (f"caught {caught} of {judged} ({share:.0f}%): {count['caught']} by the tests, "
                f"{count['compiler']} by the compiler; {count['missed']} missed; "
                f"{count['stale']} stale (not run)")

    def subsystem_lines(self):
        rows = {}
        for result in self.results:
            if result.outcome != "stale":
                caught, judged = rows.get(result.fault.subsystem, (0, 0))
                rows[result.fault.subsystem] = (caught + (result.outcome != "missed"), judged + 1)
        return [f"  {subsystem:<22} {caught} of {judged}" for subsystem, (caught, judged) in sorted(rows.items())]

    def write_report(self, finished):
        lines = [f"Deliberate faults of {FAULT_LIST.relative_to(ROOT)} at commit {self.commit}, "
                 f"{time.strftime('%Y-%m-%d %H:%M')}; logs in {self.logs}"]
        if not finished:
            lines.append(f"(unfinished: {len(self.results)} of {len(self.faults)} faults so far)")
        lines += ["", f"{'id':<15} {'subsystem':<22} {'result':<9} detail"]
        lines += [f"{r.fault.id:<15} {r.fault.subsystem:<22} {r.outcome:<9} {r.detail}" for r in self.results]
        lines += ["", "by subsystem (caught of run):"] + self.subsystem_lines() + ["", self.totals()]
        self.report.write_text("\n".join(lines) + "\n", encoding="utf-8")


# ---- entry ---------------------------------------------------------------------


def selected_faults(faults, only):
    if not only:
        return faults
    wanted = [fid for fid in only.split(",") if fid]
    unknown = sorted(set(wanted) - {fault.id for fault in faults})
    if unknown:
        raise SetupError("no such fault: " + ", ".join(unknown))
    return [fault for fault in faults if fault.id in wanted]


def run_command(arguments, faults, problems):
    if problems:
        raise SetupError("the fault list is malformed (see --check):\n" + "\n".join(problems))
    faults = selected_faults(faults, arguments.only)
    programs = known_test_programs()
    unknown = sorted({name for fault in faults for name in fault.tests} - programs)
    if unknown:
        raise SetupError("the fault list names test programs tests/ does not define (see --check): "
                         + ", ".join(unknown))
    backup = Backup()
    backup.repair_interrupted_run(faults)
    refuse_uncommitted(faults)
    try:
        return Session(arguments, faults, backup).run()
    finally:
        # Normally a no-op: a second signal during a restore may have cut it short.
        with signals_held():
            backup.put_back()


def parse_arguments(argv):
    parser = argparse.ArgumentParser(prog="scripts/mutation.sh", description=__doc__.split("\n\n")[0])
    parser.add_argument("--check", action="store_true",
                        help="only check every entry against the tree; nothing is built")
    parser.add_argument("--only", metavar="ID[,ID...]", help="run these faults only")
    parser.add_argument("--build", metavar="DIR", default="build", help="build folder (default: build)")
    parser.add_argument("--jobs", type=int, default=2, help="parallel build jobs (default: 2)")
    parser.add_argument("--timeout", type=int, default=300, metavar="SECONDS",
                        help="least time a test program may take before it counts as hanging (default: 300)")
    return parser.parse_args(argv)


def main(argv):
    arguments = parse_arguments(argv)
    for number in STOP_SIGNALS:
        signal.signal(number, raise_interrupted)
    try:
        faults, problems = read_fault_list(FAULT_LIST)
        if arguments.check:
            return check_command(faults, problems)
        return run_command(arguments, faults, problems)
    except SetupError as error:
        print(f"mutation: {error}", file=sys.stderr)
        return 2
    except Interrupted as signal_name:
        print(f"mutation: interrupted by {signal_name}; the source tree is restored. The test programs "
              "of the last fault were built with it; the next build builds them again.", file=sys.stderr)
        return 130


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
