// Where records go: the classic "output.out" bytes, TSV, CSV, JSON Lines, or
// a table in memory.
#pragma once

#include <cstddef>
#include <cstdio>
#include <stdexcept>
#include <string>
#include <vector>

#include "run/layout.hpp"
#include "run/spec.hpp"
#include "run/table.hpp"

namespace chainmelt {

// "error writing NAME: REASON" (REASON from errno, or a general one).
std::string WriteFailure(const std::string& name, int error);

// A lost write: the run stops at once.
class OutputError : public std::runtime_error {
 public:
  explicit OutputError(const std::string& message) : std::runtime_error(message) {}
};

class RecordSink {
 public:
  virtual ~RecordSink() = default;
  // Called once before the first record.
  virtual void Begin(const RunSpec& spec, const Layout& layout) = 0;
  // A complete record (after Partial: the whole record, that part included).
  virtual void Record(const double* v, std::size_t n) = 0;
  // The first n fields of the next record.
  virtual void Partial(const double* v, std::size_t n) = 0;
  // The record begun with Partial ends with only its first n fields.
  virtual void Truncated(const double* v, std::size_t n) = 0;
};

// The classic bytes: every double "%f ", every integer "%i ", a newline at
// the end of a record; the ligand-size task follows every complete record with its
// 78-byte header line.  A write error throws OutputError at once.
class ClassicSink : public RecordSink {
 public:
  ClassicSink(std::FILE* file, std::string name) : file_(file), name_(std::move(name)) {}
  void Begin(const RunSpec& spec, const Layout& layout) override;
  void Record(const double* v, std::size_t n) override;
  void Partial(const double* v, std::size_t n) override;
  void Truncated(const double* v, std::size_t n) override;

 private:
  void Fields(const double* v, std::size_t from, std::size_t to);
  void Check();

  std::FILE* file_;
  std::string name_;
  Layout layout_;
  std::size_t written_ = 0;  // fields of the current record already written
};

// TSV: a comment line with the program and the parameters, a comment line
// with the units, a header line of names, one line per record.  CSV: a
// header line of names, one line per record.  JSON Lines: a first object
// with the program version, the parameters and the columns with their
// units, then one object per record.  Numbers are written in the shortest
// form that reads back as the same double; fields a record does not have
// are empty (TSV, CSV) or null (JSON Lines).
class TextSink : public RecordSink {
 public:
  TextSink(std::FILE* file, std::string name, TextFormat format)
      : file_(file), name_(std::move(name)), format_(format) {}
  void Begin(const RunSpec& spec, const Layout& layout) override;
  void Record(const double* v, std::size_t n) override { Row(v, n); }
  void Partial(const double*, std::size_t) override {}
  void Truncated(const double* v, std::size_t n) override { Row(v, n); }

 private:
  void Row(const double* v, std::size_t n);
  void Check();

  std::FILE* file_;
  std::string name_;
  TextFormat format_;
  TableWriter writer_;
  std::string line_;
};

// Records kept in memory, one row of doubles each (fields a record does not
// have are NaN).
class TableSink : public RecordSink {
 public:
  void Begin(const RunSpec&, const Layout& layout) override { layout_ = layout; }
  void Record(const double* v, std::size_t n) override { Row(v, n); }
  void Partial(const double*, std::size_t) override {}
  void Truncated(const double* v, std::size_t n) override { Row(v, n); }

  const Layout& layout() const { return layout_; }
  const std::vector<std::vector<double>>& rows() const { return rows_; }

 private:
  void Row(const double* v, std::size_t n);
  Layout layout_;
  std::vector<std::vector<double>> rows_;
};

// The parameters of a run as one JSON object (every field by name, the
// derived dH and dS included).
std::string ParametersJson(const RunSpec& spec);
// The same as blank-separated key=value pairs.
std::string ParametersText(const RunSpec& spec);

}  // namespace chainmelt
