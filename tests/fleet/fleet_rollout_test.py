#!/usr/bin/env python3
"""The fleet rollout of contrib/ansible, run by ansible-playbook over four inventory hosts on
the local connection, each host a simulated machine with boards of its own:

  alpha    a QX480 with a newer image (rebooted after the update) and an up-to-date QX410BP
  bravo    a QX480 whose programming fails, and a second QX480 written beside it
  charlie  a QX480 with a newer image
  delta    a QX480 whose write lost power half-way before the rollout: a machine kept in a
           state directory, powered on again with the board on its factory image (interrupted)
  foxtrot  a QX480 whose write failed in its last read-back before the rollout, its flash
           holding the whole image (write-failed; powered on, it runs the image), and a QX630
           that another process is writing while the second run goes on

First the play looks without writing, once in check mode and once with tarnvel_fw_update
false: every host in every batch, each reporting the boards it would write, no board touched.

Then the rollout, in batches of one host, then two, with no failure allowed: alpha is updated
alone; bravo fails (its second board written all the same) while charlie, in the same batch,
is updated without a reboot; the failure ends the rollout, and delta is never touched. Last,
the play runs again before any power cycle, with a host added whose boards' driver is not
loaded (echo): alpha, rebooted into its image, and charlie, whose image awaits the power cycle,
change nothing, and charlie says so, as does bravo's second board; bravo's failed board and
delta's interrupted one are written again; foxtrot's failed board is written again and found
holding the image already (unchanged: no change), while its QX630, stopped in the middle of
another process's write, is reported as being written and neither written nor failed; echo
fails, saying that it has no board. Then charlie is rolled back, and run again, the rollback
and the rollout change nothing on it.

Before the rollout, charlie is given signatures required and a key trusted: while the archives
are unsigned its board is not written and the host fails, naming the board; once they are
signed (with minisign), the rollout writes it as any other.
The test checks all of that from the play's own record (batches, task results, recap) and from
the boards themselves.

Each machine is a tarnvel-sim around the next one, the innermost around this script again
(--inside): every tarnvel-sim hands its testbed down in UMOCKDEV_DIR, which a small shell step
keeps under a name of its own before the next one replaces it. All machines share one
directory of archives on /lib/firmware, the innermost sandbox's. ansible-playbook itself runs
outside the simulation; each host's tarnvel_fw_command puts its machine's testbed into the
environment of tarnvel-fw.
"""

import argparse
import contextlib
import json
import os
import platform
import shutil
import signal
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

HERE = Path(__file__).resolve().parent

# The archives all machines share: a newer image for the QX480, an equal one for the QX410BP,
# and for the QX630 a newer one of four blocks, whose write takes long enough to be caught.
ARCHIVE_BOARDS = ["kind=5", "kind=3,archive=equal", "kind=8,image-size=262144"]

# Every board runs firmware 100 and keeps reporting it until it is rebooted; rebooted with the
# archive's image in its flash, it reports 101.
QX480 = "kind=5"
QX410BP = "kind=3"
QX630 = "kind=8"

# In rollout order: (inventory host, its boards, its inventory variables).
MACHINES = [
    ("alpha", [QX480, QX410BP], {"tarnvel_fw_reboot": True}),
    # The 38500th register access fails: the middle of programming the first board, after the
    # read that keeps what its flash held over the whole erase block (some 37,500 accesses).
    ("bravo", [QX480 + ",fault=38500", QX480], {}),
    ("charlie", [QX480], {}),
    ("delta", [QX480], {}),
    # The 41415th register access fails: the last read-back of the first board's write (a write
    # takes some 41,530, the first 37,500 of them the read of the whole erase block that its
    # backup keeps; the write that finds the image in place makes that read alone).
    ("foxtrot", [QX480 + ",fault=41415", QX630], {}),
]

# The machines kept in a state directory, and the tarnvel-sim options and tarnvel-fw command of
# their run before the rollout, with its exit status: delta's board lost power in the middle of
# programming (128 + SIGKILL), foxtrot's first board failed its write (1). delta's write keeps
# no backup, so that the access number counts the write alone; foxtrot's keeps one, as the
# rollout's write of it does, so that its fault falls past all the later write reaches.
BEFORE_ROLLOUT = {
    "delta": (["--power-cut", "2000"], ["update", "--yes", "--no-reboot", "--no-backup"], 128 + 9),
    "foxtrot": ([], ["update", "--yes", "--no-reboot", "--board", "/dev/tarnvel0"], 1),
}

