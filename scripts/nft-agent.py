#!/usr/bin/env python3
"""Enforces in this network namespace's kernel what the stand-in fwpuclnt.dll has committed.

Usage: nft-agent.py FOLDER ACK_FILE

FOLDER holds the stand-in's fwpuclnt-nft.txt ("generation N", then an nft script of the
committed filters, or "refused: WHY") and fwpuclnt-engine.lock, which the stand-in keeps
locked while an engine session is open. The lock is the only sign from Linux that the
Windows process still holds its dynamic session: when it is free, whatever the file says,
nothing is enforced, as the platform removes a dynamic session's filters with its process,
a crash included.

Each change is applied whole with one "nft -f" (the script replaces its table in one step)
and then acknowledged in ACK_FILE, replaced whole, as one line:
    generation N engine open|closed: K rules in force
    generation N engine open|closed: refused: WHY        (the stand-in could not translate)
    generation N engine open|closed: nft failed: WHY
so that a test can wait for the rules it expects before it sends a packet.
"""
import fcntl
import os
import struct
import subprocess
import sys
import time

EMPTY = "table inet orvanet_wfp {}\ndelete table inet orvanet_wfp\n"
FLOCK = "hhqqi4x"  # struct flock on 64-bit Linux: type, whence, start, len, pid


def engine_open(path):
    """Whether any process holds a lock on the file (F_GETLK over the whole of it)."""
    try:
        fd = os.open(path, os.O_RDWR)
    except FileNotFoundError:
        return False
    try:
        query = struct.pack(FLOCK, fcntl.F_WRLCK, os.SEEK_SET, 0, 0, 0)
        held = struct.unpack(FLOCK, fcntl.fcntl(fd, fcntl.F_GETLK, query))[0]
        return held != fcntl.F_UNLCK
    finally:
        os.close(fd)


def committed(path):
    """(generation, script or "refused: WHY"); generation 0 and no rules before the first."""
    try:
        with open(path, encoding="utf-8") as f:
            first, _, rest = f.read().partition("\n")
    except FileNotFoundError:
        return 0, EMPTY
    word, _, number = first.partition(" ")
    if word != "generation" or not number.isdigit():
        return 0, "refused: the file's first line is not 'generation N': " + first
    return int(number), rest


def enforce(script):
    """What is now in force, after applying the script whole."""
    if script.startswith("refused:"):
        subprocess.run(["nft", "-f", "-"], input=EMPTY, text=True, capture_output=True)
        return script.strip()
    done = subprocess.run(["nft", "-f", "-"], input=script, text=True, capture_output=True)
    if done.returncode != 0:
        return "nft failed: " + " ".join(done.stderr.split())
    rules = sum(1 for line in script.splitlines() if " comment \"" in line)
    return f"{rules} rules in force"


def replace(path, text):
    with open(path + ".tmp", "w", encoding="utf-8") as f:
        f.write(text)
    os.replace(path + ".tmp", path)


def main():
    if len(sys.argv) != 3:
        sys.exit("usage: nft-agent.py FOLDER ACK_FILE")
    folder, ack = sys.argv[1], sys.argv[2]
    rules_file = os.path.join(folder, "fwpuclnt-nft.txt")
    lock_file = os.path.join(folder, "fwpuclnt-engine.lock")
    enforced = None
    while True:
        generation, script = committed(rules_file)
        is_open = engine_open(lock_file)
        wanted = (generation, is_open, script if is_open else EMPTY)
        if wanted != enforced:
            said = f"generation {generation} engine {'open' if is_open else 'closed'}: "
            said += enforce(wanted[2])
            replace(ack, said + "\n")
            print(time.strftime("%H:%M:%S"), said, flush=True)
            enforced = wanted
        time.sleep(0.05)


if __name__ == "__main__":
    main()
