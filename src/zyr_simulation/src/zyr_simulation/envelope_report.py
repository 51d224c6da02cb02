"""The protection envelope's results: the CSV of the runs, the table that condenses them and the picture. Free of
ROS."""
import csv
import math
import os

from zyr_simulation.envelope_model import FIELDS, KINDS, scenario_of, sort_key


def write_csv(rows, path):
    with open(path, "w", newline="") as f:
        out = csv.DictWriter(f, fieldnames=FIELDS)
        out.writeheader()
        for r in sorted(rows, key=lambda r: sort_key(scenario_of(r))):
            out.writerow(r)


def read_csv(path):
    with open(path) as f:
        return list(csv.DictReader(f))



def panels(rows):
    """(kind, size, avoidance) of each obstacle flown, in the order of the sweep."""
    return sorted({(r["kind"], float(r["size_m"]), int(r["avoidance"])) for r in rows},
                  key=lambda k: (KINDS.index(k[0]), k[1], -k[2]))


def panel_rows(rows, key):
    return [r for r in rows if (r["kind"], float(r["size_m"]), int(r["avoidance"])) == key]


def panel_title(key):
    kind, size, avoidance = key
    return {"wall": "wall across the way", "bar": "bar across the way, %g m thick" % size,
            "pole": "pole, radius %g m" % size, "box": "box, %g m" % size}[kind] + \
        ("" if avoidance else ", no monitor")


def span(values, unit):
    values = sorted(values)
    if not values:
        return ""
    lo, hi = values[0], values[-1]
    return ("%.1f %s" % (lo, unit)) if hi - lo < 0.05 else ("%.1f–%.1f %s" % (lo, hi, unit))


def offsets_text(offsets, all_offsets):
    if set(offsets) == set(all_offsets) and len(all_offsets) > 1:
        return "all"
    return ", ".join(("%+g" % o if o else "0") for o in sorted(offsets))


def table(rows):
    """The sweep condensed into one markdown table: per obstacle and LiDAR, per speed, where it was stopped (with the
    distance at the first danger), hit or passed, offsets in m with + to the left."""
    speeds = sorted({float(r["speed_mps"]) for r in rows})
    lines = ["| obstacle | beams | " + " | ".join("%g m/s" % s for s in speeds) + " |",
             "|---|---|" + "---|" * len(speeds)]
    for key in panels(rows):
        kind = key[0]
        mine = panel_rows(rows, key)
        for beams in sorted({int(r["beams"]) for r in mine}):
            cells = []
            for speed in speeds:
                here = [r for r in mine if int(r["beams"]) == beams and float(r["speed_mps"]) == speed]
                all_offsets = [float(r["offset_m"]) for r in here]
                parts = []
                for outcome in ("stopped", "collided", "passed", "undecided", "error"):
                    these = [r for r in here if r["outcome"] == outcome]
                    if not these:
                        continue
                    where = "" if kind in ("wall", "bar") else " " + offsets_text(
                        [float(r["offset_m"]) for r in these], all_offsets)
                    extra = ""
                    if outcome == "stopped":
                        extra = " (danger at %s, closest %s)" % (
                            span([float(r["danger_distance_m"]) for r in these], "m"),
                            span([float(r["closest_m"]) for r in these], "m"))
                    elif outcome == "collided":
                        seen = [float(r["danger_distance_m"]) for r in these if r["danger_distance_m"] != ""]
                        extra = " (danger at %s, too late)" % span(seen, "m") if seen else " (no danger)"
                    parts.append("**%s**%s%s" % (outcome, where, extra))
                cells.append("; ".join(parts) or "-")
            lines.append("| %s | %d | %s |" % (panel_title(key), beams, " | ".join(cells)))
    return "\n".join(lines) + "\n"


COLOURS = {"stopped": "#2ca02c", "collided": "#d62728", "passed": "#9ecae1", "undecided": "#ffbf00",
           "error": "#7f7f7f"}


