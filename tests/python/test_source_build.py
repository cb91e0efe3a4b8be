"""A source build on a machine without the xxHash header stops at configure time with one line
that names the package to install."""

import pathlib
import shutil
import subprocess

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[2]


@pytest.mark.no_sanitizer
@pytest.mark.skipif(shutil.which("cmake") is None, reason="needs cmake")
def test_a_missing_xxhash_header_is_named_at_configure_time(tmp_path):
    hidden = "/usr/include;/usr/include/x86_64-linux-gnu;/usr/local/include"
    done = subprocess.run(["cmake", "-S", ROOT, "-B", tmp_path, "-DTORRELM_TESTS=OFF",
                           f"-DCMAKE_IGNORE_PATH={hidden}"],
                          capture_output=True, text=True, timeout=120)
    assert done.returncode != 0
    named = [line for line in done.stderr.splitlines() if "libxxhash-dev" in line]
    assert len(named) == 1 and "xxhash.h not found" in named[0], done.stderr
