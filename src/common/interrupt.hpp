// Stopping long native work early when the caller asks for it (Ctrl-C).
//
// Cores call `interrupt::poll()` regularly inside their loops: about every
// 10-100 microseconds of work (every few tens of thousands of words, pixels or
// characters). With no checker installed on the thread, a poll is one
// thread-local load. The checker installed by the caller decides whether it is
// time to look (from a cheap coarse clock: about every 50 ms while the
// interpreter lock is given up, 20 ms while it is held; a batch worker's checker
// reads its job's flag) and throws `Interrupted` when the work is to stop. Cores
// need no handling of their own: like std::bad_alloc, `Interrupted` unwinds
// through them, and everything they own is released on the way.
#pragma once

namespace vak::interrupt {

// Thrown through a computation that was asked to stop. Carries nothing: the
// checker that threw it keeps the reason.
struct Interrupted {};

class Checker {
public:
    // Throws Interrupted if the work is to stop; otherwise returns quickly.
    virtual void poll() = 0;

protected:
    ~Checker() = default;
};

namespace detail {
inline thread_local Checker* t_current = nullptr;
}

// Polls the checker installed on this thread, if any.
inline void poll() {
    if (Checker* checker = detail::t_current) checker->poll();
}

// Installs `checker` on this thread for the scope's lifetime.
class Scope {
public:
    explicit Scope(Checker* checker) noexcept : previous_(detail::t_current) {
        detail::t_current = checker;
    }
    ~Scope() { detail::t_current = previous_; }
    Scope(const Scope&) = delete;
    Scope& operator=(const Scope&) = delete;

private:
    Checker* previous_;
};

}  // namespace vak::interrupt
