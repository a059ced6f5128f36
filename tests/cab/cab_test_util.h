// Helpers of the cabinet tests: a cabinet written in-process from a folder, a reader run that
// collects what it reported, and a cabinet of hand-picked stored names.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "archive/cab/qrvLoadLib.h"
#include "archive/cab/qrvMakeCab.h"
#include "archive/cab/qrvUnCab.h"
#include "support/TestSupport.h"

namespace cabtest {

using namespace testsupport;

// Error codes a component reported.
struct TErrors {
  std::vector<int32_t> Codes;
  void Attach(TZipCommon& C) {
    C.OnError = [this](TZipCommon*, const std::string&, const std::string&, const std::string&, int32_t Code) {
      Codes.push_back(Code);
    };
  }
  bool Has(int32_t Code) const { return std::find(Codes.begin(), Codes.end(), Code) != Codes.end(); }
};

// Packs the content of Folder into Cab; returns the count added.
inline int MakeCab(const std::string& Cab, const std::string& Folder, TCompressMethod Method = cmMsZip,
                   TErrors* Errors = nullptr, TMakeCab* Writer = nullptr) {
  TMakeCab own;
  TMakeCab& w = Writer ? *Writer : own;
  if (Errors) Errors->Attach(w);
  w.SetCompressMethod(Method);
  w.FileSpec = {Folder + "/*.*"};
  w.RecurseDirs = true;
  w.StoredDirNames = sdRelative;
  w.SetArchiveFile(Cab);
  return w.Compress();
}

// Runs a reader over Cab in Mode, extracting into Out; returns the count.
inline int ReadCab(const std::string& Cab, const std::string& Out, TExtractMode Mode = xmExtract,
                   TErrors* Errors = nullptr, TUnCab* Reader = nullptr) {
  TUnCab own;
  TUnCab& r = Reader ? *Reader : own;
  if (Errors) Errors->Attach(r);
  r.SetArchiveFile(Cab);
  r.SetExtractDir(Out);
  r.ExtractMode = Mode;
  r.FileSpec = {"*"};
  r.CreateStoredDirs = true;
  return r.Extract();
}

// One file of a hand-made cabinet: a file whose type differs from the one before starts a folder.
struct TCabFile {
  std::string Name;  // stored bytes as given
  std::string Data;
  uint16_t Type = tcompTypeMsZip;
};

// The bytes of a cabinet holding Files in order.
inline std::string CabOfFiles(const std::vector<TCabFile>& Files) {
  TempDir t("cabfiles");
  TMemoryStream32 cab;
  TCabError err;
  TCabCreateCallbacks cb;
  cb.OpenInfo = [](const std::string& P, uint16_t& D, uint16_t& T, uint16_t& A) -> std::unique_ptr<TStream32> {
    D = 0x5A21;
    T = 0;
    A = 0x20;
    return std::make_unique<TFileStream32>(P, fmOpenRead);
  };
  cb.Read = [](TStream32& S, void* B, int32_t N) { return S.Read(B, N); };
  cb.CreateTemp = [] { return std::unique_ptr<TStream32>(new TMemoryStream32); };
  cb.OpenCabinet = [&cab](const TCCAB&) { return &cab; };
  TCabCreator c(TCCAB(), cb, err);
  for (size_t i = 0; i < Files.size(); ++i) {
    const fs::path source = t / std::to_string(i);
    WriteFile(source, Files[i].Data);
    EXPECT_TRUE(c.AddFile(source.string(), Files[i].Name, false, Files[i].Type));
  }
  EXPECT_TRUE(c.FlushCabinet());
  cab.SetPosition(0);
  std::string bytes(size_t(cab.Size()), '\0');
  cab.ReadBuffer(bytes.data(), cab.Size());
  return bytes;
}

// A cabinet whose files all hold Data under exactly the given stored names (bytes as given).
inline std::string CabWithNames(const std::vector<std::string>& Names, const std::string& Data) {
  std::vector<TCabFile> files;
  for (const std::string& n : Names) files.push_back({n, Data});
  return CabOfFiles(files);
}

}  // namespace cabtest
