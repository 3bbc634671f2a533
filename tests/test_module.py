"""The module itself: import, version check, docstring and comb on two integers."""
import glob
import math
import os
import shutil
import subprocess
import sys

import pytest

import _combinatorial as m


def test_docstring_and_names():
    assert m.__doc__ == "Combinatorial module"
    public = {name for name in dir(m) if not name.startswith("_")}
    assert "comb" in public


@pytest.mark.parametrize(
    "n, k",
    [(0, 0), (0, 1), (5, 2), (10, 3), (62, 31), (64, 32), (66, 33), (65535, 1),
     (65535, 2), (65535, 65535), (65535, 65534), (65535, 65533), (67, 33), (3, 5)],
)
def test_comb_on_integers_is_exact(n, k):
    value = m.comb(n, k)
    assert type(value) is int
    assert value == math.comb(n, k)


def test_comb_64_32_is_not_wrapped():
    assert m.comb(64, 32) == 1832624140942590534


@pytest.mark.parametrize("n, k", [(68, 34), (70, 35), (65535, 6), (65535, 32767), (1000, 500)])
def test_comb_on_integers_raises_overflow(n, k):
    assert math.comb(n, k) >= 2**64
    with pytest.raises(OverflowError, match=rf"C\({n}, {k}\)"):
        m.comb(n, k)


def test_comb_boundary_of_64_bits_for_every_k():
    # For each k, the largest n <= 65535 whose C(n, k) still fits, and the next.
    for k in range(2, 34):
        lo, hi = k, 65535
        if math.comb(hi, k) < 2**64:
            assert m.comb(hi, k) == math.comb(hi, k)
            continue
        while hi - lo > 1:
            mid = (lo + hi) // 2
            lo, hi = (mid, hi) if math.comb(mid, k) < 2**64 else (lo, mid)
        assert m.comb(lo, k) == math.comb(lo, k)
        with pytest.raises(OverflowError):
            m.comb(hi, k)


def test_comb_argument_refusals():
    assert m.comb(True, True) == 1
    with pytest.raises(TypeError):
        m.comb(1, 2, 3)
    with pytest.raises(TypeError):
        m.comb(n=1, k=2)


def _other_interpreters():
    root = os.environ.get("PYENV_ROOT", os.path.expanduser("~/.pyenv"))
    found = []
    for minor in ("3.11", "3.13"):
        found += sorted(glob.glob(os.path.join(root, "versions", minor + "*", "bin", "python" + minor)))[-1:]
        on_path = shutil.which("python" + minor)
        if not found and on_path:
            found.append(on_path)
    return found


@pytest.mark.parametrize("python", _other_interpreters() or [None])
def test_version_check_refuses_other_interpreters(python, tmp_path):
    if python is None:
        pytest.skip("no Python 3.11 or 3.13 interpreter installed")
    shutil.copy(m.__file__, tmp_path / "_combinatorial.so")
    script = (
        "import sys\n"
        f"sys.path.insert(0, {str(tmp_path)!r})\n"
        "try:\n"
        "    import _combinatorial\n"
        "except ImportError as e:\n"
        "    print('ImportError:', e)\n"
        "    print('VERSION:', sys.version)\n"
        "else:\n"
        "    print('imported')\n"
    )
    result = subprocess.run([python, "-c", script], capture_output=True, text=True, timeout=60)
    out = result.stdout
    if "undefined symbol" in out:
        pytest.skip(f"{python} refuses the file before the module's init runs")
    version = out.split("VERSION: ", 1)[1].rstrip("\n")
    expected = (
        "Python version mismatch: module was compiled for Python 3.12, "
        f"but the interpreter version is incompatible: {version}."
    )
    assert f"ImportError: {expected}" in out
