#!/usr/bin/python3
"""Benchmark of the Python package against its peers.

    /usr/bin/python3 python/bench/bench.py [ROUNDS]

with scrypt_vornik importable (PYTHONPATH=build/python, or installed).
Prints, for a few parameter sets, the median time of one derivation for
this package, PyNaCl (libsodium), py-scrypt (Tarsnap's code), cryptography's
Scrypt and hashlib.scrypt (both OpenSSL), measured in interleaved rounds so
that a machine busy with other work slows every contender alike; then the
throughput of two threads against one, derive_keys() with 16 jobs against
16 calls of scrypt(), the time to refuse a hostile password string and the
resident size after 20,000 of them.  Ratios are of figures taken side by
side in this run.
"""

from __future__ import annotations

import concurrent.futures
import hashlib
import os
import statistics
import sys
import time
from typing import Callable, Optional

import scrypt_vornik

Derive = Callable[[bytes, bytes, int, int, int, int], bytes]

PASSWORD = b"correct horse battery staple"
SALT = b"NaCl and pepper, 32 bytes long!!"


def processor() -> str:
    fields: dict[str, str] = {}
    with open("/proc/cpuinfo") as f:
        for line in f:
            if not line.strip():
                break
            key, _, value = line.partition(":")
            fields[key.strip()] = value.strip()
    family, model = int(fields.get("cpu family", "0")), int(fields.get("model", "0"))
    return (f"{fields.get('model name', '?')}: {fields.get('vendor_id', '?')} family "
            f"{family:#x} model {model:#x}, {os.cpu_count()} logical processors")


def peers() -> dict[str, Derive]:
    found: dict[str, Derive] = {
        "scrypt_vornik": lambda pw, s, n, r, p, dk: scrypt_vornik.scrypt(
            pw, salt=s, n=n, r=r, p=p, dklen=dk),
        "hashlib": lambda pw, s, n, r, p, dk: hashlib.scrypt(
            pw, salt=s, n=n, r=r, p=p, dklen=dk, maxmem=2**31 - 1),
    }
    try:
        import nacl.bindings

        found["PyNaCl"] = lambda pw, s, n, r, p, dk: nacl.bindings.crypto_pwhash_scryptsalsa208sha256_ll(
            pw, s, n, r, p, dk, maxmem=2**31 - 1)
    except ImportError:
        print("PyNaCl not installed (python3-nacl): left out")
    try:
        import scrypt as py_scrypt  # type: ignore[import]

        found["py-scrypt"] = lambda pw, s, n, r, p, dk: bytes(py_scrypt.hash(pw, s, N=n, r=r, p=p, buflen=dk))
    except ImportError:
        print("py-scrypt not installed (python3-scrypt): left out")
    try:
        from cryptography.hazmat.primitives.kdf.scrypt import Scrypt

        found["cryptography"] = lambda pw, s, n, r, p, dk: Scrypt(
            salt=s, length=dk, n=n, r=r, p=p).derive(pw)
    except ImportError:
        print("cryptography not installed (python3-cryptography): left out")
    return found


def timed(call: Callable[[], object]) -> float:
    t0 = time.perf_counter()
    call()
    return time.perf_counter() - t0


def interleaved(calls: dict[str, Callable[[], object]], rounds: int) -> dict[str, float]:
    """Median seconds of each call over `rounds` rounds, each round running
    every call once, in an order that rotates from round to round."""
    names = list(calls)
    samples: dict[str, list[float]] = {name: [] for name in names}
    for name in names:
        calls[name]()  # warm up: buffers, self-test, page faults
    for i in range(rounds):
        order = names[i % len(names):] + names[:i % len(names)]
        for name in order:
            samples[name].append(timed(calls[name]))
    return {name: statistics.median(s) for name, s in samples.items()}


def spread(values: list[float]) -> str:
    return f"{min(values) * 1e3:.1f}..{max(values) * 1e3:.1f}"


