// encode_quadtree and decode_quadtree: argument conversion, the released codec
// work, and the (result, metadata) tuples.
#include <array>
#include <utility>

#include "image/quadtree_decoder.hpp"
#include "image/quadtree_encoder.hpp"
#include "module/call_frame.hpp"
#include "module/conversions.hpp"
#include "module/entry_points.hpp"
#include "module/py_ref.hpp"
#include "module/result_builders.hpp"

namespace vak::py {

namespace {

// (width, height, root size, bit depth, threshold tenths), all int.
PyObject* build_metadata(const image::ImageMetadata& meta) {
    const long values[5] = {static_cast<long>(meta.width), static_cast<long>(meta.height),
                            static_cast<long>(meta.root_size), static_cast<long>(meta.bit_depth),
                            static_cast<long>(meta.threshold_tenths)};
    PyRef tuple(PyTuple_New(5));
    if (!tuple) return nullptr;
    for (Py_ssize_t i = 0; i < 5; ++i) {
        PyObject* item = PyLong_FromLong(values[i]);
        if (item == nullptr) return nullptr;
        PyTuple_SetItem(tuple.get(), i, item);  // steals
    }
    return tuple.release();
}

// The encoder's words as a list. Its words take at most 1024 values, so one int
// object per value is shared by all the items that hold it.
PyObject* build_stream_list(const image::EncodedWords& words) {
    PyRef list(PyList_New(static_cast<Py_ssize_t>(words.size())));
    if (!list) return nullptr;
    std::array<PyRef, image::kCodeMask + 1> ints;
    Py_ssize_t at = 0;
    for (std::size_t i = 0; i < words.chunk_count(); ++i) {
        const std::uint16_t* codes = words.chunk(i);
        for (std::size_t j = 0, n = words.chunk_size(i); j < n; ++j) {
            PyRef& value = ints[codes[j]];
            if (!value) {
                value = PyRef(PyLong_FromLong(static_cast<long>(image::kImageWordPattern | codes[j])));
                if (!value) return nullptr;
            }
            PyList_SetItem(list.get(), at++, Py_NewRef(value.get()));  // steals the new reference
        }
    }
    return list.release();
}

// Steals both references (either may be nullptr after a failed build).
PyObject* build_pair(PyRef first, PyRef second) {
    if (!first || !second) return nullptr;
    PyRef pair(PyTuple_New(2));
    if (!pair) return nullptr;
    PyTuple_SetItem(pair.get(), 0, first.release());
    PyTuple_SetItem(pair.get(), 1, second.release());
    return pair.release();
}

}  // namespace

PyObject* encode_quadtree(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        static const char* const kParams[] = {"image_data", "width", "height", "bit_depth",
                                              "threshold"};
        static const Signature kSig{"encode_quadtree", kParams, 5, 5};
        PyObject* slots[5] = {};
        if (!bind_arguments(kSig, args, nargs, kwnames, slots)) return nullptr;
        ByteVec image_data;
        if (!to_byte_vector(slots[0], image_data)) return argument_error("image_data");
        std::uint32_t width = 0;
        if (!to_u32(slots[1], width)) return argument_error("width");
        std::uint32_t height = 0;
        if (!to_u32(slots[2], height)) return argument_error("height");
        std::uint8_t bit_depth = 0;
        if (!to_u8(slots[3], bit_depth)) return argument_error("bit_depth");
        double threshold = 0.0;
        if (!to_f64(slots[4], threshold)) return argument_error("threshold");

        image::EncodeResult result;
        if (!run_released([&] {
                result = image::encode_quadtree(std::move(image_data), width, height, bit_depth,
                                                threshold);
            })) {
            return nullptr;
        }
        if (result.error != nullptr) {
            PyErr_SetString(PyExc_ValueError, result.error);
            return nullptr;
        }
        PyRef words(build_stream_list(result.words));
        result.words = image::EncodedWords();  // the list holds them now
        return build_pair(std::move(words), PyRef(build_metadata(result.metadata)));
    });
}

PyObject* decode_quadtree(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        static const char* const kParams[] = {"words"};
        static const Signature kSig{"decode_quadtree", kParams, 1, 1};
        PyObject* slots[1] = {};
        if (!bind_arguments(kSig, args, nargs, kwnames, slots)) return nullptr;
        WordVec words;
        if (!to_word_vector(slots[0], words)) return argument_error("words");

        // The picture goes straight into the bytes object that is returned: the
        // metadata block gives its size, then the lock is released again for the rest.
        image::StreamDecoder decoder(words.data(), words.size());
        const char* error = nullptr;
        if (!run_released([&] { error = decoder.read_metadata(); })) return nullptr;
        if (error != nullptr) {
            PyErr_SetString(PyExc_ValueError, error);
            return nullptr;
        }
        PyRef pixels(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(decoder.pixel_bytes())));
        if (!pixels) return nullptr;
        auto* out = reinterpret_cast<std::uint8_t*>(PyBytes_AsString(pixels.get()));
        if (out == nullptr) return nullptr;
        if (!run_released([&] {
                error = decoder.read_image(out);
                WordVec().swap(words);
            })) {
            return nullptr;
        }
        if (error != nullptr) {
            PyErr_SetString(PyExc_ValueError, error);
            return nullptr;
        }
        return build_pair(std::move(pixels), PyRef(build_metadata(decoder.metadata())));
    });
}

}  // namespace vak::py
