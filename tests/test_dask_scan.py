"""The scaling-out example on two local worker processes agrees with local scans."""

import importlib.util
import multiprocessing
import pickle
import sys
from pathlib import Path

import pytest

# Test extras that an interpreter may have no wheel for: without them this file skips.
pytest.importorskip("numpy")
import numpy as np

import vak_orn_kernel as vk

pytest.importorskip("dask.distributed", reason="dask[distributed] is not installed")

TIMEOUT = 60  # seconds; a clean run takes well under one
EXAMPLE = Path(__file__).resolve().parent.parent / "examples" / "dask_scan.py"


@pytest.fixture(scope="module")
def example():
    if not EXAMPLE.is_file():
        pytest.skip(f"{EXAMPLE} not found (the suite runs from an installed copy)")
    spec = importlib.util.spec_from_file_location("dask_scan", EXAMPLE)
    module = importlib.util.module_from_spec(spec)
    sys.modules[spec.name] = module
    spec.loader.exec_module(module)
    yield module
    del sys.modules[spec.name]


@pytest.fixture(scope="module")
def client(example):
    with example.local_client(workers=2) as client:
        assert len(client.scheduler_info()["workers"]) == 2
        yield client
    # Leaving the block shut the worker processes down.
    assert multiprocessing.active_children() == []


@pytest.fixture(scope="module")
def streams(example, tmp_path_factory):
    directory = tmp_path_factory.mktemp("streams")
    example.generate_streams(directory, count=5, words=3_000, seed=7)
    (directory / "empty.u32").write_bytes(b"")
    (directory / "ignored.txt").write_bytes(b"\x01\x00\x00\x00")
    return example.stream_files(directory)


def local_scan(path, record_invalid):
    words = list(np.frombuffer(path.read_bytes(), dtype="<u4").tolist())
    return vk.scan_stream(words, record_invalid)


@pytest.mark.parametrize("record_invalid", [False, True])
def test_cluster_scan_equals_local_scans(example, client, streams, record_invalid):
    assert len(streams) == 6  # five generated files and the empty one
    totals, results = example.scan_directory(client, streams, record_invalid, TIMEOUT)
    local = [local_scan(path, record_invalid) for path in streams]
    assert totals == [sum(column) for column in zip(*(r["counts"] for r in local))]
    assert totals[4] > 0 and totals[9] > 0  # the sample words reach image and taste
    for remote, expected in zip(results, local):
        assert list(remote) == list(expected)
        for key, value in expected.items():
            if isinstance(value, vk.NativeBuffer):
                assert isinstance(remote[key], np.ndarray)
                assert remote[key].tolist() == memoryview(value).tolist(), key
            else:
                assert remote[key] == value, key


def test_payloads_need_converting():
    with pytest.raises(TypeError):
        pickle.dumps(vk.scan_stream([1])["text_words_u32le"])


def test_a_broken_file_fails_the_scan(example, client, streams, tmp_path):
    broken = tmp_path / "broken.u32"
    broken.write_bytes(b"\x01\x00\x00")
    with pytest.raises(ValueError, match="not a whole number of words"):
        example.scan_directory(client, [*streams, broken], timeout=TIMEOUT)
