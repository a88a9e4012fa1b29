#!/usr/bin/python3
"""`tarnvel-fw metrics` on a simulated machine with a board of every status, its output read by
Prometheus's own Python parser of the text format (Debian's python3-prometheus-client, hence
Debian's python3), and --output's file that is replaced whole or not at all.

The machine is kept in a state directory and powered on three times:

  1. a QX480 without a factory image fails part-way through its write;
  2. power-on: that board can't start its partial image and is gone (missing); another QX480
     loses power in the middle of its write (interrupted);
  3. power-on: the interrupted one runs its factory image; one QX480 is written without a
     reboot (pending-power-cycle), another fails part-way (write-failed); then the metrics.

Between the runs one board's archive is made unreadable (no-image), and the node of the gone
board's record in the journal is given characters that label values must escape.

  tarnvel_fw_metrics_test.py --sim TARNVEL_SIM --tarnvel-fw TARNVEL_FW
"""

import argparse
import os
import re
import sqlite3
import subprocess
import sys
import tempfile
import time
from pathlib import Path

# The shared helpers, without leaving compiled files in the source tree.
sys.dont_write_bytecode = True
sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "support"))
from checks import Checks  # noqa: E402

try:
    from prometheus_client.parser import text_string_to_metric_families
except ImportError:
    print("prometheus_client not found: scripts/install-deps installs python3-prometheus-client")
    sys.exit(1)

# (board description, what the runs do to it, the metrics' expectations:
#  status, update_available, power_cycle_pending, firmware, last write result)
BOARDS = [
    ("kind=5", "update-available", 1, 0, 100, None),
    ("kind=3,archive=equal", "up-to-date", 0, 0, 100, None),
    ("kind=4,archive=older", "board-newer", 0, 0, 100, None),
    ("kind=2,archive=none", "no-archive", 0, 0, 100, None),
    ("kind=6", "no-image", 0, 0, 100, None),
    ("kind=0,device=0x9999", "unsupported", 0, 0, 100, None),
    ("kind=10", "dynamic-firmware", 0, 0, 100, None),
    ("kind=5", "pending-power-cycle", 0, 1, 100, "verified"),
    # Back from the power cut on its factory image, which reports firmware 0.
    ("kind=5", "interrupted", 1, 0, 0, "interrupted"),
    ("kind=5,fault=400", "write-failed", 1, 0, 100, "failed"),
    ("kind=5,factory=none,fault=400", "missing", 0, 0, None, "failed"),
]
NO_IMAGE, PENDING, INTERRUPTED, WRITE_FAILED, MISSING = 4, 7, 8, 9, 10
# The middle of programming the interrupted board (a write without a backup takes some 4900
# accesses).
POWER_CUT = 2000
# What the gone board's record is made to say: a quote, a backslash, a line feed and a byte
# that is no UTF-8, which the metrics give as U+FFFD.
ODD_NODE = b'/dev/"odd"\\board\n\xff'
ODD_NODE_LABEL = '/dev/"odd"\\board\n\ufffd'

NAME = re.compile(r"[a-zA-Z_:][a-zA-Z0-9_:]*")
LABEL_NAME = re.compile(r"[a-zA-Z_][a-zA-Z0-9_]*")


def node(index):
    return f"/dev/tarnvel{index}"


def fw(tarnvel_fw, *args, env=None):
    return subprocess.run([tarnvel_fw, *args], capture_output=True, env=env)


def parse(checks, what, data):
    """The samples of the exposition `data` by (name, labels), after the checks the Python
    parser does not make: UTF-8, names, a HELP and a gauge TYPE for every sample's family, and
    no series twice."""
    try:
        text = data.decode("utf-8")
    except UnicodeDecodeError as error:
        checks.equal(f"{what}: UTF-8", str(error), "")
        return {}
    samples = {}
    problems = []
    for family in text_string_to_metric_families(text):
        if not NAME.fullmatch(family.name) or family.type != "gauge" or not family.documentation:
            problems.append(f"{family.name}: type {family.type}, help {family.documentation!r}")
        for sample in family.samples:
            if sample.name != family.name or not all(map(LABEL_NAME.fullmatch, sample.labels)):
                problems.append(f"sample {sample.name} {sample.labels}")
            key = (sample.name, tuple(sorted(sample.labels.items())))
            if key in samples:
                problems.append(f"twice: {key}")
            samples[key] = sample.value
    checks.equal(f"{what}: problems the parser lets pass", problems, [])
    return samples


