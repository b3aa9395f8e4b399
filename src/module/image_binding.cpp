// encode_quadtree and decode_quadtree: argument conversion, the released codec
// work, and the (result, metadata) tuples.
#include <array>
#include <utility>

#include "image/quadtree_decoder.hpp"
#include "image/quadtree_encoder.hpp"
#include "module/call_frame.hpp"
#include "module/conversions.hpp"
#include "module/entry_points.hpp"
#include "module/integer_buffer.hpp"
#include "module/py_ref.hpp"
#include "module/result_builders.hpp"

namespace vak::py {

namespace {

// (width, height, root size, bit depth, threshold tenths), all int.
PyRef build_metadata(const image::ImageMetadata& meta) {
    PyRef items[5] = {PyRef(PyLong_FromLong(static_cast<long>(meta.width))),
                      PyRef(PyLong_FromLong(static_cast<long>(meta.height))),
                      PyRef(PyLong_FromLong(static_cast<long>(meta.root_size))),
                      PyRef(PyLong_FromLong(static_cast<long>(meta.bit_depth))),
                      PyRef(PyLong_FromLong(static_cast<long>(meta.threshold_tenths)))};
    return tuple_of(items, 5);
}

// The encoder's words as a list. Its words take at most 1024 values, so one int
// object per value is shared by all the items that hold it.
PyRef build_stream_list(const image::EncodedWords& words) {
    PyRef list = placeholder_list(words.size());
    if (!list) return list;
    Vec<PyRef> ints(image::kCodeMask + 1);  // off the stack: 8 KiB
    std::size_t at = 0;
    SignalPace pace(1);
    for (std::size_t i = 0; i < words.chunk_count(); ++i) {
        pace.step();  // a chunk is 65,536 words
        const std::uint16_t* codes = words.chunk(i);
        for (std::size_t j = 0, n = words.chunk_size(i); j < n; ++j) {
            PyRef& value = ints[codes[j]];
            if (!value) {
                value =
                    PyRef(PyLong_FromLong(static_cast<long>(image::kImageWordPattern | codes[j])));
                if (!value) return PyRef();
            }
            replace_item(list.get(), at++, Py_NewRef(value.get()));
        }
    }
    return list;
}

// A (result, metadata) pair; nullptr when either is missing.
PyObject* build_pair(PyRef first, PyRef second) {
    PyRef items[2] = {std::move(first), std::move(second)};
    return tuple_of(items, 2).release();
}

}  // namespace

PyObject* encode_quadtree(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        static const char* const kParams[] = {"image_data", "width", "height", "bit_depth",
                                              "threshold"};
        static const Signature kSig{"encode_quadtree", kParams, 5, 5};
        PyObject* slots[5] = {};
        if (!bind_arguments(kSig, args, nargs, kwnames, slots)) return nullptr;
        // An image array (height, width, 3) is read once its sides are known.
        const bool image_array = buffer_dims(slots[0]) == BufferDims::several;
        ByteVec image_data;
        if (!image_array && !to_byte_vector(slots[0], image_data)) {
            return argument_error("image_data");
        }
        std::uint32_t width = 0;
        if (!to_u32(slots[1], width)) return argument_error("width");
        std::uint32_t height = 0;
        if (!to_u32(slots[2], height)) return argument_error("height");
        std::uint8_t bit_depth = 0;
        if (!to_u8(slots[3], bit_depth)) return argument_error("bit_depth");
        double threshold = 0.0;
        if (!to_f64(slots[4], threshold)) return argument_error("threshold");
        if (image_array && !read_image_array(slots[0], width, height, image_data)) return nullptr;

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
        PyRef words = build_stream_list(result.words);
        result.words = image::EncodedWords();  // the list holds them now
        return build_pair(std::move(words), build_metadata(result.metadata));
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
        PyRef pixels(
            PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(decoder.pixel_bytes())));
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
        return build_pair(std::move(pixels), build_metadata(decoder.metadata()));
    });
}

}  // namespace vak::py
