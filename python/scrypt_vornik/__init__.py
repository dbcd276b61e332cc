"""scrypt (RFC 7914) key derivation and password strings, from the
scrypt-vornik library.

scrypt() derives one key (hashlib.scrypt's signature), derive_keys() a batch
with the same costs side by side, and PasswordHasher writes and checks
"$7$" password strings.  Every derivation, hash and verify runs with the GIL
released, so threads derive in parallel and asyncio.to_thread() serves an
event loop.
"""

from __future__ import annotations

import operator
from typing import TYPE_CHECKING, Literal, Union

from ._scrypt_vornik import (
    CostLimitError,
    InvalidHashError,
    ScryptError,
    VerifyMismatchError,
    __version__,
    _check_params,
    _hash_password,
    _needs_rehash,
    _verify_password,
    derive_keys,
    scrypt,
)

__all__ = [
    "CostLimitError",
    "InvalidHashError",
    "PasswordHasher",
    "ScryptError",
    "VerifyMismatchError",
    "__version__",
    "derive_keys",
    "scrypt",
]

if TYPE_CHECKING:
    from _typeshed import ReadableBuffer

# A password: str (encoded with the hasher's encoding) or any bytes-like object.
_Secret = Union[str, "ReadableBuffer"]


class PasswordHasher:
    """Writes and checks scrypt password strings.

    hash() writes "$7$" strings of libsodium's shape (32 random salt bytes),
    which libsodium, crypt(3) and passlib read; verify() reads those and
    passlib's "$scrypt$" (PHC) strings.  n is a power of 2 from 4 to 2**31,
    r and p at least 1 with r*p < 2**30; the default, n=2**14, r=8, p=1,
    takes 16 MiB and tens of milliseconds.  max_memory bounds what a stored
    string may cost verify() (its table, n*128*r bytes, and its work,
    n*r*p <= max_memory/128) before anything is allocated; 0 means the
    library's default, 1 GiB.  A str password is encoded with `encoding`.
    """

    __slots__ = ("_n", "_r", "_p", "_max_memory", "_encoding")

    def __init__(
        self,
        n: int = 2**14,
        r: int = 8,
        p: int = 1,
        *,
        max_memory: int = 2**30,
        encoding: str = "utf-8",
    ) -> None:
        _check_params(n, r, p)
        if isinstance(max_memory, bool) or not hasattr(type(max_memory), "__index__"):
            raise TypeError("max_memory must be int")
        # Plain ints from here on: an int subclass could lie in comparisons.
        max_memory = int(operator.index(max_memory))
        if not 0 <= max_memory < 2**64:
            raise ValueError("max_memory must be from 0 to 2**64 - 1")
        "".encode(encoding)  # LookupError now for an unknown encoding
        self._n = int(operator.index(n))
        self._r = int(operator.index(r))
        self._p = int(operator.index(p))
        self._max_memory = max_memory
        self._encoding = encoding

    @property
    def n(self) -> int:
        """The CPU/memory cost N of new strings."""
        return self._n

    @property
    def r(self) -> int:
        """The block size r of new strings."""
        return self._r

    @property
    def p(self) -> int:
        """The parallelism p of new strings."""
        return self._p

    @property
    def max_memory(self) -> int:
        """The most a stored string may cost verify(), in bytes."""
        return self._max_memory

    def __repr__(self) -> str:
        return (
            f"PasswordHasher(n={self._n}, r={self._r}, p={self._p}, "
            f"max_memory={self._max_memory}, encoding={self._encoding!r})"
        )

    def hash(self, password: _Secret) -> str:
        """The "$7$" string of password with a fresh random salt.

        OSError when no randomness can be had, MemoryError when the
        derivation's memory cannot.
        """
        return _hash_password(password, self._n, self._r, self._p, self._encoding)

    def verify(self, hash: Union[str, bytes], password: _Secret) -> Literal[True]:
        """True when password matches the stored string hash.

        Raises VerifyMismatchError for a wrong password, InvalidHashError
        for a string it cannot read (a zero byte or a non-ASCII character
        included), CostLimitError
        for one that costs more than max_memory (refused before anything is
        allocated).  The key is compared in constant time.
        """
        return _verify_password(hash, password, self._max_memory, self._encoding)

    def check_needs_rehash(self, hash: Union[str, bytes]) -> bool:
        """True unless hash is a "$7$" string of this hasher's n, r, p and
        salt length, as hash() writes them; InvalidHashError when it cannot
        be read.  Computes nothing."""
        return _needs_rehash(hash, self._n, self._r, self._p)
