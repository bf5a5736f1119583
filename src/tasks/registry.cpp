#include "tasks/registry.hpp"

namespace chainmelt {

const TaskDef* const* AllTasks() {
  static const TaskDef* const all[kTaskCount] = {&kSizeTask, &kHeatTask, &kCritTask, &kPhaseTask,
                                                 &kCoexistTask};
  return all;
}

const TaskDef* FindTask(std::string_view name) {
  const TaskDef* const* all = AllTasks();
  for (int i = 0; i < kTaskCount; ++i)
    if (name == all[i]->name) return all[i];
  return nullptr;
}

}  // namespace chainmelt
