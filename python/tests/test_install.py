"""The package as a person installs it: a fresh venv made from
/usr/bin/python3, pip install ./python with no build isolation and no
network, then a derivation from the installed package; and a wheel from
python -m build, one abi3 wheel for every CPython from 3.11."""

import hashlib
import os
import subprocess
import sys
import zipfile

import pytest

from conftest import SOURCE_DIR

PYTHON_DIR = os.path.join(SOURCE_DIR, "python")
SYSTEM_PYTHON = "/usr/bin/python3"

CHECK = (
    "import hashlib, scrypt_vornik as s\n"
    "k = s.scrypt(b'password', salt=b'NaCl', n=1024, r=8, p=16)\n"
    "assert k == hashlib.scrypt(b'password', salt=b'NaCl', n=1024, r=8, p=16)\n"
    "h = s.PasswordHasher(n=2**10)\n"
    "assert h.verify(h.hash('pw'), 'pw')\n"
    "print(s.__file__)\n"
    "print(k.hex())\n"
)


def clean_env():
    env = {k: v for k, v in os.environ.items() if not k.startswith("PYTHON")}
    env["PIP_NO_INDEX"] = "1"  # nothing is downloaded
    env["PIP_DISABLE_PIP_VERSION_CHECK"] = "1"
    return env


def run(cmd, **kw):
    result = subprocess.run(cmd, capture_output=True, text=True, env=clean_env(), timeout=600, **kw)
    assert result.returncode == 0, f"{cmd}:\n{result.stdout}\n{result.stderr}"
    return result


def test_pip_install_in_fresh_venv(tmp_path):
    if not os.path.exists(SYSTEM_PYTHON):
        pytest.skip(f"{SYSTEM_PYTHON} not found")
    probe = subprocess.run([SYSTEM_PYTHON, "-c", "import venv, ensurepip"], capture_output=True)
    if probe.returncode != 0:
        pytest.skip("venv or ensurepip missing (python3-venv)")
    venv = tmp_path / "venv"
    run([SYSTEM_PYTHON, "-m", "venv", "--system-site-packages", str(venv)])
    python = str(venv / "bin" / "python")
    run([python, "-m", "pip", "install", "--no-build-isolation", PYTHON_DIR], cwd=tmp_path)
    result = run([python, "-c", CHECK], cwd=tmp_path)
    where, key = result.stdout.split()
    assert where.startswith(str(venv)), where
    assert key.startswith("fdbabe1c9d3472007856e7190d01e9fe")
    # py.typed and the stub are installed beside the module.
    package = os.path.dirname(where)
    assert {"py.typed", "_scrypt_vornik.pyi"} <= set(os.listdir(package))


def test_wheel_is_abi3(tmp_path):
    probe = subprocess.run([SYSTEM_PYTHON, "-c", "import build, wheel"], capture_output=True)
    if probe.returncode != 0:
        pytest.skip("build or wheel missing (python3-build python3-wheel)")
    run([SYSTEM_PYTHON, "-m", "build", "--no-isolation", "--wheel", "--outdir", str(tmp_path),
         PYTHON_DIR])
    wheels = [f for f in os.listdir(tmp_path) if f.endswith(".whl")]
    assert len(wheels) == 1, wheels
    assert "-cp311-abi3-" in wheels[0], wheels[0]
    names = zipfile.ZipFile(tmp_path / wheels[0]).namelist()
    assert "scrypt_vornik/py.typed" in names
    assert "scrypt_vornik/_scrypt_vornik.abi3.so" in names
    # The wheel alone serves a venv that sees nothing of the system's packages.
    probe = subprocess.run([SYSTEM_PYTHON, "-c", "import venv, ensurepip"], capture_output=True)
    if probe.returncode != 0:
        pytest.skip("venv or ensurepip missing (python3-venv): wheel not installed")
    venv = tmp_path / "bare"
    run([SYSTEM_PYTHON, "-m", "venv", str(venv)])
    python = str(venv / "bin" / "python")
    run([python, "-m", "pip", "install", str(tmp_path / wheels[0])], cwd=tmp_path)
    where, key = run([python, "-c", CHECK], cwd=tmp_path).stdout.split()
    assert where.startswith(str(venv)), where
    assert key.startswith("fdbabe1c9d3472007856e7190d01e9fe")
