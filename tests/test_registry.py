import subprocess
import sys
import textwrap

import pytest

# Test extras that an interpreter may have no wheel for: without them this file skips.
pytest.importorskip("numpy")
import numpy as np

import vak_orn_kernel as vk

REPORT_KEYS = ["backend", "origin", "native", "fallback_used", "module_name", "module_version",
               "normal_word_count", "word_mask", "payload_layout", "ffi_contract_version",
               "normal_word_registry_kind", "allocator", "scan_fast_path", "text_encoder",
               "image_encoder", "image_decoder", "build_profile"]


def count():
    return vk.backend_info()["normal_word_count"]


@pytest.mark.parametrize("words,size", [
    ([], 0), ([5, 3, 5, 1], 3), ((4294967295, 0), 2), ([0x100000], 1), (b"\x02\x01\x02", 2),
    (range(1000), 1000), ([True, 1], 1), (list(range(50, 0, -1)) * 3, 50),
])
def test_replace_returns_distinct_count(words, size):
    assert vk.configure_normal_words(words) == size
    assert count() == size


@pytest.mark.parametrize("high_bits", [12, 22, 32], ids=["one digit", "two digits", "all bits"])
@pytest.mark.parametrize("n", [70_000, 1_000_003])
def test_large_sets_count_their_distinct_values(n, high_bits):
    # Large sets take the radix sort: every digit of the value must order it.
    rng = np.random.default_rng(n + high_bits)
    words = rng.integers(0, 1 << high_bits, n, dtype=np.uint64).astype(np.uint32)
    words[n // 2::5] = words[: len(words[n // 2::5])]  # repeats far apart
    assert vk.configure_normal_words(words) == len(np.unique(words))


def test_replacement_does_not_merge():
    vk.configure_normal_words([1, 2, 3])
    assert vk.configure_normal_words([9]) == 1
    assert count() == 1


@pytest.mark.parametrize("bad,exc", [([-1], OverflowError), ([4294967296], OverflowError),
                                     ([1.5], TypeError), ("12", TypeError), ({1}, TypeError),
                                     ([1, 2, 2**64], OverflowError)])
def test_failed_conversion_keeps_contents(bad, exc):
    vk.configure_normal_words([7, 8])
    with pytest.raises(exc):
        vk.configure_normal_words(bad)
    assert count() == 2


def test_backend_report():
    vk.configure_normal_words([5, 3, 5, 9])
    a, b = vk.backend_info(), vk.backend_info()
    assert list(a) == REPORT_KEYS
    assert a["normal_word_count"] == 3
    assert a["module_version"] == vk.__version__ and a["word_mask"] == vk.WORD_MASK
    expected = {"backend": "rust", "origin": "pyo3_native_extension", "native": True,
                "fallback_used": False, "module_name": "vak_orn_kernel",
                "payload_layout": "u32le_bytes+spans_v1", "ffi_contract_version": "orn_flat_u32le_v1",
                "normal_word_registry_kind": "sorted_vec", "allocator": "mimalloc",
                "scan_fast_path": "u32_sequence_extract_v1", "text_encoder": "rust_nfd_phf_v1",
                "image_encoder": "rust_prefix_quadtree_v1",
                "image_decoder": "rust_enhanced_quadtree_v1", "build_profile": "release"}
    for key, value in expected.items():
        assert a[key] == value and type(a[key]) is type(value)
    assert a is not b
    del a["backend"]
    assert "backend" in b and "backend" in vk.backend_info()


def test_fresh_process_reports_zero_and_failed_first_call_keeps_it_uncreated():
    code = textwrap.dedent("""
        import vak_orn_kernel as vk
        assert vk.backend_info()["normal_word_count"] == 0
        try:
            vk.configure_normal_words([-1])
        except OverflowError:
            pass
        assert vk.backend_info()["normal_word_count"] == 0
        assert vk.configure_normal_words([]) == 0
        print("ok")
    """)
    proc = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    assert proc.stdout.strip() == "ok", proc.stderr
