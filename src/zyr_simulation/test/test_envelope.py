#!/usr/bin/python3
"""The envelope runner (envelope_sweep.test) classifies what it flies: it runs
a short sweep of three scenarios whose ends do not depend on how far the
system sees, and reads its CSV back."""
import os
import shutil
import subprocess
import sys
import tempfile
import types
import unittest

import rostest
import rospkg

from zyr_simulation import envelope_model, envelope_report, envelope_runner, flight_judge

SCENARIOS = {
    "stop": "kind=wall,speed=3,beams=16",
    "collision": "kind=wall,speed=3,beams=16,avoidance=off",
    "pass": "kind=pole,size=0.1,offset=1.0,speed=3,beams=16,avoidance=off",
}


class ShortSweep(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.output = tempfile.mkdtemp(prefix="envelope-test-")
        runner = os.path.join(rospkg.RosPack().get_path("zyr_simulation"), "scripts", "run_envelope")
        command = [sys.executable, runner, "--output", cls.output, "--workers", "3"]
        for scenario in SCENARIOS.values():
            command += ["--scenario", scenario]
        cls.run_result = subprocess.run(command, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                                        universal_newlines=True, timeout=280)
        path = os.path.join(cls.output, "envelope.csv")
        rows = envelope_report.read_csv(path) if os.path.exists(path) else []
        cls.rows = {name: next((r for r in rows if envelope_model.scenario_of(r) == envelope_model.parse_scenario(scenario)), None)
                    for name, scenario in SCENARIOS.items()}

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.output, ignore_errors=True)

    def row(self, name):
        self.assertEqual(0, self.run_result.returncode, self.run_result.stdout[-3000:])
        r = self.rows[name]
        self.assertIsNotNone(r, "no row for %s; runner said:\n%s" % (name, self.run_result.stdout[-3000:]))
        return r

    def test_a_wall_at_full_stick_is_a_stop_far_out_with_its_braking_time(self):
        r = self.row("stop")
        self.assertEqual("stopped", r["outcome"])
        self.assertGreater(float(r["danger_distance_m"]), 15.0)  # within the 25 m look-ahead, not at the wall
        self.assertLessEqual(float(r["danger_distance_m"]), float(r["approach_m"]))
        self.assertGreater(float(r["closest_m"]), 5.0)
        self.assertGreater(float(r["stop_time_s"]), 0.5)  # braking from 3 m/s takes time
        self.assertGreater(float(r["verdicts_per_s"]), 10.0)
        self.assertEqual("0", r["failsafe_episodes"])  # the watchdog never held it: the monitor stopped it

    def test_the_same_flight_without_the_monitor_is_a_collision_without_a_danger(self):
        r = self.row("collision")
        self.assertEqual("collided", r["outcome"])
        self.assertEqual("", r["danger_distance_m"])
        self.assertEqual("", r["stop_time_s"])
        self.assertLessEqual(float(r["closest_m"]), envelope_model.RADIUS + 0.01)

    def test_a_pole_beside_the_path_is_passed_untouched(self):
        r = self.row("pass")
        self.assertEqual("passed", r["outcome"])
        self.assertEqual("0", r["in_path"])
        self.assertAlmostEqual(0.9, float(r["closest_m"]), delta=0.1)  # 1 m off, 0.1 m radius

    def test_how_a_flight_ends_is_decided_in_this_order(self):
        """Without ROS: a watcher's state as the sweep's judge sees it."""
        truth = types.SimpleNamespace(x=0.0)
        w = types.SimpleNamespace(collided=lambda: False, truth=truth, truth_time=10.0, still_since=None)
        self.assertIsNone(flight_judge.flight_outcome(w, beyond_x=20.0))
        self.assertEqual(flight_judge.UNDECIDED, flight_judge.flight_outcome(w, 20.0, final=True))
        w.still_since = 10.0 - flight_judge.SETTLE + 0.1  # standing, not yet long enough
        self.assertIsNone(flight_judge.flight_outcome(w, 20.0))
        self.assertEqual(flight_judge.STOPPED, flight_judge.flight_outcome(w, 20.0, final=True))
        w.still_since = 10.0 - flight_judge.SETTLE
        self.assertEqual(flight_judge.STOPPED, flight_judge.flight_outcome(w, 20.0))
        truth.x = 20.5
        self.assertEqual(flight_judge.PASSED, flight_judge.flight_outcome(w, 20.0))
        w.collided = lambda: True  # touching decides, wherever it happened
        self.assertEqual(flight_judge.COLLIDED, flight_judge.flight_outcome(w, 20.0))

    def test_a_run_is_flown_again_when_a_slow_monitor_or_the_failsafe_disturbed_it(self):
        run = {"avoidance": "1", "verdicts_per_s": "19.8", "failsafe_episodes": "0"}
        self.assertEqual("", envelope_runner.disturbed(run))
        self.assertIn("too busy", envelope_runner.disturbed(dict(run, verdicts_per_s="12.0")))
        self.assertIn("fail-safe", envelope_runner.disturbed(dict(run, failsafe_episodes=1)))
        self.assertEqual("", envelope_runner.disturbed(dict(run, avoidance=0, verdicts_per_s=0.0)))  # no monitor, no verdicts
        held = dict(run, verdicts_per_s="19.9", failsafe_episodes="1")
        self.assertIs(run, envelope_runner.healthier(held, run))

    def test_writes_the_table_and_the_picture(self):
        self.row("stop")
        with open(os.path.join(self.output, "envelope.md")) as f:
            table = f.read()
        self.assertIn("| wall across the way | 16 | **stopped** (danger at", table)
        self.assertGreater(os.path.getsize(os.path.join(self.output, "envelope.png")), 1000)


if __name__ == "__main__":
    rostest.rosrun("zyr_simulation", "envelope_sweep", ShortSweep, sys.argv)
