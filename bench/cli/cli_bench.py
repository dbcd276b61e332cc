"""Figures of the scrypt-vornik program, printed as tables.

    /usr/bin/python3 bench/cli/cli_bench.py BUILD_DIR [ROUNDS]

1. calibrate --time T: the parameters chosen, the time of one derivation
   with them (a fresh thread's buffers, as in a new process) as a share of
   T (goal 0.4 to 1.1), and the time of the calibration itself against
   2 T + 50 ms.
2. hash and verify against a bare host (derive_once: one derivation, the
   self-test first, in a new process): the wall time each adds to the same
   derivation (goal at most 2 ms), and the self-test's cost.
Medians over ROUNDS runs (default 7); the machine is shared, so every
comparison is made side by side, round by round.
"""

import os
import re
import statistics
import subprocess
import sys
import time

build = sys.argv[1] if len(sys.argv) > 1 else "build"
rounds = int(sys.argv[2]) if len(sys.argv) > 2 else 7
program = os.path.join(build, "tools/scrypt-vornik/scrypt-vornik")
bare = os.path.join(build, "bench/cli/derive_once")


def run(args, stdin=b""):
    t0 = time.monotonic()
    r = subprocess.run(args, input=stdin, capture_output=True, check=False)
    took = time.monotonic() - t0
    if r.returncode not in (0, 1):
        sys.exit(f"{args}: status {r.returncode}: {r.stderr.decode()}")
    return took, r.stdout.decode()


info = run([program, "info"])[1]
processor = re.search(r"^processor: (.*)$", info, re.M).group(1)
form = re.search(r"^mixing form in use: (.*)$", info, re.M).group(1)
print(f"scrypt-vornik program figures on {processor}, {os.cpu_count()} online; form {form}")
print(f"medians of {rounds} rounds; load average {os.getloadavg()[0]:.2f} at the start\n")

print("1. calibrate --time T (--memory default: a quarter of the machine's memory)")
print(f"   {'T':>6} {'N r p chosen (counts)':<34} {'derivation':>10} {'/T':>6} "
      f"{'calibration':>11} {'limit 2T+50ms':>13}")
for T in (0.02, 0.05, 0.1, 0.25):
    chosen, ratios, cal = {}, [], []
    for _ in range(rounds):
        out = run([program, "calibrate", "--time", str(T)])[1]
        nrp = out.splitlines()[0]
        chosen[nrp] = chosen.get(nrp, 0) + 1
        ratios.append(float(re.search(r"^time: ([0-9.]+)", out, re.M).group(1)) / T)
        cal.append(float(re.search(r"^calibration: ([0-9.]+)", out, re.M).group(1)))
    picks = ", ".join(f"{k} ({v})" for k, v in sorted(chosen.items()))
    print(f"   {T:>6} {picks:<34} {statistics.median(ratios) * T:>9.4f}s "
          f"{statistics.median(ratios):>6.2f} {statistics.median(cal):>10.4f}s "
          f"{2 * T + 0.05:>12.3f}s")
    print(f"   {'':>6} share of T, each round: " + " ".join(f"{x:.2f}" for x in ratios))

print("\n2. what hash and verify add to their derivation (new process each, wall time)")
print(f"   {'N r p':<16} {'bare host':>10} {'hash':>10} {'+':>8} {'verify':>10} {'+':>8} "
      f"{'self-test':>10}")
for N, r, p in ((1024, 8, 1), (16384, 8, 1), (65536, 8, 1)):
    s = run([program, "hash", "-N", str(N), "-r", str(r), "-p", str(p)], b"pw")[1].strip()
    bare_t, hash_t, verify_t, selftest = [], [], [], []
    for _ in range(rounds):
        t, out = run([bare, str(N), str(r), str(p)])
        bare_t.append(t)
        selftest.append(float(out.split()[0]))
        hash_t.append(run([program, "hash", "-N", str(N), "-r", str(r), "-p", str(p)], b"pw")[0])
        verify_t.append(run([program, "verify", s], b"pw")[0])
    b, h, v = (statistics.median(x) for x in (bare_t, hash_t, verify_t))
    print(f"   {f'{N} {r} {p}':<16} {b * 1e3:>8.2f}ms {h * 1e3:>8.2f}ms {(h - b) * 1e3:>6.2f}ms "
          f"{v * 1e3:>8.2f}ms {(v - b) * 1e3:>6.2f}ms {statistics.median(selftest) * 1e3:>8.2f}ms")
print("\n   +: the program's median less the bare host's (goal at most 2 ms); both pay the")
print("   process start, the self-test and the same derivation.")
