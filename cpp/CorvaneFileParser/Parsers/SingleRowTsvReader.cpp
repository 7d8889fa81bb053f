// Reader of callers that write their whole result as one TSV row under one
// header row (the SMN and GBA callers).
#include <corvane/host.hpp>

namespace nb = nanobind;
using namespace corvane;

namespace {

// One line without its line ending, split on tabs, each field stripped.
nb::list split_fields(nb::handle line) {
    nb::object body = line.attr("rstrip")("\r\n");
    nb::list fields = nb::steal<nb::list>(
        steal_checked(PyUnicode_Split(body.ptr(), nb::str("\t").ptr(), -1)).release());
    for (Py_ssize_t i = 0; i < (Py_ssize_t) fields.size(); ++i)
        fields[i] = fields[i].attr("strip")();
    return fields;
}

// The first two lines of the file, read as UTF-8 (a byte-order mark ignored).
std::pair<nb::list, nb::list> read_two_lines(nb::handle path) {
    nb::object file = host_attr("builtins", "open")(path, "r", nb::arg("encoding") = "utf-8-sig");
    nb::object headers, values;
    try {
        nb::object readline = file.attr("readline");
        headers = readline();
        values = readline();
    } catch (...) {
        file.attr("close")();
        throw;
    }
    file.attr("close")();
    return {split_fields(headers), split_fields(values)};
}

// The configured section whose name, lower-cased, is the file name without
// its last extension; the first section otherwise.
nb::object caller_name_for(nb::handle file_path, nb::handle section_config) {
    nb::object base = host_attr("os.path", "basename")(file_path);
    nb::object stem = host_attr("os.path", "splitext")(base)[0];
    nb::str wanted = lower(stem);

    nb::object chosen;
    iterate_until(section_config.attr("keys")(), [&](nb::handle key) {
        if (!equals(lower(key), wanted))
            return false;
        chosen = nb::borrow(key);
        return true;
    });
    if (chosen.is_valid() && truthy(chosen))
        return chosen;

    nb::object first_it = steal_checked(PyObject_GetIter(section_config.ptr()));
    PyObject *first = PyIter_Next(first_it.ptr());
    if (!first) {
        if (!PyErr_Occurred())
            PyErr_SetNone(PyExc_StopIteration);
        raise_pending();
    }
    return nb::steal(first);
}

nb::object parse(nb::handle self) {
    nb::object file_path = self.attr("file_path");
    auto [headers, values] = read_two_lines(file_path);

    nb::dict parsed;
    size_t count = std::min(headers.size(), values.size());
    for (size_t i = 0; i < count; ++i)
        parsed[headers[i]] = format_value(values[i]);

    nb::object caller_name = caller_name_for(file_path, self.attr("section_config"));
    nb::dict result;
    result[caller_name] = parsed;
    return std::move(result);
}

}  // namespace

NB_MODULE(SingleRowTsvReader, m) {
    nb::object base = import_attr("CorvaneFileParser.Parsers.ReportReaderBase", "ReportReaderBase");
    nb::module_::import_("CorvaneFileParser.Models");

    ClassBuilder::plain(m, "SingleRowTsvReader", {base})
        .doc("Reader of a caller's one-row TSV (SMN and GBA copy-number callers).\n\n"
             "The header row names the columns of the sample row; the section whose name\n"
             "equals the file name without its extension (case ignored) receives the row,\n"
             "otherwise the first configured section. The class attribute sample (None\n"
             "by default) names the sample whose row is read from a multi-row file.")
        .attr("is_tsv_parser", nb::bool_(true))
        .method("parse", &parse,
                nb::sig("def parse(self) -> CorvaneFileParser.Models.JsonDict"),
                "Reads the header and sample rows and returns {section name: {column:\n"
                "normalised value}}. Raises OSError when the file cannot be read and\n"
                "ValueError when it holds no sample row.")
        .finish();
}
