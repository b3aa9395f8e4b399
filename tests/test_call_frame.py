"""Argument binding and conversion rules shared by every module function."""
import re

import pytest

import vak_orn_kernel as vk


def raises(exc, message, fn, *args, **kwargs):
    with pytest.raises(exc) as info:
        fn(*args, **kwargs)
    assert type(info.value) is exc
    assert str(info.value) == message
    return info.value


# name -> (parameters, how many are required), for the six functions that bind arguments.
SIGNATURES = {
    "configure_normal_words": (["words"], 1),
    "encode_text": (["text"], 1),
    "encode_quadtree": (["image_data", "width", "height", "bit_depth", "threshold"], 5),
    "decode_quadtree": (["words"], 1),
    "scan_stream": (["stream", "record_invalid"], 1),
    "scan_stream_batch": (["streams", "record_invalid"], 1),
}


def quoted(names):
    names = [f"'{n}'" for n in names]
    if len(names) <= 2:
        return " and ".join(names)
    return ", ".join(names[:-1]) + ", and " + names[-1]


def binding_cases():
    """Every binding failure of every function, with the interpreter's wording."""
    for name, (params, required) in SIGNATURES.items():
        n = len(params)
        takes = f"takes {n}" if required == n else f"takes from {required} to {n}"
        yield name, (), {}, (f"{name}() missing {required} required positional "
                             f"argument{'s' if required > 1 else ''}: {quoted(params[:required])}")
        yield name, (None,) * (n + 1), {}, \
            f"{name}() {takes} positional arguments but {n + 1} were given"
        yield name, (None,), {params[0]: None}, \
            f"{name}() got multiple values for argument '{params[0]}'"
        yield name, (), {"bogus": None}, f"{name}() got an unexpected keyword argument 'bogus'"
        if required > 2:
            # Keywords fill their own places; the message names only what is still missing.
            yield name, (None,), {params[3]: None}, (
                f"{name}() missing {required - 2} required positional arguments: "
                f"{quoted([p for p in params[1:required] if p != params[3]])}")


@pytest.mark.parametrize("name,args,kwargs,message", list(binding_cases()),
                         ids=lambda v: v if isinstance(v, str) and "(" not in v else "")
def test_binding_messages(name, args, kwargs, message):
    raises(TypeError, message, getattr(vk, name), *args, **kwargs)


def test_unknown_keyword_checked_before_missing_required():
    raises(TypeError, "scan_stream() got an unexpected keyword argument 'x'", vk.scan_stream, x=1)


def test_keyword_arguments_bind_by_name():
    r = vk.scan_stream(record_invalid=True, stream=[0x100000])
    assert r["validation_errors"] == ["index 0: word out of range 1048576"]


@pytest.mark.parametrize("value,type_name", [(1, "int"), (None, "NoneType"), ("yes", "str"),
                                             (0, "int")])
def test_record_invalid_is_strict(value, type_name):
    raises(TypeError, f"argument 'record_invalid': '{type_name}' object cannot be converted to 'PyBool'",
           vk.scan_stream, [1], record_invalid=value)


def test_record_invalid_converted_before_stream():
    # The stream is not iterable, but the flag fails first.
    raises(TypeError, "argument 'record_invalid': 'int' object cannot be converted to 'PyBool'",
           vk.scan_stream, 5, 1)


def test_numpy_bool_accepted():
    np = pytest.importorskip("numpy")
    r = vk.scan_stream([0x100000], np.bool_(True))
    assert r["validation_errors"] == ["index 0: word out of range 1048576"]
    assert vk.scan_stream([0x100000], np.False_)["validation_errors"] == []


@pytest.mark.parametrize("words,exc,message", [
    ("123", TypeError, "argument 'words': Can't extract `str` to `Vec`"),
    ({1, 2}, TypeError, "argument 'words': 'set' object cannot be converted to 'Sequence'"),
    ({1: 2}, TypeError, "argument 'words': 'dict' object cannot be converted to 'Sequence'"),
    (iter([1]), TypeError, "argument 'words': 'list_iterator' object cannot be converted to 'Sequence'"),
    (5, TypeError, "argument 'words': 'int' object cannot be converted to 'Sequence'"),
    ([-1], OverflowError, "out of range integral type conversion attempted"),
    ([2**32], OverflowError, "out of range integral type conversion attempted"),
])
def test_word_sequence_conversion_failures(words, exc, message):
    raises(exc, message, vk.decode_quadtree, words)
    raises(exc, message, vk.configure_normal_words, words)


def test_float_item_rewords_interpreter_message():
    with pytest.raises(TypeError) as info:
        vk.configure_normal_words([1.5])
    assert str(info.value) == (
        "argument 'words': 'float' object cannot be interpreted as an integer")


def test_huge_int_item_keeps_interpreter_overflow():
    with pytest.raises(OverflowError) as info:
        vk.configure_normal_words([2**64])
    assert "out of range integral" not in str(info.value)
    assert not str(info.value).startswith("argument")


def test_qualified_name_in_type_check_failure():
    class Outer:
        class Inner:
            pass

    raises(TypeError, "argument 'words': 'test_qualified_name_in_type_check_failure.<locals>."
           "Outer.Inner' object cannot be converted to 'Sequence'",
           vk.configure_normal_words, Outer.Inner())


def test_argument_error_keeps_cause_not_original():
    class Bad:
        def __index__(self):
            try:
                raise KeyError("inner")
            except KeyError as e:
                raise TypeError("bad index") from e

    with pytest.raises(TypeError) as info:
        vk.configure_normal_words([Bad()])
    assert str(info.value) == "argument 'words': bad index"
    assert isinstance(info.value.__cause__, KeyError)


def test_non_type_errors_from_index_pass_unchanged():
    class Bad:
        def __index__(self):
            raise ValueError("nope")

    raises(ValueError, "nope", vk.configure_normal_words, [Bad()])


@pytest.mark.parametrize("words,expected", [
    (b"\x02\x01\x02", 2), (range(1000), 1000), ((4294967295, 0), 2), ([True, 1], 1),
    (bytearray(b"\x05"), 1), (memoryview(b"\x07\x08"), 2),
])
def test_sequence_kinds_accepted(words, expected):
    assert vk.configure_normal_words(words) == expected


def test_sequence_with_failing_len_still_converts():
    class Weird:
        def __len__(self):
            raise RuntimeError("no length")

        def __getitem__(self, i):
            if i < 3:
                return i
            raise IndexError

    assert vk.configure_normal_words(Weird()) == 3


def test_sequence_with_lying_huge_len():
    class Liar:
        def __len__(self):
            return 2**62

        def __getitem__(self, i):
            if i < 2:
                return i + 10
            raise IndexError

    assert vk.configure_normal_words(Liar()) == 2


def test_functions_have_text_signatures():
    expected = {
        "configure_normal_words": "(words)",
        "backend_info": "()",
        "encode_text": "(text)",
        "encode_quadtree": "(image_data, width, height, bit_depth, threshold)",
        "decode_quadtree": "(words)",
        "scan_stream": "(stream, record_invalid=False)",
        "scan_stream_batch": "(streams, record_invalid=False)",
    }
    for name, signature in expected.items():
        fn = getattr(vk, name)
        assert fn.__text_signature__ == signature
        assert fn.__doc__ is None
        assert fn.__module__ == "vak_orn_kernel"
        assert fn.__self__ is vk


@pytest.mark.parametrize("call", [lambda: vk.backend_info(1), lambda: vk.backend_info(x=1)])
def test_backend_info_takes_no_arguments(call):
    with pytest.raises(TypeError, match=re.escape("backend_info() takes no")):
        call()
