#include "registry/normal_word_registry.hpp"

#include <algorithm>
#include <mutex>
#include <shared_mutex>

#include "common/process_wide.hpp"

namespace vak::registry {

namespace {

struct Registry {
    std::shared_mutex lock;
    WordVec contents;  // sorted ascending, no value twice; capacity is reused
};

ProcessWide<Registry> g_registry;

Registry& registry() {
    return g_registry.get([] { return make_forever<Registry>(); });
}

}  // namespace

std::uint64_t replace_normal_words(const WordVec& words) {
    Registry& r = registry();
    std::unique_lock guard(r.lock);
    // Reserve before clearing so that a failed allocation leaves the old contents.
    r.contents.reserve(words.size());
    r.contents.assign(words.begin(), words.end());
    std::sort(r.contents.begin(), r.contents.end());
    r.contents.erase(std::unique(r.contents.begin(), r.contents.end()), r.contents.end());
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
    std::unique_lock guard(r->lock);
    r->contents.clear();
}

}  // namespace vak::registry
