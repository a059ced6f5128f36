// Helpers for the writer tests: the central directory of an archive file, and a ZIP writer
// configured for a test folder.
#pragma once

#include <string>
#include <vector>

#include "archive/core/qrvZipRecords.h"
#include "archive/zip/qrvZip.h"
#include "support/TestSupport.h"

namespace zipwritertest {

// Every central header of the archive at Path (unscrambled), in directory order.
inline std::vector<TZipCentralRecord> Directory(const std::string& Path) {
  std::vector<TZipCentralRecord> out;
  TFileStream32 s(Path, fmOpenRead);
  TZipLocation loc;
  const int64_t start = LocateEndRecord(s, loc);
  if (!(loc.State & htsCentralHeader)) return out;
  s.SetPosition(start);
  TZipCentralRecord rec;
  while (ReadCentralRecord(s, rec)) out.push_back(rec);
  return out;
}

inline const TZipCentralRecord* Find(const std::vector<TZipCentralRecord>& Dir, const std::string& Name) {
  for (const auto& r : Dir)
    if (r.Name == Name) return &r;
  return nullptr;
}

// The bytes of an entry in the archive file: local header, name, extra field and data.
inline std::string EntryBytes(const std::string& Zip, const TZipCentralRecord& R) {
  const size_t at = size_t(R.LocalOffset());
  const uint16_t n = GetLE16(reinterpret_cast<const uint8_t*>(Zip.data() + at + 26));
  const uint16_t e = GetLE16(reinterpret_cast<const uint8_t*>(Zip.data() + at + 28));
  return Zip.substr(at, size_t(LocalHeaderSize + n + e + R.PackedSize()));
}

// Error codes a component reported.
struct Errors {
  std::vector<int> Codes;
  std::vector<std::string> Extended;
  void Attach(TZipCommon& C) {
    C.OnError = [this](TZipCommon*, const std::string&, const std::string& Ext, const std::string&, int Code) {
      Codes.push_back(Code);
      Extended.push_back(Ext);
    };
  }
  void Clear() {
    Codes.clear();
    Extended.clear();
  }
  bool Has(int Code) const {
    for (int c : Codes)
      if (c == Code) return true;
    return false;
  }
};

// Moved sources and undo copies go to a Trash inside the test's temporary folder while the
// result lives (a fixture member declared after T).
inline testsupport::ScopedEnv PrivateTrash(const testsupport::TempDir& T) {
  return testsupport::ScopedEnv("XDG_DATA_HOME", (T / "xdg").string());
}

// A writer on Dir/a.zip adding Dir/src/*.* (sdRelative, recursing).
inline void Prepare(TZip& Z, const testsupport::TempDir& T, const std::string& Archive = "a.zip") {
  Z.SetArchiveFile((T / Archive).string());
  Z.FileSpec = {(T / "src").string() + "/*.*"};
}

}  // namespace zipwritertest
