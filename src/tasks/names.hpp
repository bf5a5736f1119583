// The names of the tasks, as the command lines, parameter files and Python
// give them: the one place that spells them (the registry finds a task by
// its name; the run's checks compare with these).
#pragma once

namespace chainmelt {

inline constexpr char kTaskPhase[] = "phase";
inline constexpr char kTaskHeat[] = "heat";
inline constexpr char kTaskCoexist[] = "coexist";
inline constexpr char kTaskSize[] = "size";
inline constexpr char kTaskCrit[] = "crit";

}  // namespace chainmelt
