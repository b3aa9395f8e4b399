#include "module/integer_buffer.hpp"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>
#include <limits>
#include <type_traits>

#include "common/stream_copy.hpp"
#include "module/call_frame.hpp"
#include "scan/scan_record.hpp"
#include "scan/word_model.hpp"

namespace vak::py {

namespace {

template <class U>
U byte_swapped(U bits) {
    if constexpr (sizeof(U) == 2) return static_cast<U>(__builtin_bswap16(bits));
    if constexpr (sizeof(U) == 4) return __builtin_bswap32(bits);
    if constexpr (sizeof(U) == 8) return __builtin_bswap64(bits);
}

// A buffer holds what iterating its object gives only when the object's type
// iterates and indexes the way the type that exports the buffer does. A subclass
// that overrides __iter__ or __getitem__ (a masked array, say) keeps the item
// path, so that both paths always agree.
bool iterates_like_its_buffer(PyTypeObject* type) {
    void* const export_slot = PyType_GetSlot(type, Py_bf_getbuffer);
    PyTypeObject* exporter = type;
    for (;;) {
        auto* base = static_cast<PyTypeObject*>(PyType_GetSlot(exporter, Py_tp_base));
        if (base == nullptr || PyType_GetSlot(base, Py_bf_getbuffer) != export_slot) break;
        exporter = base;
    }
    if (exporter == type) return true;
    for (int slot : {Py_tp_iter, Py_sq_item, Py_mp_subscript}) {
        if (PyType_GetSlot(type, slot) != PyType_GetSlot(exporter, slot)) return false;
    }
    return true;
}

// Releases a filled Py_buffer on every path.
class BufferView {
public:
    explicit BufferView(PyObject* obj) {
        // Lists and tuples export nothing: skip making and discarding an error for them.
        if (!PyObject_CheckBuffer(obj) || !iterates_like_its_buffer(Py_TYPE(obj))) return;
        filled_ = PyObject_GetBuffer(obj, &view_, PyBUF_RECORDS_RO) == 0;
        // A refused export: the item path reads the object instead. Any other
        // exception (a signal handler's, MemoryError) ends the call.
        if (!filled_) clear_expected({PyExc_BufferError, PyExc_TypeError, PyExc_ValueError});
    }
    ~BufferView() {
        if (filled_) PyBuffer_Release(&view_);
    }
    BufferView(const BufferView&) = delete;
    BufferView& operator=(const BufferView&) = delete;

