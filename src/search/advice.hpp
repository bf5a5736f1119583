// What a search found wrong with the fields of a run, as data: the front ends
// word the field references their own way (the classic command line names
// the argument number, the named form and Python the field alone).
#pragma once

#include <string>
#include <string_view>

#include "numeric/fatal.hpp"

namespace chainmelt {

// The advice is a text in which every field appears in braces, e.g.
// "choose {conc} with -0.2 < conc < 0.8": the braces mark the references to
// fields, the rest is the condition.  Worded(advice, field) replaces each
// "{name}" by field(name).
template <class FieldWording>
std::string Worded(std::string_view advice, FieldWording&& field) {
  std::string out;
  std::size_t i = 0;
  while (i < advice.size()) {
    const std::size_t open = advice.find('{', i);
    const std::size_t close = open == std::string_view::npos ? open : advice.find('}', open);
    if (close == std::string_view::npos) {
      out.append(advice.substr(i));
      break;
    }
    out.append(advice.substr(i, open - i));
    out.append(field(std::string(advice.substr(open + 1, close - open - 1))));
    i = close + 1;
  }
  return out;
}

// The fields as they are named: "choose conc with -0.2 < conc < 0.8".
inline std::string WordedByName(std::string_view advice) {
  return Worded(advice, [](const std::string& name) { return name; });
}

// No feasible start could be drawn.  what() is the message with the fields
// named; head() + Worded(advice(), ...) words it otherwise.
class NoFeasibleStartError : public FatalError {
 public:
  NoFeasibleStartError(const std::string& head, const std::string& advice)
      : FatalError(head + WordedByName(advice)), head_(head), advice_(advice) {}
  const std::string& head() const { return head_; }
  const std::string& advice() const { return advice_; }

 private:
  std::string head_;
  std::string advice_;
};

}  // namespace chainmelt
