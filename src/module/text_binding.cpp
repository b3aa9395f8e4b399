// encode_text: copies the str's UTF-8 form, encodes it with the lock released
// and returns the words as a list of int.
#include <utility>

#include "module/call_frame.hpp"
#include "module/conversions.hpp"
#include "module/entry_points.hpp"
#include "module/result_builders.hpp"
#include "text/encoder.hpp"

namespace vak::py {

PyObject* encode_text(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        static const char* const kParams[] = {"text"};
        static const Signature kSig{"encode_text", kParams, 1, 1};
        PyObject* slots[1] = {};
        if (!bind_arguments(kSig, args, nargs, kwnames, slots)) return nullptr;
        ByteVec utf8;
        if (!to_text(slots[0], utf8)) return argument_error("text");
        WordVec words;
        if (!run_released([&] {
                words = text::encode_text(utf8.data(), utf8.size());
                ByteVec().swap(utf8);  // the copy is not needed while the list is built
            })) {
            return nullptr;
        }
        return build_word_list(words.data(), words.size());
    });
}

}  // namespace vak::py
