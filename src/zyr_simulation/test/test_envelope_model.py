#!/usr/bin/python3
"""The envelope sweep's pieces that need no ROS graph: how a flight is judged, when one is flown again, which
flights needed a stop, the bisection to an edge and the rates of the report."""
import math
import types
import unittest

from zyr_simulation import (envelope_edges, envelope_model, envelope_report, envelope_runner, flight_judge,
                            flight_record)

S = envelope_model.Scenario.make


class Bisection(unittest.TestCase):
    def test_narrows_to_the_resolution_with_few_flights(self):
        # (edge, lo, hi, resolution): a synthetic system that holds at and above `edge`, or below it when flipped.
        for edge, lo, hi, resolution, flipped in [(0.037, 0.01, 0.1, 0.01, False), (3.3, 0.5, 8.0, 0.25, True),
                                                  (62.0, 0.0, 85.0, 5.0, True), (0.6, 0.5, 2.0, 0.25, True)]:
            flown = []

            def held(x):
                flown.append(x)
                return (x < edge) if flipped else (x >= edge)

            lo_found, hi_found = envelope_edges.bisect_edge(held, lo, hi, resolution)
            self.assertLessEqual(hi_found - lo_found, resolution + 1e-9, edge)
            self.assertTrue(lo_found <= edge <= hi_found or lo_found < edge <= hi_found, (edge, lo_found, hi_found))
            self.assertNotEqual(held(lo_found), held(hi_found))
            self.assertLessEqual(len(flown), 2 + (hi - lo) / resolution, edge)  # far fewer than a fine grid
            self.assertLessEqual(len(flown), 9, edge)

    def test_no_edge_when_both_ends_agree(self):
        self.assertIsNone(envelope_edges.bisect_edge(lambda x: True, 0.0, 1.0, 0.1))

    def test_the_grid_gives_the_bracket_around_the_first_change(self):
        edge = next(e for e in envelope_edges.edges(beams=[16]) if e.name.startswith("nearest pop-up stopped at 3"))
        rows = [dict(envelope_runner.scenario_columns(edge.scenario(x)), outcome=o)
                for x, o in [(2.0, "collided"), (4.0, "collided"), (6.0, "stopped"), (8.0, "stopped")]]
        self.assertEqual((4.0, 6.0, False, True), envelope_edges.bracket(edge, rows))
        self.assertEqual("held at 6 m, not at 4 m", envelope_edges.summary(edge, (4.0, 6.0, False, True)))


