# Records a playbook run for the fleet rollout test: which hosts ran in which batch, every
# task result (outcome, changed, exit status, command, standard output, message) and the recap,
# as one JSON file named by TARNVEL_FLEET_RECORD. The screen output stays the default one.

import json
import os

from ansible.plugins.callback import CallbackBase

DOCUMENTATION = """
    name: rollout_record
    type: aggregate
    short_description: writes batches, task results and the recap to a JSON file
    description:
      - Writes the file named by the environment variable TARNVEL_FLEET_RECORD when the
        playbook ends.
    requirements:
      - enabled in configuration
"""


class CallbackModule(CallbackBase):
    CALLBACK_VERSION = 2.0
    CALLBACK_TYPE = "aggregate"
    CALLBACK_NAME = "rollout_record"
    CALLBACK_NEEDS_ENABLED = True

    def __init__(self):
        super().__init__()
        self._batches = []
        self._results = []

    # A play with `serial` starts once per batch.
    def v2_playbook_on_play_start(self, play):
        self._batches.append([])

    def _record(self, result, outcome):
        host = result._host.get_name()
        if host not in self._batches[-1]:
            self._batches[-1].append(host)
        values = result._result
        self._results.append({
            "batch": len(self._batches) - 1,
            "host": host,
            "task": result._task.name,
            "outcome": outcome,
            "changed": bool(values.get("changed")),
            "rc": values.get("rc"),
            "cmd": values.get("cmd"),
            "stdout": values.get("stdout"),
            "msg": values.get("msg"),
        })

    def v2_runner_on_ok(self, result):
        self._record(result, "ok")

    def v2_runner_on_failed(self, result, ignore_errors=False):
        self._record(result, "failed")

    def v2_runner_on_skipped(self, result):
        self._record(result, "skipped")

    def v2_runner_on_unreachable(self, result):
        self._record(result, "unreachable")

    def v2_playbook_on_stats(self, stats):
        recap = {host: stats.summarize(host) for host in sorted(stats.processed)}
        with open(os.environ["TARNVEL_FLEET_RECORD"], "w", encoding="utf-8") as record:
            json.dump({"batches": self._batches, "results": self._results, "recap": recap},
                      record, indent=1)
