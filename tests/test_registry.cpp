// The task registry: every task's records are as long as the columns its
// layout declares, for every variant and both searches; and the messages of
// a failed start name their fields as each front end words them.
#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "run/layout.hpp"
#include "run/run.hpp"
#include "search/advice.hpp"
#include "tasks/registry.hpp"

namespace chainmelt {
namespace {

class Quiet : public Reporter {
 public:
  void Progress(const char*) override {}
  void Diagnostic(const char*) override {}
};

// Checks the length of every record against the layout the run began with.
class LengthSink : public RecordSink {
 public:
  void Begin(const RunSpec&, const Layout& layout) override { layout_ = layout; }
  void Record(const double*, std::size_t n) override {
    ++records;
    EXPECT_EQ(n, layout_.columns.size()) << layout_.kind;
  }
  void Partial(const double*, std::size_t n) override {
    ++partials;
    EXPECT_EQ(n, layout_.partial_columns) << layout_.kind;
  }
  void Truncated(const double*, std::size_t n) override {
    ++records;
    EXPECT_EQ(n, layout_.partial_columns) << layout_.kind;
  }
  int records = 0, partials = 0;

 private:
  Layout layout_;
};

// A model of variant n0 (alt: the ligand-activity mode) with a transition
// inside the sweep 2.8 ... 3.4.
RunSpec Spec(const char* task, int n0, bool alt, SearchMode search) {
  RunSpec s;
  s.task = task;
  s.model.n0 = n0;
  Para& p = s.model.para;
  p.w = -1.0, p.dH = 10.0, p.dS = 3.2, p.w2 = 0.3, p.w3 = 0.1, p.e2 = 0.2;
  p.conc = 0.25, p.conc2 = 0.25, p.z = 0.5, p.nu = 1, p.dH2 = 0.2, p.dS2 = 0.05;
  if (alt) p.mode = kAltMode, p.conc2 = 0.3;
  if (n0 == 8) p.conc = 0.5;  // where the fluid-rich starts of n0 = 8 are feasible
  if (std::string(task) == "coexist") p.w = -4.0, p.dS = 8.0, p.dH = 36.0, p.w3 = 0.0;  // below Tc
  p.sweep = "T";
  s.model.T = 3.0;
  s.T_min = 2.8, s.T_max = 3.4, s.dT = 0.1;
  s.search = search;
  return s;
}

TEST(TaskRegistry, EveryRecordHasTheColumnsOfItsLayout) {
  struct Variant {
    int n0;
    bool alt;
  };
  const Variant variants[] = {{1, false}, {2, false}, {4, false}, {5, false}, {8, false}, {2, true}};
  const TaskDef* const* all = AllTasks();
  for (int t = 0; t < kTaskCount; ++t) {
    const TaskDef& def = *all[t];
    for (const Variant& v : variants) {
      for (SearchMode search : {SearchMode::kClassic, SearchMode::kEquilibrium}) {
        // crit's simplex and the coexistence searches are long: one pair
        // variant each is enough to check their records.
        if ((def.once || !def.concurrent) && !(v.n0 == 2 && !v.alt) &&
            std::string(def.name) != "size")
          continue;
        if (std::string(def.name) == "size" && v.n0 != 1) continue;
        RunSpec spec = Spec(def.name, v.n0, v.alt, search);
        if (std::string(def.name) == "size") spec.T_min = 0.5, spec.T_max = 6.0, spec.dT = 0.5;
        SCOPED_TRACE(std::string(def.name) + " n0 " + std::to_string(v.n0) +
                     (v.alt ? " alt" : "") + (search == SearchMode::kClassic ? "" : " eq"));
        const Layout layout = LayoutFor(spec);
        ASSERT_FALSE(layout.columns.empty());
        std::set<std::string> names;
        for (const Column& c : layout.columns) names.insert(c.name);
        EXPECT_EQ(names.size(), layout.columns.size()) << "column names repeat";
        LengthSink sink;
        Quiet quiet;
        const RunSummary r = Execute(spec, sink, quiet);
        EXPECT_FALSE(r.fatal) << r.message;
        EXPECT_GT(sink.records, 0);
      }
    }
  }
}

TEST(TaskRegistry, FindsEveryTaskByNameAndNothingElse) {
  const TaskDef* const* all = AllTasks();
  for (int t = 0; t < kTaskCount; ++t) EXPECT_EQ(FindTask(all[t]->name), all[t]);
  EXPECT_EQ(FindTask("Phase"), nullptr);
  EXPECT_EQ(FindTask(""), nullptr);
  // Only the tasks whose points share nothing but the generator run concurrently.
  for (int t = 0; t < kTaskCount; ++t) EXPECT_FALSE(all[t]->once && all[t]->concurrent);
}

TEST(Advice, FieldsAreWordedByTheCaller) {
  const std::string advice = "choose {conc} with 0.2 + 0.4*conc2 < conc < 0.8, or a smaller {conc2}";
  EXPECT_EQ(WordedByName(advice),
            "choose conc with 0.2 + 0.4*conc2 < conc < 0.8, or a smaller conc2");
  EXPECT_EQ(Worded(advice, [](const std::string& f) { return "<" + f + ">"; }),
            "choose <conc> with 0.2 + 0.4*conc2 < conc < 0.8, or a smaller <conc2>");
  EXPECT_EQ(WordedByName("no braces {"), "no braces {");

  // n0 = 2 needs conc > 0.2 for its fluid-rich starts.
  RunSpec spec = Spec("phase", 2, false, SearchMode::kClassic);
  spec.model.para.conc = 0.0;
  LengthSink sink;
  Quiet quiet;
  const RunSummary r = Execute(spec, sink, quiet);
  ASSERT_TRUE(r.fatal);
  const std::string head =
      "StepOrderDiscont (fluid-rich family, start 0.8 - conc = 0.800000, n0 = 2): 1000000 start "
      "states in a row were infeasible; ";
  EXPECT_EQ(r.message, head + "choose conc (argument 16) with 0.2 < conc < 0.8");
  EXPECT_EQ(r.named_message, head + "choose conc with 0.2 < conc < 0.8");
}

}  // namespace
}  // namespace chainmelt