class Scenarios(unittest.TestCase):
    def test_a_stop_is_needed_only_where_the_path_touches_the_obstacle(self):
        for scenario, needed in [
                (S("wall", 0.4, 3, 16, angle=60), True), (S("pole", 0.2, 3, 16, offset=0.7), True),
                (S("pole", 0.2, 3, 16, offset=-0.71), False), (S("wire", 0.02, 3, 16, height=0.5), True),
                (S("wire", 0.02, 3, 16, height=0.52), False), (S("beam", 0.3, 3, 16, height=0.5), True),
                (S("slab", 0.3, 3, 16, height=-1), False), (S("slab", 0.3, 0, 16, height=1.5, climb=1), True),
                (S("ground", 0, 3, 16, height=-0.6), False), (S("dust", 200, 3, 16), False),
                (S("airframe", 30, 3, 16, filter="airframe"), False)]:
            self.assertEqual(needed, scenario.needed(), scenario.label())

    def test_scenarios_survive_their_text_and_their_csv_row(self):
        for text in ["kind=wire,size=0.05,height=-0.5,speed=3,beams=64,filter=airframe+radius",
                     "kind=slab,height=1.5,climb=-1,speed=0,beams=16", "kind=wall,popup=2.5,speed=1,beams=16"]:
            s = envelope_model.parse_scenario(text)
            self.assertEqual(s, envelope_model.scenario_of(envelope_runner.scenario_columns(s)), text)
        for bad in ["kind=pole,speed=0", "kind=wall,climb=1", "kind=dust,filter=median", "kind=tree"]:
            with self.assertRaises(ValueError, msg=bad):
                envelope_model.parse_scenario(bad)

    def test_clutter_and_pop_ups_reach_the_simulation(self):
        args = S("dust", 200, 3, 64, filter="airframe+statistical").launch_args()
        for expected in ["lidar_beams:=64", "lidar_dust_points:=200", "airframe_filter:=true",
                         "outlier_filter:=statistical"]:
            self.assertIn(expected, args)
        popup = S("wall", 0.4, 3, 16, popup=4)
        self.assertIn("popup_ahead:=4", popup.launch_args())
        self.assertNotIn("\nwall ", popup.scene())  # it stands only in the pop-up file
        self.assertIn("\nwall ", popup.popup_scene())

    def test_from_anywhere_on_the_path_a_post_is_within_the_maps_radius_and_beyond_the_look_ahead(self):
        # The watchdog holds an aircraft whose LiDAR sees nothing within 30 m; a post nearer than the look-ahead
        # would be taken for the obstacle at the first danger.
        posts = [tuple(float(v) for v in line.split()[1:4]) for line in envelope_model.posts() if line[0] != "#"]
        for scenario in [S("wall", 0.4, 3, 64), S("slab", 0.3, 3, 16, height=-2), S("dust", 1000, 3, 16),
                         S("wall", 0.4, 3, 16, popup=8)]:
            self.assertIn("\npole %g %g" % posts[0][:2], scenario.scene())
            for x in [i * 0.5 for i in range(int(scenario.beyond_x() * 2) + 3)]:
                nearest = min(math.hypot(px - x, py) - r for px, py, r in posts)
                self.assertLess(nearest, 29.0, (scenario.label(), x))
                self.assertGreater(nearest, envelope_model.LOOK_AHEAD[2] + 1.0, (scenario.label(), x))


