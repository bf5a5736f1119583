#include "run/layout.hpp"

#include "tasks/lattice.hpp"
#include "tasks/registry.hpp"
#include "tasks/names.hpp"

namespace chainmelt {

Layout LayoutFor(const RunSpec& spec) {
  Layout layout;
  layout.kind = spec.task;
  const TaskDef* task = FindTask(spec.task);
  if (task == nullptr) return layout;
  if (spec.method == Method::kMonteCarlo && (spec.task == kTaskHeat || spec.task == kTaskPhase)) {
    RecordLayout r = LatticeLayout(spec.task);
    layout.kind = std::move(r.kind);
    layout.columns = std::move(r.columns);
    return layout;
  }
  RecordLayout r = task->layout(spec.model, spec.search != SearchMode::kClassic);
  layout.kind = std::move(r.kind);
  layout.columns = std::move(r.columns);
  layout.partial_columns = r.partial_columns;
  return layout;
}

}  // namespace chainmelt
