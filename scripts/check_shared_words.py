#!/usr/bin/env python3
"""Every word more than one thread can reach is typed, unless it says whose it is.

A data member of a record that several threads reach, and a global declared in
a header, passes when
  - its type allows only whole access (Shared<...>, std::atomic<...>), or is
    const, or is itself one of the checked records; or
  - its declaration says which one thread touches it, in this form, on its own
    line or in the nearest comment block above it (a block covers the
    declarations that follow it up to the next blank line or comment block):
        // one thread: <owner>[, anything]
    where <owner> is one of
        interface    the interface thread (tarvelo-ui)
        audio        the audio thread (tarvelo-audio), the render among it
        video        the video thread (tarvelo-video)
        midi         the MIDI thread (tarvelo-midi)
        signal       the signal thread (tarvelo-signal)
        graph owner  whoever owns the module graph: the audio thread while
                     playback runs, the interface thread otherwise; it changes
                     hands at the numbered playback reports and frame holds
        maker        whoever makes the record, before any other thread can
                     reach it; no thread writes it after
        start-up     written only before the program's other threads start or
                     after they stopped; read-only between
        holder of L  whichever thread holds lock L (named as in the code)
Prints each member that passes neither way and exits 1 when there is one.
"""
import re
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent

# The records more than one thread can reach, by header.
RECORDS = {
    "engine/module.h": ["ModuleRecord", "OutputElement", "SequencerVoice", "KeyboardPublished", "AdsrRows"],
    "engine/params.h": ["ModuleParam", "ParamValue", "DisplaySegment"],
    "engine/keyboard.h": ["KeyboardState", "VoiceSlot", "HeldKey"],
    "engine/midimap.h": ["MidiMapEntry", "MidiMap"],
    "app/state/wave_library.h": ["WaveLibraryEntry", "WaveLibraryList"],
    "visuals/controls.h": ["ControlRecord", "IdSet"],
}
# Folders whose headers' globals are checked.
GLOBAL_FOLDERS = ["basics", "engine", "engine/dsp", "engine/catalog", "audio", "visuals", "app",
                  "app/state", "app/documents", "ui/build", "ui/panels", "ui/views"]

OWNERS = r"(interface|audio|video|midi|signal|graph owner|maker|start-up|holder of [A-Za-z_:][\w:]*)"
ONE_THREAD = re.compile(r"//.*\bone thread: " + OWNERS + r"\b")
TYPED = re.compile(r"^\s*(?:(?:static|inline|mutable|extern)\s+)*(?:const\b|constexpr\b|"
                   r"(?:QUARLE_BASICS::|std::)?(?:Shared|atomic)<)")
CHECKED_TYPES = {name for names in RECORDS.values() for name in names}


def strip_comment(line):
    return line.split("//", 1)[0]


def covered(lines, i):
    """The declaration at line i says its one thread, itself or in the block above."""
    if ONE_THREAD.search(lines[i]):
        return True
    j = i - 1
    while j >= 0:
        s = lines[j].strip()
        if s == "":
            return False
        if s.startswith("//"):
            # The nearest block above decides: any of its lines may carry the
            # form; a block further up speaks of other members.
            while j >= 0 and lines[j].strip().startswith("//"):
                if ONE_THREAD.search(lines[j]):
                    return True
                j -= 1
            return False
        j -= 1  # an earlier declaration of the same group
    return False


def member_type_is_record(decl):
    first = decl.strip().split()[0] if decl.strip() else ""
    first = first.split("::")[-1]
    return first in CHECKED_TYPES


def check_record(path, lines, name, faults):
    start = None
    for i, line in enumerate(lines):
        if re.match(r"^\s*struct\s+" + name + r"\s*\{", line):
            start = i
            break
    if start is None:
        faults.append(f"{path}: record {name} not found")
        return
    depth = 0
    i = start
    pending = None  # first line of a declaration spanning lines
    while i < len(lines):
        code = strip_comment(lines[i])
        before = depth
        depth += code.count("{") - code.count("}")
        if i > start and before == 1:
            s = code.strip()
            if pending is None and s and not re.match(
                    r"^(static_assert|using|friend|enum|struct|public:|private:|protected:|static\s|\}|template)", s):
                pending = i
            if pending is not None and (";" in code and depth == 1):
                decl = " ".join(strip_comment(lines[k]).strip() for k in range(pending, i + 1))
                is_function = "(" in decl and "(*" not in decl
                if not is_function and not TYPED.match(decl) and not member_type_is_record(decl):
                    if not (covered(lines, pending) or any(ONE_THREAD.search(lines[k]) for k in range(pending, i + 1))):
                        faults.append(f"{path}:{pending + 1}: {name}: {decl}")
                pending = None
        if i > start and depth == 0:
            break
        i += 1


def check_globals(path, lines, faults):
    i = 0
    while i < len(lines):
        line = lines[i]
        if re.match(r"^extern\s", line) and not line.startswith('extern "C"'):
            j = i
            decl = strip_comment(line)
            while ";" not in decl and j + 1 < len(lines):
                j += 1
                decl += " " + strip_comment(lines[j])
            body = decl[len("extern"):]
            is_function = "(" in body and "(*" not in body
            if not is_function and not TYPED.match(body) and not (covered(lines, i) or ONE_THREAD.search(line)):
                faults.append(f"{path}:{i + 1}: global: {' '.join(decl.split())}")
            i = j
        i += 1


def main():
    faults = []
    for rel, names in RECORDS.items():
        lines = (ROOT / rel).read_text(encoding="latin-1").splitlines()
        for name in names:
            check_record(rel, lines, name, faults)
    for folder in GLOBAL_FOLDERS:
        for header in sorted((ROOT / folder).glob("*.h")):
            rel = header.relative_to(ROOT).as_posix()
            check_globals(rel, header.read_text(encoding="latin-1").splitlines(), faults)
    for f in faults:
        print(f)
    if faults:
        print(f"{len(faults)} words more than one thread can reach are neither typed nor said to be one thread's",
              file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
