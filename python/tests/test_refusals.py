"""Refusals cost nothing: a hostile string or out-of-range parameters are
refused before anything is allocated, so many refusals leave the resident
size and Python's heap where they were."""

import tracemalloc

import pytest
from conftest import rss_bytes

from scrypt_vornik import CostLimitError, InvalidHashError, PasswordHasher, derive_keys, scrypt

GOOD = PasswordHasher(n=2**10).hash("pw")
HOSTILE = [
    GOOD[:3] + "c" + GOOD[4:],  # N = 2^40
    GOOD[:3] + "Z" + GOOD[4:],  # N = 2^37
    GOOD[:4] + "zzzzz" + GOOD[9:],  # r near 2^30
    "$scrypt$ln=40,r=8,p=1$c2FsdA$" + "A" * 43,
    "$scrypt$ln=20,r=8,p=1000000$c2FsdA$" + "A" * 43,
]


def refusals(count):
    hasher = PasswordHasher()
    for i in range(count):
        s = HOSTILE[i % len(HOSTILE)]
        try:
            hasher.verify(s, b"pw")
        except CostLimitError:
            pass
        try:
            hasher.verify(s + "\x00", b"pw")
        except InvalidHashError:
            pass
        try:
            scrypt(b"pw", salt=b"s", n=2**40, r=8, p=1)
        except ValueError:
            pass
        try:
            derive_keys([(b"pw", b"s")], n=2**20, r=8, p=1, max_memory=2**20)
        except ValueError:
            pass


def test_hostile_strings_are_cost_limit_errors():
    for s in HOSTILE:
        with pytest.raises(CostLimitError):
            PasswordHasher().verify(s, "pw")


def test_resident_size_stays_flat_over_20000_refusals():
    refusals(1000)  # warm up: whatever is allocated once
    before = rss_bytes()
    refusals(20000)
    grown = rss_bytes() - before
    print(f"resident size grew by {grown} bytes over 20,000 rounds of refusals")
    # One derivation of a hostile string would take 128 TiB; even a 1 MiB
    # buffer kept per refusal would show as gigabytes.
    assert grown < 1 << 20


def test_python_heap_stays_flat_over_refusals():
    refusals(200)
    tracemalloc.start()
    try:
        before = tracemalloc.get_traced_memory()[0]
        refusals(5000)
        after, peak = tracemalloc.get_traced_memory()
    finally:
        tracemalloc.stop()
    print(f"Python heap: {after - before} bytes kept, peak {peak - before} bytes")
    assert after - before < 16 << 10
    assert peak - before < 256 << 10
