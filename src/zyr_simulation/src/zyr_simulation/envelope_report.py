"""The protection envelope's results: the CSV of the runs and of the edges, the tables that condense them (envelope.md)
and the picture. Free of ROS.

The first sweep's grid (a wall, a bar, poles and a box at lateral offsets) has a table and a picture of its own: per
obstacle and LiDAR, the outcome at each speed and offset. Every other flight is shown as one line per flight and
LiDAR, grouped by what it tries, and condensed into protection and false-stop rates per kind and filter."""
import csv
import math
import os

from zyr_simulation.envelope_model import FIELDS, KINDS, STICK_SPEED, scenario_of, sort_key


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
                for outcome in ("stopped", "collided", "passed", "undecided", "grounded", "error"):
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
           "grounded": "#9467bd", "error": "#7f7f7f"}


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
                                       edgecolor="black" if s.needed() else "#bbbbbb",
                                       linewidth=1.6 if s.needed() else 0.8))
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


def classic(r):
    """Whether a row belongs to the first sweep's grid."""
    s = scenario_of(r)
    return (s.kind in ("wall", "bar", "pole", "box") and not (s.height or s.angle or s.popup or s.climb)
            and s.filter == "none" and s.speed > STICK_SPEED and abs(s.offset) <= 1.0)


FAMILIES = [
    ("wires across the way", lambda s: s.kind == "wire" and s.filter == "none"),
    ("above and below the flight level", lambda s: s.kind in ("beam", "slab") and not s.climb),
    ("walls at an angle", lambda s: s.kind == "wall" and s.angle),
    ("poles far beside the path", lambda s: s.kind == "pole" and abs(s.offset) > 1 and s.speed > STICK_SPEED),
    ("pop-ups ahead", lambda s: s.popup),
    ("climbing and descending", lambda s: s.climb),
    ("slow flight along the stick", lambda s: s.speed <= STICK_SPEED and not s.climb),
    ("clutter", lambda s: s.clutter() and s.filter == "none"),
    ("with clutter filters", lambda s: s.filter != "none"),
]


def family(s):
    return next((name for name, test in FAMILIES if test(s)), "first grid")


def verdict(r):
    """One flight in a few words: its outcome, the distance at the first danger, a false stop."""
    text = "**%s**" % r["outcome"]
    if r.get("danger_distance_m") not in (None, ""):
        text += " (danger at %.1f m)" % float(r["danger_distance_m"])
    if str(r.get("false_stop")) == "1":
        text += " FALSE STOP"
    return text


def flights_table(rows):
    """One line per flight, the LiDARs side by side, by family."""
    beams = sorted({int(r["beams"]) for r in rows})
    by_flight = {}
    for r in rows:
        s = scenario_of(r)
        by_flight.setdefault((family(s), s._replace(beams=0)), {})[int(r["beams"])] = r
    lines = []
    for name, _ in FAMILIES:
        keys = sorted((k for k in by_flight if k[0] == name), key=lambda k: sort_key(k[1]))
        if not keys:
            continue
        lines += ["", "**%s**" % name, "", "| flight | needed | " + " | ".join("%d beams" % b for b in beams) + " |",
                  "|---|---|" + "---|" * len(beams)]
        for key in keys:
            cells = by_flight[key]
            label = key[1]._replace(beams=beams[0]).label().replace(", %d beams" % beams[0], "")
            lines.append("| %s | %s | %s |" % (label, "yes" if key[1].needed() else "no",
                                                " | ".join(verdict(cells[b]) if b in cells else "-" for b in beams)))
    return "\n".join(lines) + "\n"


