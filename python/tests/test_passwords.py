"""PasswordHasher: "$7$" strings both ways with libsodium (PyNaCl), passlib
(both forms) and libxcrypt's crypt(3), and every refusal."""

import ctypes
import ctypes.util

import pytest

from scrypt_vornik import (
    CostLimitError,
    InvalidHashError,
    PasswordHasher,
    ScryptError,
    VerifyMismatchError,
)

FAST = PasswordHasher(n=2**10, r=8, p=1)
ITOA64 = "./0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"


def test_hash_shape_and_fresh_salt():
    h = FAST.hash("correct horse")
    assert h.startswith("$7$") and len(h) == 101
    assert ITOA64.index(h[3]) == 10  # N = 2^10
    assert h != FAST.hash("correct horse")
    assert FAST.verify(h, "correct horse") is True
    assert FAST.verify(h.encode(), b"correct horse") is True


def test_wrong_password():
    h = FAST.hash(b"secret")
    # (b"secret\x00" would match: HMAC pads its key with zeros.)
    for wrong in [b"Secret", b"secre", b"secret!", b"", "secreT"]:
        with pytest.raises(VerifyMismatchError) as e:
            FAST.verify(h, wrong)
        assert isinstance(e.value, ScryptError)


@pytest.mark.parametrize("password", [b"pw\xff", bytearray(b"pw\xff"), memoryview(b"pw\xff")])
def test_password_types(password):
    h = FAST.hash(password)
    assert FAST.verify(h, b"pw\xff")


def test_encoding():
    latin = PasswordHasher(n=2**10, encoding="latin-1")
    h = latin.hash("é")
    assert latin.verify(h, b"\xe9") and FAST.verify(h, b"\xe9")
    with pytest.raises(VerifyMismatchError):
        FAST.verify(h, "é")  # UTF-8: two bytes
    with pytest.raises(LookupError):
        PasswordHasher(encoding="no-such-codec")


def test_attributes_read_only_and_checked():
    h = PasswordHasher()
    assert (h.n, h.r, h.p, h.max_memory) == (2**14, 8, 1, 2**30)
    with pytest.raises(AttributeError):
        h.n = 4  # type: ignore[misc]
    for bad in [dict(n=3), dict(n=2), dict(n=2**32), dict(r=0), dict(p=0), dict(r=2**15, p=2**15),
                dict(max_memory=-1)]:
        with pytest.raises(ValueError):
            PasswordHasher(**bad)
    for bad in [dict(n="16"), dict(r=1.0), dict(max_memory=None)]:
        with pytest.raises(TypeError):
            PasswordHasher(**bad)


class Liar(int):
    """An int that says it lies within any range."""

    def __lt__(self, other):
        return True

    __le__ = __gt__ = __ge__ = __lt__


def test_max_memory_is_checked_as_a_plain_int():
    h = FAST.hash("pw")
    for bad in [Liar(-1), Liar(2**64)]:
        with pytest.raises(ValueError):
            PasswordHasher(max_memory=bad)
    hasher = PasswordHasher(n=2**10, max_memory=Liar(2**20 - 1))
    assert type(hasher.max_memory) is int and hasher.max_memory == 2**20 - 1
    with pytest.raises(CostLimitError):
        hasher.verify(h, "pw")  # one byte short of the string's 1 MiB table
    # Below the class, nothing wraps either: -1 is not 2**64 - 1.
    from scrypt_vornik import _scrypt_vornik
    for bad in [-1, 2**64, Liar(-1)]:
        with pytest.raises(ValueError):
            _scrypt_vornik._verify_password(h, "pw", bad, "utf-8")
        with pytest.raises(ValueError):
            _scrypt_vornik._needs_rehash(h, 2**10, bad, 1)


def test_needs_rehash():
    h = FAST.hash("pw")
    assert FAST.check_needs_rehash(h) is False
    assert FAST.check_needs_rehash(h.encode()) is False
    assert PasswordHasher(n=2**11).check_needs_rehash(h) is True
    assert PasswordHasher(n=2**10, r=4).check_needs_rehash(h) is True
    assert PasswordHasher(n=2**10, p=2).check_needs_rehash(h) is True
    with pytest.raises(InvalidHashError):
        FAST.check_needs_rehash("$7$nonsense")
    for bad in [h + "\x00", h[:-1] + "\udcff", h[:-1] + "é"]:
        with pytest.raises(InvalidHashError):
            FAST.check_needs_rehash(bad)


def test_invalid_strings():
    h = FAST.hash("pw")
    bad = ["", "$7$", "garbage", "$7$C6..../....", h[:60], "$scrypt$ln=10,r=8,p=1$$",
           "$7$.6..../....salt$key", "$2b$12$" + "a" * 53,
           h[:-1] + "\udcff", "\udcff", h[:-1] + "é", h.encode()[:-1] + b"\xe9"]
    for s in bad:
        with pytest.raises(InvalidHashError) as e:
            FAST.verify(s, "pw")
        assert isinstance(e.value, ValueError) and isinstance(e.value, ScryptError)
    # A zero byte would end the string early in C; after it, anything goes.
    for s in [h + "\x00", h + "\x00junk", h[:20] + "\x00" + h[20:]]:
        for form in [s, s.encode()]:
            with pytest.raises(InvalidHashError):
                FAST.verify(form, "pw")
    with pytest.raises(TypeError):
        FAST.verify(None, "pw")  # type: ignore[arg-type]