# The board of foxtrot that another process writes during the second run.
BEING_WRITTEN = ("foxtrot", "/dev/tarnvel1")

# A host without boards, in the inventory of the second run only.
NO_BOARDS_HOST = "echo"

# The boards of each host that the play writes: a newer image, or a partial one.
PENDING = {
    "alpha": ["/dev/tarnvel0"],
    "bravo": ["/dev/tarnvel0", "/dev/tarnvel1"],
    "charlie": ["/dev/tarnvel0"],
    "delta": ["/dev/tarnvel0"],
    "foxtrot": ["/dev/tarnvel0", "/dev/tarnvel1"],
}

# A canary batch of one host, then batches of two.
ROLLOUT_VARIABLES = {"tarnvel_rollout_serial": [1, 2]}

UPDATE_TASK = "Write the images"
REPORT_TASK = "Report the boards that would be written"
AWAITING_TASK = "Report the boards that await a power cycle"
BEING_WRITTEN_TASK = "Report the boards that another process is writing"
# The system calls (as /proc/PID/task/TID/syscall numbers them) of a thread that waits outside
# any register access: asleep in a wait (clock_nanosleep), for another thread (futex), or for
# a signal (poll, ppoll, and restart_syscall: a poll resumed after the stop).
WAITING_CALLS = {"x86_64": {"230", "202", "7", "271", "219"},
                 "aarch64": {"115", "98", "73", "128"}}.get(platform.machine(), set())
NO_BOARDS_TASK = "Fail the host without boards"
SIGNATURE_TASK = "Fail the host with boards whose image's signature is refused"


def parse_arguments():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--sim", required=True, help="the tarnvel-sim program")
    parser.add_argument("--tarnvel-fw", required=True, help="the tarnvel-fw program")
    parser.add_argument("--playbook", required=True, help="contrib/ansible/rollout.yml")
    parser.add_argument("--inside", metavar="WORK_DIR", help=argparse.SUPPRESS)
    return parser.parse_args()


def testbed_variable(index):
    return f"TARNVEL_FLEET_TESTBED_{index}"


def write_ansible_config(work):
    # An own configuration, so that none of the machine's (/etc/ansible) applies.
    config = work / "ansible.cfg"
    config.write_text(
        "[defaults]\n"
        f"callback_plugins = {HERE / 'callback_plugins'}\n"
        "callbacks_enabled = rollout_record\n"
        f"local_tmp = {work / 'ansible-local'}\n"
        "retry_files_enabled = False\n"
        "nocolor = True\n",
        encoding="utf-8")
    return config


def machine_dir(work, host):
    """Where a machine kept between tarnvel-sim runs lives."""
    return work / f"machine-{host}"


def write_before_rollout(args, work, firmware):
    """The first run of each kept machine: a write cut by a power failure, or one that failed.
    The rollout's run is the power-on after it."""
    for host, boards, _ in MACHINES:
        if host not in BEFORE_ROLLOUT:
            continue
        options, command, expected = BEFORE_ROLLOUT[host]
        rc = subprocess.run([args.sim, "--state", str(machine_dir(work, host)), "--firmware",
                             str(firmware), *options, *boards, "--", args.tarnvel_fw, *command],
                            stdout=subprocess.DEVNULL).returncode
        if rc != expected:
            print(f"FAIL  {host}: the write before the rollout ended with tarnvel-sim exit "
                  f"status {rc}, not {expected}")
            return False
    return True


def outside(args):
    playbook_runner = shutil.which("ansible-playbook")
    if playbook_runner is None:
        print("ansible-playbook not found: scripts/install-deps installs ansible-core")
        return 1
    with tempfile.TemporaryDirectory(prefix="tarnvel-fleet.") as work_dir:
        work = Path(work_dir)
        firmware = work / "firmware"
        firmware.mkdir()
        subprocess.run([args.sim, *ARCHIVE_BOARDS, "--", "sh", "-c",
                        'cp /lib/firmware/tarnvel/* "$1"', "sh", str(firmware)], check=True)

        env = dict(os.environ)
        # A minimal machine has neither a home for Ansible nor a UTF-8 locale, which it needs.
        (work / "home").mkdir()
        # No compiled callback plugin left in the source tree.
        env.update(HOME=str(work / "home"), LC_ALL="C.UTF-8", LANG="C.UTF-8",
                   PYTHONDONTWRITEBYTECODE="1", ANSIBLE_CONFIG=str(write_ansible_config(work)))
        if not write_before_rollout(args, work, firmware):
            return 1
        command = []
        for index, (host, boards, _) in enumerate(MACHINES):
            keep = f'export {testbed_variable(index)}="$UMOCKDEV_DIR"; exec "$@"'
            machine = (["--state", str(machine_dir(work, host))]
                       if host in BEFORE_ROLLOUT else
                       ["--firmware", str(firmware), *boards])
            command += [args.sim, *machine, "--", "sh", "-c", keep, "sh"]
        command += [sys.executable, str(Path(__file__).resolve()), "--sim", args.sim,
                    "--tarnvel-fw", args.tarnvel_fw, "--playbook", args.playbook,
                    "--inside", str(work)]
        return subprocess.run(command, env=env).returncode


