// The innermost routines never touch the heap.  This binary replaces every
// form of the global operator new and delete with counting versions and
// checks that none of them is called while the routines run.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstdlib>
#include <new>
#include <vector>

#include "bench/variants.hpp"
#include "model/free_grad.hpp"
#include "model/model.hpp"
#include "numeric/minimize.hpp"
#include "search/objective.hpp"

namespace {

long g_news = 0;

void* Allocate(std::size_t size) {
  ++g_news;
  return std::malloc(size == 0 ? 1 : size);
}

void* AllocateAligned(std::size_t size, std::align_val_t align) {
  ++g_news;
  const std::size_t a = static_cast<std::size_t>(align);
  return std::aligned_alloc(a, (size + a - 1) / a * a);
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
void* operator new(std::size_t n, std::align_val_t a) { return OrThrow(AllocateAligned(n, a)); }
void* operator new[](std::size_t n, std::align_val_t a) { return OrThrow(AllocateAligned(n, a)); }
void* operator new(std::size_t n, std::align_val_t a, const std::nothrow_t&) noexcept {
  return AllocateAligned(n, a);
}
void* operator new[](std::size_t n, std::align_val_t a, const std::nothrow_t&) noexcept {
  return AllocateAligned(n, a);
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete(void* p, std::align_val_t) noexcept { std::free(p); }
void operator delete[](void* p, std::align_val_t) noexcept { std::free(p); }
void operator delete(void* p, std::size_t, std::align_val_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t, std::align_val_t) noexcept { std::free(p); }
void operator delete(void* p, std::align_val_t, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete[](void* p, std::align_val_t, const std::nothrow_t&) noexcept {
  std::free(p);
}

namespace chainmelt {
namespace {

// Number of allocations made by f().
template <class F>
long NewsDuring(F f) {
  const long before = g_news;
  f();
  return g_news - before;
}

TEST(NoHeap, WholeMinimisationsAllocateNothing) {
  // The counter sees allocations.
  volatile std::size_t n = 3;
  std::vector<double>* volatile plain = nullptr;
  EXPECT_EQ(NewsDuring([&] { plain = new std::vector<double>(n); }), 2);
  delete plain;

  for (const bench::Variant& v : bench::Variants()) {
    const Model& m = v.model;
    auto free_energy = [&m](const StateVec& q) { return FreeCalc(m, q); };
    auto gradient = [&m](const StateVec& q, StateVec& g) { DerCalc(m, q, g); };
    FreeEnergyObjective objective(m);
    WalledFreeEnergyObjective walled(m);
    StateVec p1 = v.point, p2 = v.point, p3 = v.point, outside, g;
    int iter = 0;
    double fret = 0.0;
    EXPECT_EQ(NewsDuring([&] {
                frprmn(p1, m.n0, 1e-15, iter, fret, objective);
                frprmn(p2, m.n0, 1e-15, iter, fret, walled);
                frprmn(p3, m.n0, 1e-15, iter, fret, free_energy, gradient);
                fret = FreeDerCalc(m, outside, g);  // the zero vector: the sentinel
              }),
              0)
        << v.name;
    EXPECT_EQ(fret, kSentinel) << v.name;
    EXPECT_GT(iter, 1) << v.name;  // a real minimisation took place
  }
}

}  // namespace
}  // namespace chainmelt
