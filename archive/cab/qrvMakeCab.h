// TMakeCab: writes a new cabinet holding exactly the files of one run, through the creation
// context of our cabinet library. The frame scans, names and fires the events; the cabinet is
// built beside its final name and renamed into place only when complete.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "archive/cab/qrvLoadLib.h"
#include "archive/core/qrvBase.h"

// What both cabinet components keep for the library: its error record.
class TCabInterface : public TCompBase {
 public:
  const TCabError& CabError() const { return FCabError; }

 protected:
  TCabError FCabError;
};

class TMakeCab : public TCabInterface {
 public:
  TMakeCab();

  // Passed to the cabinet parameters.
  bool FailOnIncompressible = true;
  // LZX window exponent, clamped to 15..21.
  int LzxLevel() const { return FLzxLevel; }
  void SetLzxLevel(int Value);
  // Quantum: the level (clamped to 1..7) and the memory exponent (10..21). QuantumType is
  // kept for hosts that set it; a Quantum folder's type value has no room for it.
  TCompressionType QuantumType = ctMsZip;
  int QuantumLevel() const { return FQuantumLevel; }
  void SetQuantumLevel(int Value);
  int QuantumMemory() const { return FQuantumMemory; }
  void SetQuantumMemory(int Value);
  // Non-ASCII names go in as CP932 when it holds them (peers then need the code page); by
  // default, and for names CP932 lacks, as UTF-8 with the UTF-8 name attribute.
  bool Cp932Names = false;
  // Asked when a cabinet would outgrow its limit. This writer keeps to one cabinet, so it is
  // never asked; kept for hosts that assign it.
  std::function<void(TZipCommon* Sender, TCCAB& CabParameters, std::string& NewCabFileName,
                     int PreviousCabEstimatedSize, bool& AbortCreation)>
      OnGetNextCabinet;

  // The type stays atCab.
  void SetArcType(TArcType Value) override { FArcType = atCab; }
  // The folder compression type value CompressMethod stands for, and its method name.
  uint16_t CompressionType() const;
  std::string CompressionName() const;
  // Name as it is stored: "\" separators, the code page as Cp932Names says; Attribs receives
  // the UTF-8 name attribute when it applies.
  std::string StoredBytes(const std::string& Name, uint16_t& Attribs) const;

 protected:
  // swDelete: 25244, nothing touched. swRead: the frame's read-only pass. Otherwise the scan,
  // one AddFile per file, and the cabinet written only when at least one file went in.
  void CompressArchive(TCompHeaderObj& List) override;
  bool CompressData(TStream32& Out, TCompHeaderObj& List, int Index) override;
  void EndFile(TCompHeaderObj& List, int Index, bool Ok) override;
  // swRead: the walk over the CFFILE records of the existing cabinet.
  bool ReadFirstHeader(std::string& Name, TStream32& Stream) override;
  bool ReadHeader(TStream32& Stream, std::string& Name) override;

 private:
  TCabCreateCallbacks Callbacks(TStream32& Cabinet);
  std::unique_ptr<TStream32> OpenSource(const std::string& Path, uint16_t& Date, uint16_t& Time, uint16_t& Attribs);
  // Reports the error record's failure for Name (open failures and cancels were reported
  // where they happened).
  void ReportCabFailure(const std::string& Name);
  // zlib level of MSZIP by DeflateType (fast 2, normal 4, max 9).
  int ZlibLevel() const;

  int FLzxLevel = 21;
  int FQuantumLevel = 7;
  int FQuantumMemory = 21;
  std::unique_ptr<TCabCreator> FCreator;
  const TCompRow* FRow = nullptr;  // the row being added
  int FFilesLeft = 0;              // swRead: CFFILE records still to read
};
