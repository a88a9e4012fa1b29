#!/usr/bin/env python3
"""The fleet rollout of contrib/ansible, run by ansible-playbook over four inventory hosts on
the local connection, each host a simulated machine with boards of its own:

  alpha    a QX480 with a newer image (rebooted after the update) and an up-to-date QX410BP
  bravo    a QX480 whose programming fails, and a second QX480 behind it
  charlie  a QX480 with a newer image
  delta    a QX480 with a newer image

First the play looks without writing, once in check mode and once with tarnvel_fw_update
false: every host in every batch, each reporting the boards it would write, no board touched.

Then the rollout, in batches of one host, then two, with no failure allowed: alpha is updated
alone; bravo fails while charlie, in the same batch, is updated; the failure ends the rollout,
and delta is never touched. Last, the play runs again on alpha, whose board it updated and
rebooted, and changes nothing. The test checks all of that from the play's own record
(batches, task results, recap) and from the boards themselves.

Each machine is a tarnvel-sim around the next one, the innermost around this script again
(--inside): every tarnvel-sim hands its testbed down in UMOCKDEV_DIR, which a small shell step
keeps under a name of its own before the next one replaces it. All machines share one
directory of archives on /lib/firmware, the innermost sandbox's. ansible-playbook itself runs
outside the simulation; each host's tarnvel_fw_command puts its machine's testbed into the
environment of tarnvel-fw.
"""

import argparse
import json
import os
import shutil
import subprocess
import sys
import tempfile
from pathlib import Path

HERE = Path(__file__).resolve().parent

# The archives all machines share: a newer image for the QX480, an equal one for the QX410BP.
ARCHIVE_BOARDS = ["kind=5", "kind=3,archive=equal"]

# Every board runs firmware 100 and keeps reporting it until it is rebooted; rebooted with the
# archive's image in its flash, it reports 101.
QX480 = "kind=5"
QX410BP = "kind=3"

# In rollout order: (inventory host, its boards, its inventory variables).
MACHINES = [
    ("alpha", [QX480, QX410BP], {"tarnvel_fw_reboot": True}),
    # The 200th register access fails: the middle of programming the first board.
    ("bravo", [QX480 + ",fault=200", QX480], {}),
    ("charlie", [QX480], {}),
    ("delta", [QX480], {}),
]

# The boards of each host that the play writes: those with a newer image.
PENDING = {
    "alpha": ["/dev/tarnvel0"],
    "bravo": ["/dev/tarnvel0", "/dev/tarnvel1"],
    "charlie": ["/dev/tarnvel0"],
    "delta": ["/dev/tarnvel0"],
}

# A canary batch of one host, then batches of two.
ROLLOUT_VARIABLES = {"tarnvel_rollout_serial": [1, 2]}

UPDATE_TASK = "Write the images"
REPORT_TASK = "Report the boards that would be written"


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
        command = []
        for index, (_, boards, _) in enumerate(MACHINES):
            keep = f'export {testbed_variable(index)}="$UMOCKDEV_DIR"; exec "$@"'
            command += [args.sim, "--firmware", str(firmware), *boards, "--",
                        "sh", "-c", keep, "sh"]
        command += [sys.executable, str(Path(__file__).resolve()), "--sim", args.sim,
                    "--tarnvel-fw", args.tarnvel_fw, "--playbook", args.playbook,
                    "--inside", str(work)]
        return subprocess.run(command, env=env).returncode


def machine_environment(base, testbed):
    return {**base, "LD_PRELOAD": os.environ["LD_PRELOAD"], "UMOCKDEV_DIR": testbed}


def write_inventory(work, tarnvel_fw, testbeds):
    hosts = {}
    for (host, _, variables), testbed in zip(MACHINES, testbeds):
        prefix = ["env", f"LD_PRELOAD={os.environ['LD_PRELOAD']}", f"UMOCKDEV_DIR={testbed}"]
        hosts[host] = {"tarnvel_fw_command": [*prefix, tarnvel_fw], **variables}
    inventory = {"tarnvel_hosts": {
        "hosts": hosts,
        "vars": {"ansible_connection": "local",
                 "ansible_python_interpreter": "{{ ansible_playbook_python }}"},
    }}
    path = work / "inventory.json"
    path.write_text(json.dumps(inventory, indent=1), encoding="utf-8")
    return path