def series(samples, name, **labels):
    """The values of `name` whose labels include `labels`, by their full label sets."""
    return {key[1]: value for key, value in samples.items()
            if key[0] == name and all((k, v) in key[1] for k, v in labels.items())}


def value(samples, name, **labels):
    found = series(samples, name, **labels)
    return next(iter(found.values())) if len(found) == 1 else found or None


def check_boards(checks, samples, started, ended):
    for index, (_, status, update, pending, firmware, result) in enumerate(BOARDS):
        at = ODD_NODE_LABEL if index == MISSING else node(index)
        info = series(samples, "tarnvel_board_info", node=at)
        labels = dict(next(iter(info))) if len(info) == 1 else {}
        checks.equal(f"{at!r}: status", labels.get("status"), status)
        checks.equal(f"{at!r}: firmware label", labels.get("firmware"),
                     "" if firmware is None else str(firmware))
        board = {"node": at, "pci": labels.get("pci"), "kind": labels.get("kind")}
        checks.equal(f"{at!r}: firmware version",
                     value(samples, "tarnvel_board_firmware_version", **board), firmware)
        checks.equal(f"{at!r}: update available",
                     value(samples, "tarnvel_board_update_available", **board), update)
        checks.equal(f"{at!r}: power cycle pending",
                     value(samples, "tarnvel_board_power_cycle_pending", **board), pending)
        results = series(samples, "tarnvel_board_last_write_result", **board)
        checks.equal(f"{at!r}: last write result",
                     sorted(dict(key)["result"] for key, v in results.items() if v == 1),
                     [result] if result else [])
        # verified, failed, interrupted and writing
        checks.equal(f"{at!r}: last write results given", len(results), 4 if result else 0)
        written = value(samples, "tarnvel_board_last_write_timestamp_seconds", **board)
        checks.equal(f"{at!r}: last write time in the test",
                     written is not None and started <= written <= ended, result is not None)
    info = series(samples, "tarnvel_board_info")
    checks.equal("boards", len(info), len(BOARDS))
    checks.equal("journal readable", value(samples, "tarnvel_journal_readable"), 1)
    scraped = value(samples, "tarnvel_scrape_timestamp_seconds")
    checks.equal("scrape time", scraped is not None and started <= scraped <= ended, True)


def check_output_file(checks, tarnvel_fw, stdout_samples, work):
    """--output: the same metrics in the file, replaced whole and kept its owner's, group's and
    mode; no file at all when it can't be written, nothing left beside it, and a path that is
    not a regular file named as what it is."""
    directory = work / "textfile"
    directory.mkdir()
    target = directory / "tarnvel.prom"
    target.write_text("old metrics\n")
    # The collector's own user and group (giving the file away takes root).
    owner = (4321, 8765) if os.geteuid() == 0 else (os.geteuid(), os.getegid())
    os.chown(target, *owner)
    os.chmod(target, 0o664)
    run = fw(tarnvel_fw, "metrics", "--output", str(target))
    checks.equal("--output: exit status", run.returncode, 0)
    checks.equal("--output: standard output", run.stdout, b"")
    kept = target.stat()
    checks.equal("--output: owner, group and mode kept",
                 (kept.st_uid, kept.st_gid, kept.st_mode & 0o7777), (*owner, 0o664))
    scrape = ("tarnvel_scrape_timestamp_seconds", ())
    in_file = parse(checks, "--output", target.read_bytes())
    checks.equal("--output: the series of standard output",
                 {k: v for k, v in in_file.items() if k != scrape}
                 == {k: v for k, v in stdout_samples.items() if k != scrape}, True)
    checks.equal("--output: files in its directory", sorted(os.listdir(directory)),
                 ["tarnvel.prom"])

    (directory / "subdirectory").mkdir()
    (directory / "link").symlink_to("tarnvel.prom")
    metrics = target.read_bytes()
    for what, path, why in [
            ("a missing directory", directory / "gone" / "tarnvel.prom", b"No such file"),
            ("a directory", directory / "subdirectory", b": it is a directory, and only a "
             b"regular file is replaced\n"),
            ("a symbolic link", directory / "link", b": it is a symbolic link, and only a "
             b"regular file is replaced\n"),
            ("a device", Path("/dev/null"), b": it is a character device, and only a regular "
             b"file is replaced\n")]:
        run = fw(tarnvel_fw, "metrics", "--output", str(path))
        checks.equal(f"--output to {what}: exit status", run.returncode, 1)
        checks.equal(f"--output to {what}: says so",
                     b"can't write the metrics to " + bytes(path) in run.stderr and
                     why in run.stderr, True)
        checks.equal(f"--output to {what}: files left", sorted(os.listdir(directory)),
                     ["link", "subdirectory", "tarnvel.prom"])
    checks.equal("--output: the directory named", os.listdir(directory / "subdirectory"), [])
    checks.equal("--output: the link named", (directory / "link").is_symlink(), True)
    checks.equal("--output: the link's file", target.read_bytes(), metrics)


