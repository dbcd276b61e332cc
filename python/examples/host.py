"""A host program that uses the whole of scrypt_vornik's API: keys, a batch,
password strings, threads and every error.  It type-checks with
`python3 -m mypy --strict` and runs with the package importable."""

from __future__ import annotations

import asyncio

import scrypt_vornik
from scrypt_vornik import (
    CostLimitError,
    InvalidHashError,
    PasswordHasher,
    ScryptError,
    VerifyMismatchError,
    derive_keys,
    scrypt,
)


def keys() -> list[bytes]:
    key: bytes = scrypt(b"password", salt=b"NaCl", n=1024, r=8, p=16)
    from_str = scrypt("pässword", salt="salt", n=2**14, r=8, p=1, maxmem=2**25, dklen=32)
    from_buffers = scrypt(bytearray(b"pw"), salt=memoryview(b"salt"), n=16, r=1, p=1)
    batch: list[bytes] = derive_keys(
        [(b"alice", b"salt-a"), ("bob", bytearray(b"salt-b"))],
        n=2**14,
        r=8,
        p=1,
        dklen=32,
        max_memory=None,
    )
    return [key, from_str, from_buffers, *batch]


def passwords() -> bool:
    hasher = PasswordHasher(n=2**14, r=8, p=1, max_memory=2**30, encoding="utf-8")
    sizes: tuple[int, int, int, int] = (hasher.n, hasher.r, hasher.p, hasher.max_memory)
    assert sizes == (2**14, 8, 1, 2**30)
    password = bytearray(b"correct horse")
    stored: str = hasher.hash(password)
    ok: bool = hasher.verify(stored, password)
    password[:] = bytes(len(password))  # the caller clears its own copy
    try:
        hasher.verify(stored.encode(), "wrong")
    except VerifyMismatchError:
        pass
    for bad in ["$7$garbage", stored + "\0"]:
        try:
            hasher.verify(bad, "pw")
        except InvalidHashError as e:
            assert isinstance(e, ValueError)
    try:
        hasher.verify("$7$c6..../....salt$" + "A" * 43, "pw")
    except CostLimitError:
        pass
    except ScryptError:
        raise
    return ok and not hasher.check_needs_rehash(stored)


async def in_a_thread() -> bytes:
    return await asyncio.to_thread(scrypt, b"pw", salt=b"salt", n=2**14, r=8, p=1)


def main() -> None:
    print("scrypt_vornik", scrypt_vornik.__version__)
    print(keys()[0].hex())
    print("password strings:", passwords())
    print("to_thread:", len(asyncio.run(in_a_thread())))


if __name__ == "__main__":
    main()
