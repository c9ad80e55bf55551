#!/usr/bin/env python3
"""The library's include graph, and the check that its arrows point down.

    scripts/layers.py --check     exit 1 and list every include that points up or closes a cycle
    scripts/layers.py --summary   arrows between folders, with their counts
    scripts/layers.py --dot       the file-level graph in Graphviz form (folders as clusters)
    scripts/layers.py --folders   the folder-level graph in Graphviz form, arrows counted

Folders from the ground up: link/, data/, generator/, control/. A file may include
files of its own folder and of folders below it. One crossing runs up by design:
the packet builder runs the apply engine (the first packet, a change deferred to
the end of a cycle), and it is the only one allowed.
"""
import argparse
import pathlib
import re
import sys

LAYERS = ["link", "data", "generator", "control"]
CROSSINGS = {("generator/packet_builder.cpp", "control/apply.h")}
INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"', re.MULTILINE)


def read_graph(root):
    edges = {}
    for folder in LAYERS:
        for path in sorted((root / folder).glob("*.[ch]*")):
            if path.suffix not in (".h", ".cpp"):
                continue
            name = f"{folder}/{path.name}"
            targets = [t for t in INCLUDE.findall(path.read_text())
                       if t.split("/")[0] in LAYERS]
            edges[name] = targets
    return edges


def layer(name):
    return LAYERS.index(name.split("/")[0])


def upward(edges):
    return [(a, b) for a, targets in edges.items() for b in targets
            if layer(b) > layer(a) and (a, b) not in CROSSINGS]


def cycles(edges):
    """Header cycles (a .cpp closes none: nothing includes it)."""
    found, state = [], {}

    def visit(node, trail):
        state[node] = "open"
        for nxt in edges.get(node, []):
            if state.get(nxt) == "open":
                found.append(trail[trail.index(nxt):] + [nxt])
            elif nxt not in state:
                visit(nxt, trail + [nxt])
        state[node] = "done"

    for node in edges:
        if node not in state:
            visit(node, [node])
    return found


def folder_counts(edges):
    """Includes from one folder into another, keyed (from, to, is the crossing)."""
    counts = {}
    for a, targets in edges.items():
        for b in targets:
            fa, fb = a.split("/")[0], b.split("/")[0]
            if fa != fb:
                key = (fa, fb, (a, b) in CROSSINGS)
                counts[key] = counts.get(key, 0) + 1
    return counts


def summary(edges):
    counts = folder_counts(edges)
    for (fa, fb, crossing), n in sorted(counts.items(), key=lambda e: (-layer(e[0][0] + "/"), e[0][1])):
        arrow = "down" if LAYERS.index(fb) < LAYERS.index(fa) else ("up: the crossing" if crossing else "UP")
        print(f"{fa:>9} -> {fb:<9} {n:3} includes  {arrow}")


def dot(edges):
    print("digraph includes {\n  rankdir=BT; node [shape=box, fontsize=10];")
    for folder in LAYERS:
        print(f'  subgraph "cluster_{folder}" {{ label="{folder}/";')
        for name in edges:
            if name.startswith(folder + "/"):
                print(f'    "{name}" [label="{name.split("/")[1]}"];')
        print("  }")
    for a, targets in edges.items():
        for b in targets:
            style = ' [color=red, penwidth=2, label="the crossing"]' if (a, b) in CROSSINGS else ""
            print(f'  "{a}" -> "{b}"{style};')
    print("}")


def folders(edges):
    counts = folder_counts(edges)
    print("digraph folders {\n  rankdir=TB; node [shape=box, fontname=sans, fontsize=12];")
    for folder in reversed(LAYERS):
        files = sum(1 for n in edges if n.startswith(folder + "/"))
        print(f'  "{folder}" [label="{folder}/\\n{files} files"];')
    for (fa, fb, crossing), n in sorted(counts.items()):
        if crossing:
            a, b = next(iter(CROSSINGS))
            print(f'  "{fa}" -> "{fb}" [color=red, fontcolor=red, constraint=false, '
                  f'label=" {n}: {a.split("/")[1]} -> {b.split("/")[1]}\\n(the one crossing)"];')
        else:
            print(f'  "{fa}" -> "{fb}" [label=" {n}"];')
    print("}")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--root", default=pathlib.Path(__file__).resolve().parent.parent, type=pathlib.Path)
    mode = parser.add_mutually_exclusive_group(required=True)
    mode.add_argument("--check", action="store_true")
    mode.add_argument("--summary", action="store_true")
    mode.add_argument("--dot", action="store_true")
    mode.add_argument("--folders", action="store_true")
    args = parser.parse_args()
    edges = read_graph(args.root)
    if args.summary:
        summary(edges)
    elif args.dot:
        dot(edges)
    elif args.folders:
        folders(edges)
    else:
        bad = [f"{a} includes {b}: points up" for a, b in upward(edges)]
        bad += ["include cycle: " + " -> ".join(c) for c in cycles(edges)]
        bad += [f"{a} includes {b}: the allowed crossing is gone or renamed; update CROSSINGS"
                for a, b in CROSSINGS if b not in edges.get(a, [])]
        for line in bad:
            print(line)
        if not bad:
            print(f"{sum(map(len, edges.values()))} includes among {len(edges)} files; all point down but the one crossing")
        return 1 if bad else 0
    return 0


if __name__ == "__main__":
    sys.exit(main())
