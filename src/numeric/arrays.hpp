// Index-range arrays.
//
// Vectors and matrices addressed by an inclusive index range, in this program
// always starting at 1 (p[1..n0], hes[1..n0][1..n0]).  Every block keeps one
// spare leading slot, so element [lo] is the second element of its block, and
// a matrix keeps all its rows one after the other in a single row-major data
// block.  Storage is owned by the array (no manual release at call sites) and
// is zero-filled on allocation.  Allocation failure is a fatal error.
//
// StateVec is the fixed-capacity state vector of the model: at most eight
// components, indexed 1..n, living on the stack, so that the innermost
// routines (free energy, gradient, line searches) never touch the heap.
#pragma once

#include <array>
#include <cstddef>
#include <new>
#include <type_traits>
#include <vector>

#include "numeric/fatal.hpp"

namespace chainmelt {

// Largest number of state variables of any model variant.
inline constexpr int kMaxVars = 8;

struct StateVec {
  std::array<double, kMaxVars + 1> a{};  // a[0] is the spare slot

  double& operator[](int i) { return a[static_cast<std::size_t>(i)]; }
  const double& operator[](int i) const { return a[static_cast<std::size_t>(i)]; }
};

template <class T>
class IndexVector {
 public:
  IndexVector() = default;
  // Elements [lo..hi]; hi = lo - 1 is a valid empty range.
  IndexVector(int lo, int hi) : lo_(lo), hi_(hi) {
    try {
      data_.assign(static_cast<std::size_t>(hi - lo + 2), T{});
    } catch (const std::bad_alloc&) {
      vornerror(kIsInt ? "allocation failure in ivector()" : "allocation failure in vector()");
    }
  }

  T& operator[](int i) { return data_[static_cast<std::size_t>(i - lo_ + 1)]; }
  const T& operator[](int i) const { return data_[static_cast<std::size_t>(i - lo_ + 1)]; }
  int lo() const { return lo_; }
  int hi() const { return hi_; }

 private:
  static constexpr bool kIsInt = std::is_integral<T>::value;
  std::vector<T> data_;
  int lo_ = 1;
  int hi_ = 0;
};

using Vector = IndexVector<double>;
using IVector = IndexVector<int>;

class Matrix {
 public:
  template <class P>
  class Row {
   public:
    Row(P base, int clo) : base_(base), clo_(clo) {}
    auto& operator[](int j) const { return base_[j - clo_]; }

   private:
    P base_;
    int clo_;
  };

  Matrix() = default;
  // Elements [rlo..rhi][clo..chi], rows contiguous and row-major.
  Matrix(int rlo, int rhi, int clo, int chi)
      : rlo_(rlo), rhi_(rhi), clo_(clo), chi_(chi), ncol_(chi - clo + 1) {
    try {
      data_.assign(static_cast<std::size_t>((rhi - rlo + 1) * ncol_ + 1), 0.0);
    } catch (const std::bad_alloc&) {
      vornerror("allocation failure 2 in matrix()");
    }
  }

  Row<double*> operator[](int i) { return {data_.data() + 1 + (i - rlo_) * ncol_, clo_}; }
  Row<const double*> operator[](int i) const {
    return {data_.data() + 1 + (i - rlo_) * ncol_, clo_};
  }
  // The whole data block, spare slot first.
  const std::vector<double>& block() const { return data_; }
  int rlo() const { return rlo_; }
  int rhi() const { return rhi_; }
  int clo() const { return clo_; }
  int chi() const { return chi_; }

 private:
  std::vector<double> data_;
  int rlo_ = 1, rhi_ = 0, clo_ = 1, chi_ = 0, ncol_ = 0;
};

}  // namespace chainmelt
