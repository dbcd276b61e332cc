"""scrypt() and derive_keys(): keys, argument types and errors, with
hashlib.scrypt (OpenSSL) as the oracle."""

import array
import hashlib

import pytest

import scrypt_vornik
from scrypt_vornik import derive_keys, scrypt

# hashlib's maxmem=0 means OpenSSL's 32 MiB; give it room for every case.
ROOM = 2**31 - 1

# password, salt, n, r, p, dklen: odd r and p, awkward lengths, empty inputs.
KEY_CASES = [
    (b"", b"", 16, 1, 1, 64),
    (b"password", b"NaCl", 1024, 8, 16, 64),
    (b"pleaseletmein", b"SodiumChloride", 2**14, 8, 1, 64),
    (b"x", b"y", 32, 3, 5, 1),
    (b"\x00\xff" * 40, b"salt", 64, 7, 3, 31),
    (b"p" * 200, b"s" * 300, 128, 5, 2, 33),
    (b"pw", b"", 256, 1, 7, 65),
    (b"", b"some salt", 16, 9, 1, 1000),
    (bytes(range(256)), bytes(range(255, -1, -1)), 8, 2, 2, 1000),
]


@pytest.mark.parametrize("password,salt,n,r,p,dklen", KEY_CASES)
def test_keys_equal_hashlib(password, salt, n, r, p, dklen):
    expected = hashlib.scrypt(password, salt=salt, n=n, r=r, p=p, dklen=dklen, maxmem=ROOM)
    assert scrypt(password, salt=salt, n=n, r=r, p=p, dklen=dklen) == expected


def test_default_dklen_and_positional_password():
    assert scrypt(password=b"pw", salt=b"s", n=16, r=1, p=1) == hashlib.scrypt(
        b"pw", salt=b"s", n=16, r=1, p=1
    )
    assert len(scrypt(b"pw", salt=b"s", n=16, r=1, p=1)) == 64


PW = "pässwörd ✓"


@pytest.mark.parametrize(
    "value",
    [
        PW.encode(),
        bytearray(PW.encode()),
        memoryview(PW.encode()),
        memoryview(b"junk" + PW.encode() + b"junk")[4:-4],
        array.array("B", PW.encode()),
        PW,  # str: UTF-8
    ],
    ids=["bytes", "bytearray", "memoryview", "memoryview-slice", "array-B", "str"],
)
def test_argument_types(value):
    expected = hashlib.scrypt(PW.encode(), salt=PW.encode(), n=16, r=2, p=1)
    assert scrypt(value, salt=value, n=16, r=2, p=1) == expected


def test_wide_array_is_its_bytes():
    # An array of 4-byte items is taken as its raw bytes, as hashlib takes it.
    a = array.array("I", [1, 2, 0xDEADBEEF])
    assert scrypt(a, salt=a, n=16, r=1, p=1) == hashlib.scrypt(a, salt=a, n=16, r=1, p=1)


def test_non_contiguous_memoryview_refused_as_hashlib():
    strided = memoryview(b"abcdefgh")[::2]
    with pytest.raises(BufferError):
        hashlib.scrypt(strided, salt=b"s", n=16, r=1, p=1)
    with pytest.raises(BufferError):
        scrypt(strided, salt=b"s", n=16, r=1, p=1)
    with pytest.raises(BufferError):
        scrypt(b"pw", salt=strided, n=16, r=1, p=1)


@pytest.mark.parametrize("value", [None, 12, 1.5, ["p"], object()])
def test_non_buffers_are_type_errors(value):
    with pytest.raises(TypeError):
        scrypt(value, salt=b"s", n=16, r=1, p=1)
    with pytest.raises(TypeError):
        scrypt(b"pw", salt=value, n=16, r=1, p=1)


def test_str_that_is_not_utf8_encodable():
    with pytest.raises(UnicodeEncodeError):
        scrypt("\udc80", salt=b"s", n=16, r=1, p=1)


class Index:
    """An integer-like object (as numpy's integers are): __index__ only."""

    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value

    def __repr__(self):
        return f"Index({self.value})"


