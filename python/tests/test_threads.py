"""The GIL is released while the library works: other threads run Python
code meanwhile, event loops stay responsive under asyncio.to_thread, and a
buffer mutated by another thread never reaches the library half-changed."""

import asyncio
import hashlib
import threading
import time

import pytest

from scrypt_vornik import PasswordHasher, derive_keys, scrypt

# About 128 MiB and a few hundred milliseconds per derivation.
LONG = dict(n=2**17, r=8, p=1)


class Counter(threading.Thread):
    """Counts as fast as Python code can while it runs."""

    def __init__(self):
        super().__init__(daemon=True)
        self.count = 0
        self.stop = False

    def run(self):
        while not self.stop:
            self.count += 1


def progress_during(call):
    """The counter's progress during call(), as a share of what it makes
    in the same time while this thread sleeps: near 0 if call() held the
    GIL throughout, near 1 (or more, with the GIL all to itself) if not."""
    counter = Counter()
    counter.start()
    while counter.count == 0:
        time.sleep(0.001)
    try:
        t0, c0 = time.perf_counter(), counter.count
        call()
        t1, c1 = time.perf_counter(), counter.count
        time.sleep(t1 - t0)  # the same time again, this thread idle
        t2, c2 = time.perf_counter(), counter.count
    finally:
        counter.stop = True
        counter.join()
    return ((c1 - c0) / (t1 - t0)) / ((c2 - c1) / (t2 - t1))


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
    # A held GIL would let the counter run only for the switch interval
    # (5 ms) of a call of some 300 ms: a share of 0.02 at most.
    share = progress_during(call)
    print(f"{name}: counter progress during the call: {share:.2f} of its idle-time rate")
    assert share > 0.25, f"{name} seems to hold the GIL: share {share:.2f}"


VERIFY_HASH: list = []


def test_measure_sees_a_held_gil():
    # The control: a C function called through ctypes.PyDLL keeps the GIL,
    # here for 300 ms, and the measure must say so.
    import ctypes

    usleep = ctypes.PyDLL(None).usleep
    share = progress_during(lambda: usleep(300000))
    print(f"control (GIL held 300 ms): {share:.2f}")
    assert share < 0.25


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
        ticks = 0
        task = asyncio.ensure_future(
            asyncio.to_thread(scrypt, b"pw", salt=b"s", dklen=32, **LONG))
        while not task.done():
            ticks += 1
            await asyncio.sleep(0.001)
        return ticks, await task

    ticks, key = asyncio.run(main())
    assert key == hashlib.scrypt(b"pw", salt=b"s", dklen=32, maxmem=2**31 - 1, **LONG)
    # A derivation of some 300 ms that held the GIL would leave the loop one
    # or two ticks.
    assert ticks >= 20, ticks


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