def machine_state(work, host):
    # Each machine keeps its own journal of board writes, as separate machines do; a kept
    # machine's is in its directory.
    if host in BEFORE_ROLLOUT:
        return machine_dir(work, host) / "state"
    return work / f"state-{host}"


def machine_environment(base, testbed, state, configuration):
    return {**base, "LD_PRELOAD": os.environ["LD_PRELOAD"], "UMOCKDEV_DIR": testbed,
            "TARNVEL_STATE_DIR": str(state), "TARNVEL_CONFIG": str(configuration)}


def configuration_file(work, host):
    """Each machine's own configuration file of tarnvel-fw, never the control machine's."""
    return work / f"tarnvel-fw-{host}.toml"


def write_inventory(work, tarnvel_fw, testbeds, name, with_no_boards_host=False):
    def command(testbed, state, configuration):
        return ["env", f"LD_PRELOAD={os.environ['LD_PRELOAD']}", f"UMOCKDEV_DIR={testbed}",
                f"TARNVEL_STATE_DIR={state}", f"TARNVEL_CONFIG={configuration}", tarnvel_fw]

    hosts = {host: {"tarnvel_fw_command": command(testbed, machine_state(work, host),
                                                  configuration_file(work, host)),
                    "tarnvel_fw_configuration_file": str(configuration_file(work, host)),
                    **variables}
             for (host, _, variables), testbed in zip(MACHINES, testbeds)}
    if with_no_boards_host:
        # A testbed without devices: udev shows no board.
        empty = work / "no-boards"
        empty.mkdir(exist_ok=True)
        hosts[NO_BOARDS_HOST] = {
            "tarnvel_fw_command": command(empty, empty, configuration_file(work, NO_BOARDS_HOST))}
    inventory = {"tarnvel_hosts": {
        "hosts": hosts,
        "vars": {"ansible_connection": "local",
                 "ansible_python_interpreter": "{{ ansible_playbook_python }}"},
    }}
    path = work / f"inventory-{name}.json"
    path.write_text(json.dumps(inventory, indent=1), encoding="utf-8")
    return path


def task_result(record, host, task):
    for result in record["results"]:
        if result["host"] == host and result["task"] == task:
            return result
    return None


def board_nodes(cmd):
    return [cmd[i + 1] for i, word in enumerate(cmd[:-1]) if word == "--board"]


