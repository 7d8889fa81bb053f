#include <corvane/host_lookup.hpp>
#include <corvane/c_api.hpp>

#if defined(__linux__) || defined(__FreeBSD__)
#include <link.h>
#define CORVANE_HAS_PHDR 1
#endif

#include <cstdint>
#include <cstdlib>
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
// (nearly always string literals), a small table of recent lookups. A hit is
// checked against the kind of lookup and the texts themselves (through the
// cache's own key), so a buffer reused for another name, or one literal
// naming a module and a str, only misses. Slots are plain data in zeroed
// memory: the library is linked into every extension module, and pages of
// the table no lookup lands on are never touched.
struct RecentLookup {
    const char *first, *second;
    const std::string *key;  // the cache's key: "<kind>:<first>[:<second>]"
    PyObject *value;
    char kind;
    // The texts lie in this module's read-only memory (its string literals):
    // they cannot change, so their addresses alone tell a hit.
    bool constant;
};

// The read-only segments of the loaded object this library is linked into,
// found once: its code and its constants, string literals among them.
struct ReadOnlySegments {
    static constexpr int kMost = 8;
    uintptr_t start[kMost], end[kMost];
    int count = 0;

    bool contain(const void *address) const {
        auto at = reinterpret_cast<uintptr_t>(address);
        for (int i = 0; i < count; ++i)
            if (at >= start[i] && at < end[i])
                return true;
        return false;
    }
};

const char kOwnLiteral[] = "corvane";

#ifdef CORVANE_HAS_PHDR
int collect_own_segments(struct dl_phdr_info *info, size_t, void *data) {
    auto *segments = static_cast<ReadOnlySegments *>(data);
    auto marker = reinterpret_cast<uintptr_t>(kOwnLiteral);
    bool own = false;
    for (int i = 0; i < info->dlpi_phnum && !own; ++i) {
        const auto &header = info->dlpi_phdr[i];
        uintptr_t start = info->dlpi_addr + header.p_vaddr;
        own = header.p_type == PT_LOAD && marker >= start && marker < start + header.p_memsz;
    }
    if (!own)
        return 0;
    for (int i = 0; i < info->dlpi_phnum && segments->count < ReadOnlySegments::kMost; ++i) {
        const auto &header = info->dlpi_phdr[i];
        if (header.p_type != PT_LOAD || (header.p_flags & PF_W))
            continue;
        uintptr_t start = info->dlpi_addr + header.p_vaddr;
        segments->start[segments->count] = start;
        segments->end[segments->count++] = start + header.p_memsz;
    }
    return 1;
}
#endif

// Where the segments cannot be listed, nothing counts as constant and every
// hit compares the texts.
const ReadOnlySegments &own_read_only_segments() {
    static const ReadOnlySegments segments = [] {
        ReadOnlySegments found;
#ifdef CORVANE_HAS_PHDR
        dl_iterate_phdr(collect_own_segments, &found);
#endif
        // Not found among the segments themselves (it always is): nothing counts as constant.
        if (!found.contain(kOwnLiteral))
            found.count = 0;
        return found;
    }();
    return segments;
}

constexpr size_t kRecentLookups = 512;

std::string cache_key(char kind, const char *first, const char *second) {
    std::string key = std::string(1, kind) + ':' + first;
    if (second)
        key.append(":").append(second);
    return key;
}

// `key` is the cache key of this lookup, compared without building it.
bool key_matches(const std::string &key, char kind, const char *first, const char *second) {
    size_t first_size = std::char_traits<char>::length(first);
    size_t size = 2 + first_size + (second ? 1 + std::char_traits<char>::length(second) : 0);
    if (key.size() != size || key[0] != kind || key[1] != ':' ||
        key.compare(2, first_size, first) != 0)
        return false;
    return !second || (key[2 + first_size] == ':' &&
                       key.compare(3 + first_size, std::string::npos, second) == 0);
}

// The object a lookup of `kind` names by `first` (and `second`): from the
// table of recent lookups, else from the process-wide cache, else made by
// `make()` and kept in both.
template <typename Make>
nb::handle lookup(char kind, const char *first, const char *second, Make &&make) {
    static auto *table =
        static_cast<RecentLookup *>(std::calloc(kRecentLookups, sizeof(RecentLookup)));
    size_t hash = (reinterpret_cast<uintptr_t>(first) >> 3) * 31 +
                  (reinterpret_cast<uintptr_t>(second) >> 3) + (size_t) kind;
    RecentLookup *slot = table ? &table[(hash ^ (hash >> 10)) % kRecentLookups] : nullptr;
    if (slot && slot->value && slot->first == first && slot->second == second &&
        slot->kind == kind && (slot->constant || key_matches(*slot->key, kind, first, second)))
        return slot->value;

    auto &cache = host_cache();
    std::string key = cache_key(kind, first, second);
    auto found = cache.find(key);
    if (found == cache.end()) {
        nb::object value = make();
        found = cache.emplace(std::move(key), std::move(value)).first;
    }
    if (slot) {
        const ReadOnlySegments &constants = own_read_only_segments();
        bool constant = constants.contain(first) && (!second || constants.contain(second));
        *slot = RecentLookup{first, second, &found->first, found->second.ptr(), kind, constant};
    }
    return found->second;
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
