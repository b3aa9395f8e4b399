// configure_normal_words: replaces the normal-word registry with the lock held
// (backend_info, the other call that keeps the lock, is in backend_info.cpp).
#include "module/call_frame.hpp"
#include "module/conversions.hpp"
#include "module/entry_points.hpp"
#include "module/py_ref.hpp"
#include "registry/normal_word_registry.hpp"
#include "registry/word_sort.hpp"

namespace vak::py {

PyObject* configure_normal_words(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                 PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        static const char* const kParams[] = {"words"};
        static const Signature kSig{"configure_normal_words", kParams, 1, 1};
        PyObject* slots[1] = {};
        if (!bind_arguments(kSig, args, nargs, kwnames, slots)) return nullptr;
        WordVec words;
        if (!to_word_vector(slots[0], words)) return argument_error("words");
        // Sorted before the registry is touched, so that an interrupt or a
        // failed allocation leaves it exactly as it was.
        run_holding_lock([&] { registry::sort_distinct(words); });
        const std::uint64_t size = registry::replace_normal_words(words);
        WordVec().swap(words);  // the previous contents, freed outside the registry's lock
        return PyLong_FromUnsignedLongLong(size);
    });
}

}  // namespace vak::py
