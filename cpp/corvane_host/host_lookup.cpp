#include <corvane/host_lookup.hpp>
#include <corvane/c_api.hpp>

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

}  // namespace

nb::handle host_module(const char *module) {
    auto &cache = host_cache();
    std::string key(module);
    auto found = cache.find(key);
    if (found != cache.end())
        return found->second;
    nb::object value = nb::module_::import_(module);
    return cache.emplace(std::move(key), std::move(value)).first->second;
}

nb::handle host_attr(const char *module, const char *name) {
    auto &cache = host_cache();
    std::string key = std::string(module) + ':' + name;
    auto found = cache.find(key);
    if (found != cache.end())
        return found->second;
    nb::object value = host_module(module).attr(name);
    return cache.emplace(std::move(key), std::move(value)).first->second;
}

nb::handle interned(const char *text) {
    auto &cache = host_cache();
    std::string key = std::string("str:") + text;
    auto found = cache.find(key);
    if (found != cache.end())
        return found->second;
    nb::object value = steal_checked(PyUnicode_InternFromString(text));
    return cache.emplace(std::move(key), std::move(value)).first->second;
}

}  // namespace corvane
