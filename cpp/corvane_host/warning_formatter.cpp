#include <corvane/warning_formatter.hpp>
#include <corvane/package_entry_points.hpp>

namespace corvane {

ClassBuilder warning_formatter(nb::module_ &scope, const char *name, WarningRules rules,
                               const char *format_doc, const char *assess_doc) {
    ClassBuilder builder = ClassBuilder::plain(scope, name, {package_entry::warning_base()});
    builder
        .method(
            "format",
            [rules](nb::handle, nb::handle config, nb::handle data) {
                RulesOutcome outcome;
                return rules(config, data, outcome);
            },
            nb::arg("config").none(), nb::arg("data").none(),
            nb::sig("def format(self, config: collections.abc.Mapping[str, typing.Any],"
                    " data: typing.Any) -> str"),
            format_doc)
        .method(
            "assess",
            [rules](nb::handle, nb::handle config, nb::handle data) {
                RulesOutcome outcome;
                nb::object text = rules(config, data, outcome);
                return assessment(text, outcome.settle());
            },
            nb::arg("config").none(), nb::arg("data").none(),
            nb::sig("def assess(self, config: collections.abc.Mapping[str, typing.Any],"
                    " data: typing.Any) -> tuple[str, str]"),
            assess_doc);
    return builder;
}

}  // namespace corvane