def rates(rows):
    """Per kind and filter: flights, protection (stopped of the needed, with the monitor) and false stops (of the
    not needed). A flight held on the ground proves nothing about protection; where no stop was needed it is a
    false stop."""
    groups = {}
    for r in rows:
        if not int(r["avoidance"]) or r["outcome"] == "error":
            continue
        groups.setdefault((r["kind"], r.get("filter") or "none", int(r["beams"])), []).append(r)
    out = []
    for (kind, filt, beams), these in sorted(groups.items(), key=lambda kv: (KINDS.index(kv[0][0]), kv[0][1] != "none",
                                                                            kv[0][1], kv[0][2])):
        needed = [r for r in these if str(r["needed"]) == "1" and r["outcome"] != "grounded"]
        spare = [r for r in these if str(r["needed"]) != "1"]
        out.append({"kind": kind, "filter": filt, "beams": beams, "flights": len(these),
                    "needed": len(needed), "stopped": sum(r["outcome"] == "stopped" for r in needed),
                    "collided": sum(r["outcome"] == "collided" for r in these),
                    "not_needed": len(spare), "false_stops": sum(str(r["false_stop"]) == "1" for r in spare)})
    return out


def percent(part, whole):
    return "-" if not whole else "%d/%d (%.0f %%)" % (part, whole, 100.0 * part / whole)


def rates_table(rows):
    lines = ["| kind | filter | beams | flights | protection (stopped of needed) | collisions | "
             "false stops (of not needed) |", "|---|---|---|---|---|---|---|"]
    for g in rates(rows):
        lines.append("| %s | %s | %d | %d | %s | %d | %s |" % (
            g["kind"], g["filter"], g["beams"], g["flights"], percent(g["stopped"], g["needed"]), g["collided"],
            percent(g["false_stops"], g["not_needed"])))
    return "\n".join(lines) + "\n"


EDGE_FIELDS = ["edge", "beams", "held", "not_held", "result", "flights", "why"]


def edge_rows(results):
    from zyr_simulation.envelope_edges import summary
    out = []
    for e, found, flights in results:
        held = not_held = ""
        if found is not None and found[2] != found[3]:
            held, not_held = (found[0], found[1]) if found[2] else (found[1], found[0])
        out.append({"edge": e.name, "beams": e.beams, "held": held, "not_held": not_held, "flights": flights,
                    "result": summary(e, found) if found is not None else "not flown", "why": e.why})
    return out


def edges_table(edges):
    """"edge | 16 beams | 64 beams | why", from rows of edges.csv."""
    beams = sorted({int(e["beams"]) for e in edges})
    names = []
    for e in edges:
        if e["edge"] not in names:
            names.append(e["edge"])
    lines = ["| edge | " + " | ".join("%d beams" % b for b in beams) + " | why |", "|---|" + "---|" * (len(beams) + 1)]
    for name in names:
        mine = {int(e["beams"]): e for e in edges if e["edge"] == name}
        # One reason when the LiDARs share it, else each under its LiDAR's name, in the columns' order.
        reasons = [(b, mine[b]["why"]) for b in beams if b in mine]
        if len({text for _, text in reasons}) == 1:
            why = reasons[0][1]
        else:
            why = " / ".join("%d beams: %s" % (b, text) for b, text in reasons)
        lines.append("| %s | %s | %s |" % (name, " | ".join(mine[b]["result"] if b in mine else "-" for b in beams),
                                           why))
    return "\n".join(lines) + "\n"


def write_edges(edges, path):
    with open(path, "w", newline="") as f:
        out = csv.DictWriter(f, fieldnames=EDGE_FIELDS)
        out.writeheader()
        out.writerows(edges)


def markdown(rows, edges=None):
    old = [r for r in rows if classic(r)]
    new = [r for r in rows if not classic(r)]
    parts = []
    if old:
        parts.append(table(old))
    if edges:
        parts.append("\n**Edges**\n\n" + edges_table(edges))
    parts.append("\n**Protection and false stops**\n\n" + rates_table(rows))
    if new:
        parts.append(flights_table(new))
    return "\n".join(parts)


