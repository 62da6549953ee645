#!/usr/bin/env python3
"""Checks the vtable slots and the calling convention of the host interfaces on 32-bit Windows.

Reads the probe source (every ZARN_PROBE(Interface, Method, Slot) line) and the assembly the i686
compiler made of it (AT&T syntax). For every probe it checks that
  - the operation is called through the object's vtable at offset 4 * Slot, and
  - the object is passed in ECX (thiscall): ECX is loaded from the probe's first argument and the
    vtable is read through ECX.
Exit status 0 when every probe passes, 1 otherwise (one line per failure).
"""
import re
import sys

PROBE = re.compile(r"^ZARN_PROBE\((\w+),\s*(\w+),\s*(\d+)\)", re.M)
LABEL = re.compile(r"^_?(zarn_probe__(\w+?)__(\w+?)__(\d+)):\s*$")
FRAME = re.compile(r"^\s*subl\s+\$(\d+),\s*%esp\s*$")
THIS_TO_ECX = re.compile(r"^\s*movl\s+(\d*)\(%esp\),\s*%ecx\s*$")
VTABLE_FROM_ECX = re.compile(r"^\s*movl\s+\(%ecx\),\s*%(e\w\w)\s*$")
CALL = re.compile(r"^\s*call\s+\*(-?\d*)\(%(e\w\w)\)\s*$")


def functions(asm_lines):
    """Yields (name, interface, method, slot, body lines) for every probe function."""
    current = None
    for line in asm_lines:
        match = LABEL.match(line)
        if match:
            if current:
                yield current
            current = (match.group(1), match.group(2), match.group(3), int(match.group(4)), [])
        elif current:
            current[4].append(line)
            if re.match(r"^\s*ret\b", line):
                yield current
                current = None
    if current:
        yield current


def check(name, slot, body):
    frame = 0
    this_in_ecx = False
    vtable_register = None
    calls = []
    for line in body:
        if m := FRAME.match(line):
            if not calls and frame == 0:
                frame = int(m.group(1))
        elif m := THIS_TO_ECX.match(line):
            # The first stack argument sits just above the return address: frame + 4.
            this_in_ecx = int(m.group(1) or 0) == frame + 4
        elif m := VTABLE_FROM_ECX.match(line):
            if this_in_ecx:
                vtable_register = m.group(1)
        elif m := CALL.match(line):
            calls.append((int(m.group(1) or 0), m.group(2)))
    if len(calls) != 1:
        return f"{name}: expected one indirect call, found {len(calls)}"
    offset, register = calls[0]
    if not this_in_ecx:
        return f"{name}: the object is not passed in ECX (not thiscall)"
    if register != vtable_register:
        return f"{name}: the call does not go through the vtable read from the object"
    if offset != 4 * slot:
        return f"{name}: called at slot {offset // 4} (offset {offset}), expected slot {slot}"
    return None


def main():
    if len(sys.argv) != 3:
        print("usage: check-slots.py PROBE_SOURCE PROBE_ASSEMBLY", file=sys.stderr)
        return 2
    with open(sys.argv[1]) as f:
        expected = {f"zarn_probe__{i}__{m}__{s}" for i, m, s in PROBE.findall(f.read())}
    with open(sys.argv[2]) as f:
        found = list(functions(f.read().splitlines()))
    failures = []
    seen = set()
    for name, _interface, _method, slot, body in found:
        seen.add(name)
        problem = check(name, slot, body)
        if problem:
            failures.append(problem)
    for name in sorted(expected - seen):
        failures.append(f"{name}: no probe function in the assembly")
    for line in failures:
        print(line)
    if not failures:
        print(f"slot check: {len(seen)} operations at their slots, object in ECX")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
