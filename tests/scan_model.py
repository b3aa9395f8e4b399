"""A plain Python model of the stream classification, used as a test oracle."""

SEGMENT_NAMES = ["diagram", "music", "voice", "image", "mental", "touch", "smell", "taste"]
MODALITY_INDEX = {"text": 0, "diagram": 1, "music": 2, "voice": 3, "image": 4, "inline": 5,
                  "mental": 6, "touch": 7, "smell": 8, "taste": 9}


def modality_of(word):
    """Modality name of a valid word outside a taste sequence."""
    rng = word >> 18
    flag = (word >> 8) & 0xFF
    if rng in (0, 1):
        return "text"
    if rng == 3:
        return "mental" if word & 0x100 else "text"
    if 0x40 <= flag <= 0x7F or flag >= 0xC0:
        return "music"
    if 0x20 <= flag <= 0x3F or 0xA0 <= flag <= 0xBF:
        return "voice"
    if 0x80 <= flag <= 0x9F:
        return "diagram"
    if 0x10 <= flag <= 0x1F:
        return "inline"
    if 0x08 <= flag <= 0x0F:
        return "touch"
    if 0x04 <= flag <= 0x07:
        return "image"
    if flag in (2, 3):
        return "smell"
    if flag == 1:
        return "mental"
    return "text"


def _head(word, nibble):
    return word <= 0xFFFFF and word >> 16 == nibble and word & 0x400


def scan_model(entries, record_invalid):
    """entries: ints (words, possibly > 0xFFFFF) or str (an item error's message).

    Returns a dict shaped like the scan result, with lists instead of buffers.
    """
    out = {"text": [], "counts": [0] * 10, "errors": []}
    for name in SEGMENT_NAMES:
        out[name] = []
        out[name + "_spans"] = []
    open_seg = None  # (name, start)

    def close():
        nonlocal open_seg
        if open_seg is not None:
            name, start = open_seg
            length = len(out[name]) - start
            if length:
                out[name + "_spans"] += [start, length]
            open_seg = None

    def put(name, word):
        nonlocal open_seg
        out["counts"][MODALITY_INDEX[name]] += 1
        if open_seg is None or open_seg[0] != name:
            close()
            open_seg = (name, len(out[name]))
        out[name].append(word)

    n = len(entries)
    i = 0
    while i < n:
        e = entries[i]
        if isinstance(e, str) or e > 0xFFFFF:
            close()
            if record_invalid:
                out["errors"].append(e if isinstance(e, str) else f"index {i}: word out of range {e}")
            i += 1
            continue
        if (i + 2 < n and not isinstance(entries[i + 1], str) and not isinstance(entries[i + 2], str)
                and _head(e, 8) and _head(entries[i + 1], 9) and _head(entries[i + 2], 0xA)):
            j = i + 3
            while j < n and not isinstance(entries[j], str) and entries[j] <= 0xFFFFF \
                    and entries[j] >> 17 == 5 and entries[j] & 0x400:
                j += 1
            for k in range(i, j):
                put("taste", entries[k])
            i = j
            continue
        name = modality_of(e)
        if name in ("text", "inline"):
            close()
            out["counts"][MODALITY_INDEX[name]] += 1
            out["text"].append(e)
        else:
            put(name, e)
        i += 1
    close()
    return out


def result_as_model(result):
    """Converts a scan result dictionary into the model's shape."""
    out = {"text": memoryview(result["text_words_u32le"]).tolist(),
           "counts": result["counts"], "errors": result["validation_errors"]}
    for name in SEGMENT_NAMES:
        out[name] = memoryview(result[name + "_words_u32le"]).tolist()
        out[name + "_spans"] = memoryview(result[name + "_spans_u32le"]).tolist()
    return out
