#!/usr/bin/python3
"""The envelope runner (envelope_sweep.test) classifies what it flies: it runs
the quick sweep, a flight or two of each family, and reads its CSV back; four
of its flights have ends that do not depend on how far the system sees (a
stop, a collision, a pass and a false stop)."""
import os
import shutil
import subprocess
import sys
import tempfile
import unittest

import rostest
import rospkg

from zyr_simulation import envelope_model, envelope_report

SCENARIOS = {
    "stop": "kind=wall,speed=3,beams=16",
    "collision": "kind=wall,speed=3,beams=16,avoidance=off",
    "pass": "kind=pole,size=0.2,offset=3.0,speed=3,beams=16",
    "pass without the monitor": "kind=pole,size=0.1,offset=1.0,speed=3,beams=16,avoidance=off",
    "false stop": "kind=airframe,speed=3,beams=16",
}


class ShortSweep(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.output = tempfile.mkdtemp(prefix="envelope-test-")
        runner = os.path.join(rospkg.RosPack().get_path("zyr_simulation"), "scripts", "run_envelope")
        command = [sys.executable, runner, "--output", cls.output, "--workers", "3", "--quick"]
        cls.run_result = subprocess.run(command, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                                        universal_newlines=True, timeout=400)
        path = os.path.join(cls.output, "envelope.csv")
        rows = envelope_report.read_csv(path) if os.path.exists(path) else []
        cls.all_rows = rows
        cls.rows = {name: next((r for r in rows if envelope_model.scenario_of(r) == envelope_model.parse_scenario(t)),
                               None) for name, t in SCENARIOS.items()}

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

    def test_a_pole_3_m_beside_the_path_is_passed_without_a_danger(self):
        r = self.row("pass")
        self.assertEqual(("passed", "0", "0", "0"), (r["outcome"], r["needed"], r["false_stop"], r["danger_episodes"]))
        self.assertAlmostEqual(2.8, float(r["closest_m"]), delta=0.1)  # 3 m off, 0.2 m radius

    def test_a_pole_beside_the_path_is_passed_untouched(self):
        r = self.row("pass without the monitor")
        self.assertEqual("passed", r["outcome"])
        self.assertEqual("0", r["needed"])
        self.assertAlmostEqual(0.9, float(r["closest_m"]), delta=0.1)  # 1 m off, 0.1 m radius

    def test_the_airframes_own_returns_are_a_false_stop(self):
        r = self.row("false stop")
        self.assertEqual(("stopped", "0", "1"), (r["outcome"], r["needed"], r["false_stop"]))

    def test_every_quick_flight_is_judged(self):
        self.row("stop")
        self.assertEqual(len(envelope_model.quick_grid()), len(self.all_rows))
        for r in self.all_rows:
            self.assertIn(r["outcome"], ("stopped", "collided", "passed"), r)

    def test_writes_the_table_and_the_picture(self):
        self.row("stop")
        with open(os.path.join(self.output, "envelope.md")) as f:
            table = f.read()
        self.assertIn("| wall across the way | 16 | **stopped** (danger at", table)
        self.assertIn("| airframe | none | 16 | 1 | - | 0 | 1/1 (100 %) |", table)
        self.assertGreater(os.path.getsize(os.path.join(self.output, "envelope.png")), 1000)


if __name__ == "__main__":
    rostest.rosrun("zyr_simulation", "envelope_sweep", ShortSweep, sys.argv)