def with_n_char(h: str, ch: str) -> str:
    return h[:3] + ch + h[4:]


def test_cost_limit():
    h = FAST.hash("pw")
    # N = 2^40 in the string: refused, not attempted.
    hostile = with_n_char(h, ITOA64[40])
    with pytest.raises(CostLimitError) as e:
        PasswordHasher().verify(hostile, "pw")
    assert not isinstance(e.value, ValueError)
    with pytest.raises(CostLimitError):
        PasswordHasher().verify("$scrypt$ln=40,r=8,p=1$c2FsdA$" + "A" * 43, "pw")
    # A string just over a hasher's own bound.
    small = PasswordHasher(n=2**10, max_memory=2**10 * 128 * 8 - 1)
    with pytest.raises(CostLimitError):
        small.verify(h, "pw")
    assert PasswordHasher(n=2**10, max_memory=2**10 * 128 * 8).verify(h, "pw")


def test_max_memory_beyond_the_machine_is_memory_error():
    # Within the hasher's bound, yet more than the address space holds.
    hostile = "$7$" + ITOA64[31] + "/V..../...." + "salt" + "$" + "A" * 43
    with pytest.raises(MemoryError):
        PasswordHasher(max_memory=2**64 - 1).verify(hostile, "pw")
    with pytest.raises(MemoryError):
        PasswordHasher(n=2**31, r=1023).hash("pw")


# libsodium, through PyNaCl

nacl_scrypt = pytest.importorskip("nacl.pwhash.scrypt", reason="PyNaCl missing (python3-nacl)")


def test_nacl_both_ways():
    hasher = PasswordHasher()  # n=2^14, r=8, p=1: libsodium's interactive cost
    theirs = nacl_scrypt.str(b"pw", nacl_scrypt.OPSLIMIT_INTERACTIVE,
                             nacl_scrypt.MEMLIMIT_INTERACTIVE).decode()
    assert hasher.verify(theirs, b"pw")
    with pytest.raises(VerifyMismatchError):
        hasher.verify(theirs, b"pW")
    assert hasher.check_needs_rehash(theirs) is False
    ours = hasher.hash(b"pw")
    assert nacl_scrypt.verify(ours.encode(), b"pw")
    with pytest.raises(Exception):
        nacl_scrypt.verify(ours.encode(), b"pW")


# passlib: "$7$" and its default PHC "$scrypt$" form

passlib_hash = pytest.importorskip("passlib.hash", reason="passlib missing (python3-passlib)")


@pytest.mark.parametrize("ident", ["$7$", "$scrypt$"])
def test_passlib_both_ways(ident):
    theirs_handler = passlib_hash.scrypt.using(rounds=10, block_size=8, parallelism=1, ident=ident)
    theirs = theirs_handler.hash("pässword")
    assert theirs.startswith(ident)
    assert FAST.verify(theirs, "pässword")
    with pytest.raises(VerifyMismatchError):
        FAST.verify(theirs, "password")
    assert FAST.check_needs_rehash(theirs) is True  # another salt length or form
    ours = FAST.hash("pässword")
    assert passlib_hash.scrypt.verify("pässword", ours)
    assert not passlib_hash.scrypt.verify("password", ours)


def test_passlib_odd_parameters():
    theirs = passlib_hash.scrypt.using(rounds=5, block_size=3, parallelism=5).hash("x")
    assert PasswordHasher(n=2**5, r=3, p=5).verify(theirs, "x")


# libxcrypt's crypt(3)


def _libcrypt():
    try:
        lib = ctypes.CDLL("libcrypt.so.1")
        lib.crypt.restype = ctypes.c_char_p
        lib.crypt.argtypes = [ctypes.c_char_p, ctypes.c_char_p]
        lib.crypt_gensalt.restype = ctypes.c_char_p
        lib.crypt_gensalt.argtypes = [ctypes.c_char_p, ctypes.c_ulong, ctypes.c_char_p, ctypes.c_int]
        return lib
    except (OSError, AttributeError):
        return None


def test_crypt3_both_ways():
    lib = _libcrypt()
    if lib is None:
        pytest.skip("libcrypt.so.1 with crypt_gensalt not found (libcrypt1)")
    ours = PasswordHasher().hash("open sesame")
    assert lib.crypt(b"open sesame", ours.encode()) == ours.encode()
    assert lib.crypt(b"open sesamE", ours.encode()) != ours.encode()
    setting = lib.crypt_gensalt(b"$7$", 0, None, 0)
    if setting is None:
        pytest.skip("this libcrypt writes no $7$ settings")
    theirs = lib.crypt(b"open sesame", setting).decode()
    assert theirs.startswith("$7$")
    assert PasswordHasher().verify(theirs, "open sesame")
    with pytest.raises(VerifyMismatchError):
        PasswordHasher().verify(theirs, "open sesamE")
