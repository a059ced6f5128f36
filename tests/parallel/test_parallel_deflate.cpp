// Deflate on several workers: .gz, .tgz and MSZIP cabinets come out byte for byte the same for
// any worker count, and the peers read them; a cancelled parallel run leaves nothing behind.
#include <gtest/gtest.h>
#include <zlib.h>

#include "archive/cab/qrvMakeCab.h"
#include "archive/core/qrvDeflateChunks.h"
#include "archive/core/qrvWorkerPool.h"
#include "archive/tar/qrvtar.h"
#include "archive/zip/qrvGZip.h"
#include "support/TestSupport.h"

using namespace testsupport;

namespace {

constexpr size_t kChunk = 128 << 10;

// Hooks every writer run below shares: errors collected, cancel on the Nth progress step.
struct TRunHooks {
  std::vector<int32_t> Errors;
  int CancelAtStep = 0;  // 0: never
  void Attach(TCompBase& W) {
    W.OnError = [this](TZipCommon*, const std::string&, const std::string&, const std::string&, int32_t c) {
      Errors.push_back(c);
    };
    W.OnProgress = [this, &W](TZipCommon*, uint8_t, uint8_t) {
      if (CancelAtStep > 0 && --CancelAtStep == 0) W.SetCancel(true);
    };
  }
};

int GzipFile(const fs::path& Source, const fs::path& Gz, int Workers, TRunHooks& Hooks) {
  TGZip g;
  Hooks.Attach(g);
  g.Workers = Workers;
  g.ConfirmOverwrites = false;
  g.DeleteOptions = doFinal;
  g.SingleOutput = true;
  g.OutputName = Gz.string();
  g.SetArchiveFile(Gz.string());
  g.FileSpec = {Source.string()};
  return g.Compress();
}

// Packs Folder (recursively, names relative to it) into Archive with writer W.
int PackFolder(TCompBase& W, const fs::path& Folder, const fs::path& Archive, int Workers, TRunHooks& Hooks) {
  Hooks.Attach(W);
  W.Workers = Workers;
  W.DeleteOptions = doFinal;
  W.StoredDirNames = sdRelative;
  W.RecurseDirs = true;
  W.FileSpec = {(Folder / "*.*").string()};
  W.SetArchiveFile(Archive.string());
  return W.Compress();
}

int TgzFolder(const fs::path& Folder, const fs::path& Tgz, int Workers, TRunHooks& Hooks) {
  TTar w;
  w.SetCompressMethod(cmTarGzip);
  return PackFolder(w, Folder, Tgz, Workers, Hooks);
}

int CabFolder(const fs::path& Folder, const fs::path& Cab, int Workers, TRunHooks& Hooks) {
  TMakeCab w;
  return PackFolder(w, Folder, Cab, Workers, Hooks);
}

// The .gz of the tar pass stamps the intermediate tar's time: compared without MTIME.
std::string WithoutGzTime(std::string Gz) {
  if (Gz.size() > 8) Gz.replace(4, 4, 4, '\0');
  return Gz;
}

// A memory stream that does not tell its size (as a decompressor would not).
class TSizelessStream : public TMemoryStream32 {
 public:
  int64_t Size() override { return -1; }
};

// Raw inflate of Deflated; "<bad>" when it is no complete deflate stream.
std::string Inflate(const std::string& Deflated, size_t Expected) {
  std::string out(Expected + 1, '\0');
  z_stream z{};
  inflateInit2(&z, -15);
  z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(Deflated.data()));
  z.avail_in = uInt(Deflated.size());
  z.next_out = reinterpret_cast<Bytef*>(out.data());
  z.avail_out = uInt(out.size());
  const int rc = inflate(&z, Z_FINISH);
  out.resize(out.size() - z.avail_out);
  inflateEnd(&z);
  return rc == Z_STREAM_END ? out : "<bad>";
}

