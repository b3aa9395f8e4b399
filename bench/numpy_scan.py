"""The stream classification written with NumPy, as a user would without the module."""
import numpy as np

SEGMENTS = ["diagram", "music", "voice", "image", "mental", "touch", "smell", "taste"]
SEGMENT_INDEX = [1, 2, 3, 4, 6, 7, 8, 9]


def _modality_table():
    table = np.zeros(4096, dtype=np.int8)
    for bits in range(4096):
        rng, flag = bits >> 10, bits & 0xFF
        if rng == 2:
            for bit, modality in ((0x40, 2), (0x20, 3), (0x80, 1), (0x10, 5), (0x08, 7),
                                  (0x04, 4), (0x02, 8), (0x01, 6)):
                if flag & bit:
                    table[bits] = modality
                    break
        elif rng == 3 and flag & 1:
            table[bits] = 6
    return table


TABLE = _modality_table()


def numpy_scan(stream, record_invalid=False):
    w = np.array(stream, dtype=np.uint64).astype(np.uint32)
    n = len(w)
    valid = w <= 0xFFFFF
    modality = np.where(valid, TABLE[(w >> 8) & 0xFFF], -1).astype(np.int8)
    # Taste sequences: heads 8, 9, A with the sequence bit, then continuation words.
    head = lambda nib: (w & 0xFFFF0400) == ((nib << 16) | 0x400)  # noqa: E731
    cont = (w & 0xFFFE0400) == 0xA0400
    if n >= 3:
        starts = np.flatnonzero(head(8)[:-2] & head(9)[1:-1] & head(0xA)[2:])
        if len(starts):
            # End of the continuation run that begins at each position.
            idx = np.arange(n)
            breaks = np.where(~cont, idx, n)
            run_end = np.minimum.accumulate(breaks[::-1])[::-1]
            taste = np.zeros(n + 1, dtype=np.int32)
            np.add.at(taste, starts, 1)
            np.add.at(taste, run_end[starts + 2], -1)
            modality[np.cumsum(taste[:-1]) > 0] = 9
    result = {"counts": np.bincount(modality[modality >= 0], minlength=10).tolist()}
    result["text"] = w[(modality == 0) | (modality == 5)]
    prev = np.concatenate(([-2], modality[:-1]))
    for name, k in zip(SEGMENTS, SEGMENT_INDEX):
        mask = modality == k
        result[name] = w[mask]
        starts = np.flatnonzero(mask & (prev != k))
        offsets = np.cumsum(mask) - 1
        seg_starts = offsets[starts]
        lengths = np.diff(np.append(seg_starts, mask.sum()))
        result[name + "_spans"] = np.column_stack((seg_starts, lengths)).ravel().astype(np.uint32)
    if record_invalid:
        bad = np.flatnonzero(~valid)
        result["errors"] = [f"index {i}: word out of range {w[i]}" for i in bad]
    return result
