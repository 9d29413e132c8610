#!/usr/bin/env python3
"""Counts the copies of a text in another process's memory, by the kernel's account of each
mapping, as dbcipher's key probe does from inside a backend:

    memory_probe.py <pid> <text-as-hex>

prints "outside N, locked N, unlocked N": copies in mappings a core dump would hold, in locked
mappings left out of core dumps, and in unlocked ones left out of core dumps. Read through
/proc/<pid>/mem (root, or the process's owner where ptrace allows it) while the process runs.
"""
import sys

CHUNK = 1 << 20
LARGEST = 1 << 30  # larger mappings are reserved address space, never a secret's place


def mappings(pid):
    """(start, end, flags) of each readable mapping, flags from its VmFlags line."""
    start = end = None
    readable = False
    with open(f"/proc/{pid}/smaps") as smaps:
        for line in smaps:
            head = line.split()
            if "-" in head[0] and len(head) >= 2 and len(head[1]) == 4:
                low, high = head[0].split("-")
                start, end, readable = int(low, 16), int(high, 16), head[1][0] == "r"
            elif line.startswith("VmFlags:") and readable:
                yield start, end, set(head[1:])


def count(mem, start, end, needle):
    found, at, carry = 0, start, b""
    while at < end:
        try:
            mem.seek(at)
            block = mem.read(min(CHUNK, end - at))
        except OSError:
            break
        if not block:
            break
        data = carry + block
        found += data.count(needle)
        carry = data[-(len(needle) - 1):] if len(needle) > 1 else b""
        # a copy that spans two blocks is counted once, in the second
        found -= carry.count(needle)
        at += len(block)
    return found


def main():
    pid, needle = sys.argv[1], bytes.fromhex(sys.argv[2])
    copies = {"outside": 0, "locked": 0, "unlocked": 0}
    with open(f"/proc/{pid}/mem", "rb", buffering=0) as mem:
        for start, end, flags in mappings(pid):
            if end - start > LARGEST or "io" in flags:
                continue
            found = count(mem, start, end, needle)
            place = "outside" if "dd" not in flags else "locked" if "lo" in flags else "unlocked"
            copies[place] += found
    print(", ".join(f"{name} {n}" for name, n in copies.items()))


if __name__ == "__main__":
    main()
