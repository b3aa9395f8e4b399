// What the module keeps of one interpreter, and how it lets go of it.
//
// A program that embeds Python may finalise the interpreter and start a new one in
// the same process. The shared object stays loaded, with its statics: the module
// object, the NativeBuffer type and the main thread's identity would then belong to
// a finalised interpreter. So the first initialisation in each interpreter's life
// arranges for them to be forgotten once that interpreter is finalised; the new
// interpreter makes its own. The native objects (the worker pool, the heap) hold
// nothing of an interpreter and stay.
#pragma once

namespace vak::py {

// Called by module initialisation in the main interpreter, with the interpreter
// lock held, before it makes anything. The first call in an interpreter's life
// registers the exit function (Py_AtExit: it runs once, after the interpreter is
// finalised, and is then dropped) and empties the normal-word registry, which the
// code of a finalised interpreter may have filled. Returns false with ImportError
// set when no exit function can be registered (CPython keeps at most 32).
bool enter_interpreter_life();

// Each forgets the objects of a finalised interpreter that its file keeps, without
// touching them (they are leaked: their interpreter is gone). Called by the exit
// function only, when no Python code runs anywhere.
void forget_module_cell() noexcept;         // module_init.cpp, with the interpreter guard
void forget_native_buffer_type() noexcept;  // native_buffer.cpp
void forget_main_thread() noexcept;         // released_section.cpp
void forget_result_texts() noexcept;        // scan_result.cpp

}  // namespace vak::py
