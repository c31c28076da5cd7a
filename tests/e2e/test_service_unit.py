# SPDX-License-Identifier: MIT
# SPDX-FileCopyrightText: 2026 lanbeacon developers
"""The packaged systemd unit as systemd would run it: its command lines, expanded with the
values of /etc/default/lanbeacon, in a test namespace."""
import os
import re
import shlex
import signal
import subprocess

from netlab import PROMPTLY, LabTestCase

LANBEACON = os.environ.get("LANBEACON", "build/lanbeacon")
PACKAGING = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "packaging")


def unit_lines(key):
    with open(os.path.join(PACKAGING, "lanbeacon.service")) as f:
        return [l.split("=", 1)[1].strip() for l in f if l.startswith(key + "=")]


def environment_file(text):
    """KEY=value lines as systemd reads them; comments and blank lines are nothing."""
    env = {}
    for line in text.splitlines():
        if line.strip() and not line.lstrip().startswith("#"):
            key, value = line.split("=", 1)
            env[key.strip()] = " ".join(shlex.split(value))
    return env


def expand(command, env):
    """systemd's expansion: ${VAR} is one argument however many spaces it holds, $$ is $."""
    words = shlex.split(command.replace("$$", "\0"))
    return [re.sub(r"\$\{(\w+)\}", lambda m: env.get(m.group(1), ""), w).replace("\0", "$") for w in words]


class ServiceUnitTest(LabTestCase):
    def test_the_filled_in_defaults_announce_the_printer_and_sigterm_withdraws_it(self):
        with open(os.path.join(PACKAGING, "lanbeacon.default")) as f:
            shipped = f.read()
        condition = unit_lines("ExecCondition")[0]
        # As shipped, every value is commented out: the unit is skipped, not started.
        self.assertEqual(environment_file(shipped), {})
        self.assertNotEqual(subprocess.run(expand(condition, {}), capture_output=True).returncode, 0)

        env = environment_file(re.sub(r"(?m)^#(LANBEACON_\w+=)", r"\1", shipped))
        self.assertEqual(len(env), 7, env)
        self.assertEqual(subprocess.run(expand(condition, env), env=env).returncode, 0)
        argv = expand(unit_lines("ExecStart")[0], env)
        self.assertEqual(argv[0], "/usr/bin/lanbeacon")
        self.assertEqual(len(argv), 8, argv)
        proc = self.lab.spawn("pub", [LANBEACON] + argv[1:])

        seen = self.client.resolved(env["LANBEACON_NAME"], 5)
        self.assertIsNotNone(seen, "the unit's printer was never resolved: " + self.lab.stderr_of(proc))
        self.assertEqual(seen["server"], env["LANBEACON_HOST"] + ".local.")
        self.assertEqual(seen["txt"], ["printer_name=" + env["LANBEACON_PRINTER_NAME"],
                                       "serial_number=" + env["LANBEACON_PRINTER_NO"],
                                       "printer_type=" + env["LANBEACON_PRINTER_TYPE"],
                                       "secure=" + env["LANBEACON_SECURE"]])
        # What systemctl stop sends (KillSignal=).
        self.assertEqual(unit_lines("KillSignal"), ["SIGTERM"])
        proc.send_signal(signal.SIGTERM)
        self.assertIsNotNone(self.client.removed(env["LANBEACON_NAME"], PROMPTLY), "no goodbye on SIGTERM")
        self.assertEqual(proc.wait(5), -signal.SIGTERM)