    bool filled() const { return filled_; }
    const Py_buffer& get() const { return view_; }

private:
    Py_buffer view_{};
    bool filled_ = false;
};

enum class Kind { none, i8, u8, i16, u16, i32, u32, i64, u64 };

// An integer format the module reads directly, and whether its bytes come in the
// other order than this processor's.
struct Format {
    Kind kind = Kind::none;
    bool swapped = false;
};

// Integer codes with native ('@' or none) or standard ('=', '<', '>', '!') sizes,
// in either byte order. Anything else is not read directly.
Format integer_format(const char* format, Py_ssize_t itemsize) {
    if (format == nullptr) return {};
    bool standard = false;
    bool big_endian = std::endian::native == std::endian::big;
    if (*format == '@') {
        ++format;
    } else if (*format == '=' || *format == '<' || *format == '>' || *format == '!') {
        standard = true;
        if (*format != '=') big_endian = *format != '<';
        ++format;
    }
    if (format[0] == '\0' || format[1] != '\0') return {};
    Py_ssize_t size = 0;
    bool is_signed = false;
    switch (format[0]) {
        case 'b': is_signed = true; [[fallthrough]];
        case 'B': size = 1; break;
        case 'h': is_signed = true; [[fallthrough]];
        case 'H': size = 2; break;
        case 'i': is_signed = true; [[fallthrough]];
        case 'I': size = 4; break;
        case 'l': is_signed = true; [[fallthrough]];
        case 'L': size = standard ? 4 : static_cast<Py_ssize_t>(sizeof(long)); break;
        case 'q': is_signed = true; [[fallthrough]];
        case 'Q': size = 8; break;
        default: return {};
    }
    if (size != itemsize) return {};
    const bool swapped = size > 1 && big_endian != (std::endian::native == std::endian::big);
    switch (size) {
        case 1: return {is_signed ? Kind::i8 : Kind::u8, false};
        case 2: return {is_signed ? Kind::i16 : Kind::u16, swapped};
        case 4: return {is_signed ? Kind::i32 : Kind::u32, swapped};
        default: return {is_signed ? Kind::i64 : Kind::u64, swapped};
    }
}

template <class T>
T load(const char* at, bool swapped) {
    using U = std::make_unsigned_t<T>;
    U bits;
    std::memcpy(&bits, at, sizeof bits);
    if constexpr (sizeof(U) > 1) {
        if (swapped) bits = byte_swapped(bits);
    }
    return static_cast<T>(bits);
}

// Runs fn(begin, end) over [0, n) a piece at a time, giving other threads a turn
// and looking at pending signals between pieces now and then: a copy of
// gigabytes takes a good part of a second. (Another thread may then write the
// buffer, as it may change a list being read.)
template <class Fn>
void in_pieces(std::size_t n, Fn&& fn) {
    constexpr std::size_t kPiece = std::size_t{1} << 20;
    SignalPace pace(1);
    for (std::size_t begin = 0; begin < n; begin += kPiece) {
        if (begin != 0) pace.step();
        fn(begin, std::min(n, begin + kPiece));
    }
}

template <class Source, class Out>
BufferRead copy_checked(const Py_buffer& view, bool swapped, Out& out) {
    using Target = typename Out::value_type;
    constexpr auto bound = static_cast<unsigned long long>(std::numeric_limits<Target>::max());
    const auto n = static_cast<std::size_t>(view.shape[0]);
    const Py_ssize_t stride = view.strides != nullptr ? view.strides[0] : view.itemsize;
    const char* base = static_cast<const char*>(view.buf);
    if constexpr (std::is_same_v<Source, Target>) {
        // Copied in one pass: resizing first would write every byte twice.
        const bool aligned = reinterpret_cast<std::uintptr_t>(base) % alignof(Source) == 0;
        if (!swapped && stride == static_cast<Py_ssize_t>(sizeof(Source)) && aligned) {
            const auto* first = reinterpret_cast<const Source*>(base);
            if constexpr (std::is_same_v<Out, WordVec>) {
                out.resize(n);  // writes nothing
                in_pieces(n, [&](std::size_t begin, std::size_t end) {
                    stream_copy(out.data() + begin, first + begin, (end - begin) * sizeof(Source));
                });
            } else {
                out.reserve(n);
                in_pieces(n, [&](std::size_t begin, std::size_t end) {
                    out.insert(out.end(), first + begin, first + end);
                });
            }
            return BufferRead::converted;
        }
    }
    out.resize(n);
    Target* dst = out.data();
    bool in_range = true;
    in_pieces(n, [&](std::size_t begin, std::size_t end) {
        for (std::size_t i = begin; i < end; ++i) {
            const auto value = load<Source>(base + static_cast<Py_ssize_t>(i) * stride, swapped);
            if constexpr (std::is_signed_v<Source>) in_range &= value >= 0;
            in_range &= static_cast<unsigned long long>(value) <= bound;
            // A negative value is refused below; its bits are written meanwhile.
            dst[i] = static_cast<Target>(static_cast<std::make_unsigned_t<Source>>(value));
        }
    });
    if (!in_range) {
        out.clear();
        return BufferRead::rejected;
    }
    return BufferRead::converted;
}

// Calls fn(view, format) with the object's one-dimensional integer buffer, held
// for the call; not_applicable when it exports none.
PyRef shape_text(const Py_buffer& view);

// Sets the TypeError of a buffer of several dimensions where words go.
BufferRead refuse_several_dimensions(const Py_buffer& view) {
    PyRef shape = shape_text(view);
    if (shape) {
        PyErr_Format(PyExc_TypeError,
                     "expected a one-dimensional sequence of integers, got a buffer of shape %U",
                     shape.get());
    }
    return BufferRead::refused;
}

template <class Fn>
BufferRead with_integer_buffer(PyObject* obj, bool refuse_several, Fn&& fn) {
    BufferView holder(obj);
    if (!holder.filled()) return BufferRead::not_applicable;
    const Py_buffer& view = holder.get();
    if (refuse_several && view.ndim > 1) return refuse_several_dimensions(view);
    if (view.ndim != 1 || view.shape == nullptr || view.suboffsets != nullptr) {
        return BufferRead::not_applicable;
    }
    const Format format = integer_format(view.format, view.itemsize);
    if (format.kind == Kind::none) return BufferRead::not_applicable;
    return fn(view, format);
}

// Calls visit with a zero of the C type that holds the format's values.
template <class Visit>
BufferRead by_value_type(Kind kind, Visit&& visit) {
    switch (kind) {
        case Kind::i8: return visit(std::int8_t{});
        case Kind::u8: return visit(std::uint8_t{});
        case Kind::i16: return visit(std::int16_t{});
        case Kind::u16: return visit(std::uint16_t{});
        case Kind::i32: return visit(std::int32_t{});
        case Kind::u32: return visit(std::uint32_t{});
        case Kind::i64: return visit(std::int64_t{});
        case Kind::u64: return visit(std::uint64_t{});
        case Kind::none: break;
    }
    return BufferRead::not_applicable;
}

template <class Out>
BufferRead read_into(PyObject* obj, Out& out) {
    return with_integer_buffer(obj, true, [&](const Py_buffer& view, Format format) {
        return by_value_type(format.kind, [&](auto zero) {
            return copy_checked<decltype(zero)>(view, format.swapped, out);
        });
    });
}

// One value as the tolerant reading takes the same value as a Python int: a word,
// or an item error with the reason a list's int would give.
template <class T>
void read_tolerant_value(T value, WordVec& words, ItemReasons* reasons) {
    if constexpr (std::is_unsigned_v<T> && sizeof(T) >= sizeof(long)) {
        if (value > static_cast<unsigned long>(std::numeric_limits<long>::max())) {
            if (reasons != nullptr) reasons->push_back(out_of_signed_range_reason());
            words.push_back(scan::kItemError);
            return;
        }
    }
    // int8 values are numbers here: sign-extended on purpose.
    const auto as_long = static_cast<long>(value);  // NOLINT(bugprone-signed-char-misuse)
    if (as_long >= 0 && as_long <= long{scan::kWordMask}) {
        words.push_back(static_cast<std::uint32_t>(as_long));
        return;
    }
    if (reasons != nullptr) reasons->push_back(out_of_range_reason(as_long));
    words.push_back(scan::kItemError);
}

// "(2, 3, 4)": a buffer's shape as Python writes a tuple.
PyRef shape_text(const Py_buffer& view) {
    PyRef parts(PyList_New(0));
    if (!parts) return {};
    for (int k = 0; k < view.ndim; ++k) {
        PyRef number(PyUnicode_FromFormat("%zd", view.shape[k]));
        if (!number || PyList_Append(parts.get(), number.get()) < 0) return {};
    }
    PyRef separator(PyUnicode_FromString(", "));
    if (!separator) return {};
    PyRef joined(PyUnicode_Join(separator.get(), parts.get()));
    if (!joined) return {};
    return PyRef(PyUnicode_FromFormat(view.ndim == 1 ? "(%U,)" : "(%U)", joined.get()));
}

}  // namespace

BufferRead read_integer_buffer(PyObject* obj, WordVec& out) {
    return read_into(obj, out);
}
BufferRead read_integer_buffer(PyObject* obj, ByteVec& out) {
    return read_into(obj, out);
}

BufferRead read_tolerant_buffer(PyObject* obj, WordVec& words, ItemReasons* reasons) {
    // Only sequences are read by value, as on the fast path: an object that exports
    // words without being a sequence (a NativeBuffer) stays refused as not iterable.
    if (!PySequence_Check(obj)) return BufferRead::not_applicable;
    return with_integer_buffer(obj, false, [&](const Py_buffer& view, Format format) {
        return by_value_type(format.kind, [&](auto zero) {
            using T = decltype(zero);
            const auto n = static_cast<std::size_t>(view.shape[0]);
            const Py_ssize_t stride = view.strides != nullptr ? view.strides[0] : view.itemsize;
            const char* base = static_cast<const char*>(view.buf);
            words.reserve(n);
            in_pieces(n, [&](std::size_t begin, std::size_t end) {
                for (std::size_t i = begin; i < end; ++i) {
                    const T value =
                        load<T>(base + static_cast<Py_ssize_t>(i) * stride, format.swapped);
                    read_tolerant_value(value, words, reasons);
                }
            });
            return BufferRead::converted;
        });
    });
}

}  // namespace vak::py