class Judging(unittest.TestCase):
    def test_how_a_flight_ends_is_decided_in_this_order(self):
        """A watcher's state as the sweep's judge sees it."""
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
        self.assertEqual("", envelope_runner.disturbed(dict(run, avoidance=0, verdicts_per_s=0.0)))  # no verdicts
        held = dict(run, verdicts_per_s="19.9", failsafe_episodes="1")
        self.assertIs(run, envelope_runner.healthier(held, run))
        grounded = dict(run, outcome="grounded", verdicts_per_s="0.0", failsafe_reason="LiDAR: late")
        self.assertIn("held it on the ground (LiDAR: late)", envelope_runner.disturbed(grounded))
        self.assertIs(held, envelope_runner.healthier(grounded, held))  # one that flew counts

    def test_the_hold_before_take_off_is_measured_to_now_across_short_breaks(self):
        for times, now, held in [([], 5.0, 0.0), ([1.0, 1.1, 1.2], 5.0, 0.0), ([1.0, 1.5, 2.4, 3.0], 3.2, 2.0),
                                 ([1.0, 1.1, 4.0, 4.5], 4.6, 0.5)]:
            track = flight_record.VerdictTrack()
            for t in times:
                track.add(1, t, True, None, False, 0)
            fake = types.SimpleNamespace(failsafe_times=track.failsafe_times, hold_started=track.hold_started,
                                         now=lambda now=now: now)
            self.assertAlmostEqual(held, flight_judge.FlightWatcher.held_for(fake), msg=(times, now))

    def test_the_failsafe_disturbed_a_flight_with_holds_begun_in_flight_not_with_its_start_up_hold(self):
        # (its danger verdicts, s; its first word on its topic, s; holds that count), the flight starting at 10 s
        for times, first, held in [([9.9, 10.0, 10.1], 9.9, 0), ([12.0, 12.1], 12.0, 0), ([8.0, 8.1, 12.0], 8.0, 1),
                                   ([12.0, 12.1, 15.0], 12.0, 1), ([12.0, 15.0], None, 2)]:
            fake = types.SimpleNamespace(flight_started_at=10.0, failsafe_times=times, failsafe_first_heard=first)
            self.assertEqual(held, flight_judge.FlightWatcher.failsafe_episodes(fake), (times, first))

    def test_the_last_command_may_be_heard_a_moment_before_or_after_its_verdict_but_none_may_be_missing(self):
        # (verdicts heard, commands heard, s): the state server's commands fit, or not
        for verdicts, commands, fit in [
                ([(1.0, 1), (1.1, 0), (1.19, 1)], [(1.05, "Pause"), (1.2, "Resume")], True),  # next danger first
                ([(1.0, 1), (1.3, 0)], [(1.05, "Pause"), (1.2, "Resume")], True),  # its clear verdict after it
                ([(0.2, 1), (0.3, 0), (1.0, 1), (1.1, 0)], [(1.05, "Pause"), (1.15, "Resume")], False)]:
            fake = types.SimpleNamespace(flight_started_at=0.0, statuses=[v for _, v in verdicts],
                                         status_times=[t for t, _ in verdicts],
                                         server_commands_in_flight=lambda commands=commands: commands)
            self.assertEqual(fit, not flight_judge.FlightWatcher.pause_problems(fake), (verdicts, commands))

    def test_rates_count_protection_of_the_needed_and_false_stops_of_the_rest(self):
        def row(scenario, outcome, false_stop=0):
            return dict(envelope_runner.scenario_columns(scenario), outcome=outcome, false_stop=false_stop)

        rows = [row(S("wire", 0.02, 3, 16), "stopped"), row(S("wire", 0.05, 3, 16), "collided"),
                row(S("wire", 0.02, 3, 16, height=0.6), "passed", 1), row(S("wire", 0.1, 3, 16, height=1), "passed"),
                row(S("wire", 0.1, 3, 16, avoidance=False), "collided"),  # no monitor: left out
                # held on the ground: no protection shown; a false stop where none was needed
                row(S("wire", 0.03, 3, 16), "grounded"), row(S("wire", 0.03, 3, 16, height=1), "grounded", 1)]
        (g,) = envelope_report.rates(rows)
        self.assertEqual((6, 2, 1, 1, 3, 2), (g["flights"], g["needed"], g["stopped"], g["collided"], g["not_needed"],
                                              g["false_stops"]))
        self.assertIn("| wire | none | 16 | 6 | 1/2 (50 %) | 1 | 2/3 (67 %) |", envelope_report.rates_table(rows))

    def test_the_distance_at_a_danger_is_the_obstacles_only_within_the_look_ahead(self):
        wall = S("wall", 0.4, 2, 16, popup=2.25)
        for scenario, distance, reported in [(wall, 1.6, 1.6), (wall, 26.27, None), (wall, -1.0, None),
                                             (wall, None, None), (S("wall", 0.4, 3, 64), 24.4, 24.4),
                                             (S("dust", 200, 3, 16), 26.2, None), (S("airframe", 30, 3, 16), 3.0, None)]:
            self.assertEqual(reported, envelope_runner.obstacle_at_danger(scenario, distance), (scenario.name, distance))

    def test_the_edges_table_gives_each_lidars_reason_under_its_name_in_column_order(self):
        edges = [{"edge": "wire", "beams": b, "result": "held at %s" % b, "why": "ring of %s" % b} for b in (64, 16)]
        edges += [{"edge": "angle", "beams": b, "result": "held", "why": "the fan"} for b in (16, 64)]
        table = envelope_report.edges_table(edges)
        self.assertIn("| wire | held at 16 | held at 64 | 16 beams: ring of 16 / 64 beams: ring of 64 |", table)
        self.assertIn("| angle | held | held | the fan |", table)


class EnvelopeModel(Bisection, Scenarios, Judging):
    """The three groups in one case, as rosunit runs one."""


if __name__ == "__main__":
    import rosunit
    rosunit.unitrun("zyr_simulation", "test_envelope_model", EnvelopeModel)