def check_play(checks, rc, record):
    checks.equal("ansible-playbook exit status (2: a host failed)", rc, 2)
    # A batch's hosts run side by side: their order in it is chance.
    checks.equal("batches", [sorted(batch) for batch in record["batches"]],
                 [["alpha"], ["bravo", "charlie"]])
    recap = record["recap"]
    checks.equal("hosts in the recap", sorted(recap), ["alpha", "bravo", "charlie"])
    # (host, failed tasks, changed tasks)
    for host, failures, changed in [("alpha", 0, 1), ("bravo", 1, 0), ("charlie", 0, 1)]:
        checks.equal(f"{host}: failed tasks", recap.get(host, {}).get("failures"), failures)
        checks.equal(f"{host}: changed tasks", recap.get(host, {}).get("changed"), changed)
    for host in ("delta", "foxtrot"):
        checks.equal(f"{host}: task results",
                     [r["task"] for r in record["results"] if r["host"] == host], [])

    # (host, outcome, exit status, reboot option, boards asked for, each board's result)
    expected_updates = [
        ("alpha", "ok", 0, "--reboot", ["/dev/tarnvel0"], {"/dev/tarnvel0": "updated"}),
        ("bravo", "failed", 1, "--no-reboot", ["/dev/tarnvel0", "/dev/tarnvel1"],
         {"/dev/tarnvel0": "failed", "/dev/tarnvel1": "updated"}),
        ("charlie", "ok", 0, "--no-reboot", ["/dev/tarnvel0"], {"/dev/tarnvel0": "updated"}),
    ]
    for host, outcome, status, reboot, nodes, results in expected_updates:
        update = task_result(record, host, UPDATE_TASK)
        if update is None:
            checks.fail(f"{host}: the update task did not run")
            continue
        cmd = update["cmd"] or []
        checks.equal(f"{host}: update outcome", update["outcome"], outcome)
        checks.equal(f"{host}: update exit status", update["rc"], status)
        checks.equal(f"{host}: reboot option",
                     [word for word in cmd if word in ("--reboot", "--no-reboot")], [reboot])
        checks.equal(f"{host}: boards asked for", board_nodes(cmd), nodes)
        document = json.loads(update["stdout"])
        checks.equal(f"{host}: update ok", document["ok"], status == 0)
        checks.equal(f"{host}: board results",
                     {board["node"]: board["result"] for board in document["boards"]}, results)
        if host == "alpha":
            board = document["boards"][0]
            checks.equal("alpha: rebooted", board["rebooted"], True)
            checks.equal("alpha: firmware after the reboot", board["firmware_after"], 101)


def check_look_only(checks, what, rc, record, check_mode):
    """A run that writes nothing: every host in every batch, each reporting the boards it would
    write, as a change in check mode only; the update never runs."""
    checks.equal(f"{what}: ansible-playbook exit status", rc, 0)
    checks.equal(f"{what}: batches", [sorted(batch) for batch in record["batches"]],
                 [["alpha"], ["bravo", "charlie"], ["delta", "foxtrot"]])
    for host, _, _ in MACHINES:
        recap = record["recap"].get(host, {})
        checks.equal(f"{what}: {host} failed and changed tasks",
                     (recap.get("failures"), recap.get("changed")), (0, int(check_mode)))
        report = task_result(record, host, REPORT_TASK) or {}
        checks.equal(f"{what}: {host} boards it would write", report.get("msg"), PENDING[host])
        update = task_result(record, host, UPDATE_TASK) or {}
        checks.equal(f"{what}: {host} update", update.get("outcome"), "skipped")


def check_second_run(checks, rc, record):
    """The play again before the power cycle, with echo added: nothing to write on alpha
    (rebooted into its image) and charlie (its image awaits the power cycle, which it says, as
    bravo's second board does); bravo's failed board and delta's interrupted one written again;
    foxtrot's failed board found holding its image (no change) and its other board left to the
    process writing it (no failure); echo failed."""
    checks.equal("second run: ansible-playbook exit status (2: echo failed)", rc, 2)
    checks.equal("second run: batches", [sorted(batch) for batch in record["batches"]],
                 [["alpha"], ["bravo", "charlie"], ["delta"], ["foxtrot"], [NO_BOARDS_HOST]])
    # (host, failed tasks, changed tasks, the boards written and their results)
    for host, failures, changed, results in [
            ("alpha", 0, 0, None),
            ("bravo", 0, 1, {"/dev/tarnvel0": "updated"}),
            ("charlie", 0, 0, None),
            ("delta", 0, 1, {"/dev/tarnvel0": "updated"}),
            ("foxtrot", 0, 0, {"/dev/tarnvel0": "unchanged"}),
            (NO_BOARDS_HOST, 1, 0, None)]:
        recap = record["recap"].get(host, {})
        checks.equal(f"second run: {host} failed and changed tasks",
                     (recap.get("failures"), recap.get("changed")), (failures, changed))
        update = task_result(record, host, UPDATE_TASK) or {}
        written = ({board["node"]: board["result"]
                    for board in json.loads(update["stdout"])["boards"]}
                   if update.get("stdout") else None)
        checks.equal(f"second run: {host} boards written", written, results)
    awaiting = {host: (task_result(record, host, AWAITING_TASK) or {}).get("msg")
                for host, _, _ in MACHINES}
    checks.equal("second run: boards that await a power cycle", awaiting,
                 {"alpha": None, "bravo": ["/dev/tarnvel1"], "charlie": ["/dev/tarnvel0"],
                  "delta": None, "foxtrot": None})
    host, node = BEING_WRITTEN
    checks.equal("second run: boards another process is writing",
                 (task_result(record, host, BEING_WRITTEN_TASK) or {}).get("msg"), [node])
    failure = task_result(record, NO_BOARDS_HOST, NO_BOARDS_TASK) or {}
    checks.equal(f"second run: {NO_BOARDS_HOST} fails saying it has no board",
                 (failure.get("outcome"),
                  "no tarnvel board was found" in (failure.get("msg") or "")),
                 ("failed", True))


