// Runs one writer with a given worker count, for bench/gz-bench.sh: a .gz of one file, a .tgz or
// an MSZIP cabinet of one folder. Exit status 1 when the writer reported an error.
// Usage: bench_pdeflate gz|tgz|cab WORKERS OUTPUT SOURCE
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "archive/cab/qrvMakeCab.h"
#include "archive/tar/qrvtar.h"
#include "archive/zip/qrvGZip.h"

namespace {

// Runs W over Source (a file, or a folder mask "DIR/*.*") into Output; true when it added
// something and reported no error.
bool RunWriter(TCompBase& W, int Workers, const std::string& Output, const std::string& Source) {
  bool failed = false;
  W.OnError = [&](TZipCommon*, const std::string& Name, const std::string&, const std::string&, int32_t Code) {
    std::fprintf(stderr, "bench_pdeflate: error %d: %s\n", Code, Name.c_str());
    failed = true;
  };
  W.Workers = Workers;
  W.DeleteOptions = doFinal;
  W.StoredDirNames = sdRelativeStoreStart;
  // Paths are made absolute, as brel-cli does; only folders are scanned below.
  const std::filesystem::path source = std::filesystem::absolute(Source);
  W.RecurseDirs = source.filename() == "*.*";
  W.FileSpec = {source.string()};
  W.SetArchiveFile(std::filesystem::absolute(Output).string());
  return W.Compress() > 0 && !failed;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 5) {
    std::fprintf(stderr, "usage: bench_pdeflate gz|tgz|cab WORKERS OUTPUT SOURCE\n");
    return 2;
  }
  const std::string kind = argv[1], output = argv[3], source = argv[4];
  const int workers = std::atoi(argv[2]);
  bool ok = false;
  if (kind == "gz") {
    TGZip g;
    g.ConfirmOverwrites = false;
    g.SingleOutput = true;
    g.OutputName = std::filesystem::absolute(output).string();
    ok = RunWriter(g, workers, output, source);
  } else if (kind == "tgz") {
    TTar t;
    t.SetCompressMethod(cmTarGzip);
    ok = RunWriter(t, workers, output, source + "/*.*");
  } else if (kind == "cab") {
    TMakeCab c;
    ok = RunWriter(c, workers, output, source + "/*.*");
  } else {
    return 2;
  }
  return ok ? 0 : 1;
}