# Keyword sets that hashlib refuses, each with the exception it raises; ours
# must raise the same class.  The base is n=16, r=1, p=1.
BAD = [
    dict(n=3),
    dict(n=1),
    dict(n=0),
    dict(n=-2),
    dict(n=2.0),
    dict(n=2**70),
    dict(n=True),
    dict(n=2**16),  # RFC 7914: n < 2**(16*r)
    dict(n=2**32, r=8),
    dict(r=0),
    dict(r=-1),
    dict(r=1.0),
    dict(r=2**40),
    dict(p=0),
    dict(p=-1),
    dict(p=2**30),
    dict(r=2**15, p=2**15),
    dict(dklen=0),
    dict(dklen=-1),
    dict(dklen=2.0),
    dict(n=Index(16)),
    dict(r=Index(1)),
    dict(dklen=2**70),
    dict(dklen=Index(-1)),
    dict(dklen="1"),
    dict(maxmem=-1),
    dict(maxmem=1.0),
    dict(maxmem=2**70),
    dict(maxmem=Index(-1)),
    dict(maxmem=True),
    dict(n=2**14, r=8, maxmem=128 * 8 * (2**14 + 2) + 128 * 8 - 1),
    dict(n=1024, r=8, p=2, maxmem=128 * 8 * (1024 + 2) + 128 * 8 * 2 - 1),
    dict(n=None),
    dict(salt=None),
]


def _call(f, kwargs):
    args = dict(salt=b"s", n=16, r=1, p=1)
    args.update(kwargs)
    args = {k: v for k, v in args.items() if v is not None}
    return f(b"pw", **args)


@pytest.mark.parametrize("kwargs", BAD, ids=[repr(k) for k in BAD])
def test_errors_as_hashlib(kwargs):
    with pytest.raises((TypeError, ValueError, OverflowError)) as theirs:
        _call(hashlib.scrypt, kwargs)
    with pytest.raises(theirs.type):
        _call(scrypt, kwargs)


@pytest.mark.parametrize(
    "kwargs",
    [
        dict(n=2**14, r=8, maxmem=128 * 8 * (2**14 + 2) + 128 * 8),
        dict(n=1024, r=8, p=2, maxmem=128 * 8 * (1024 + 2) + 128 * 8 * 2),
        dict(n=2**15, r=1),
        dict(dklen=Index(33), maxmem=Index(128 * (16 + 2) + 128)),
        dict(dklen=True, r=True, p=True),
    ],
    ids=repr,
)
def test_memory_bound_admits_what_hashlib_admits(kwargs):
    assert _call(scrypt, kwargs) == _call(hashlib.scrypt, kwargs)


def test_maxmem_zero_means_no_bound():
    # hashlib's 0 is OpenSSL's 32 MiB, which a 64 MiB table exceeds.
    with pytest.raises(ValueError):
        hashlib.scrypt(b"pw", salt=b"s", n=2**16, r=8, p=1)
    key = scrypt(b"pw", salt=b"s", n=2**16, r=8, p=1, dklen=32)
    assert key == hashlib.scrypt(b"pw", salt=b"s", n=2**16, r=8, p=1, dklen=32, maxmem=ROOM)
    # And a bound past OpenSSL's int is a bound like any other.
    assert scrypt(b"pw", salt=b"s", n=16, r=1, p=1, maxmem=2**40) == _call(hashlib.scrypt, {})


def test_unobtainable_memory_is_memory_error():
    # A 256 TiB table: more than the address space holds.
    with pytest.raises(MemoryError):
        scrypt(b"pw", salt=b"s", n=2**31, r=1023, p=1)
    with pytest.raises(MemoryError):
        derive_keys([(b"pw", b"s")], n=2**31, r=1023, p=1)


# derive_keys: the batch entry point, lanes included.


@pytest.mark.parametrize(
    "n,r,p,dklen,count,max_memory",
    [
        (16, 1, 1, 64, 16, None),  # 16 tables side by side
        (64, 3, 5, 33, 7, None),  # odd r, p and count
        (1024, 8, 1, 32, 17, None),  # more jobs than lanes
        (256, 2, 3, 65, 5, 256 * 128 * 2 * 2),  # room for 2 tables only
        (128, 1, 2, 1, 3, 128 * 128),  # one table: job by job
        (2**14, 8, 1, 32, 3, None),
    ],
)
def test_derive_keys_equals_scrypt(n, r, p, dklen, count, max_memory):
    jobs = [(b"password %d" % i, ("salt %d" % (i * 7)) * (i % 3)) for i in range(count)]
    keys = derive_keys(jobs, n=n, r=r, p=p, dklen=dklen, max_memory=max_memory)
    assert keys == [
        hashlib.scrypt(pw, salt=s.encode(), n=n, r=r, p=p, dklen=dklen, maxmem=ROOM)
        for pw, s in jobs
    ]
    assert len(set(keys)) == count