def family_picture(rows, path, title):
    """One panel per family: a square per flight and LiDAR, coloured by its outcome (red: collided), a black edge
    where a stop was needed, an X on a false stop."""
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    from matplotlib.patches import Patch

    beams = sorted({int(r["beams"]) for r in rows})
    groups = {}
    for r in rows:
        s = scenario_of(r)
        groups.setdefault(family(s), {}).setdefault(s._replace(beams=0), {})[int(r["beams"])] = r
    names = [n for n, _ in FAMILIES if n in groups] + (["first grid"] if "first grid" in groups else [])
    heights = [len(groups[n]) for n in names]
    columns = 3
    per_column = int(math.ceil(sum(heights) / float(columns)))
    layout, column, used = [[] for _ in range(columns)], 0, 0
    for n, h in zip(names, heights):
        if used and used + h > per_column * 1.15 and column < columns - 1:
            column, used = column + 1, 0
        layout[column].append(n)
        used += h + 2
    tallest = max(sum(len(groups[n]) + 2 for n in col) for col in layout if col)
    fig, axes = plt.subplots(1, columns, figsize=(6.2 * columns, 0.24 * tallest + 1.6), squeeze=False)
    for ax, col in zip(axes.flat, layout):
        y = 0
        for n in col:
            ax.text(-0.1, y, n, fontsize=8, fontweight="bold", ha="right", va="center")
            y += 1
            for key in sorted(groups[n], key=sort_key):
                label = key._replace(beams=beams[0]).label().replace(", %d beams" % beams[0], "")
                ax.text(-0.1, y, label, fontsize=6.5, ha="right", va="center")
                for i, b in enumerate(beams):
                    r = groups[n][key].get(b)
                    if r is None:
                        continue
                    ax.add_patch(plt.Rectangle((i * 0.5, y - 0.4), 0.45, 0.8,
                                               facecolor=COLOURS.get(r["outcome"], "white"),
                                               edgecolor="black" if key.needed() else "#bbbbbb",
                                               linewidth=1.2 if key.needed() else 0.6))
                    if str(r.get("false_stop")) == "1":
                        ax.text(i * 0.5 + 0.225, y, "X", fontsize=7, ha="center", va="center", fontweight="bold")
                y += 1
            y += 1
        ax.set_xlim(-3.6, 0.5 * len(beams))
        ax.set_ylim(tallest, -1)
        ax.set_xticks([i * 0.5 + 0.225 for i in range(len(beams))])
        ax.set_xticklabels(["%d" % b for b in beams], fontsize=7)
        ax.xaxis.tick_top()
        ax.set_yticks([])
        ax.tick_params(length=0)
        for edge in ax.spines.values():
            edge.set_visible(False)
    handles = [Patch(facecolor=colour, label=outcome) for outcome, colour in COLOURS.items()]
    handles += [Patch(facecolor="white", edgecolor="black", linewidth=1.2, label="stop needed"),
                Patch(facecolor="white", edgecolor="#bbbbbb", label="not needed (X: false stop)")]
    fig.legend(handles=handles, loc="lower center", ncol=len(handles), fontsize=8)
    fig.suptitle(title + " (columns: LiDAR beams)", fontsize=10)
    fig.tight_layout(rect=(0, 0.03, 1, 0.97))
    fig.savefig(path, dpi=90)
    plt.close(fig)


def write_results(rows, output, title, edges=None):
    """envelope.csv, envelope.md and envelope.png (and edges.csv when edges were bisected) into `output`."""
    write_csv(rows, os.path.join(output, "envelope.csv"))
    if edges is not None:
        write_edges(edges, os.path.join(output, "edges.csv"))
    with open(os.path.join(output, "envelope.md"), "w") as f:
        f.write(markdown(rows, edges))
    try:
        if all(classic(r) for r in rows):
            picture(rows, os.path.join(output, "envelope.png"), title)
        else:
            family_picture(rows, os.path.join(output, "envelope.png"), title)
    except ImportError as e:
        print("[envelope] no picture (%s); install python3-matplotlib" % e, flush=True)
