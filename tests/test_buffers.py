"""Objects that export integer buffers convert exactly like the list of their values as Python
ints (other objects like the same object read item by item): same results, same messages, same
exceptions."""
import array
import ctypes

import pytest

# Test extras that an interpreter may have no wheel for: without them this file skips.
pytest.importorskip("numpy")
import numpy as np

import vak_orn_kernel as vk
from scan_model import result_as_model


class ItemByItem:
    """The same items as `obj`, without a buffer export: forces the item path."""

    def __init__(self, obj):
        self.obj = obj

    def __len__(self):
        return len(self.obj)

    def __getitem__(self, index):
        return self.obj[index]


INTEGER_FORMATS = set("bBhHiIlLqQ")


def as_list(obj):
    """The yardstick of a buffer route: the list of an integer buffer's values as Python ints
    (in the buffer's own order), and any other object read item by item."""
    try:
        view = memoryview(obj)
    except TypeError:
        return ItemByItem(obj)
    if view.ndim != 1 or view.format.lstrip("@=<>!")[-1:] not in INTEGER_FORMATS:
        return ItemByItem(obj)
    return [int(value) for value in ItemByItem(obj)]


def outcome(fn, *args):
    try:
        result = fn(*args)
    except Exception as exc:  # noqa: BLE001 - the exception is the outcome compared
        return ("raised", type(exc), str(exc))
    if isinstance(result, dict):
        return ("scan", result_as_model(result))
    if isinstance(result, list) and result and isinstance(result[0], dict):
        return ("batch", [result_as_model(r) for r in result])
    return ("value", result)


BOUNDARY = [0, 1, 0xFFFFF, 0x100000, 2**31 - 1, 2**31, 2**32 - 1, 2**32, 2**63 - 1, -1, -(2**63)]

NUMPY_DTYPES = ["i1", "u1", "i2", "u2", "i4", "u4", "i8", "u8"]
ORDERS = ["<", ">"]


def numpy_arrays():
    rng = np.random.default_rng(7)
    out = []
    for code in NUMPY_DTYPES:
        for order in ORDERS:
            dtype = np.dtype(order + code)
            info = np.iinfo(dtype)
            values = [v for v in BOUNDARY if info.min <= v <= info.max]
            random = rng.integers(max(info.min, -5), min(info.max, 0x1FFFFF), 50, endpoint=True)
            base = np.array(values + random.tolist(), dtype=dtype)
            nonneg = base[base >= 0] if info.min < 0 else base
            out += [
                pytest.param(base, id=f"np{order}{code}-mixed"),
                pytest.param(nonneg, id=f"np{order}{code}-nonneg"),
                pytest.param(nonneg[::2], id=f"np{order}{code}-step2"),
                pytest.param(nonneg[::-1], id=f"np{order}{code}-reversed"),
                pytest.param(nonneg[:0], id=f"np{order}{code}-empty"),
                pytest.param(np.array([5, 0x80400, 7], dtype=dtype) if info.max >= 0x80400
                             else np.array([5, 7], dtype=dtype), id=f"np{order}{code}-small"),
            ]
    out += [
        pytest.param(np.array([True, False, True]), id="np-bool"),
        pytest.param(np.array([1.0, 2.0]), id="np-float64"),
        pytest.param(np.array([1.5], dtype=np.float32), id="np-float32"),
    ]
    return out


def other_buffers():
    out = []
    for code in "bBhHiIlLqQ":
        signed = code.islower()
        values = [0, 1, 100] + ([-1] if signed else [])
        if code in "iIlLqQ":
            values += [0xFFFFF, 0x100000]
        if code in "IlLqQ":
            values += [2**32 - 1]
        if code in "lLqQ":
            values += [2**32]
        out.append(pytest.param(array.array(code, values), id=f"array-{code}"))
    out += [
        pytest.param(array.array("d", [1.0]), id="array-d"),
        pytest.param(b"\x00\x01\xff", id="bytes"),
        pytest.param(bytearray(b"\x05\x06"), id="bytearray"),
        pytest.param(memoryview(b"\x01\x02\x03\x04")[::2], id="memoryview-strided"),
        pytest.param(memoryview(array.array("I", [1, 0x80400, 2**32 - 1])), id="memoryview-I"),
        # Contiguous but not aligned for its item size: read item by item.
        pytest.param(memoryview(b"\x00" + array.array("I", [7, 0x80401, 2**32 - 1]).tobytes())[1:]
                     .cast("I"), id="memoryview-I-unaligned"),
        pytest.param((ctypes.c_uint32 * 3)(1, 0x80400, 0x100000), id="ctypes-<I"),
        pytest.param((ctypes.c_int16 * 2)(-1, 5), id="ctypes-<h"),
        pytest.param((ctypes.c_long * 2)(3, 2**40), id="ctypes-<l-8bytes"),
    ]
    return out


ALL_OBJECTS = numpy_arrays() + other_buffers()


@pytest.mark.parametrize("obj", ALL_OBJECTS)
@pytest.mark.parametrize("record_invalid", [True, False])
def test_scan_stream(obj, record_invalid):
    assert outcome(vk.scan_stream, obj, record_invalid) == outcome(
        vk.scan_stream, as_list(obj), record_invalid)


@pytest.mark.parametrize("obj", ALL_OBJECTS)
def test_scan_stream_batch(obj):
    assert outcome(vk.scan_stream_batch, [obj, obj], True) == outcome(
        vk.scan_stream_batch, [as_list(obj), as_list(obj)], True)