// Names of the files in Dir.
std::vector<std::string> Listing(const fs::path& Dir) {
  std::vector<std::string> names;
  for (const auto& e : fs::directory_iterator(Dir)) names.push_back(e.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

}  // namespace

TEST(ParallelDeflate, SameBytesForAnyWorkerCountAndPeersAgree) {
  REQUIRE_TOOLS("gzip", "tar", "cabextract");
  const struct {
    const char* Name;
    std::string Data;
  } inputs[] = {
      {"empty", ""},
      {"one byte", "x"},
      {"one chunk", TextBytes(kChunk, 1)},
      {"one chunk + 1", TextBytes(kChunk + 1, 2)},
      {"text chunks", TextBytes(5 * kChunk + 999, 3)},
      {"random", RandomBytes(3 * kChunk + 7, 4)},
      {"5 MiB mix", TextBytes(2 << 20, 5) + RandomBytes(1 << 20, 6) + std::string(2 << 20, 'z')},
  };
  for (const auto& in : inputs) {
    SCOPED_TRACE(in.Name);
    TempDir t;
    WriteFile(t / "src/data.bin", in.Data);
    WriteFile(t / "src/small.txt", "beside it");
    std::string gz1, tgz1, cab1;
    for (int workers : {1, 2, 4}) {
      SCOPED_TRACE(workers);
      TRunHooks hooks;
      const fs::path out = t / ("w" + std::to_string(workers));
      fs::create_directories(out);
      ASSERT_EQ(GzipFile(t / "src/data.bin", out / "data.gz", workers, hooks), 1);
      ASSERT_EQ(TgzFolder(t / "src", out / "data.tgz", workers, hooks), 2);
      ASSERT_EQ(CabFolder(t / "src", out / "data.cab", workers, hooks), 2);
      EXPECT_TRUE(hooks.Errors.empty());
      const std::string gz = ReadFile(out / "data.gz"), tgz = WithoutGzTime(ReadFile(out / "data.tgz"));
      const std::string cab = ReadFile(out / "data.cab");
      if (workers == 1) {
        gz1 = gz, tgz1 = tgz, cab1 = cab;
        EXPECT_EQ(testsupport::Run({"gzip", "-dc", (out / "data.gz").string()}).out, in.Data);
        EXPECT_EQ(testsupport::Run({"tar", "-tzf", (out / "data.tgz").string()}).status, 0);
        const CommandResult c = testsupport::Run({"cabextract", "-t", (out / "data.cab").string()});
        EXPECT_EQ(c.status, 0) << c.out;
      }
      EXPECT_TRUE(gz == gz1);
      EXPECT_TRUE(tgz == tgz1);
      EXPECT_TRUE(cab == cab1);
      EXPECT_EQ(Listing(out), (std::vector<std::string>{"data.cab", "data.gz", "data.tgz"}));
    }
  }
}

TEST(ParallelDeflate, TgzTakesTheWritersDeflateType) {
  TempDir t;
  WriteFile(t / "src/text.txt", TextBytes(4 * kChunk, 11));
  int64_t sizes[2] = {};
  for (TDeflateType type : {dtDeflateS, dtDeflateX}) {
    TTar w;
    w.DeflateType = type;
    TRunHooks hooks;
    hooks.Attach(w);
    w.SetCompressMethod(cmTarGzip);
    w.FileSpec = {(t / "src/*.*").string()};
    const fs::path tgz = t / (type == dtDeflateX ? "x.tgz" : "s.tgz");
    w.SetArchiveFile(tgz.string());
    ASSERT_EQ(w.Compress(), 1);
    sizes[type == dtDeflateX] = int64_t(fs::file_size(tgz));
  }
  EXPECT_GT(sizes[0], int64_t(4 * kChunk));  // stored blocks
  EXPECT_LT(sizes[1], int64_t(2 * kChunk));
}

TEST(ParallelDeflate, StreamsOfUnknownSizeGiveTheSameStream) {
  for (const std::string& data : {std::string(), TextBytes(kChunk, 9), TextBytes(3 * kChunk + 5, 10)}) {
    SCOPED_TRACE(data.size());
    std::string first;
    for (int workers : {1, 3}) {
      TWorkerPool pool(workers);
      TMemoryStream32 known;
      TSizelessStream sizeless;
      for (TMemoryStream32* in : {&known, static_cast<TMemoryStream32*>(&sizeless)}) {
        in->WriteBuffer(data.data(), int64_t(data.size()));
        in->SetPosition(0);
        TMemoryStream32 out;
        const TChunkedResult r = DeflateChunked(*in, out, 6, pool);
        EXPECT_TRUE(r.Ok);
        EXPECT_EQ(r.InSize, int64_t(data.size()));
        EXPECT_EQ(r.Crc, uint32_t(crc32(0, reinterpret_cast<const Bytef*>(data.data()), uInt(data.size()))));
        std::string bytes(size_t(out.Size()), '\0');
        out.SetPosition(0);
        out.ReadBuffer(bytes.data(), int64_t(bytes.size()));
        if (first.empty()) first = bytes;
        EXPECT_TRUE(bytes == first);
        EXPECT_TRUE(Inflate(bytes, data.size()) == data);
      }
      // Written in pieces that do not line up with the chunks: the same stream again.
      TMemoryStream32 pushed;
      TChunkedDeflater d(pushed, 6, pool);
      for (size_t at = 0; at < data.size(); at += 1000)
        d.Write(data.data() + at, std::min<size_t>(1000, data.size() - at));
      EXPECT_TRUE(d.Finish().Ok);
      EXPECT_EQ(pushed.Size(), int64_t(first.size()));
    }
  }
}

TEST(ParallelDeflate, CancelKeepsOldOutputAndLeavesNoTemporaryFile) {
  TempDir t;
  WriteFile(t / "src/data.bin", TextBytes(4 << 20, 7) + RandomBytes(2 << 20, 8));
  WriteFile(t / "out/data.gz", "old gz");
  WriteFile(t / "out/data.tgz", "");
  {
    // An old .tgz the run would update.
    TRunHooks hooks;
    ASSERT_EQ(TgzFolder(t / "src", t / "out/data.tgz", 1, hooks), 1);
  }
  const std::string oldTgz = ReadFile(t / "out/data.tgz");
  for (int step : {1, 3}) {
    SCOPED_TRACE(step);
    TRunHooks gzHooks, tgzHooks;
    gzHooks.CancelAtStep = tgzHooks.CancelAtStep = step;
    EXPECT_EQ(GzipFile(t / "src/data.bin", t / "out/data.gz", 4, gzHooks), 0);
    WriteFile(t / "src/new.txt", "changed");
    EXPECT_EQ(TgzFolder(t / "src", t / "out/data.tgz", 4, tgzHooks), 0);
    EXPECT_EQ(ReadFile(t / "out/data.gz"), "old gz");
    EXPECT_EQ(ReadFile(t / "out/data.tgz"), oldTgz);
    EXPECT_EQ(Listing(t / "out"), (std::vector<std::string>{"data.gz", "data.tgz"}));
  }
}

// Each chunk's window is primed with the 32 KiB before it: 1 MiB of one 20 KiB random block
// repeated packs within 1% of one zlib stream (unprimed chunks would store the block anew).
TEST(ParallelDeflate, ChunksArePrimedWithTheBytesBeforeThem) {
  const std::string block = RandomBytes(20 << 10, 12);
  std::string data;
  while (data.size() < (1 << 20)) data += block;
  data.resize(1 << 20);
  for (int level : {1, 6, 9}) {
    SCOPED_TRACE(level);
    z_stream z{};
    ASSERT_EQ(deflateInit2(&z, level, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY), Z_OK);
    std::string one(deflateBound(&z, uLong(data.size())), '\0');
    z.next_in = reinterpret_cast<Bytef*>(data.data());
    z.avail_in = uInt(data.size());
    z.next_out = reinterpret_cast<Bytef*>(one.data());
    z.avail_out = uInt(one.size());
    ASSERT_EQ(deflate(&z, Z_FINISH), Z_STREAM_END);
    const double zlibSize = double(z.total_out);
    deflateEnd(&z);
    TWorkerPool pool(2);
    TMemoryStream32 in, out;
    in.WriteBuffer(data.data(), int64_t(data.size()));
    in.SetPosition(0);
    ASSERT_TRUE(DeflateChunked(in, out, level, pool).Ok);
    EXPECT_LE(double(out.Size()), zlibSize * 1.01) << zlibSize;
  }
}
