// The innermost routines never touch the heap.  This binary replaces the
// global operator new and delete (every form a type of ordinary alignment
// reaches) with counting versions and checks that none of them is called
// while the routines run.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstdlib>
#include <new>
#include <vector>

#include "bench/variants.hpp"
#include "model/free_grad.hpp"
#include "model/model.hpp"
#include "numeric/minimize.hpp"
#include "search/equilibrium.hpp"
#include "search/objective.hpp"
#include "search/search.hpp"

namespace {

long g_news = 0;

void* Allocate(std::size_t size) {
  ++g_news;
  return std::malloc(size == 0 ? 1 : size);
}

void* OrThrow(void* p) {
  if (p == nullptr) throw std::bad_alloc();
  return p;
}

}  // namespace

void* operator new(std::size_t n) { return OrThrow(Allocate(n)); }
void* operator new[](std::size_t n) { return OrThrow(Allocate(n)); }
void* operator new(std::size_t n, const std::nothrow_t&) noexcept { return Allocate(n); }
void* operator new[](std::size_t n, const std::nothrow_t&) noexcept { return Allocate(n); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { std::free(p); }

namespace chainmelt {
namespace {

TEST(NoHeap, WholeMinimisationsAllocateNothing) {
  // The counter sees allocations.
  long before = g_news;
  volatile std::size_t n = 3;
  std::vector<double>* volatile plain = new std::vector<double>(n);
  EXPECT_EQ(g_news - before, 2);
  delete plain;

  for (const bench::Variant& v : bench::Variants()) {
    const Model& m = v.model;
    FreeEnergyObjective objective(m);
    WalledFreeEnergyObjective walled(m);
    StateVec p1 = v.point, p2 = v.point, outside, g;
    int iter = 0;
    before = g_news;
    double fret = 0.0;
    frprmn(p1, m.n0, 1e-15, iter, fret, objective);
    frprmn(p2, m.n0, 1e-15, iter, fret, walled);
    fret = FreeDerCalc(m, outside, g);  // the zero vector: the sentinel
    EXPECT_EQ(g_news - before, 0) << v.name;
    EXPECT_EQ(fret, kSentinel) << v.name;
    EXPECT_GT(iter, 1) << v.name;  // a real minimisation took place
  }
}

// The searches return their minima by value and use the workspace they are
// given: a whole search at a point allocates nothing either.
TEST(NoHeap, SearchesWithTheirWorkspaceAllocateNothing) {
  for (const bench::Variant& v : bench::Variants()) {
    RunState rs;
    static_cast<Model&>(rs) = v.model;
    HesseWork work(rs.n0);
    const long before = g_news;
    const EquilibriumResult r = StepOrderEquilibrium(rs, work);
    Minimum cont;
    if (!IsAltMode(rs.para)) cont = StepOrderCont(rs);
    EXPECT_EQ(g_news - before, 0) << v.name;
    EXPECT_GE(r.minima, 1) << v.name;
    if (!IsAltMode(rs.para)) {
      EXPECT_NE(cont.f, kSentinel) << v.name;
    }
  }
}

}  // namespace
}  // namespace chainmelt
