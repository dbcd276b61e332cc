from collections.abc import Iterable
from typing import Literal, Optional, Union

from _typeshed import ReadableBuffer

_Input = Union[str, ReadableBuffer]

__version__: str

class ScryptError(Exception): ...
class VerifyMismatchError(ScryptError): ...
class InvalidHashError(ScryptError, ValueError): ...
class CostLimitError(ScryptError): ...

def scrypt(
    password: _Input,
    *,
    salt: _Input,
    n: int,
    r: int,
    p: int,
    maxmem: int = 0,
    dklen: int = 64,
) -> bytes: ...
def derive_keys(
    jobs: Iterable[tuple[_Input, _Input]],
    *,
    n: int,
    r: int,
    p: int,
    dklen: int = 64,
    max_memory: Optional[int] = None,
) -> list[bytes]: ...
def _check_params(n: int, r: int, p: int, /) -> None: ...
def _hash_password(password: _Input, n: int, r: int, p: int, encoding: str, /) -> str: ...
def _verify_password(
    hash: Union[str, bytes], password: _Input, max_memory: int, encoding: str, /
) -> Literal[True]: ...
def _needs_rehash(hash: Union[str, bytes], n: int, r: int, p: int, /) -> bool: ...
