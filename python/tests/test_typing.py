"""The package's annotations (py.typed, the extension's stub) let a host
using the whole API pass mypy --strict, and catch a misuse."""

import os
import subprocess
import sys

import pytest

from conftest import SOURCE_DIR

PYTHON_DIR = os.path.join(SOURCE_DIR, "python")
HOST = os.path.join(PYTHON_DIR, "examples", "host.py")


def mypy(path, tmp_path):
    try:
        import mypy  # noqa: F401
    except ImportError:
        pytest.skip("mypy missing (python3-mypy)")
    env = dict(os.environ, MYPYPATH=PYTHON_DIR)
    env.pop("PYTHONPATH", None)
    return subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--no-incremental",
         "--cache-dir", str(tmp_path / "cache"), path],
        env=env, capture_output=True, text=True, timeout=300)


def test_host_passes_mypy_strict(tmp_path):
    result = mypy(HOST, tmp_path)
    assert result.returncode == 0, result.stdout + result.stderr


def test_mypy_catches_misuse(tmp_path):
    bad = tmp_path / "bad.py"
    bad.write_text(
        "import scrypt_vornik\n"
        "k: str = scrypt_vornik.scrypt(b'pw', salt=b's', n=16, r=1, p=1)\n"
        "scrypt_vornik.scrypt(12, salt=b's', n=16, r=1, p=1)\n"
        "scrypt_vornik.derive_keys([(b'a', b'b')], n=16, r=1)\n"
        "scrypt_vornik.PasswordHasher().n = 3\n")
    result = mypy(str(bad), tmp_path)
    assert result.returncode == 1
    for line in (2, 3, 4, 5):
        assert f"bad.py:{line}: error" in result.stdout, result.stdout


def test_host_runs():
    import scrypt_vornik

    # The package under test, wherever this run imports it from.
    here = os.path.dirname(os.path.dirname(os.path.abspath(scrypt_vornik.__file__)))
    env = dict(os.environ, PYTHONPATH=here)
    result = subprocess.run([sys.executable, HOST], capture_output=True, text=True, timeout=120,
                            env=env)
    assert result.returncode == 0, result.stderr
    assert "fdbabe1c9d3472007856e7190d01e9fe" in result.stdout  # RFC 7914's second vector
    assert "password strings: True" in result.stdout


def test_public_names_documented_and_scrypt_signature_is_hashlibs():
    import hashlib
    import inspect

    import scrypt_vornik

    for name in scrypt_vornik.__all__:
        obj = getattr(scrypt_vornik, name)
        if name != "__version__":
            assert obj.__doc__ and obj.__doc__ != Exception.__doc__, name
    for name in ["hash", "verify", "check_needs_rehash", "n", "r", "p", "max_memory"]:
        assert getattr(scrypt_vornik.PasswordHasher, name).__doc__, name

    def shape(f):
        return [(p.name, p.kind) for p in inspect.signature(f).parameters.values()]

    assert shape(scrypt_vornik.scrypt) == shape(hashlib.scrypt)
