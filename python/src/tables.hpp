// The table functions of chainmelt._core (tables.cpp).
#pragma once

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <cstddef>
#include <string>
#include <vector>

namespace chainmelt_python {

// The lines of a table of records (no header): `leading` (name, value)
// cells first on every line, then the fields of each row (NaN: a field the
// record does not have).
std::string RowsText(pybind11::array_t<double, pybind11::array::c_style | pybind11::array::forcecast> rows,
                     const pybind11::sequence& columns, const pybind11::sequence& leading,
                     const std::string& format);

// The same lines from rows held as vectors (no array is made: a caller
// without NumPy gets the text alone).
std::string RowsTextOf(const std::vector<std::vector<double>>& rows,
                       const pybind11::sequence& columns, const pybind11::sequence& leading,
                       const std::string& format);

// A scan's records table (its TSV text) in another format.
std::string ScanTableAs(const std::string& tsv, const std::string& format,
                        const std::vector<std::string>& scanned);

std::string RunsHeaderText(const std::vector<std::string>& fields,
                           const std::vector<std::string>& extra);

// One line of a runs table; field and extra values are written as leading
// cells of a records table are, so that both tables show a run alike.
std::string RunsLineText(long run, const std::string& key, const pybind11::sequence& fields,
                         const std::string& status, std::size_t records, double seconds,
                         const std::string& worker, const std::string& message,
                         const pybind11::sequence& extra);

}  // namespace chainmelt_python
