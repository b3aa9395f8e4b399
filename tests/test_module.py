import importlib
import subprocess
import sys
import textwrap

import pytest

import vak_orn_kernel as vk

ALL = ["__version__", "WORD_MASK", "NativeBuffer", "configure_normal_words", "backend_info",
       "encode_text", "encode_quadtree", "decode_quadtree", "scan_stream", "scan_stream_batch"]


def test_module_attributes():
    assert vk.__doc__ == ""
    assert vk.__version__ == "0.1.0"
    assert vk.WORD_MASK == 1048575
    assert vk.__all__ == ALL
    assert vk.__name__ == "vak_orn_kernel"
    public = {name for name in dir(vk) if not name.startswith("__")}
    assert public == {name for name in ALL if not name.startswith("__")}


def test_reimport_returns_same_module_with_its_attributes():
    vk.some_marker = 42
    try:
        del sys.modules["vak_orn_kernel"]
        again = importlib.import_module("vak_orn_kernel")
        assert again is vk
        assert again.some_marker == 42
        assert again.__all__ == ALL
    finally:
        sys.modules["vak_orn_kernel"] = vk
        del vk.some_marker


def run_python(code):
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True,
                          text=True, timeout=120)


def test_sub_interpreter_refused():
    inner = ("try:\n    import vak_orn_kernel\n    print('IMPORTED')\n"
             "except ImportError as e:\n    print('IMPORTERROR', e)\n")
    proc = run_python(f"""
        import vak_orn_kernel
        try:
            import _interpreters as interpreters
        except ImportError:
            import _xxsubinterpreters as interpreters
        interp = interpreters.create()
        interpreters.run_string(interp, {inner!r})
    """)
    assert proc.returncode == 0, proc.stderr
    assert "IMPORTERROR" in proc.stdout
    assert "IMPORTED" not in proc.stdout


def test_only_init_symbol_exported():
    path = vk.__file__
    if not path.endswith(".so"):
        pytest.skip("not a shared object")
    try:
        out = subprocess.run(["nm", "-D", "--defined-only", path], capture_output=True, text=True,
                             check=True).stdout
    except (OSError, subprocess.CalledProcessError):
        pytest.skip("nm not available")
    symbols = [line.split()[-1] for line in out.splitlines() if line.strip()]
    assert symbols == ["PyInit_vak_orn_kernel"]
