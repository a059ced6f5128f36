// A gzip-compressed tar: every gzip member unpacked, then the TAR reader in test mode on the
// result (what brel-cli does for .tgz and .tar.gz).
#include "archive/tar/qrvUnTar.h"
#include "archive/tar/qrvtar.h"
#include "fuzz/FuzzSupport.h"

#include <fstream>
#include <iterator>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
  {
    std::ofstream(fuzz::ScratchArchive(), std::ios::binary).write(reinterpret_cast<const char*>(Data), std::streamsize(Size));
  }
  const std::string tar = fuzz::ScratchDir() + "/unpacked.tar";
  GunzipFile(fuzz::ScratchArchive(), tar);
  std::ifstream in(tar, std::ios::binary);
  const std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  fuzz::RunReader([] { return std::make_unique<TUnTar>(); }, xmTest, bytes.data(), bytes.size());
  return 0;
}