class Checks:
    def __init__(self):
        self.passed = 0
        self.failed = 0

    def equal(self, what, actual, expected):
        if actual == expected:
            self.passed += 1
            print(f"ok    {what}: {actual!r}")
        else:
            self.fail(f"{what}: {actual!r}, expected {expected!r}")

    def fail(self, what):
        self.failed += 1
        print(f"FAIL  {what}")


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
    checks.equal("delta: task results",
                 [r["task"] for r in record["results"] if r["host"] == "delta"], [])

    # (host, outcome, exit status, reboot option, boards asked for, each board's result)
    expected_updates = [
        ("alpha", "ok", 0, "--reboot", ["/dev/tarnvel0"], {"/dev/tarnvel0": "updated"}),
        ("bravo", "failed", 1, "--no-reboot", ["/dev/tarnvel0", "/dev/tarnvel1"],
         {"/dev/tarnvel0": "failed", "/dev/tarnvel1": "not-attempted"}),
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
                 [["alpha"], ["bravo", "charlie"], ["delta"]])
    for host, _, _ in MACHINES:
        recap = record["recap"].get(host, {})
        checks.equal(f"{what}: {host} failed and changed tasks",
                     (recap.get("failures"), recap.get("changed")), (0, int(check_mode)))
        report = task_result(record, host, REPORT_TASK) or {}
        checks.equal(f"{what}: {host} boards it would write", report.get("msg"), PENDING[host])
        update = task_result(record, host, UPDATE_TASK) or {}
        checks.equal(f"{what}: {host} update", update.get("outcome"), "skipped")


def check_second_run(checks, rc, record):
    """The play again on alpha, whose board it updated and rebooted: nothing left to write."""
    checks.equal("second run: ansible-playbook exit status", rc, 0)
    recap = record["recap"].get("alpha", {})
    checks.equal("second run: alpha failed and changed tasks",
                 (recap.get("failures"), recap.get("changed")), (0, 0))
    update = task_result(record, "alpha", UPDATE_TASK) or {}
    checks.equal("second run: alpha update", update.get("outcome"), "skipped")


def board_version(testbed, board):
    return (Path(testbed) / "sys/class/tarnvel" / board / "version").read_text().strip()


def check_untouched(checks, testbeds):
    for (host, boards, _), testbed in zip(MACHINES, testbeds):
        for index in range(len(boards)):
            checks.equal(f"{host} tarnvel{index} before the rollout: firmware",
                         board_version(testbed, f"tarnvel{index}").split("r")[1], "100")


def check_boards(checks, tarnvel_fw, testbeds, base_env):
    machine = {host: testbed for (host, _, _), testbed in zip(MACHINES, testbeds)}
    # (host, board, "version" it reports now, verify's result or None when not asked)
    expected_boards = [
        ("alpha", "tarnvel0", "2.0r101", "match"),  # rebooted into the image
        ("alpha", "tarnvel1", "5.0r100", None),  # up to date: never written
        ("bravo", "tarnvel0", "2.0r100", "mismatch"),  # the failed write, never rebooted
        ("bravo", "tarnvel1", "2.0r100", None),  # not attempted
        ("charlie", "tarnvel0", "2.0r100", "match"),  # beside the failure; not rebooted
        ("delta", "tarnvel0", "2.0r100", "mismatch"),  # after the failed batch: untouched
    ]
    for host, board, version, verify in expected_boards:
        testbed = machine[host]
        checks.equal(f"{host} {board}: version", board_version(testbed, board), version)
        if verify is None:
            continue
        run = subprocess.run([tarnvel_fw, "verify", "--json", "--board", f"/dev/{board}"],
                             env=machine_environment(base_env, testbed),
                             capture_output=True, text=True)
        if run.returncode not in (0, 1):
            checks.fail(f"{host} {board}: verify exit status {run.returncode}: {run.stderr}")
            continue
        result = json.loads(run.stdout)["boards"][0]["result"]
        checks.equal(f"{host} {board}: flash against the archive's image", result, verify)


def inside(args):
    work = Path(args.inside)
    testbeds = [os.environ[testbed_variable(i)] for i in range(len(MACHINES))]
    # ansible-playbook runs outside every simulated machine: only tarnvel_fw_command reaches one.
    base_env = {k: v for k, v in os.environ.items() if k not in ("LD_PRELOAD", "UMOCKDEV_DIR")}
    inventory = write_inventory(work, args.tarnvel_fw, testbeds)

    def play(name, *options, variables=None):
        """Runs the playbook; its exit status and record."""
        record_path = work / f"record-{name}.json"
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
        check_play(checks, *play("rollout"))
        check_boards(checks, args.tarnvel_fw, testbeds, base_env)
        check_second_run(checks, *play("second-run", "--limit", "alpha"))
    except RuntimeError as error:
        checks.fail(str(error))
    print(f"fleet rollout: {checks.passed} checks passed, {checks.failed} failed")
    return 0 if checks.failed == 0 else 1


def main():
    args = parse_arguments()
    return inside(args) if args.inside else outside(args)


if __name__ == "__main__":
    sys.exit(main())