@pytest.mark.parametrize("obj", ALL_OBJECTS)
def test_configure_normal_words(obj):
    assert outcome(vk.configure_normal_words, obj) == outcome(
        vk.configure_normal_words, as_list(obj))


@pytest.mark.parametrize("obj", ALL_OBJECTS)
def test_decode_quadtree(obj):
    assert outcome(vk.decode_quadtree, obj) == outcome(vk.decode_quadtree, as_list(obj))


@pytest.mark.parametrize("obj", ALL_OBJECTS)
def test_encode_quadtree_image_data(obj):
    n = len(obj) if getattr(obj, "ndim", 1) == 1 else 0
    width = max(n // 3, 1)
    assert outcome(vk.encode_quadtree, obj, width, 1, 2, 0.0) == outcome(
        vk.encode_quadtree, ItemByItem(obj), width, 1, 2, 0.0)


def test_native_buffer_view_scans_like_its_list():
    stream = [0x80400, 0x41, 0x8E000, 0x100000, 0xC0100] * 10
    buf = vk.scan_stream(stream)["image_words_u32le"]
    view = memoryview(buf)
    assert outcome(vk.scan_stream, view, True) == outcome(vk.scan_stream, view.tolist(), True)


# Past 256 Ki words (1 MiB) the copy of the array bypasses the caches, with its
# own handling of the first bytes up to an aligned address and of the tail.
@pytest.mark.parametrize("size,start", [(5000, 0), (262_144, 0), (300_003, 1), (300_017, 3)])
def test_valid_uint32_array_equals_list(size, start):
    rng = np.random.default_rng(3)
    arr = rng.integers(0, 0x110000, size, dtype=np.uint32)[start:]
    assert outcome(vk.scan_stream, arr, True) == outcome(vk.scan_stream, arr.tolist(), True)
    assert [r["counts"] for r in vk.scan_stream_batch([arr, arr[5:]])] == [
        vk.scan_stream(a)["counts"] for a in (arr.tolist(), arr[5:].tolist())]


def test_image_bytes_equal_list():
    rng = np.random.default_rng(4)
    data = rng.integers(0, 256, 6 * 5 * 3, dtype=np.uint8)
    assert vk.encode_quadtree(data.tobytes(), 6, 5, 3, 10.0) == vk.encode_quadtree(
        data.tolist(), 6, 5, 3, 10.0)


def test_zero_dimensional_array_is_not_iterable():
    with pytest.raises(TypeError, match="0-d"):
        vk.scan_stream(np.array(7, dtype=np.uint32))


def test_bytearray_cannot_be_resized_while_read():
    data = bytearray(b"\x01\x02\x03")
    assert vk.configure_normal_words(data) == 3
    data.append(4)  # the export was released
    assert vk.configure_normal_words(data) == 4


TWO_DIMENSIONAL = np.array([[1, 2], [3, 4]], dtype=np.uint32)


@pytest.mark.parametrize("call,param", [
    (lambda obj: vk.scan_stream_batch([obj]), "streams"),
    (vk.configure_normal_words, "words"),
    (vk.decode_quadtree, "words"),
    (lambda obj: vk.encode_quadtree(obj, 2, 1, 3, 0.0), None),
])
def test_buffers_of_several_dimensions_are_refused_by_name(call, param):
    if param is None:  # image data: the image's own shape is expected
        with pytest.raises(ValueError, match=r"shape \(2, 2\); expected \(height, width, 3\) "
                                             r"= \(1, 2, 3\)"):
            call(TWO_DIMENSIONAL)
        return
    with pytest.raises(TypeError, match=rf"^argument '{param}': expected a one-dimensional "
                                        r"sequence of integers, got a buffer of shape \(2, 2\)$"):
        call(TWO_DIMENSIONAL)


def test_scan_stream_reads_a_two_dimensional_array_as_its_rows():
    # Like the list of its rows: each row is an entry that is not a word.
    assert outcome(vk.scan_stream, TWO_DIMENSIONAL, True) == outcome(
        vk.scan_stream, ItemByItem(TWO_DIMENSIONAL), True)


IMAGE = np.random.default_rng(3).integers(0, 256, (5, 7, 3), dtype=np.uint8)


@pytest.mark.parametrize("depth,threshold", [(3, 0.0), (6, 50.0)])
def test_an_image_array_encodes_like_its_bytes(depth, threshold):
    assert vk.encode_quadtree(IMAGE, 7, 5, depth, threshold) == vk.encode_quadtree(
        IMAGE.tobytes(), 7, 5, depth, threshold)


@pytest.mark.parametrize("image,width,height,message", [
    (IMAGE, 5, 7, r"image_data has shape \(5, 7, 3\); expected \(height, width, 3\) = \(7, 5, 3\)"),
    (IMAGE.transpose(2, 0, 1).copy(), 7, 5, r"shape \(3, 5, 7\); expected .* = \(5, 7, 3\)"),
    (IMAGE[:, :, 0].copy(), 7, 5, r"shape \(5, 7\); expected .* = \(5, 7, 3\)"),
    (IMAGE[:, ::-1], 7, 5, "must be C-contiguous uint8"),
    (IMAGE.astype(np.uint16), 7, 5, "must be C-contiguous uint8"),
])
def test_image_arrays_of_another_shape_or_layout_are_refused(image, width, height, message):
    with pytest.raises(ValueError, match=message):
        vk.encode_quadtree(image, width, height, 3, 0.0)
