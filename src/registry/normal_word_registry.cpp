#include "registry/normal_word_registry.hpp"

#include <mutex>
#include <shared_mutex>

#include "common/process_wide.hpp"

namespace vak::registry {

namespace {

struct Registry {
    std::shared_mutex lock;
    WordVec contents;  // sorted ascending, no value twice
};

ProcessWide<Registry> g_registry;

Registry& registry() {
    return g_registry.get([] { return make_forever<Registry>(); });
}

}  // namespace

std::uint64_t replace_normal_words(WordVec& words) {
    Registry& r = registry();
    std::unique_lock guard(r.lock);
    // The contents change in one step: a caller interrupted while it sorted
    // never got here, and the registry is exactly as it was.
    r.contents.swap(words);
    return r.contents.size();
}

std::uint64_t normal_word_count() {
    Registry* r = g_registry.peek();
    if (r == nullptr) return 0;
    std::shared_lock guard(r->lock);
    return r->contents.size();
}

void forget_normal_words() noexcept {
    Registry* r = g_registry.peek();
    if (r == nullptr) return;
    WordVec previous;
    {
        std::unique_lock guard(r->lock);
        previous.swap(r->contents);
    }  // freed outside the lock
}

}  // namespace vak::registry
