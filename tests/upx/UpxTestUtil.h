// Helpers shared by the UPX front-end tests.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <unistd.h>
#include <utility>
#include <vector>

#include "support/TestSupport.h"
#include "upx/UpxJob.h"

namespace upxtest {

namespace fs = std::filesystem;

// A fresh folder under the build tree, removed at the end of the test. The tests run programs
// they put there, so it stays off the system temporary folder, which may forbid that.
class TTempDir : public testsupport::StringTempDir {
 public:
  TTempDir() : StringTempDir("upx", BREL_BINARY_DIR) {}
};

using testsupport::ReadFile;
using testsupport::WriteFile;

// Records what a UPX job writes to the window.
struct TWindow {
  std::vector<std::string> Lines;
  std::vector<std::pair<int, int>> Gauges;
  int Clears = 0;
  int Pumps = 0;

  TUpxJobIO IO() {
    TUpxJobIO io;
    io.ClearMemo1 = [this] { ++Clears, Lines.clear(); };
    io.Memo1Add = [this](const std::string& l) { Lines.push_back(l); };
    io.SetGauges = [this](int a, int b) { Gauges.emplace_back(a, b); };
    io.ProcessMessages = [this] { ++Pumps; };
    return io;
  }
  std::string Text() const {
    std::string t;
    for (const auto& l : Lines) t += l + "\n";
    return t;
  }
  // The last n lines.
  std::vector<std::string> Tail(size_t n) const {
    return {Lines.end() - static_cast<std::ptrdiff_t>(std::min(n, Lines.size())), Lines.end()};
  }
  std::vector<std::string> Head(size_t n) const {
    return {Lines.begin(), Lines.begin() + static_cast<std::ptrdiff_t>(std::min(n, Lines.size()))};
  }
};

inline const std::string kSep(76, '*');

}  // namespace upxtest