def check_rollback(checks, work, tarnvel_fw, testbeds, base_env, rc, record):
    """charlie rolled back with its configuration laid down: the backup its update kept is
    written back, and its flash no longer holds the archive's image."""
    checks.equal("rollback: ansible-playbook exit status", rc, 0)
    recap = record["recap"].get("charlie", {})
    checks.equal("rollback: charlie failed and changed tasks",
                 (recap.get("failures"), recap.get("changed")), (0, 2))
    update = task_result(record, "charlie", UPDATE_TASK) or {}
    cmd = update.get("cmd") or []
    checks.equal("rollback: the command", [w for w in cmd if w in ("rollback", "update")],
                 ["rollback"])
    written = ({board["node"]: board["result"] for board in json.loads(update["stdout"])["boards"]}
               if update.get("stdout") else None)
    checks.equal("rollback: charlie boards written", written, {"/dev/tarnvel0": "updated"})
    configuration = configuration_file(work, "charlie")
    checks.equal("rollback: charlie's configuration",
                 configuration.exists() and "keep_backups = 1" in configuration.read_text(), True)
    testbed = testbeds[[host for host, _, _ in MACHINES].index("charlie")]
    run = subprocess.run([tarnvel_fw, "verify", "--json", "--board", "/dev/tarnvel0"],
                         env=machine_environment(base_env, testbed, machine_state(work, "charlie"),
                                                 configuration),
                         capture_output=True, text=True)
    checks.equal("rollback: charlie's flash against the archive's image",
                 json.loads(run.stdout)["boards"][0]["result"] if run.stdout else run.stderr,
                 "mismatch")


def fleet_key(work):
    """A key pair made with minisign, as a fleet's release process would make it; the public
    key as the role takes it."""
    keys = work / "keys"
    keys.mkdir()
    subprocess.run(["minisign", "-G", "-W", "-p", str(keys / "fleet.pub"), "-s",
                    str(keys / "fleet.key")], check=True, stdout=subprocess.DEVNULL)
    return keys / "fleet.key", (keys / "fleet.pub").read_text().splitlines()[1]


def sign_archives(work, secret_key):
    """Signs the archives the machines see: the innermost machine's (a kept machine has its
    own copy of the shared ones)."""
    host = MACHINES[-1][0]
    archives = (machine_dir(work, host) / "firmware" / "tarnvel" if host in BEFORE_ROLLOUT
                else work / "firmware")
    for archive in sorted(archives.glob("*.zip")):
        subprocess.run(["minisign", "-S", "-q", "-s", str(secret_key), "-m", str(archive), "-t",
                        "fleet release"], check=True)


def check_signatures(checks, work, what, rc, record):
    """charlie with signatures required, before the rollout: its board is not written while the
    archive is unsigned, and the host fails naming it."""
    checks.equal(f"{what}: ansible-playbook exit status", rc, 2)
    recap = record["recap"].get("charlie", {})
    checks.equal(f"{what}: charlie failed and changed tasks",
                 (recap.get("failures"), recap.get("changed")), (1, 1))
    update = task_result(record, "charlie", UPDATE_TASK) or {}
    checks.equal(f"{what}: charlie boards written", update.get("stdout") or None, None)
    refused = task_result(record, "charlie", SIGNATURE_TASK) or {}
    checks.equal(f"{what}: charlie fails for its unsigned archive",
                 (refused.get("outcome"), "'status': 'unsigned'" in str(refused.get("msg"))),
                 ("failed", True))
    configuration = configuration_file(work, "charlie").read_text()
    checks.equal(f"{what}: charlie's configuration requires signatures",
                 "require_signature = true" in configuration and "trusted_keys" in configuration,
                 True)


def check_nothing_changed(checks, name, rc, record):
    """Run again after the rollback, the rollback and the rollout change nothing on charlie: its
    board was rolled back already, and the image it was rolled back from is held back."""
    checks.equal(f"{name}: ansible-playbook exit status", rc, 0)
    recap = record["recap"].get("charlie", {})
    checks.equal(f"{name}: charlie failed and changed tasks",
                 (recap.get("failures"), recap.get("changed")), (0, 0))


