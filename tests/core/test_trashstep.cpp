// The Trash step of extraction and what an archive may do to the output folder: planted links
// where the Trash is looked for, a run replacing its own files, folder entries naming the
// output folder itself, the time comparison, and host answers holding a NUL byte.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <fcntl.h>

#include <map>

#include "archive/core/qrvBase.h"
#include "archive/core/qrvErrors.h"
#include "archive/tar/qrvUnTar.h"
#include "support/TestSupport.h"

namespace {

using namespace testsupport;

// A format of its own: the step entries and their data are given.
class TStepReader : public TUnBase {
 public:
  std::vector<std::pair<TStepEntry, std::string>> Items;

 protected:
  int ExtractArchive(TStream32&, int) override {
    for (const auto& [e, data] : Items) ExtractStep(e, [&] { return WriteBlock(data.data(), int32_t(data.size())); });
    return EntryCount;
  }
};

constexpr uint32_t kDos = 0x5A2B6000;  // 2025-01-11 12:00:00

TStepEntry File(const std::string& Name, const std::string& Data, uint32_t Dos = kDos) {
  TStepEntry e;
  e.Name = Name;
  e.Size = int64_t(Data.size());
  e.DosDateTime = Dos;
  e.Check = ckNone;
  return e;
}

TStepEntry Link(const std::string& Name, const std::string& Target) {
  TStepEntry e = File(Name, "");
  e.Link = lkSymbolic;
  e.LinkTarget = Target;
  return e;
}

TStepEntry Dir(const std::string& Name, uint32_t Mode = 0) {
  TStepEntry e = File(Name, "");
  e.IsDir = true;
  e.UnixMode = Mode;
  return e;
}

struct TRun {
  int Count = 0;
  int Trashed = 0;
  std::vector<int32_t> Errors;
};

TRun Extract(const fs::path& T, const std::vector<std::pair<TStepEntry, std::string>>& Items,
             const std::function<void(TStepReader&)>& Setup = {}) {
  WriteFile(T / "archive", "");
  TStepReader r;
  r.Items = Items;
  r.SetArchiveFile((T / "archive").string());
  r.SetExtractDir((T / "out").string());
  r.FileSpec = {"*"};
  r.CreateStoredDirs = true;
  r.TrashChanged = true;
  TRun run;
  r.OnError = [&](TZipCommon*, const std::string&, const std::string&, const std::string&, int32_t Code) {
    run.Errors.push_back(Code);
  };
  if (Setup) Setup(r);
  run.Count = r.Extract();
  run.Trashed = r.TrashedFiles();
  return run;
}

bool Has(const std::vector<int32_t>& Codes, int32_t Code) {
  return std::find(Codes.begin(), Codes.end(), Code) != Codes.end();
}

mode_t ModeOf(const fs::path& P) {
  struct stat st {};
  return lstat(P.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
}

// Links planted where the Trash is looked for never redirect it: the user's file that differs
// goes to the real Trash (or, when the Trash itself is a link, stays), and nothing outside the
// output folder is created, changed or chmodded.
TEST(TrashStep, PlantedLinksNeverRedirectTheTrash) {
  const struct {
    const char* What;
    std::string DataHome;    // below out/
    bool TrashIsLinkBefore;  // a link left there before the run
    std::vector<std::pair<TStepEntry, std::string>> Planted;
  } cases[] = {
      {"files/ and info/ linked out",
       ".local/share",
       false,
       {{Dir(".local/share/Trash/"), ""},
        {Link(".local/share/Trash/files", "../../../../outside"), ""},
        {Link(".local/share/Trash/info", "../../../../outside2"), ""}}},
      {"Trash linked out, extracting into the data folder", "", false, {{Link("Trash", "../outside"), ""}}},
      {"Trash a link before the run", "", true, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.What);
    TempDir t;
    const fs::path data = t / "out" / c.DataHome;
    ScopedEnv env("XDG_DATA_HOME", data.string());
    fs::create_directories(t / "outside");
    fs::create_directories(t / "outside2");
    fs::permissions(t / "outside", fs::perms(0755));
    fs::create_directories(data);
    if (c.TrashIsLinkBefore) fs::create_directory_symlink(t / "outside", data / "Trash");
    WriteFile(t / "out/f", "the user's");
    auto items = c.Planted;
    items.push_back({File("f", "archive's"), "archive's"});
    const TRun run = Extract(t.path(), items);
    EXPECT_TRUE(fs::is_empty(t / "outside"));
    EXPECT_TRUE(fs::is_empty(t / "outside2"));
    EXPECT_EQ(ModeOf(t / "outside"), 0755u);
    if (c.TrashIsLinkBefore) {
      EXPECT_EQ(ReadFile(t / "out/f"), "the user's");  // kept, reported
      EXPECT_TRUE(Has(run.Errors, ecDeleteFile));
    } else {
      EXPECT_EQ(ReadFile(data / "Trash/files/f"), "the user's");
      EXPECT_TRUE(fs::is_regular_file(data / "Trash/info/f.trashinfo"));
      EXPECT_EQ(ReadFile(t / "out/f"), "archive's");
    }
  }
}

// The same through the TAR reader, with an archive GNU tar made: the links, then the user's
// file name twice.
TEST(TrashStep, PlantedLinksInAGnuTarArchive) {
  if (!HaveTool("tar")) GTEST_SKIP() << "GNU tar missing";
  TempDir t;
  ScopedEnv env("XDG_DATA_HOME", (t / "out/.local/share").string());
  fs::create_directories(t / "src/.local/share/Trash");
  fs::create_directories(t / "outside");
  fs::create_symlink("../../../../outside", t / "src/.local/share/Trash/files");
  fs::create_symlink("../../../../outside", t / "src/.local/share/Trash/info");
  const std::string tar = (t / "a.tar").string();
  WriteFile(t / "src/f", "first");
  ASSERT_EQ(testsupport::Run({"tar", "-cf", tar, "-C", (t / "src").string(), ".local", "f"}).status, 0);
  WriteFile(t / "src/f", "second");
  ASSERT_EQ(testsupport::Run({"tar", "-rf", tar, "-C", (t / "src").string(), "f"}).status, 0);
  WriteFile(t / "out/f", "the user's");
  TUnTar u;
  u.SetArchiveFile(tar);
  u.SetExtractDir((t / "out").string());
  u.FileSpec = {"*"};
  u.CreateStoredDirs = true;
  u.TrashChanged = true;
  u.OnError = [](TZipCommon*, const std::string&, const std::string&, const std::string&, int32_t) {};
  u.Extract();
  EXPECT_TRUE(fs::is_empty(t / "outside"));
  EXPECT_EQ(ReadTree(t / "out/.local/share/Trash/files"), (std::map<std::string, std::string>{{"f", "the user's"}}));
  EXPECT_EQ(ReadFile(t / "out/f"), "second");
}

// One run replaces what it wrote itself; only the file that was there before goes to the Trash.
TEST(TrashStep, TheRunsOwnFilesAreReplacedNotTrashed) {
  TempDir t;
  ScopedEnv env("XDG_DATA_HOME", (t / "xdg").string());
  WriteFile(t / "out/f", "before the run");
  std::vector<std::pair<TStepEntry, std::string>> items;
  for (int i = 0; i < 50; ++i) {
    const std::string data = "copy " + std::to_string(i);
    items.push_back({File("f", data, kDos + uint32_t(i)), data});
  }
  const TRun run = Extract(t.path(), items);
  EXPECT_EQ(run.Count, 50);
  EXPECT_EQ(run.Trashed, 1);
  EXPECT_EQ(ReadTree(t / "xdg/Trash/files"), (std::map<std::string, std::string>{{"f", "before the run"}}));
  EXPECT_EQ(ReadFile(t / "out/f"), "copy 49");
}

// A folder entry that reduces to the output folder never changes its mode; one climbing above
// it is refused.
TEST(TrashStep, FolderEntriesNamingTheOutputFolderLeaveItAlone) {
  const struct {
    const char* Name;
    bool Refused;
  } cases[] = {{"../", true}, {"..", true}, {"./", false}, {".", false}, {"/", false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Name);
    TempDir t;
    fs::create_directories(t / "out");
    fs::permissions(t / "out", fs::perms(0755));
    const TRun run = Extract(t.path(), {{Dir(c.Name, 0711), ""}, {Dir("sub/", 0700), ""}});
    EXPECT_EQ(ModeOf(t / "out"), 0755u);
    EXPECT_EQ(ModeOf(t / "out/sub"), 0700u);  // other folders still take theirs
    EXPECT_EQ(Has(run.Errors, ecInvalidFileName), c.Refused);
  }
}

// An existing file goes to the Trash when its size or time differs from the entry's, at the
// precision the entry carries; exact times come back as stored, whatever the year.
TEST(TrashStep, TimesAreComparedAndRestoredAtTheEntrysPrecision) {
  const int64_t base = DosDateTimeToUnix(kDos);
  const struct {
    const char* What;
    std::string Existing;
    int64_t ExistingTime;
    std::optional<int64_t> EntryTime;  // exact time, else the DOS date kDos
    bool Trashed;
  } cases[] = {
      {"identical", "same", base, std::nullopt, false},
      {"edited, same size, an hour later", "SAME", base + 3600, std::nullopt, true},
      {"DOS date: one second is within its precision", "same", base + 1, std::nullopt, false},
      {"exact time: one second differs", "SAME", base + 1, base, true},
      {"exact time, identical", "same", base, base, false},
      {"other size", "longer", base, std::nullopt, true},
      {"exact time in 1966", "same", -126230400, -126230400, false},
      {"exact time in 2242", "same", 8524800000, 8524800000, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.What);
    TempDir t;
    ScopedEnv env("XDG_DATA_HOME", (t / "xdg").string());
    WriteFile(t / "out/f", c.Existing);
    const struct timespec ts[2] = {{time_t(c.ExistingTime), 0}, {time_t(c.ExistingTime), 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, (t / "out/f").c_str(), ts, 0), 0);
    TStepEntry e = File("f", "same");
    e.UnixTime = c.EntryTime;
    const TRun run = Extract(t.path(), {{e, "same"}});
    EXPECT_EQ(run.Trashed, c.Trashed ? 1 : 0);
    EXPECT_EQ(fs::exists(t / "xdg/Trash/files/f"), c.Trashed);
    struct stat st {};
    ASSERT_EQ(stat((t / "out/f").c_str(), &st), 0);
    EXPECT_EQ(int64_t(st.st_mtime), c.EntryTime.value_or(base));
  }
}

// The TAR reader hands its exact times on: times GNU tar stores before 1980 or after 2107 come
// back as they are.
TEST(TrashStep, TarTimesOutsideTheDosRangeComeBack) {
  if (!HaveTool("tar")) GTEST_SKIP() << "GNU tar missing";
  TempDir t;
  const std::map<std::string, std::string> dates = {{"old", "1975-03-04 05:06:07"}, {"far", "2242-01-02 03:04:05"}};
  for (const auto& [name, date] : dates) {
    WriteFile(t / "src" / name, name);
    ASSERT_EQ(testsupport::Run({"touch", "-d", date, (t / "src" / name).string()}).status, 0);
  }
  ASSERT_EQ(testsupport::Run({"tar", "-cf", (t / "a.tar").string(), "-C", (t / "src").string(), "old", "far"}).status,
            0);
  TUnTar u;
  u.SetArchiveFile((t / "a.tar").string());
  u.SetExtractDir((t / "out").string());
  u.FileSpec = {"*"};
  ASSERT_EQ(u.Extract(), 2);
  for (const auto& [name, date] : dates) {
    SCOPED_TRACE(name);
    EXPECT_EQ(fs::last_write_time(t / "out" / name), fs::last_write_time(t / "src" / name));
  }
}

// A host answer holding a NUL byte is refused before any folder of it is made.
TEST(TrashStep, HostNamesWithANulAreRefusedBeforeAnythingIsMade) {
  TempDir t;
  for (const bool inside : {true, false}) {
    SCOPED_TRACE(inside ? "below the output folder" : "elsewhere");
    const std::string renamed = ((inside ? t / "out" : t.path()) / "made").string() + std::string("\0/x", 3) + "/f";
    const TRun run = Extract(t.path(), {{File("f", "data"), "data"}}, [&](TStepReader& r) {
      r.OnRenameFile = [&](TZipCommon*, const std::string&, std::string& New) { New = renamed; };
      r.OnBegin = [](TZipCommon*, const std::string&, int, bool&) {};
    });
    EXPECT_EQ(run.Count, 0);
    EXPECT_TRUE(Has(run.Errors, ecInvalidFileName));
    EXPECT_FALSE(fs::exists(t / "out/made"));
    EXPECT_FALSE(fs::exists(t / "made"));
    EXPECT_FALSE(fs::exists(t / "out/f"));
  }
}

// The output folders stay open between entries: whatever the run (or the host, while it is
// asked) does to a folder afterwards, no write lands outside the output folder or in a folder
// that is no longer at its name. Out is the tree afterwards, regular files only.
TEST(TrashStep, OpenFoldersNeverLeadAstray) {
  const std::string deep = [] {
    std::string d;
    for (int i = 0; i < 40; ++i) d += "d/";
    return d;
  }();
  const struct {
    const char* What;
    std::vector<std::pair<TStepEntry, std::string>> Items;
    std::map<std::string, std::string> Out;
    bool HostMovesA = false;  // asked for a name, the host moves out/a away and links it outside
  } cases[] = {
      {"folder, then a link of its name, then a file in it",
       {{Dir("a/b/"), ""}, {Link("a/b", "../../outside"), ""}, {File("a/b/x", "x"), "x"}},
       {{"a/b/x", "x"}, {"a/old", "the user's"}}},
      {"a link below an open folder is never descended",
       {{File("a/f", "f"), "f"}, {Link("a/l", "../outside"), ""}, {File("a/l/x", "x"), "x"}},
       {{"a/f", "f"}, {"a/old", "the user's"}}},
      {"a file where a folder is open is refused",
       {{File("a/b/f", "f"), "f"}, {File("a/b", "b"), "b"}, {File("a/b/g", "g"), "g"}},
       {{"a/b/f", "f"}, {"a/b/g", "g"}, {"a/old", "the user's"}}},
      {"the user's changed file goes to the Trash, the next lands beside it",
       {{File("a/old", "new"), "new"}, {File("a/g", "g"), "g"}},
       {{"a/old", "new"}, {"a/g", "g"}}},
      {"branches left and come back to, deeper than the open chain",
       {{File("a/b/c/1", "1"), "1"},
        {File("a/x/2", "2"), "2"},
        {File(deep + "3", "3"), "3"},
        {File(deep + "4", "4"), "4"},
        {File("a/b/c/5", "5"), "5"}},
       {{"a/b/c/1", "1"},
        {"a/x/2", "2"},
        {deep + "3", "3"},
        {deep + "4", "4"},
        {"a/b/c/5", "5"},
        {"a/old", "the user's"}}},
      {"the host moves an open folder away while it is asked",
       {{File("a/f", "f"), "f"}, {File("a/g", "g"), "g"}},
       {{"moved/f", "f"}, {"moved/old", "the user's"}},
       true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.What);
    TempDir t;
    ScopedEnv env("XDG_DATA_HOME", (t / "xdg").string());
    fs::create_directories(t / "outside");
    fs::create_directories(t / "out/a");
    WriteFile(t / "out/a/old", "the user's");
    Extract(t.path(), c.Items, [&](TStepReader& r) {
      if (!c.HostMovesA) return;
      r.OnBegin = [](TZipCommon*, const std::string&, int, bool&) {};
      r.OnRenameFile = [&](TZipCommon*, const std::string& Name, std::string& New) {
        if (Name.find("/g") == std::string::npos) return;
        fs::rename(t / "out/a", t / "out/moved");
        fs::create_directory_symlink(t / "outside", t / "out/a");
        New = Name;
      };
    });
    std::map<std::string, std::string> out;
    for (auto& e : fs::recursive_directory_iterator(t / "out"))
      if (e.symlink_status().type() == fs::file_type::regular)
        out[fs::relative(e.path(), t / "out").generic_string()] = ReadFile(e.path());
    EXPECT_EQ(out, c.Out);
    EXPECT_TRUE(fs::is_empty(t / "outside"));
    const auto old = c.Out.find("a/old");
    EXPECT_EQ(fs::exists(t / "xdg/Trash/files/old"), old != c.Out.end() && old->second == "new");
  }
}

}  // namespace