def check_bad_journal(checks, tarnvel_fw, work):
    state = work / "bad-journal"
    state.mkdir()
    (state / "journal.sqlite").write_text("not a database\n")
    run = fw(tarnvel_fw, "metrics", env={**os.environ, "TARNVEL_STATE_DIR": str(state)})
    checks.equal("unreadable journal: exit status", run.returncode, 0)
    samples = parse(checks, "unreadable journal", run.stdout)
    checks.equal("unreadable journal: journal readable",
                 value(samples, "tarnvel_journal_readable"), 0)


def inside(args):
    """The third power-on: the last writes, then the metrics."""
    checks = Checks()
    for index, expected in [(PENDING, 0), (WRITE_FAILED, 1)]:
        run = fw(args.tarnvel_fw, "update", "--yes", "--no-reboot", "--no-backup", "--board",
                 node(index))
        checks.equal(f"update of {node(index)}: exit status", run.returncode, expected)
    run = fw(args.tarnvel_fw, "metrics")
    ended = time.time()
    checks.equal("metrics: exit status (a missing board is in the metrics)", run.returncode, 0)
    samples = parse(checks, "metrics", run.stdout)
    check_boards(checks, samples, float(args.started), ended)
    work = Path(args.inside)
    check_output_file(checks, args.tarnvel_fw, samples, work)
    check_bad_journal(checks, args.tarnvel_fw, work)
    print(f"tarnvel-fw metrics: {checks.passed} checks passed, {checks.failed} failed")
    return 0 if checks.failed == 0 else 1


def outside(args):
    started = int(time.time())
    with tempfile.TemporaryDirectory(prefix="tarnvel-metrics.") as work_dir:
        work = Path(work_dir)
        machine = work / "machine"

        def power_on(*command, cut=None):
            options = ["--power-cut", str(cut)] if cut else []
            boards = [] if machine.exists() else [description for description, *_ in BOARDS]
            return subprocess.run([args.sim, "--state", str(machine), *options, *boards, "--",
                                   *command]).returncode

        update = [args.tarnvel_fw, "update", "--yes", "--no-reboot", "--no-backup", "--board"]
        if power_on(*update, node(MISSING)) != 1:
            print("FAIL  the write of the board without a factory image did not fail")
            return 1
        # The QX400's archive, unreadable.
        for archive in (machine / "firmware" / "tarnvel").glob("qx400*.zip"):
            archive.write_bytes(b"not a zip archive")
        if power_on(*update, node(INTERRUPTED), cut=POWER_CUT) != 128 + 9:
            print(f"FAIL  no power cut at register access {POWER_CUT}")
            return 1
        with sqlite3.connect(machine / "state" / "journal.sqlite") as journal:
            journal.execute("UPDATE writes SET node = CAST(? AS TEXT) WHERE node = ?",
                            (ODD_NODE, node(MISSING)))
        journal.close()
        return power_on(sys.executable, str(Path(__file__).resolve()), "--inside", str(work),
                        "--started", str(started), "--tarnvel-fw", args.tarnvel_fw)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--sim", help="the tarnvel-sim program")
    parser.add_argument("--tarnvel-fw", required=True, help="the tarnvel-fw program")
    parser.add_argument("--inside", metavar="WORK_DIR", help=argparse.SUPPRESS)
    parser.add_argument("--started", help=argparse.SUPPRESS)
    args = parser.parse_args()
    return inside(args) if args.inside else outside(args)


if __name__ == "__main__":
    sys.exit(main())
