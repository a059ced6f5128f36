#include "support/TestSupport.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <memory>
#include <random>
#include <sstream>
#include <stdexcept>

extern char** environ;

namespace testsupport {

TempDir::TempDir(const std::string& tag, const fs::path& parent) {
  const fs::path base = parent.empty() ? fs::temp_directory_path() : parent;
  fs::create_directories(base);
  std::string tmpl = (base / ("brel-" + tag + "-XXXXXX")).string();
  if (!mkdtemp(tmpl.data())) throw std::runtime_error("mkdtemp failed");
  path_ = tmpl;
}

TempDir::~TempDir() {
  std::error_code ec, ignored;
  // Make read-only leftovers removable before deleting the tree. Links are left alone: the
  // change would reach whatever they point to.
  fs::permissions(path_, fs::perms::owner_all, fs::perm_options::add, ignored);
  for (auto it = fs::recursive_directory_iterator(path_, ec); !ec && it != fs::end(it); it.increment(ec))
    if (!it->is_symlink(ignored)) fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ignored);
  fs::remove_all(path_, ec);
}

ScopedEnv::ScopedEnv(std::string name, const std::string& value) : name_(std::move(name)) {
  const char* old = std::getenv(name_.c_str());
  had_ = old != nullptr;
  if (had_) old_ = old;
  ::setenv(name_.c_str(), value.c_str(), 1);
}

ScopedEnv::~ScopedEnv() {
  if (had_)
    ::setenv(name_.c_str(), old_.c_str(), 1);
  else
    ::unsetenv(name_.c_str());
}

std::string ReadFile(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

void WriteFile(const fs::path& p, const std::string& data) {
  if (p.has_parent_path()) fs::create_directories(p.parent_path());
  std::ofstream out(p, std::ios::binary | std::ios::trunc);
  out.write(data.data(), static_cast<std::streamsize>(data.size()));
}

void WriteFile(const fs::path& p, const std::string& data, fs::perms perms) {
  WriteFile(p, data);
  fs::permissions(p, perms);
}

std::string RandomBytes(size_t n, uint32_t seed) {
  std::mt19937 rng(seed);
  std::string s(n, '\0');
  for (auto& c : s) c = static_cast<char>(rng() & 0xFF);
  return s;
}

std::string TextBytes(size_t n, uint32_t seed) {
  static const char* words[] = {"archive ", "brel ", "packer ", "deflate ", "window ",
                                "folder\n", "the ",  "of ",     "zip ",     "entry "};
  std::mt19937 rng(seed);
  std::string s;
  while (s.size() < n) s += words[rng() % 10];
  s.resize(n);
  return s;
}

CommandResult Run(const std::vector<std::string>& argv, const fs::path& cwd) {
  CommandResult r;
  int pipefd[2];
  if (argv.empty() || pipe(pipefd) != 0) return r;
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&fa, pipefd[1], 1);
  posix_spawn_file_actions_adddup2(&fa, pipefd[1], 2);
  posix_spawn_file_actions_addclose(&fa, pipefd[0]);
  if (!cwd.empty()) posix_spawn_file_actions_addchdir_np(&fa, cwd.c_str());
  std::vector<char*> args;
  for (auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  pid_t pid;
  int rc = posix_spawnp(&pid, args[0], &fa, nullptr, args.data(), environ);
  posix_spawn_file_actions_destroy(&fa);
  close(pipefd[1]);
  if (rc == 0) {
    char buf[65536];
    ssize_t n;
    while ((n = read(pipefd[0], buf, sizeof buf)) > 0) r.out.append(buf, static_cast<size_t>(n));
    int st = 0;
    waitpid(pid, &st, 0);
    r.status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
  }
  close(pipefd[0]);
  return r;
}

bool HaveTool(const std::string& name) { return Run({"sh", "-c", "command -v '" + name + "'"}).status == 0; }

std::string MissingTools(const std::vector<std::string>& names) {
  std::string missing;
  for (const std::string& n : names)
    if (!HaveTool(n)) missing += (missing.empty() ? "" : " ") + n;
  return missing;
}

std::map<std::string, std::string> ReadTree(const fs::path& root) {
  std::map<std::string, std::string> tree;
  for (auto& e : fs::recursive_directory_iterator(root)) {
    std::string rel = fs::relative(e.path(), root).generic_string();
    if (e.is_directory())
      tree[rel + "/"] = "";
    else if (e.is_regular_file())
      tree[rel] = ReadFile(e.path());
  }
  return tree;
}

fs::path Testdata(const std::string& rel) { return fs::path(BREL_TESTDATA) / rel; }

namespace {

// The private XDG_DATA_HOME of the whole run (see the header).
class PrivateDataHome : public ::testing::Environment {
 public:
  void SetUp() override {
    dir_ = std::make_unique<TempDir>("data");
    env_ = std::make_unique<ScopedEnv>("XDG_DATA_HOME", dir_->path().string());
  }
  void TearDown() override {
    env_.reset();
    dir_.reset();
  }

 private:
  std::unique_ptr<TempDir> dir_;
  std::unique_ptr<ScopedEnv> env_;
};

[[maybe_unused]] ::testing::Environment* const kPrivateDataHome =
    ::testing::AddGlobalTestEnvironment(new PrivateDataHome);

}  // namespace

}  // namespace testsupport
