"""Scan a directory of stream files on a local Dask cluster and combine the counts.

A stream file holds raw words: unsigned 32-bit integers, little-endian, nothing else
(files ending in ".u32"). Every file is scanned in a worker process. A scan's payloads
are NativeBuffer objects, which cannot be pickled, so each worker turns them into
NumPy arrays before its result travels back; the counts of all files are then added
up on the cluster.

Usage:
    python examples/dask_scan.py DIR                  # scan DIR/*.u32 on two workers
    python examples/dask_scan.py DIR --generate 20    # first write 20 sample files
    python examples/dask_scan.py DIR --workers 4 --record-invalid

Needs dask with its scheduler (`pip install "dask[distributed]"`) and NumPy.
"""

from __future__ import annotations

import argparse
import contextlib
from collections.abc import Iterator, Sequence
from pathlib import Path

import numpy as np

import vak_orn_kernel as vk

SUFFIX = ".u32"
COUNT_NAMES = ["text", "diagram", "music", "voice", "image", "inline", "mental", "touch",
               "smell", "taste"]
# Words of every modality, a taste sequence's parts and two out-of-range values.
SAMPLE_WORDS = np.array([0x10, 0x80400, 0x90400, 0xA0400, 0xB0400, 0x88000, 0x84000, 0x82000,
                         0xC0100, 0x81000, 0x80800, 0x80200, 0x100000, 0xFFFFFFFF],
                        dtype="<u4")


def generate_streams(directory: Path, count: int, words: int = 50_000,
                     seed: int = 0) -> list[Path]:
    """Writes `count` stream files of `words` words each into `directory`."""
    directory.mkdir(parents=True, exist_ok=True)
    rng = np.random.default_rng(seed)
    paths = []
    for index in range(count):
        picked = rng.choice(SAMPLE_WORDS, size=words)
        random = rng.integers(0, 0x110000, size=words, dtype=np.uint32)
        stream = np.where(rng.random(words) < 0.7, picked, random).astype("<u4")
        path = directory / f"stream_{index:05d}{SUFFIX}"
        path.write_bytes(stream.tobytes())
        paths.append(path)
    return paths


def stream_files(directory: Path) -> list[Path]:
    return sorted(directory.glob("*" + SUFFIX))


def read_stream(path: Path) -> np.ndarray:
    data = path.read_bytes()
    if len(data) % 4:
        raise ValueError(f"{path}: {len(data)} bytes is not a whole number of words")
    return np.frombuffer(data, dtype="<u4")


def scan_file(path: Path, record_invalid: bool = False) -> dict:
    """Runs in a worker: the scan of one file, its payloads as NumPy arrays."""
    result = vk.scan_stream(read_stream(path), record_invalid)
    # The arrays share the payloads' memory; pickling them copies the words out.
    return {key: np.frombuffer(value, dtype="<u4") if isinstance(value, vk.NativeBuffer)
            else value for key, value in result.items()}


def combine_counts(results: Sequence[dict]) -> list[int]:
    totals = [0] * len(COUNT_NAMES)
    for result in results:
        totals = [total + count for total, count in zip(totals, result["counts"])]
    return totals


@contextlib.contextmanager
def local_client(workers: int = 2) -> Iterator:
    """A client of a cluster of `workers` single-threaded processes on this machine,
    closed on the way out whatever happened."""
    from dask.distributed import Client, LocalCluster

    with LocalCluster(n_workers=workers, threads_per_worker=1, processes=True,
                      dashboard_address=None) as cluster, Client(cluster) as client:
        yield client


def scan_directory(client, paths: Sequence[Path], record_invalid: bool = False,
                   timeout: float | None = None) -> tuple[list[int], list[dict]]:
    """Scans every file on the cluster. Returns the combined counts and the results
    of the files, in the order of `paths`. With a `timeout` (seconds), a scan that
    has not finished by then raises TimeoutError."""
    from dask.distributed import wait

    if __name__ != "__main__":
        # Imported as a module, this file's functions travel by name, and the workers
        # know no module of that name: give them the file. (Run as a script, its
        # functions travel by value.)
        client.upload_file(__file__)
    futures = client.map(scan_file, list(paths), record_invalid=record_invalid, pure=False)
    totals = client.submit(combine_counts, futures)  # added up where the results are
    wait([totals, *futures], timeout=timeout)
    return totals.result(), client.gather(futures)


def main(argv: Sequence[str] | None = None) -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("directory", type=Path)
    parser.add_argument("--generate", type=int, metavar="N",
                        help="first write N sample stream files into the directory")
    parser.add_argument("--words", type=int, default=50_000,
                        help="words per generated file (default 50000)")
    parser.add_argument("--workers", type=int, default=2, help="worker processes (default 2)")
    parser.add_argument("--record-invalid", action="store_true",
                        help="also collect a message for every invalid word")
    args = parser.parse_args(argv)

    if args.generate:
        generate_streams(args.directory, args.generate, args.words)
    paths = stream_files(args.directory)
    if not paths:
        parser.error(f"no {SUFFIX} files in {args.directory}")
    with local_client(args.workers) as client:
        totals, results = scan_directory(client, paths, args.record_invalid)

    words = sum(path.stat().st_size for path in paths) // 4
    print(f"{len(paths)} files, {words} words, {args.workers} workers")
    for name, count in zip(COUNT_NAMES, totals):
        print(f"  {name:8} {count:>12}")
    segments = sum(len(result[key]) // 2 for result in results for key in result
                   if key.endswith("_spans_u32le"))
    print(f"  segments {segments:>12}")
    if args.record_invalid:
        invalid = sum(len(result["validation_errors"]) for result in results)
        print(f"  invalid  {invalid:>12}")


if __name__ == "__main__":
    main()
