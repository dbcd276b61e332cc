"""Shared helpers of the package's tests.  They run with /usr/bin/python3
and the package built by CMake (PYTHONPATH=<build>/python) or installed."""

import os

import pytest

import scrypt_vornik

SOURCE_DIR = os.environ.get(
    "SCRYPT_VORNIK_SOURCE_DIR",
    os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__)))),
)


def rss_bytes() -> int:
    """The process's resident size, from /proc/self/statm."""
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


@pytest.fixture(scope="session")
def source_dir() -> str:
    return SOURCE_DIR


def pytest_report_header(config):
    return f"scrypt_vornik {scrypt_vornik.__version__} from {scrypt_vornik.__file__}"
