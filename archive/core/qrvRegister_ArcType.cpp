// Archive types: display names, the fixed type sets, the root's property setters and the volume
// numbering read from the extension.
#include <cctype>

#include "archive/core/qrvErrors.h"
#include "archive/core/qrvRegister.h"
#include "platform/FileInfo.h"

namespace {

struct TTypeNames {
  const char* Display;
  const char* Value;
};

// Display names are padded to 10 characters, except the first (11) and "MsGZ" (a tab last).
constexpr TTypeNames kNames[ArcTypeCount] = {
    {"Not avail. ", "atNA"},     {"Unsupport.", "atUnsupported"}, {"File Error", "atFileOpenErr"},
    {"Unknown   ", "atUnknown"}, {"ACE       ", "atAce"},         {"ACE SFX   ", "atAceExe"},
    {"ARC       ", "atArc"},     {"ARC SFX   ", "atArcExe"},      {"ARJ       ", "atArj"},
    {"ARJ SFX   ", "atArjExe"},  {"BH        ", "atBh"},          {"BH  SFX   ", "atBhExe"},
    {"CAB       ", "atCab"},     {"CAB SFX   ", "atCabExe"},      {"GZip      ", "atGZip"},
    {"HA        ", "atHA"},      {"Java JAR  ", "atJar"},         {"JJAR SFX  ", "atJarExe"},
    {"LHA       ", "atLha"},     {"LHA SFX   ", "atLhaExe"},      {"LZH       ", "atLzh"},
    {"LZH SFX   ", "atLzhExe"},  {"MsGZ     \t", "atMsGZ"},       {"PAK       ", "atPak"},
    {"PAK SFX   ", "atPakExe"},  {"RAR       ", "atRar"},         {"RAR SFX   ", "atRarExe"},
    {"TAR       ", "atTar"},     {"TarGzip   ", "atTarGZip"},     {"UUE       ", "atUUE"},
    {"ZIP       ", "atZip"},     {"ZIP SFX   ", "atZipExe"},      {"Zip Span  ", "atZipDS"},
    {"Zip MVol  ", "atZipMV"},   {"ZOO       ", "atZoo"},
};

bool InRange(TArcType t) { return unsigned(t) < unsigned(ArcTypeCount); }

}  // namespace

const char* GetArcTypeName(TArcType ArcType) { return InRange(ArcType) ? kNames[ArcType].Display : ""; }

const char* GetArcTypeValueName(TArcType ArcType) { return InRange(ArcType) ? kNames[ArcType].Value : ""; }

bool IsValidArcType(TArcType ArcType) { return InRange(ArcType) && ArcType > atUnknown; }

bool IsZipFamilyType(TArcType T) { return T == atZip || T == atZipExe || T == atZipMV; }

bool IsZipLikeType(TArcType T) { return T == atJar || T == atJarExe || T == atZip || T == atZipExe; }

bool IsSelfOpenedType(TArcType T) {
  return T == atAce || T == atAceExe || T == atCab || T == atCabExe || T == atRar || T == atRarExe;
}

bool IsMultiVolumeType(TArcType T) {
  return T == atAce || T == atArj || T == atJar || T == atJarExe || T == atRar || T == atRarExe;
}

// ---- Properties ----------------------------------------------------------------------------

void TArvexComponent::SetArchiveFile(const std::string& Value) {
  if (Value.empty() || !FileExists(Value)) {
    FArchiveFile.clear();
    FArcType = atNA;
    return;
  }
  FArchiveFile = Value;
  try {
    TFileStream32 s(Value, fmOpenRead | fmShareDenyNone);
    FArcType = DetectType(s);
  } catch (const EArchiveError&) {
    FArcType = atNA;
  }
  if (IsValidArcType(FArcType)) ReadVolumeNumbering();
}

void TArvexComponent::SetArcType(TArcType) {
  try {
    TFileStream32 s(FArchiveFile, fmOpenRead | fmShareDenyNone);
    FArcType = DetectType(s);
  } catch (const EArchiveError&) {
    FArcType = atNA;
    throw EFOpenError(ecOpenFile, FArchiveFile);
  }
}

int64_t TArvexComponent::ArchiveStart() const {
  const bool zip = IsZipLikeType(FArcType) || FArcType == atZipDS || FArcType == atZipMV;
  if (zip && FZipSearched && (FZipLocation.State & (htsCentralHeader | htsLocalHeader)))
    return ZipArchiveStart(FZipLocation);
  return FOffset < 0 ? 0 : FOffset;
}

// ---- Volume numbering ----------------------------------------------------------------------

void TArvexComponent::ReadVolumeNumbering() {
  if (!IsMultiVolumeType(FArcType)) return;
  const bool jar = FArcType == atJar || FArcType == atJarExe;
  const bool rar = FArcType == atRar || FArcType == atRarExe;
  FVolumeLetter = FArcType == atAce ? 'C' : FArcType == atArj ? 'a' : jar ? 'j' : 'q';
  const char* byType = FArcType == atAce ? "Ace" : FArcType == atArj ? "Arj" : jar ? "Jar" : rar ? "Rar" : "Zip";

  std::string ext;
  const size_t slash = FArchiveFile.rfind('/'), dot = FArchiveFile.rfind('.');
  if (dot != std::string::npos && (slash == std::string::npos || dot > slash)) ext = FArchiveFile.substr(dot + 1);
  if (ext.empty()) ext = byType;

  // The digits at the end of the extension (at most nine, so the number always fits).
  size_t first = ext.size();
  while (first > 0 && std::isdigit(static_cast<unsigned char>(ext[first - 1]))) --first;
  if (first == ext.size()) {
    FVolumeNumber = FArcType == atArj ? 1 : 0;
    return;
  }
  FVolumeLetter = ext[0];
  const std::string digits = ext.substr(std::max(first, ext.size() > 9 ? ext.size() - 9 : 0));
  FVolumeNumber = std::stoi(digits) + 1;
}
