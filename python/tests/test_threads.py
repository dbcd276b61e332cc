"""The GIL is released while the library works: other threads run Python
code meanwhile, event loops stay responsive under asyncio.to_thread, and a
buffer mutated by another thread never reaches the library half-changed."""

import asyncio
import gc
import hashlib
import threading
import time

import pytest

from scrypt_vornik import PasswordHasher, derive_keys, scrypt

# About 128 MiB and a few hundred milliseconds per derivation.
LONG = dict(n=2**17, r=8, p=1)


class Counter(threading.Thread):
    """Runs Python code in a loop and notes every pause of more than 5 ms
    between two of its iterations, as (start, end)."""

    def __init__(self):
        super().__init__(daemon=True)
        self.count = 0
        self.stop = False
        self.pauses = []

    def run(self):
        last = time.perf_counter()
        while not self.stop:
            self.count += 1
            now = time.perf_counter()
            if now - last > 0.005:
                self.pauses.append((last, now))
            last = now


def longest_stall_during(call):
    """The longest time another thread could run no Python code during
    call(), as a share of call()'s duration: near 1 if call() held the GIL
    throughout; a scheduling delay or two if it released it, however busy
    the machine is."""
    counter = Counter()
    counter.start()
    while counter.count == 0:
        time.sleep(0.001)
    try:
        t0 = time.perf_counter()
        call()
        t1 = time.perf_counter()
        time.sleep(0.05)  # let the counter note the pause that ends now
    finally:
        counter.stop = True
        counter.join()
    overlaps = [min(end, t1) - max(start, t0) for start, end in counter.pauses]
    return max([0.0] + overlaps) / (t1 - t0)


@pytest.mark.parametrize(
    "name,call",
    [
        ("scrypt", lambda: scrypt(b"pw", salt=b"s", dklen=32, **LONG)),
        ("derive_keys", lambda: derive_keys([(b"pw", b"s")] * 2, **LONG)),
        ("hash", lambda: PasswordHasher(**LONG).hash("pw")),
        ("verify", lambda: PasswordHasher(**LONG).verify(VERIFY_HASH[0], "pw")),
    ],
)
def test_other_threads_run_during_a_derivation(name, call):
    if name == "verify" and not VERIFY_HASH:
        VERIFY_HASH.append(PasswordHasher(**LONG).hash("pw"))
    stall = longest_stall_during(call)
    print(f"{name}: the other thread's longest stall: {stall:.2f} of the call")
    assert stall < 0.5, f"{name} seems to hold the GIL: the other thread stalled {stall:.2f}"


VERIFY_HASH: list = []


def test_measure_sees_a_held_gil():
    # The control: a C function called through ctypes.PyDLL keeps the GIL,
    # here for 300 ms, and the measure must say so.
    import ctypes

    usleep = ctypes.PyDLL(None).usleep
    stall = longest_stall_during(lambda: usleep(300000))
    print(f"control (GIL held 300 ms): stall {stall:.2f} of the call")
    assert stall > 0.9


def test_two_threads_give_both_keys():
    results = {}

    def work(i):
        results[i] = scrypt(b"pw%d" % i, salt=b"s", n=2**15, r=8, p=1, dklen=32)

    threads = [threading.Thread(target=work, args=(i,)) for i in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    for i in range(4):
        assert results[i] == hashlib.scrypt(b"pw%d" % i, salt=b"s", n=2**15, r=8, p=1, dklen=32,
                                            maxmem=2**31 - 1)


def test_event_loop_ticks_while_to_thread_derives():
    async def main():
        ticks = [time.perf_counter()]
        task = asyncio.ensure_future(
            asyncio.to_thread(scrypt, b"pw", salt=b"s", dklen=32, **LONG))
        while not task.done():
            await asyncio.sleep(0.001)
            ticks.append(time.perf_counter())
        return ticks, await task

    ticks, key = asyncio.run(main())
    assert key == hashlib.scrypt(b"pw", salt=b"s", dklen=32, maxmem=2**31 - 1, **LONG)
    # A derivation that held the GIL would stop the loop for all its time.
    longest = max(b - a for a, b in zip(ticks, ticks[1:]))
    print(f"event loop: {len(ticks)} ticks, longest pause {longest * 1e3:.1f} ms "
          f"of {(ticks[-1] - ticks[0]) * 1e3:.1f} ms")
    assert longest < 0.5 * (ticks[-1] - ticks[0])


def test_mutated_bytearray_reaches_the_library_whole():
    # One thread flips a bytearray between two values of different lengths
    # (a resize would fail while a buffer is exported); derivations from it
    # must each see one whole value, never a mix, and nothing may crash.
    a, b = b"A" * 64, b"b" * 7
    keys = {hashlib.scrypt(v, salt=v, n=16, r=1, p=1, dklen=16) for v in (a, b)}
    shared = bytearray(a)
    stop = threading.Event()
    resize_errors = []

    def mutate():
        while not stop.is_set():
            try:
                shared[:] = b if len(shared) == len(a) else a
            except BufferError as e:
                resize_errors.append(e)

    mutator = threading.Thread(target=mutate)
    mutator.start()
    seen = set()
    try:
        deadline = time.monotonic() + 1.0
        while time.monotonic() < deadline:
            k = scrypt(shared, salt=shared, n=16, r=1, p=1, dklen=16)
            seen.add(k)
            seen.update(derive_keys([(shared, shared)], n=16, r=1, p=1, dklen=16))
    finally:
        stop.set()
        mutator.join()
    assert seen <= keys, "a derivation saw a half-changed buffer"
    assert resize_errors == []


def test_derive_keys_result_unreachable_until_written():
    # While the library works, another thread walks the collector's objects
    # for a list of 16 keys: one it found then could be cleared (the library
    # would write into freed memory) or hashed half-written.  Every list it
    # finds must already hold the finished keys.
    dklen = 4099
    jobs = [(b"pw %d" % i, b"salt") for i in range(16)]
    done = threading.Event()
    snapshots = []
    scans = []

    def snoop():
        while not done.is_set():
            for o in gc.get_objects():
                if (type(o) is list and len(o) == 16
                        and all(type(b) is bytes and len(b) == dklen for b in o)):
                    snapshots.append([bytearray(b) for b in o])
            scans.append(1)

    snooper = threading.Thread(target=snoop)
    snooper.start()
    try:
        while not scans:
            time.sleep(0.001)
        keys = derive_keys(jobs, n=2**13, r=8, p=1, dklen=dklen)
    finally:
        done.set()
        snooper.join()
    expected = [hashlib.scrypt(pw, salt=s, n=2**13, r=8, p=1, dklen=dklen, maxmem=2**31 - 1)
                for pw, s in jobs]
    assert keys == expected
    assert len(scans) > 1
    assert all(snapshot == expected for snapshot in snapshots), \
        f"{len(snapshots)} lists seen, some holding unfinished keys"