def board_version(testbed, board):
    return (Path(testbed) / "sys/class/tarnvel" / board / "version").read_text().strip()


def check_untouched(checks, testbeds):
    # A board whose write was cut runs its factory image, firmware 0; one whose write failed
    # in its last read-back, powered on again, runs the image it holds.
    before = {"delta": ["0"], "foxtrot": ["101", "100"]}
    for (host, boards, _), testbed in zip(MACHINES, testbeds):
        for index, firmware in enumerate(before.get(host, ["100"] * len(boards))):
            checks.equal(f"{host} tarnvel{index} before the rollout: firmware",
                         board_version(testbed, f"tarnvel{index}").split("r")[1], firmware)


def check_boards(checks, work, tarnvel_fw, testbeds, base_env):
    machine = {host: testbed for (host, _, _), testbed in zip(MACHINES, testbeds)}
    # (host, board, "version" it reports now, verify's result or None when not asked)
    expected_boards = [
        ("alpha", "tarnvel0", "2.0r101", "match"),  # rebooted into the image
        ("alpha", "tarnvel1", "5.0r100", None),  # up to date: never written
        ("bravo", "tarnvel0", "2.0r100", "mismatch"),  # the failed write, never rebooted
        ("bravo", "tarnvel1", "2.0r100", "match"),  # written beside the failure; not rebooted
        ("charlie", "tarnvel0", "2.0r100", "match"),  # beside the failure; not rebooted
        ("delta", "tarnvel0", "2.0r0", "mismatch"),  # after the failed batch: untouched
        ("foxtrot", "tarnvel0", "2.0r101", "match"),  # its failed write left the whole image
        ("foxtrot", "tarnvel1", "1.0r100", None),
    ]
    for host, board, version, verify in expected_boards:
        testbed = machine[host]
        checks.equal(f"{host} {board}: version", board_version(testbed, board), version)
        if verify is None:
            continue
        run = subprocess.run([tarnvel_fw, "verify", "--json", "--board", f"/dev/{board}"],
                             env=machine_environment(base_env, testbed, machine_state(work, host),
                                                     configuration_file(work, host)),
                             capture_output=True, text=True)
        if run.returncode not in (0, 1):
            checks.fail(f"{host} {board}: verify exit status {run.returncode}: {run.stderr}")
            continue
        result = json.loads(run.stdout)["boards"][0]["result"]
        checks.equal(f"{host} {board}: flash against the archive's image", result, verify)


