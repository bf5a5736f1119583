// Every stored golden run (tests/golden/<name>/: argument line, exit status,
// standard output, output.out) is repeated with the current binary and must
// reproduce both outputs byte for byte.  tests/golden/generate.sh writes them.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "e2e_util.hpp"

namespace chainmelt {
namespace {

namespace fs = std::filesystem;
using testing::ReadFile;

TEST(Golden, OutputsAreByteIdentical) {
  const fs::path root = fs::path(CHAINMELT_SOURCE_DIR) / "tests" / "golden";
  std::vector<fs::path> cases;
  for (const auto& entry : fs::directory_iterator(root))
    if (fs::exists(entry.path() / "args")) cases.push_back(entry.path());
  std::sort(cases.begin(), cases.end());
  ASSERT_GE(cases.size(), 10u) << "golden runs missing below " << root;

  for (const fs::path& dir : cases) {
    SCOPED_TRACE(dir.filename().string());
    testing::TempDir tmp;
    const testing::RunResult r = testing::RunChainmelt(
        testing::Fields(ReadFile((dir / "args").string())), tmp.path().string());
    EXPECT_EQ(std::to_string(r.status) + "\n", ReadFile((dir / "status").string()));
    EXPECT_TRUE(r.out == ReadFile((dir / "stdout").string())) << "standard output differs";
    EXPECT_TRUE(ReadFile(tmp.file("output.out")) == ReadFile((dir / "output.out").string()))
        << "output.out differs";
  }
}

}  // namespace
}  // namespace chainmelt
