#!/usr/bin/env python3
"""Checks that every library uses only the libraries below it: each header a
library's file includes must belong to the library itself or to one it
depends on. Prints every include that reaches up or sideways and exits 1
when there is one.

    scripts/check-layers.py

The layers are those of docs/design.md; a library's headers are included
relative to its own folder ("Commands/CommandManager.h").
"""
import os
import re
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))

# Each library and the libraries it may use (directly).
LAYERS = {
    "src/libs/common": [],
    "src/libs/tarnscene": ["src/libs/common"],
    "src/libs/tarnanim": ["src/libs/tarnscene"],
    "src/libs/tarnanimmanager": ["src/libs/tarnanim"],
    "src/libs/tarntransport": ["src/libs/common"],
    "src/libs/tarnengine": ["src/libs/tarnanimmanager", "src/libs/tarntransport"],
    "src/libs/tarnweb": ["src/libs/tarntransport"],
    "src/plugins/gait": ["src/libs/tarnengine"],
}

INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"')


def below(kLibrary):
    """The library and everything it may use, directly or not."""
    kSeen = {kLibrary}
    kTodo = [kLibrary]
    while kTodo:
        for kDep in LAYERS[kTodo.pop()]:
            if kDep not in kSeen:
                kSeen.add(kDep)
                kTodo.append(kDep)
    return kSeen


def owner(kHeader):
    """The libraries whose folder holds the header."""
    return [kLib for kLib in LAYERS if os.path.isfile(os.path.join(ROOT, kLib, kHeader))]


def main():
    kProblems = []
    for kLibrary in LAYERS:
        kAllowed = below(kLibrary)
        for kFolder, _, kFiles in os.walk(os.path.join(ROOT, kLibrary)):
            for kName in kFiles:
                if not kName.endswith((".h", ".cpp")):
                    continue
                kPath = os.path.join(kFolder, kName)
                with open(kPath, encoding="utf-8") as kIn:
                    for iLine, kText in enumerate(kIn, 1):
                        kMatch = INCLUDE.match(kText)
                        if not kMatch:
                            continue
                        kOwners = owner(kMatch.group(1))
                        if kOwners and not any(kOwner in kAllowed for kOwner in kOwners):
                            kProblems.append(f"{os.path.relpath(kPath, ROOT)}:{iLine}: {kLibrary} includes "
                                             f"\"{kMatch.group(1)}\" of {', '.join(kOwners)}")
    for kProblem in kProblems:
        print(kProblem)
    if kProblems:
        print(f"{len(kProblems)} includes reach a library that is not below")
        return 1
    print(f"layers ok: {len(LAYERS)} libraries, each using only the ones below it")
    return 0


if __name__ == "__main__":
    sys.exit(main())