@contextlib.contextmanager
def stopped_writer(checks, work, tarnvel_fw, testbeds, base_env):
    """Another process's update of BEING_WRITTEN's board, stopped (SIGSTOP) once its journal
    record is committed, in the middle of the write: it holds the board while the block runs,
    and is killed after it."""
    host, node = BEING_WRITTEN
    index = [machine[0] for machine in MACHINES].index(host)
    state = machine_state(work, host)
    writer = subprocess.Popen([tarnvel_fw, "update", "--yes", "--no-reboot", "--board", node],
                              env=machine_environment(base_env, testbeds[index], state,
                                                      configuration_file(work, host)),
                              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        deadline = time.monotonic() + 60
        while not journal_has_open_record(state / "journal.sqlite", node):
            if writer.poll() is not None or time.monotonic() > deadline:
                checks.fail(f"{host}: the writer of {node} never started its write")
                break
            time.sleep(0.005)
        stop_between_register_accesses(writer)
        yield
    finally:
        writer.kill()
        writer.wait()


def stop_between_register_accesses(writer):
    """Stops the writer (SIGSTOP) while it sleeps between two polls of an erase. The simulator
    serves every process's register accesses one at a time, and an access exchanges several
    messages with the process: one stopped in the middle of it would stall the whole machine.
    So the writer's threads are watched until all of them wait outside an access, stopped
    then, and looked at once more: a thread that moved on meanwhile is let go and watched
    again."""
    deadline = time.monotonic() + 60
    while writer.poll() is None and time.monotonic() < deadline:
        if not all_threads_wait(writer.pid):
            continue
        writer.send_signal(signal.SIGSTOP)
        while process_state(writer.pid) not in ("T", "Z", None):
            time.sleep(0.0002)
        if process_state(writer.pid) != "T":
            return  # it ended before the stop: the checks after say so
        if all_threads_wait(writer.pid):
            return
        writer.send_signal(signal.SIGCONT)


def all_threads_wait(pid):
    """Whether every thread of the process is in one of WAITING_CALLS."""
    try:
        return all((task / "syscall").read_text().split()[0] in WAITING_CALLS
                   for task in Path(f"/proc/{pid}/task").iterdir())
    except (OSError, IndexError):
        return False


def process_state(pid):
    """The state letter /proc gives the process, or None once it is gone."""
    try:
        return Path(f"/proc/{pid}/stat").read_text().rsplit(")", 1)[1].split()[0]
    except (OSError, IndexError):
        return None


def journal_has_open_record(journal, node):
    if not journal.exists():
        return False
    try:
        with contextlib.closing(sqlite3.connect(f"file:{journal}?mode=ro", uri=True)) as db:
            return db.execute("SELECT count(*) FROM writes WHERE node = ? AND ended IS NULL",
                              (node,)).fetchone()[0] > 0
    except sqlite3.Error:
        return False  # being made or written at this moment: asked again


def inside(args):
    work = Path(args.inside)
    testbeds = [os.environ[testbed_variable(i)] for i in range(len(MACHINES))]
    # ansible-playbook runs outside every simulated machine: only tarnvel_fw_command reaches one.
    base_env = {k: v for k, v in os.environ.items() if k not in ("LD_PRELOAD", "UMOCKDEV_DIR")}
    def play(name, *options, variables=None, with_no_boards_host=False):
        """Runs the playbook; its exit status and record."""
        record_path = work / f"record-{name}.json"
        inventory = write_inventory(work, args.tarnvel_fw, testbeds, name, with_no_boards_host)
        rc = subprocess.run(["ansible-playbook", "-i", str(inventory), "--extra-vars",
                             json.dumps({**ROLLOUT_VARIABLES, **(variables or {})}),
                             *options, args.playbook],
                            env={**base_env, "TARNVEL_FLEET_RECORD": str(record_path)}).returncode
        if not record_path.exists():
            raise RuntimeError(f"{name}: ansible-playbook ended with {rc} before its recap")
        return rc, json.loads(record_path.read_text(encoding="utf-8"))

    checks = Checks()
    try:
        check_look_only(checks, "check mode", *play("check-mode", "--check"), check_mode=True)
        check_look_only(checks, "report only", *play("report-only",
                                                     variables={"tarnvel_fw_update": False}),
                        check_mode=False)
        check_untouched(checks, testbeds)
        # charlie requires signatures from here on: its unsigned archive is refused, and once
        # the archives are signed the rollout writes it like any other host.
        secret_key, public_key = fleet_key(work)
        signatures = {"tarnvel_fw_require_signature": True, "tarnvel_fw_trusted_keys": [public_key]}
        check_signatures(checks, work, "unsigned archive",
                         *play("unsigned", "--limit", "charlie", variables=signatures))
        sign_archives(work, secret_key)
        check_play(checks, *play("rollout"))
        check_boards(checks, work, args.tarnvel_fw, testbeds, base_env)
        # echo in a batch of its own: a failed host ends its batch's play for every host in it.
        with stopped_writer(checks, work, args.tarnvel_fw, testbeds, base_env):
            check_second_run(checks, *play("second-run", with_no_boards_host=True,
                                           variables={"tarnvel_rollout_serial": [1, 2, 1]}))
        check_rollback(checks, work, args.tarnvel_fw, testbeds, base_env,
                       *play("rollback", "--limit", "charlie",
                             variables={"tarnvel_fw_rollback": True,
                                        "tarnvel_fw_configuration": {"keep_backups": 1}}))
        check_nothing_changed(checks, "rollback again",
                              *play("rollback-again", "--limit", "charlie",
                                    variables={"tarnvel_fw_rollback": True,
                                               "tarnvel_fw_configuration": {"keep_backups": 1}}))
        check_nothing_changed(checks, "rollout after the rollback",
                              *play("rollout-after-rollback", "--limit", "charlie"))
    except RuntimeError as error:
        checks.fail(str(error))
    print(f"fleet rollout: {checks.passed} checks passed, {checks.failed} failed")
    return 0 if checks.failed == 0 else 1


def main():
    args = parse_arguments()
    return inside(args) if args.inside else outside(args)


if __name__ == "__main__":
    sys.exit(main())
