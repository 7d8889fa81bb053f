#include <corvane/host_lookup.hpp>
#include <corvane/c_api.hpp>

#include <cstdint>
#include <map>
#include <string>

namespace corvane {

namespace {

// Process-wide cache of host objects. The entries are deliberately never
// released: extension modules are not unloaded before the interpreter ends.
std::map<std::string, nb::object> &host_cache() {
    static auto *cache = new std::map<std::string, nb::object>();
    return *cache;
}

// In front of it, the objects by the addresses of the texts naming them
// (nearly always string literals), a table of recent lookups. A hit is
// checked against the texts themselves, so a buffer reused for another name
// only misses; the objects are those the cache above keeps for ever.
struct RecentLookup {
    const char *first = nullptr, *second = nullptr;
    std::string first_text, second_text;
    PyObject *value = nullptr;
};

constexpr size_t kRecentLookups = 1024;

RecentLookup &recent_slot(char kind, const char *first, const char *second) {
    static auto *table = new RecentLookup[kRecentLookups];
    size_t hash = (reinterpret_cast<uintptr_t>(first) >> 3) * 31 +
                  (reinterpret_cast<uintptr_t>(second) >> 3) + (size_t) kind;
    return table[(hash ^ (hash >> 10)) % kRecentLookups];
}

PyObject *recent(RecentLookup &slot, const char *first, const char *second) {
    if (slot.value && slot.first == first && slot.second == second &&
        slot.first_text == first && (!second || slot.second_text == second))
        return slot.value;
    return nullptr;
}

nb::handle remember(RecentLookup &slot, const char *first, const char *second, nb::handle value) {
    slot.first = first;
    slot.second = second;
    slot.first_text = first;
    slot.second_text = second ? second : "";
    slot.value = value.ptr();
    return value;
}

}  // namespace

static nb::handle cached_host_module(const char *module);
static nb::handle cached_host_attr(const char *module, const char *name);
static nb::handle cached_interned(const char *text);

nb::handle host_module(const char *module) {
    RecentLookup &slot = recent_slot('m', module, nullptr);
    if (PyObject *value = recent(slot, module, nullptr))
        return value;
    return remember(slot, module, nullptr, cached_host_module(module));
}

nb::handle cached_host_module(const char *module) {
    auto &cache = host_cache();
    std::string key(module);
    auto found = cache.find(key);
    if (found != cache.end())
        return found->second;
    nb::object value = nb::module_::import_(module);
    return cache.emplace(std::move(key), std::move(value)).first->second;
}

nb::handle host_attr(const char *module, const char *name) {
    RecentLookup &slot = recent_slot('a', module, name);
    if (PyObject *value = recent(slot, module, name))
        return value;
    return remember(slot, module, name, cached_host_attr(module, name));
}

nb::handle cached_host_attr(const char *module, const char *name) {
    auto &cache = host_cache();
    std::string key = std::string(module) + ':' + name;
    auto found = cache.find(key);
    if (found != cache.end())
        return found->second;
    nb::object value = host_module(module).attr(name);
    return cache.emplace(std::move(key), std::move(value)).first->second;
}

nb::handle interned(const char *text) {
    RecentLookup &slot = recent_slot('s', text, nullptr);
    if (PyObject *value = recent(slot, text, nullptr))
        return value;
    return remember(slot, text, nullptr, cached_interned(text));
}

nb::handle cached_interned(const char *text) {
    auto &cache = host_cache();
    std::string key = std::string("str:") + text;
    auto found = cache.find(key);
    if (found != cache.end())
        return found->second;
    nb::object value = steal_checked(PyUnicode_InternFromString(text));
    return cache.emplace(std::move(key), std::move(value)).first->second;
}

}  // namespace corvane