def section_peers(found: dict[str, Derive], rounds: int) -> None:
    print("\n== one derivation, median ms (lower is better); ratio = fastest peer / scrypt_vornik")
    sets = [(2**10, 8, 1, 32), (2**14, 8, 1, 32), (2**14, 8, 4, 32), (2**16, 8, 1, 32),
            (2**14, 1, 1, 64)]
    header = f"{'N, r, p, dklen':<22}" + "".join(f"{name:>15}" for name in found) + f"{'ratio':>9}"
    print(header)
    for n, r, p, dklen in sets:
        expected = hashlib.scrypt(PASSWORD, salt=SALT, n=n, r=r, p=p, dklen=dklen,
                                  maxmem=2**31 - 1)
        calls: dict[str, Callable[[], object]] = {}
        for name, derive in found.items():
            assert derive(PASSWORD, SALT, n, r, p, dklen) == expected, name
            calls[name] = (lambda d: lambda: d(PASSWORD, SALT, n, r, p, dklen))(derive)
        # Short derivations get more rounds: a few milliseconds are at the
        # mercy of one scheduling slice on a busy machine.
        medians = interleaved(calls, rounds * max(1, 2**17 // (n * r * p)))
        best_peer = min(v for k, v in medians.items() if k != "scrypt_vornik")
        label = f"2^{n.bit_length() - 1}, {r}, {p}, {dklen}"
        print(f"{label:<22}" + "".join(f"{medians[k] * 1e3:>15.2f}" for k in found)
              + f"{best_peer / medians['scrypt_vornik']:>8.2f}x")


def section_threads(found: dict[str, Derive], rounds: int) -> None:
    print("\n== two threads against one, N=2^14, r=8, p=1, 32-byte key: throughput ratio "
          "(2.0 = two derivations in the time of one)")
    n, r, p, dklen = 2**14, 8, 1, 32
    pool = concurrent.futures.ThreadPoolExecutor(2)
    for name, derive in found.items():
        one = lambda: derive(PASSWORD, SALT, n, r, p, dklen)  # noqa: E731

        def two() -> None:
            futures = [pool.submit(one) for _ in range(2)]
            for f in futures:
                f.result()

        medians = interleaved({"one": one, "two": two}, rounds)
        print(f"{name:<15} one {medians['one'] * 1e3:7.2f} ms, two threads "
              f"{medians['two'] * 1e3:7.2f} ms: {2 * medians['one'] / medians['two']:.2f}x")
    pool.shutdown()
    # The control: two processes, which share no GIL and no library state,
    # show how much parallelism the machine has free at the moment.
    processes = concurrent.futures.ProcessPoolExecutor(2)
    def two_processes() -> None:
        futures = [processes.submit(_derive_in_child, n, r, p, dklen) for _ in range(2)]
        for f in futures:
            f.result()

    two_processes()
    medians = interleaved({"one": lambda: processes.submit(_derive_in_child, n, r, p, dklen).result(),
                           "two": two_processes}, rounds)
    print(f"{'control':<15} scrypt_vornik in one process {medians['one'] * 1e3:7.2f} ms, in two "
          f"processes {medians['two'] * 1e3:7.2f} ms: {2 * medians['one'] / medians['two']:.2f}x "
          f"(the machine's free parallelism now)")
    processes.shutdown()


def _derive_in_child(n: int, r: int, p: int, dklen: int) -> bytes:
    return scrypt_vornik.scrypt(PASSWORD, salt=SALT, n=n, r=r, p=p, dklen=dklen)


def section_batch(rounds: int) -> None:
    print("\n== derive_keys(16 jobs) against 16 calls of scrypt(), N=2^14, r=8, p=1, 32-byte keys")
    n, r, p = 2**14, 8, 1
    jobs = [(b"password %d" % i, SALT) for i in range(16)]
    batch = scrypt_vornik.derive_keys(jobs, n=n, r=r, p=p, dklen=32)
    assert batch == [scrypt_vornik.scrypt(pw, salt=s, n=n, r=r, p=p, dklen=32) for pw, s in jobs]
    medians = interleaved({
        "calls": lambda: [scrypt_vornik.scrypt(pw, salt=s, n=n, r=r, p=p, dklen=32)
                          for pw, s in jobs],
        "batch": lambda: scrypt_vornik.derive_keys(jobs, n=n, r=r, p=p, dklen=32),
    }, max(3, rounds // 2))
    print(f"16 calls {medians['calls'] * 1e3:.1f} ms, derive_keys {medians['batch'] * 1e3:.1f} ms: "
          f"{medians['calls'] / medians['batch']:.2f}x")


def rss() -> int:
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def section_refusals() -> None:
    print("\n== hostile password strings (N = 2^40), PasswordHasher() defaults")
    hasher = scrypt_vornik.PasswordHasher()
    good = scrypt_vornik.PasswordHasher(n=2**10).hash("pw")
    hostile = good[:3] + "c" + good[4:]

    def refuse() -> None:
        try:
            hasher.verify(hostile, "pw")
        except scrypt_vornik.CostLimitError:
            return
        raise AssertionError("not refused")

    for _ in range(1000):
        refuse()
    samples = []
    for _ in range(2000):
        samples.append(timed(refuse))
    print(f"verify refused in {statistics.median(samples) * 1e6:.2f} us (median of 2000; "
          f"10th..90th percentile {statistics.quantiles(samples, n=10)[0] * 1e6:.2f}.."
          f"{statistics.quantiles(samples, n=10)[-1] * 1e6:.2f} us)")
    before = rss()
    for _ in range(20000):
        refuse()
    after = rss()
    print(f"resident size {before / 2**20:.2f} MiB before, {after / 2**20:.2f} MiB after "
          f"20,000 refused strings ({after - before:+d} bytes)")


def main(argv: list[str]) -> int:
    rounds = int(argv[1]) if len(argv) > 1 else 9
    print("processor:", processor())
    print(f"scrypt_vornik {scrypt_vornik.__version__} from {scrypt_vornik.__file__}; "
          f"Python {sys.version.split()[0]}; {rounds} interleaved rounds, medians")
    try:
        load: Optional[str] = " ".join(f"{x:.2f}" for x in os.getloadavg())
    except OSError:
        load = None
    print(f"load average at start: {load} (other work on the machine slows every contender alike)")
    found = peers()
    section_peers(found, rounds)
    section_threads(found, rounds)
    section_batch(rounds)
    section_refusals()
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
