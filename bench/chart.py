#!/usr/bin/env python3
"""Draws the benchmarks' last figures as one image: ours against the peer and
against the host path, on both cores.

Reads bench/results.json (written by bench/bench.py: the vector core, where
the processor has it) and bench/portable.json (bench/portable.py: the
portable core), and draws one panel for each run: for CCA_KeyGen, CCA_Enc and
CCA_Dec at kk = 3, eta1 = 2, the time per call of ours on the native path,
of the `cryptography` package's ML-KEM-768 and of ours on the host path, on
one logarithmic axis (the host path takes milliseconds, the others
microseconds). Every bar carries its time and the ratio its run measured
side by side with ours, saying which is faster. Nothing is measured here
unless --run is given, which runs both benchmarks first.

The image is SVG by default (performance.svg at the repository root, shown in
the README), or PNG when --out ends in .png. Redrawing from the same JSON
files gives the same file.

Needs matplotlib, an optional extra: pip install ".[bench]"

Usage: python3 bench/chart.py [--run [--quick]] [--results FILE]
                              [--portable FILE] [--out FILE]
"""
import argparse
import json
import os
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)

OPERATIONS = (("CCA_KeyGen", "key generation"),
              ("CCA_Enc", "encapsulation"),
              ("CCA_Dec", "decapsulation"))

# Bars within an operation's group, top to bottom: key, legend label, colour.
SERIES = (("ours", "ours, native path", "#1f5fa8"),
          ("peer", "the `cryptography` package's ML-KEM-768", "#e08a1e"),
          ("host", "ours, host path (runs neither core)", "#8c8c8c"))

CORE_NAMES = {"avx2": "AVX2 core", "portable": "portable core", "neon": "NEON core"}

INSTALL_HINT = ('bench/chart.py needs matplotlib, an optional extra: from the repository '
                'root, pip install ".[bench]" (or pip install matplotlib)')


# --- the figures ---------------------------------------------------------------------------


def seconds(figure):
    """bench.py writes {"seconds": s, ...}, portable.py the seconds alone."""
    return figure["seconds"] if isinstance(figure, dict) else figure


def core_name(run):
    core = str(run.get("core", "")).split(" ")[0]
    return CORE_NAMES.get(core, (core + " core") if core else "core not recorded")


def panel(run, script):
    """What one panel draws, from one benchmark's JSON: title lines and, for
    each operation, the bars (seconds, ratio to ours or None) and notes."""
    peer = run.get("peer", {})
    host = run.get("host_kk3")
    rows, notes = {}, []
    if not peer.get("available"):
        notes.append("peer not measured: %s" % peer.get("reason", "not in this file"))
    if host is None:
        notes.append("host path at kk = 3 not in this file: run %s again" % script)
    for name, _ in OPERATIONS:
        bars = {}
        if host is not None:
            row = host["operations"][name]
            bars["ours"] = (seconds(row["ours"]), None)
            bars["host"] = (seconds(row["host"]), row["host_over_ours"])
        if peer.get("available"):
            row = peer["operations"][name]
            bars["ours"] = (seconds(row["ours"]), None)
            bars["peer"] = (seconds(row["peer"]), row["peer_over_ours"])
        rows[name] = bars
    title = "%s: %s, %s%s" % (
        core_name(run), script,
        ("run of " + run["date"]) if "date" in run else "date of the run not recorded",
        "  [quick run: rough figures]" if run.get("quick") else "")
    detail = "%s, %s; %s" % (run.get("cpu", "?"), run.get("python", "?"),
                             "minimum over timeit repeats of the mean per call"
                             if "timing" in run else "first decile of single calls")
    return {"title": title, "detail": detail, "rows": rows, "notes": notes,
            "peer_version": peer.get("version")}


def load(path, script, run_hint):
    try:
        with open(path, encoding="utf-8") as f:
            return json.load(f)
    except FileNotFoundError:
        sys.exit("bench/chart.py: %s not found: run python3 %s first%s" % (path, script, run_hint))


# --- drawing -------------------------------------------------------------------------------


def fmt_time(s):
    if s >= 1.0:
        return "%.3f s" % s
    if s >= 1e-3:
        return "%.2f ms" % (s * 1e3)
    return "%.1f µs" % (s * 1e6)


def fmt_ratio(r):
    return ("{:,.0f}×".format(r)) if r >= 100 else ("%.2f×" % r)


def bar_text(key, value, ratio):
    text = fmt_time(value)
    if ratio is None:
        return text
    if key == "peer":
        who = ("ours %s faster" % fmt_ratio(ratio)) if ratio >= 1 else \
              ("peer %s faster" % fmt_ratio(1 / ratio))
    else:
        who = ("native path %s faster" % fmt_ratio(ratio)) if ratio >= 1 else \
              ("host path %s faster" % fmt_ratio(1 / ratio))
    return "%s  (%s)" % (text, who)


