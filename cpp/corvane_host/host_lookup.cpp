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
// checked against the kind of lookup and the texts themselves, so a buffer
// reused for another name, or one literal naming a module and a str, only
// misses; the objects are those the cache above keeps for ever.
struct RecentLookup {
    char kind = 0;
    const char *first = nullptr, *second = nullptr;
    std::string first_text, second_text;
    PyObject *value = nullptr;
};

constexpr size_t kRecentLookups = 1024;

// The object a lookup of `kind` names by `first` (and `second`): from the
// table of recent lookups, else from the process-wide cache under `key`,
// else made by `make()` and kept in both.
template <typename Make>
nb::handle lookup(char kind, const char *first, const char *second, Make &&make) {
    static auto *table = new RecentLookup[kRecentLookups];
    size_t hash = (reinterpret_cast<uintptr_t>(first) >> 3) * 31 +
                  (reinterpret_cast<uintptr_t>(second) >> 3) + (size_t) kind;
    RecentLookup &slot = table[(hash ^ (hash >> 10)) % kRecentLookups];
    if (slot.value && slot.kind == kind && slot.first == first && slot.second == second &&
        slot.first_text == first && (!second || slot.second_text == second))
        return slot.value;

    auto &cache = host_cache();
    std::string key = std::string(1, kind) + ':' + first;
    if (second)
        key.append(":").append(second);
    auto found = cache.find(key);
    nb::handle value = found != cache.end()
                           ? nb::handle(found->second)
                           : nb::handle(cache.emplace(std::move(key), make()).first->second);
    slot.kind = kind;
    slot.first = first;
    slot.second = second;
    slot.first_text = first;
    slot.second_text = second ? second : "";
    slot.value = value.ptr();
    return value;
}

}  // namespace

nb::handle host_module(const char *module) {
    return lookup('m', module, nullptr, [&] { return nb::module_::import_(module); });
}

nb::handle host_attr(const char *module, const char *name) {
    return lookup('a', module, name, [&] { return nb::object(host_module(module).attr(name)); });
}

nb::handle interned(const char *text) {
    return lookup('s', text, nullptr,
                  [&] { return steal_checked(PyUnicode_InternFromString(text)); });
}

}  // namespace corvane
