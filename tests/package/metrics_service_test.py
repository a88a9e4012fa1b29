#!/usr/bin/python3
"""The metrics service's confinement lets its run do all it needs: `tarnvel-fw metrics
--output` runs under strace on a simulated machine whose journal was left with a write in the
middle of a record (which the run rolls back) and whose metrics file belongs to another user
(which the run keeps that user's), and everything it did must be allowed by the unit:

  - every system call in the unit's SystemCallFilter (as systemd-analyze expands it);
  - every file it writes, makes or removes in the journal's directory or the textfile
    directory, and the unit's ReadWritePaths holding both (/var/lib/tarnvel and the directory
    of the ExecStart's --output);
  - no socket (RestrictAddressFamilies=none), no device node (PrivateDevices), nothing in
    /proc but the process's own, the boot id, other processes' stat and command name, and the
    table of locks (the unit says why).

systemd can't run the unit here (no systemd runs in CI), so the run is checked against it.

  metrics_service_test.py --sim TARNVEL_SIM --tarnvel-fw TARNVEL_FW --unit UNIT_FILE
"""

import argparse
import os
import re
import shutil
import sqlite3
import subprocess
import sys
import tempfile
from pathlib import Path

sys.dont_write_bytecode = True
sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "support"))
from checks import Checks  # noqa: E402

# The journal's directory and the textfile directory on the machine the unit runs on.
STATE_DIR = "/var/lib/tarnvel"

CALL = re.compile(r"^\d+\s+(?:<\.\.\. )?(\w+)(?:\(| resumed>)")
WRITE_FLAGS = re.compile(r"O_WRONLY|O_RDWR|O_CREAT|O_TRUNC")
QUOTED = re.compile(r'"((?:[^"\\]|\\.)*)"')


def unit_settings(unit):
    """The unit's [Service] settings, each name with its values in order."""
    settings = {}
    section = None
    for line in Path(unit).read_text(encoding="utf-8").splitlines():
        line = line.strip()
        if line.startswith("["):
            section = line
        elif section == "[Service]" and line and not line.startswith("#") and "=" in line:
            name, value = line.split("=", 1)
            settings.setdefault(name, []).append(value)
    return settings


def syscall_group(name):
    """The system calls of a systemd-analyze group or a single call, nested groups expanded."""
    if not name.startswith("@"):
        return {name}
    listing = subprocess.run(["systemd-analyze", "syscall-filter", name], check=True,
                             capture_output=True, text=True).stdout.splitlines()[1:]
    calls = set()
    for line in listing:
        word = line.strip()
        if word and not word.startswith("#"):
            calls |= syscall_group(word)
    return calls


def allowed_syscalls(filters):
    """What a list of SystemCallFilter= lines allows, applied in order as systemd does, the
    first line an allow list."""
    allowed = set()
    for line in filters:
        deny = line.startswith("~")
        calls = set().union(*(syscall_group(word) for word in line.lstrip("~").split()))
        allowed = allowed - calls if deny else allowed | calls
    return allowed


def make_machine(args, work):
    """A machine whose board was written, its journal left with a record half changed by a
    writer that died, and a metrics file of another user's."""
    machine = work / "machine"
    subprocess.run([args.sim, "--state", str(machine), "kind=5", "--", args.tarnvel_fw, "update",
                    "--yes", "--no-reboot"], check=True, capture_output=True)
    journal = machine / "state" / "journal.sqlite"
    writer = os.fork()
    if writer == 0:
        database = sqlite3.connect(journal)
        # Unsynced, the journal is valid from its first write on, as a synced one is from the
        # first spill of the cache or commit on.
        database.execute("PRAGMA synchronous = OFF")
        database.execute("UPDATE writes SET node = 'half changed'")
        os._exit(0)  # no commit, no close: the rollback journal stays behind, hot
    os.waitpid(writer, 0)
    output = work / "textfile" / "tarnvel.prom"
    output.parent.mkdir()
    output.write_text("old metrics\n")
    if os.geteuid() == 0:
        os.chown(output, 4321, 8765)
    return machine, journal, output


def traced_calls(trace):
    """(system call, its line) for every call in strace's record."""
    for line in trace.read_text(encoding="utf-8", errors="replace").splitlines():
        found = CALL.match(line)
        if found:
            yield found.group(1), line


