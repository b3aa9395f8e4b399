import ctypes
import gc
import weakref

import pytest

import vak_orn_kernel as vk
from buffer_api import PyBUF_WRITABLE, PyBuffer, get_buffer, release_buffer


def make(values):
    r = vk.scan_stream(values)
    return r["text_words_u32le"]


@pytest.mark.parametrize("values", [[], [0], [1, 2, 0x3FFFF, 0x7FFFF]])
def test_export_layout(values):
    b = make(values)
    m = memoryview(b)
    assert (m.format, m.itemsize, m.ndim, m.shape, m.strides, m.readonly, m.nbytes) == (
        "I", 4, 1, (len(values),), (4,), True, 4 * len(values))
    assert m.tolist() == values
    assert bytes(b) == b"".join(v.to_bytes(4, "little") for v in values)


def test_writable_request_refused():
    b = make([1, 2])
    view = PyBuffer()
    with pytest.raises(BufferError, match="^Object is not writable$"):
        get_buffer(b, ctypes.addressof(view), PyBUF_WRITABLE)
    with pytest.raises(TypeError):
        ctypes.c_uint32.from_buffer(b)


def test_null_view_refused():
    with pytest.raises(BufferError, match="^View is null$"):
        get_buffer(make([1]), None, 0)


def test_simple_request_has_no_format_or_shape():
    b = make([7, 8])
    view = PyBuffer()
    assert get_buffer(b, ctypes.addressof(view), 0) == 0
    try:
        assert (view.len, view.itemsize, view.readonly, view.ndim) == (8, 4, 1, 1)
        assert view.format is None and view.shape is None and view.strides is None
        assert ctypes.cast(view.buf, ctypes.POINTER(ctypes.c_uint32))[1] == 8
    finally:
        release_buffer(ctypes.addressof(view))


def test_cannot_construct_or_subclass():
    with pytest.raises(TypeError, match="^No constructor defined for NativeBuffer$"):
        vk.NativeBuffer()
    with pytest.raises(TypeError, match="^No constructor defined for NativeBuffer$"):
        vk.NativeBuffer(1, x=2)
    with pytest.raises(TypeError):
        class Sub(vk.NativeBuffer):
            pass


def test_class_identity():
    assert vk.NativeBuffer.__name__ == "NativeBuffer"
    assert vk.NativeBuffer.__qualname__ == "NativeBuffer"
    assert vk.NativeBuffer.__module__ == "builtins"
    assert vk.NativeBuffer.__doc__ is None
    assert type(make([1])) is vk.NativeBuffer


def test_no_length_attributes_or_weakrefs():
    b = make([1])
    with pytest.raises(TypeError):
        len(b)
    with pytest.raises(AttributeError):
        b.x = 1
    with pytest.raises(TypeError):
        weakref.ref(b)


def test_view_outlives_object():
    m = memoryview(make(list(range(100))))
    gc.collect()
    assert m.tolist() == list(range(100))


def test_many_concurrent_views():
    b = make([5, 6, 7])
    views = [memoryview(b) for _ in range(10)]
    del b
    assert all(v.tolist() == [5, 6, 7] for v in views)


def test_numpy_reads_payload_without_copy():
    np = pytest.importorskip("numpy")
    b = make([1, 2, 3])
    a = np.frombuffer(b, dtype="<u4")
    assert a.tolist() == [1, 2, 3]
    assert not a.flags.writeable
