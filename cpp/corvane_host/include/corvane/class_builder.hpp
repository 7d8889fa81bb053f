// Python classes whose methods are C++ functions.
#pragma once

#include <nanobind/nanobind.h>
#include <corvane/host_lookup.hpp>
#include <initializer_list>
#include <utility>

namespace corvane {

namespace nb = nanobind;

// Builds a Python class (through `abc.ABCMeta` or `type`) whose methods are
// C++ functions, and publishes it in the module.
class ClassBuilder {
public:
    // An abstract base class (metaclass abc.ABCMeta); `bases` empty means (abc.ABC,).
    static ClassBuilder abstract(nb::module_ &scope, const char *name,
                                 std::initializer_list<nb::handle> bases = {});
    // A plain class (metaclass type(bases[0]) or type); `bases` empty means (object,).
    static ClassBuilder plain(nb::module_ &scope, const char *name,
                              std::initializer_list<nb::handle> bases = {});

    template <typename F, typename... Extra>
    ClassBuilder &method(const char *name, F &&f, const Extra &...extra) {
        namespace_[name] = nb::cpp_function(std::forward<F>(f), nb::is_method(),
                                            nb::name(name), extra...);
        return *this;
    }

    // A method marked abstract: the class cannot be instantiated until a
    // subclass replaces it.
    template <typename F, typename... Extra>
    ClassBuilder &abstract_method(const char *name, F &&f, const Extra &...extra) {
        namespace_[name] = mark_abstract(nb::cpp_function(
            std::forward<F>(f), nb::is_method(), nb::name(name), extra...));
        return *this;
    }

    template <typename F, typename... Extra>
    ClassBuilder &static_method(const char *name, F &&f, const Extra &...extra) {
        namespace_[name] = host_attr("builtins", "staticmethod")(
            nb::cpp_function(std::forward<F>(f), nb::name(name), extra...));
        return *this;
    }

    template <typename F, typename... Extra>
    ClassBuilder &class_method(const char *name, F &&f, const Extra &...extra) {
        namespace_[name] = host_attr("builtins", "classmethod")(
            nb::cpp_function(std::forward<F>(f), nb::name(name), extra...));
        return *this;
    }

    ClassBuilder &attr(const char *name, nb::handle value) {
        namespace_[name] = value;
        return *this;
    }

    ClassBuilder &doc(const char *text) { return attr("__doc__", nb::str(text)); }

    // Creates the class, stores it as `scope.<name>` and returns it.
    nb::object finish();

    // Wraps a method so that `abc` sees it as abstract; the wrapper binds
    // and calls like the function it carries.
    static nb::object mark_abstract(nb::handle function);

private:
    ClassBuilder(nb::module_ &scope, const char *name, nb::handle metaclass,
                 nb::tuple bases);

    nb::module_ scope_;
    nb::str name_;
    nb::object metaclass_;
    nb::tuple bases_;
    nb::dict namespace_;
};

}  // namespace corvane