def written_path(call, line):
    """The file a call writes, makes or removes, if it is one that does: a path in the
    directory it writes."""
    paths = QUOTED.findall(line)
    if call in ("open", "openat") and paths and "O_TMPFILE" in line:
        return paths[0] + "/"  # an unnamed file in that directory
    if call in ("open", "openat", "creat") and paths:
        return paths[0] if call == "creat" or WRITE_FLAGS.search(line) else None
    if call in ("unlink", "unlinkat", "rmdir", "mkdir", "mkdirat", "truncate") and paths:
        return paths[0]
    if call in ("rename", "renameat", "renameat2", "link", "linkat", "symlink", "symlinkat"):
        return paths[-1] if paths else None
    return None


def check(args, checks, work):
    settings = unit_settings(args.unit)
    machine, journal, output = make_machine(args, work)
    checks.equal("a journal left for the run to roll back",
                 journal.with_name(journal.name + "-journal").exists(), True)

    trace = work / "trace"
    run = subprocess.run([args.sim, "--state", str(machine), "--", "strace", "-f", "-qq", "-o",
                          str(trace), args.tarnvel_fw, "metrics", "--output", str(output)],
                         capture_output=True)
    checks.equal("metrics: exit status", run.returncode, 0)
    checks.equal("metrics: standard error", run.stderr.decode(errors="replace"), "")
    checks.equal("the journal rolled back", journal.with_name(journal.name + "-journal").exists(),
                 False)
    stat = output.stat()
    checks.equal("the metrics file's owner kept", (stat.st_uid, stat.st_gid),
                 (4321, 8765) if os.geteuid() == 0 else (os.geteuid(), os.getegid()))
    calls = list(traced_calls(trace))
    checks.equal("strace recorded the run", len(calls) > 100, True)

    allowed = allowed_syscalls(settings.get("SystemCallFilter", []))
    checks.equal("system calls outside SystemCallFilter",
                 sorted({call for call, _ in calls} - allowed), [])

    state_dir = machine / "state"
    places = {str(state_dir): STATE_DIR, str(output.parent): None}
    writable = " ".join(settings.get("ReadWritePaths", [])).split()
    writable = {path.lstrip("-") for path in writable}
    exec_start = settings["ExecStart"][0].split()
    unit_output = Path(exec_start[exec_start.index("--output") + 1])
    places[str(output.parent)] = str(unit_output.parent)
    checks.equal("ReadWritePaths holds the journal's and the textfile directory",
                 sorted(set(places.values()) - writable), [])
    outside = sorted({path for call, line in calls
                      if (path := written_path(call, line)) is not None
                      and os.path.dirname(path) not in places})
    checks.equal("files written outside those two directories", outside, [])

    checks.equal("sockets made", [line for call, line in calls if call == "socket"], [])
    checks.equal("device nodes opened",
                 sorted({p for call, line in calls if call in ("open", "openat")
                         for p in QUOTED.findall(line)[:1] if p.startswith("/dev/tarnvel")}), [])
    checks.equal("/proc beyond the process's own, the boot id, processes' stat and the locks",
                 sorted({p for _, line in calls for p in QUOTED.findall(line)
                         if p.startswith("/proc/") and not p.startswith("/proc/self/")
                         and p not in ("/proc/sys/kernel/random/boot_id", "/proc/locks")
                         and not re.fullmatch(r"/proc/\d+/(stat|comm)", p)}), [])


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--sim", required=True, help="the tarnvel-sim program")
    parser.add_argument("--tarnvel-fw", required=True, help="the tarnvel-fw program")
    parser.add_argument("--unit", required=True, help="the metrics service's unit file")
    args = parser.parse_args()
    for tool, package in [("strace", "strace"), ("systemd-analyze", "systemd")]:
        if shutil.which(tool) is None:
            print(f"{tool} not found: scripts/install-deps installs {package}")
            return 1
    checks = Checks()
    with tempfile.TemporaryDirectory(prefix="tarnvel-metrics-service.") as work:
        check(args, checks, Path(work))
    print(f"metrics service: {checks.passed} checks passed, {checks.failed} failed")
    return 0 if checks.failed == 0 else 1


if __name__ == "__main__":
    sys.exit(main())
