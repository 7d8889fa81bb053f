#include <corvane/class_builder.hpp>
#include <corvane/host_lookup.hpp>

namespace corvane {

namespace {

nb::tuple make_bases(std::initializer_list<nb::handle> bases, nb::handle fallback) {
    if (bases.size() == 0)
        return nb::make_tuple(fallback);
    nb::list items;
    for (nb::handle base : bases)
        items.append(base);
    return nb::tuple(items);
}

// A descriptor carrying a method that `abc` must treat as abstract. Class
// access returns the carrier itself (so ABCMeta sees `__isabstractmethod__`
// on subclasses that do not replace it); instance access binds the carried
// function like any method.
nb::object abstract_carrier_type() {
        nb::dict ns;
        ns["__isabstractmethod__"] = nb::bool_(true);
        ns["__init__"] = nb::cpp_function(
            [](nb::handle self, nb::handle func) {
                nb::setattr(self, "__func__", func);
                nb::setattr(self, "__name__", func.attr("__name__"));
                nb::setattr(self, "__qualname__", func.attr("__name__"));
                nb::setattr(self, "__doc__", nb::getattr(func, "__doc__", nb::none()));
            },
            nb::is_method(), nb::name("__init__"));
        ns["__get__"] = nb::cpp_function(
            [](nb::handle self, nb::handle instance, nb::handle owner) -> nb::object {
                if (instance.is_none())
                    return nb::borrow(self);
                return self.attr("__func__").attr("__get__")(instance, owner);
            },
            nb::is_method(), nb::name("__get__"), nb::arg("instance").none(),
            nb::arg("owner").none() = nb::none());
        ns["__call__"] = nb::cpp_function(
            [](nb::handle self, nb::args args, nb::kwargs kwargs) {
                return self.attr("__func__")(*args, **kwargs);
            },
            nb::is_method(), nb::name("__call__"));
        ns["__module__"] = nb::str("abc");
    return host_attr("builtins", "type")(nb::str("abstractmethod"),
                                         nb::make_tuple(host_attr("builtins", "object")), ns);
}

}  // namespace

ClassBuilder::ClassBuilder(nb::module_ &scope, const char *name, nb::handle metaclass,
                           nb::tuple bases)
    : scope_(scope), name_(name), metaclass_(nb::borrow(metaclass)),
      bases_(std::move(bases)) {
    namespace_["__module__"] = scope_.attr("__name__");
    namespace_["__qualname__"] = name_;
}

ClassBuilder ClassBuilder::abstract(nb::module_ &scope, const char *name,
                                    std::initializer_list<nb::handle> bases) {
    return ClassBuilder(scope, name, host_attr("abc", "ABCMeta"),
                        make_bases(bases, host_attr("abc", "ABC")));
}

ClassBuilder ClassBuilder::plain(nb::module_ &scope, const char *name,
                                 std::initializer_list<nb::handle> bases) {
    nb::tuple base_tuple = make_bases(bases, host_attr("builtins", "object"));
    // A subclass keeps the metaclass of its first base (abc.ABCMeta for the
    // abstract contracts).
    nb::handle metaclass((PyObject *) Py_TYPE(base_tuple[0].ptr()));
    return ClassBuilder(scope, name, metaclass, base_tuple);
}

nb::object ClassBuilder::mark_abstract(nb::handle function) {
    return abstract_carrier_type()(function);
}

nb::object ClassBuilder::finish() {
    nb::object cls = metaclass_(name_, bases_, namespace_);
    scope_.attr(name_) = cls;
    return cls;
}

}  // namespace corvane