def picture(rows, path, title):
    """One panel per obstacle, offset against speed, a square per run coloured by its outcome, the LiDARs side by
    side; a black edge marks the runs whose obstacle stood in the path, the number is the distance at the first
    danger (m)."""
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    from matplotlib.patches import Patch

    keys = panels(rows)
    beams = sorted({int(r["beams"]) for r in rows})
    speeds = sorted({float(r["speed_mps"]) for r in rows})
    offsets = sorted({float(r["offset_m"]) for r in rows} | {0.0})
    columns = 4 if len(keys) > 3 else len(keys) + 1
    lines = int(math.ceil((len(keys) + 1) / float(columns)))
    fig, axes = plt.subplots(lines, columns, figsize=(3.4 * columns, 3.3 * lines), squeeze=False)
    width = 0.8 / max(1, len(beams))
    for ax, key in zip(axes.flat, keys):
        for r in panel_rows(rows, key):
            s = scenario_of(r)
            x = s.speed + (beams.index(s.beams) - (len(beams) - 1) / 2.0) * width
            ax.add_patch(plt.Rectangle((x - width / 2 * 0.92, s.offset - 0.22), width * 0.92, 0.44,
                                       facecolor=COLOURS.get(r["outcome"], "white"),
                                       edgecolor="black" if s.in_path() else "#bbbbbb",
                                       linewidth=1.6 if s.in_path() else 0.8))
            if r["danger_distance_m"] != "":
                ax.text(x, s.offset, "%.0f" % float(r["danger_distance_m"]), ha="center", va="center", fontsize=7)
        ax.set_title(panel_title(key), fontsize=9)
        ax.set_xlim(min(speeds) - 0.55, max(speeds) + 0.55)
        ax.set_ylim(min(offsets) - 0.35, max(offsets) + 0.35)
        ax.set_xticks(speeds)
        ax.set_xticklabels(["%g m/s\n%s" % (v, " | ".join(str(b) for b in beams)) for v in speeds], fontsize=8)
        ax.set_yticks(offsets)
        ax.set_yticklabels([("%g L" % o) if o > 0 else ("%g R" % -o) if o < 0 else "0" for o in offsets],
                           fontsize=8)
        ax.tick_params(length=0)
        for edge in ax.spines.values():
            edge.set_visible(False)
    for ax in list(axes.flat)[len(keys):]:
        ax.axis("off")
    legend_ax = list(axes.flat)[len(keys)] if len(keys) < lines * columns else None
    handles = [Patch(facecolor=COLOURS[o], label=o) for o in ("stopped", "collided", "passed", "undecided")]
    handles += [Patch(facecolor="white", edgecolor="black", linewidth=1.6, label="in the path"),
                Patch(facecolor="white", edgecolor="#bbbbbb", label="beside the path")]
    text = ("rows: obstacle centre off the path, m\n(L left, R right)\ncolumns: speed; in each, the LiDARs\n"
            "(%s beams) side by side\nnumber: distance at the first\ndanger, m" % " | ".join(str(b) for b in beams))
    if legend_ax is not None:
        legend_ax.legend(handles=handles, loc="upper left", fontsize=8, frameon=False)
        legend_ax.text(0.0, 0.02, text, fontsize=8, transform=legend_ax.transAxes, va="bottom")
    else:
        fig.legend(handles=handles, loc="lower center", ncol=len(handles), fontsize=8)
    fig.suptitle(title, fontsize=10)
    fig.tight_layout()
    fig.savefig(path, dpi=90)
    plt.close(fig)


def write_results(rows, output, title):
    write_csv(rows, os.path.join(output, "envelope.csv"))
    with open(os.path.join(output, "envelope.md"), "w") as f:
        f.write(table(rows))
    try:
        picture(rows, os.path.join(output, "envelope.png"), title)
    except ImportError as e:
        print("[envelope] no picture (%s); install python3-matplotlib" % e, flush=True)