namespace vak::py {

BufferDims buffer_dims(PyObject* obj) {
    BufferView holder(obj);
    if (!holder.filled()) return BufferDims::none_or_one;
    return holder.get().ndim > 1 ? BufferDims::several : BufferDims::none_or_one;
}

bool read_image_array(PyObject* obj, std::uint32_t width, std::uint32_t height, ByteVec& out) {
    BufferView holder(obj);
    if (!holder.filled()) {
        PyErr_SetString(PyExc_TypeError, "image_data stopped exporting its buffer");
        return false;
    }
    const Py_buffer& view = holder.get();
    const Format format = integer_format(view.format, view.itemsize);
    const bool expected_shape = view.ndim == 3 && view.shape[0] == Py_ssize_t{height} &&
                                view.shape[1] == Py_ssize_t{width} && view.shape[2] == 3;
    if (!expected_shape) {
        PyRef shape = shape_text(view);
        if (!shape) return false;
        PyErr_Format(PyExc_ValueError,
                     "image_data has shape %U; expected (height, width, 3) = (%u, %u, 3)",
                     shape.get(), static_cast<unsigned>(height), static_cast<unsigned>(width));
        return false;
    }
    if (format.kind != Kind::u8 || view.suboffsets != nullptr ||
        !PyBuffer_IsContiguous(&view, 'C')) {
        PyErr_SetString(PyExc_ValueError,
                        "image_data of shape (height, width, 3) must be C-contiguous uint8");
        return false;
    }
    const auto* first = static_cast<const std::uint8_t*>(view.buf);
    const auto n = static_cast<std::size_t>(view.len);
    out.reserve(n);
    in_pieces(n, [&](std::size_t begin, std::size_t end) {
        out.insert(out.end(), first + begin, first + end);
    });
    return true;
}

}  // namespace vak::py