def draw(panels, out):
    try:
        import matplotlib
    except ImportError:
        sys.exit(INSTALL_HINT)
    matplotlib.use("Agg")
    matplotlib.rcParams.update({
        "svg.hashsalt": "latkem-performance",  # fixed ids: same JSON, same file
        "svg.fonttype": "path",  # the same glyphs in every viewer
        "font.family": "DejaVu Sans",
        "font.size": 9,
    })
    import matplotlib.pyplot as plt
    from matplotlib.ticker import FixedLocator, NullLocator

    longest = max(value for p in panels for bars in p["rows"].values()
                  for value, _ in bars.values())
    low, high = 1e-6, 1e-1  # from 1 µs to 100 ms per call, or further for a slower bar
    while high < longest * 1.2:
        high *= 10
    fig, axes = plt.subplots(len(panels), 1, figsize=(9.5, 3.0 * len(panels) + 1.1),
                             sharex=True)
    axes = list(axes) if len(panels) > 1 else [axes]
    ticks = [10.0 ** e for e in range(-6, 3) if 10.0 ** e <= high * 1.001]
    step = len(SERIES) + 1
    for ax, p in zip(axes, panels):
        centres = []
        for i, (name, label) in enumerate(OPERATIONS):
            bars = p["rows"][name]
            centres.append(i * step + (len(SERIES) - 1) / 2)
            for j, (key, _, colour) in enumerate(SERIES):
                y = i * step + j
                if key not in bars:
                    continue
                value, ratio = bars[key]
                ax.barh(y, value - low, left=low, height=0.8, color=colour)
                text = bar_text(key, value, ratio)
                if value > 3e-4:  # a long bar: the text inside, at its end
                    ax.text(value / 1.12, y, text, va="center", ha="right", color="white")
                else:
                    ax.text(value * 1.12, y, text, va="center", ha="left", color="black")
        ax.set_yticks(centres)
        ax.set_yticklabels(["%s\n%s" % (label, name) for name, label in OPERATIONS])
        ax.set_ylim(len(OPERATIONS) * step - 1, -1)
        ax.set_xscale("log")
        ax.set_xlim(low, high)
        ax.xaxis.set_major_locator(FixedLocator(ticks))
        ax.xaxis.set_minor_locator(NullLocator())
        ax.grid(axis="x", color="#dddddd", linewidth=0.8)
        ax.set_axisbelow(True)
        ax.tick_params(axis="y", length=0)
        for side in ("top", "right"):
            ax.spines[side].set_visible(False)
        ax.set_title("\n".join([p["title"], p["detail"]] + p["notes"]), loc="left",
                     fontsize=9)
    axes[-1].set_xticklabels([fmt_time(t).replace(".0 ", " ").replace(".00 ", " ")
                              .replace(".000 ", " ") for t in ticks])
    axes[-1].set_xlabel("time per call, log scale: a shorter bar is faster")

    versions = sorted({p["peer_version"] for p in panels if p["peer_version"]})
    handles = [matplotlib.patches.Patch(color=colour, label=label + (
        " (version %s)" % ", ".join(versions) if key == "peer" and versions else ""))
        for key, label, colour in SERIES]
    fig.suptitle("Latkem (kk = 3, eta1 = 2) against the `cryptography` package's "
                 "ML-KEM-768 and against its own host path", y=0.99, fontsize=11)
    fig.legend(handles=handles, loc="upper center", ncol=len(SERIES), frameon=False,
               bbox_to_anchor=(0.5, 0.965))
    fig.tight_layout(rect=(0, 0, 1, 0.95))
    if out.lower().endswith(".png"):
        fig.savefig(out, dpi=120, metadata={"Software": None})
    else:
        fig.savefig(out, format="svg", metadata={"Date": None, "Creator": None})
    plt.close(fig)


# --- the command ---------------------------------------------------------------------------


def run_benchmarks(results, portable, quick):
    for script, out in (("bench.py", results), ("portable.py", portable)):
        command = [sys.executable, os.path.join(HERE, script), "--out", out]
        if quick:
            command.append("--quick")
        print("$ " + " ".join(command), flush=True)
        done = subprocess.run(command)
        if done.returncode != 0:
            sys.exit("bench/chart.py: bench/%s failed (exit %d): nothing drawn"
                     % (script, done.returncode))


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--run", action="store_true",
                        help="run bench/bench.py and bench/portable.py first (about a minute)")
    parser.add_argument("--quick", action="store_true",
                        help="with --run: the benchmarks' short runs (figures rough)")
    parser.add_argument("--results", default=os.path.join(HERE, "results.json"),
                        help="bench/bench.py's JSON (default: bench/results.json)")
    parser.add_argument("--portable", default=os.path.join(HERE, "portable.json"),
                        help="bench/portable.py's JSON (default: bench/portable.json)")
    parser.add_argument("--out", default=os.path.join(ROOT, "performance.svg"),
                        help="image to write, .svg or .png (default: performance.svg "
                             "at the repository root)")
    args = parser.parse_args(argv)
    if args.quick and not args.run:
        parser.error("--quick goes with --run")
    try:  # before any benchmark runs: say at once what is missing
        import matplotlib  # noqa: F401
    except ImportError:
        sys.exit(INSTALL_HINT)
    if args.run:
        run_benchmarks(args.results, args.portable, args.quick)
    hint = " (or bench/chart.py --run)"
    panels = [panel(load(args.results, "bench/bench.py", hint), "bench/bench.py"),
              panel(load(args.portable, "bench/portable.py", hint), "bench/portable.py")]
    draw(panels, args.out)
    print("Drawn to %s" % args.out)
    return 0


if __name__ == "__main__":
    sys.exit(main())
