// The registry of tasks: the one place that knows them by name.
//
// To add a task: write its .cpp (its routine, its record declared once with
// RecordBuf, a Task class and a TaskDef), declare the TaskDef below and list
// it in registry.cpp.
#pragma once

#include <memory>
#include <string_view>

#include "model/run_state.hpp"
#include "tasks/record.hpp"
#include "tasks/tasks.hpp"

namespace chainmelt {

struct TaskDef {
  const char* name;  // as given on the command line
  bool once;         // runs once, at the first sweep point (size, crit)
  bool concurrent;   // its sweep points may be searched concurrently
  // The records the task writes for a model (n0, mode, sweep selector) with
  // the classic search (false) or the equilibrium search (true).
  RecordLayout (*layout)(const Model& m, bool equilibrium);
  // The task for a run, made once per run (or once per concurrent point).
  std::unique_ptr<Task> (*make)(const RunState& rs);
};

// The task of that name, or null.
const TaskDef* FindTask(std::string_view name);

// Every task, in the order of the help texts.
inline constexpr int kTaskCount = 5;
const TaskDef* const* AllTasks();

extern const TaskDef kSizeTask, kHeatTask, kCritTask, kPhaseTask, kCoexistTask;

}  // namespace chainmelt
