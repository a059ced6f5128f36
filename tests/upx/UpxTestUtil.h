// Helpers shared by the UPX front-end tests.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>
#include <vector>

#include "upx/UpxJob.h"

namespace upxtest {

namespace fs = std::filesystem;

// A fresh folder under the build tree, removed at the end of the test.
class TTempDir {
public:
    TTempDir()
    {
        std::string templ = std::string(BREL_BINARY_DIR) + "/upx-test-XXXXXX";
        path_ = ::mkdtemp(templ.data());
    }
    TTempDir(const TTempDir&) = delete;
    TTempDir& operator=(const TTempDir&) = delete;
    ~TTempDir()
    {
        std::error_code ec;
        fs::permissions(path_, fs::perms::owner_all, fs::perm_options::add, ec);
        fs::remove_all(path_, ec);
    }
    const std::string& Path() const { return path_; }
    std::string operator/(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

inline void WriteFile(const std::string& path, const std::string& data, fs::perms perms = fs::perms::owner_read | fs::perms::owner_write)
{
    std::ofstream(path, std::ios::binary | std::ios::trunc) << data;
    fs::permissions(path, perms);
}

inline std::string ReadFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

// Records what a UPX job writes to the window.
struct TWindow {
    std::vector<std::string> Lines;
    std::vector<std::pair<int, int>> Gauges;
    int Clears = 0;
    int Pumps = 0;

    TUpxJobIO IO()
    {
        TUpxJobIO io;
        io.ClearMemo1 = [this] { ++Clears, Lines.clear(); };
        io.Memo1Add = [this](const std::string& l) { Lines.push_back(l); };
        io.SetGauges = [this](int a, int b) { Gauges.emplace_back(a, b); };
        io.ProcessMessages = [this] { ++Pumps; };
        return io;
    }
    std::string Text() const
    {
        std::string t;
        for (const auto& l : Lines)
            t += l + "\n";
        return t;
    }
    // The last n lines.
    std::vector<std::string> Tail(size_t n) const
    {
        return {Lines.end() - static_cast<std::ptrdiff_t>(std::min(n, Lines.size())), Lines.end()};
    }
    std::vector<std::string> Head(size_t n) const
    {
        return {Lines.begin(), Lines.begin() + static_cast<std::ptrdiff_t>(std::min(n, Lines.size()))};
    }
};

inline const std::string kSep(76, '*');

}  // namespace upxtest