def test_derive_keys_takes_any_iterable_and_input_type():
    def jobs():
        yield (bytearray(b"a"), memoryview(b"b"))
        yield ["c", array.array("B", b"d")]

    keys = derive_keys(jobs(), n=16, r=1, p=1)
    assert keys == [scrypt(b"a", salt=b"b", n=16, r=1, p=1), scrypt(b"c", salt=b"d", n=16, r=1, p=1)]
    assert derive_keys([], n=16, r=1, p=1) == []


class Boom(Exception):
    pass


class Job:
    """A (password, salt) sequence whose __len__ or __getitem__ raises."""

    def __init__(self, len_error=None, item_error=None):
        self.len_error, self.item_error = len_error, item_error

    def __len__(self):
        if self.len_error:
            raise self.len_error
        return 2

    def __getitem__(self, i):
        if self.item_error:
            raise self.item_error
        return (b"pw", b"s")[i]


@pytest.mark.parametrize(
    "jobs,kwargs,error",
    [
        # A job's own exception goes through; only not being a sequence is
        # this module's TypeError.
        ([Job(len_error=Boom)], {}, Boom),
        ([Job(len_error=KeyboardInterrupt)], {}, KeyboardInterrupt),
        ([Job(len_error=MemoryError)], {}, MemoryError),
        ([Job(item_error=Boom)], {}, Boom),
        ([(b"a", b"b")], dict(n=3), ValueError),
        ([(b"a", b"b")], dict(n=2**32), ValueError),
        ([(b"a", b"b")], dict(r=0), ValueError),
        ([(b"a", b"b")], dict(p=-1), ValueError),
        ([(b"a", b"b")], dict(r=2**15, p=2**15), ValueError),
        ([(b"a", b"b")], dict(dklen=0), ValueError),
        ([(b"a", b"b")], dict(max_memory=16 * 128 - 1), ValueError),
        ([(b"a", b"b")], dict(n=None), TypeError),
        ([(b"a", b"b")], dict(n=16.0), TypeError),
        ([b"ab"], {}, TypeError),
        (["ab"], {}, TypeError),
        ([(b"a",)], {}, TypeError),
        ([(b"a", b"b", b"c")], {}, TypeError),
        ([(b"a", None)], {}, TypeError),
        (5, {}, TypeError),
    ],
)
def test_derive_keys_errors(jobs, kwargs, error):
    args = dict(n=16, r=1, p=1)
    args.update(kwargs)
    with pytest.raises(error):
        derive_keys(jobs, **{k: v for k, v in args.items() if v is not None})


def test_derive_keys_parameters_checked_before_jobs_are_read():
    consumed = []

    def jobs():
        consumed.append(1)
        yield (b"a", b"b")

    with pytest.raises(ValueError):
        derive_keys(jobs(), n=2**40, r=8, p=1)
    assert consumed == []


def test_version_is_the_library_version(source_dir):
    import re

    with open(f"{source_dir}/lib/include/scrypt-vornik.h") as f:
        version = re.search(r'VERSION_STRING "([^"]+)"', f.read()).group(1)
    assert scrypt_vornik.__version__ == version


def test_wiping_leaves_shared_objects_alone():
    # The module wipes the bytes it encodes a str into, but the encoding of a
    # one-character str is the interpreter's shared one-byte object.
    for ch in ["c", "é", ""]:
        expected = hashlib.scrypt(ch.encode(), salt=ch.encode(), n=16, r=1, p=1)
        assert scrypt(ch, salt=ch, n=16, r=1, p=1) == expected
        assert derive_keys([(ch, ch)], n=16, r=1, p=1) == [expected]
        assert ch.encode() == bytes(ch.encode())
    assert b"c"[0] == 0x63 and "c".encode() == bytes([0x63])


@pytest.mark.parametrize("password,salt,n,r,p,dklen", KEY_CASES[1:6])
def test_keys_equal_other_peers(password, salt, n, r, p, dklen):
    ours = scrypt(password, salt=salt, n=n, r=r, p=p, dklen=dklen)
    checked = 0
    try:
        import scrypt as py_scrypt  # py-scrypt, over Tarsnap's code
    except ImportError:
        py_scrypt = None
    if py_scrypt is not None:
        assert ours == py_scrypt.hash(password, salt, N=n, r=r, p=p, buflen=dklen)
        checked += 1
    try:
        from cryptography.hazmat.primitives.kdf.scrypt import Scrypt
    except ImportError:
        Scrypt = None
    if Scrypt is not None and salt:
        assert ours == Scrypt(salt=salt, length=dklen, n=n, r=r, p=p).derive(password)
        checked += 1
    if checked == 0:
        pytest.skip("neither py-scrypt nor cryptography installed (python3-scrypt python3-cryptography)")
