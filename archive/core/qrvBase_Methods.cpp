// Method names for listings, by archive type and method code.
#include "archive/core/qrvBase.h"

#include <utility>

namespace {

const char* const kUnsupported = "Unsupported";

template <size_t N>
const char* Pick(const char* const (&names)[N], int code) {
  return code >= 0 && size_t(code) < N && names[code] ? names[code] : kUnsupported;
}

// ZIP method 8 (Deflate) and 9 (Deflate64) by the deflate option bits of the flags.
std::string DeflateName(int method, uint16_t flags) {
  static const char* const kDeflate[] = {"DeflateN", "DeflateX", "DeflateF", "DeflateS"};
  static const char* const kDef64[] = {"Def-64N", "Def-64X", "Def-64F", "Def-64S"};
  const int option = (flags & 0x06) >> 1;
  return method == 8 ? kDeflate[option] : kDef64[option];
}

std::string ZipName(int method, uint16_t flags) {
  static const char* const kNames[] = {"Stored",   "Shrunk",   "Reduce-1", "Reduce-2",
                                       "Reduce-3", "Reduce-4", "Imploded", "Tokened"};
  if (method == 8 || method == 9) return DeflateName(method, flags);
  if (method == 10) return "DCL-implode";
  // Later APPNOTE methods, named for listings and for the reports of those not decoded.
  static const std::pair<int, const char*> kLater[] = {{12, "BZip2"}, {14, "LZMA"},    {93, "Zstd"}, {95, "XZ"},
                                                       {96, "JPEG"},  {97, "WavPack"}, {98, "PPMd"}, {99, "AES"}};
  for (const auto& [code, name] : kLater)
    if (code == method) return name;
  return Pick(kNames, method);
}

bool IsType(TArcType t, std::initializer_list<TArcType> set) {
  for (TArcType s : set)
    if (s == t) return true;
  return false;
}

}  // namespace

std::string MethodName(TArcType ArcType, int Method, uint16_t Flags, uint16_t Magic) {
  if (IsType(ArcType, {atZip, atZipExe, atZipDS, atZipMV, atJar, atJarExe})) return ZipName(Method, Flags);
  if (IsType(ArcType, {atLha, atLhaExe, atLzh, atLzhExe})) {
    if (Method == '0') return "Stored";
    if (Method >= '1' && Method <= '7') return "Frozen-" + std::string(1, char(Method));
    return kUnsupported;
  }
  if (IsType(ArcType, {atCab, atCabExe})) {
    static const char* const kNames[] = {"Stored", "MsZIP", "Quantum", "Lzx"};
    const int low = Method & 0x0F;
    return low < 4 ? kNames[low] : "Lzx" + std::to_string(low);
  }
  if (ArcType == atGZip) {
    if (Method == 0) return "Stored";
    if (Method == 8) return "Deflate";
    if (Method == 144) return "LzwMAGIC";
    if (Magic == 0x1F1E) return "PackMAGIC";
    if (Magic == 0x1FA0) return "LzhMAGIC";
    return kUnsupported;
  }
  if (ArcType == atTar) return Method == 0 ? "Tarred" : kUnsupported;
  if (IsType(ArcType, {atAce, atAceExe})) {
    static const char* const kNames[] = {"Fastest", "Fast", "Normal", "Good", "Best"};
    return Pick(kNames, Method);
  }
  if (IsType(ArcType, {atArc, atArcExe})) {
    static const char* const kNames[] = {nullptr,    "Stored",   "Stored", "Packed", "Squeezed", "Crunched",
                                         "Crunched", "Squashed", "Pack10", "Pack11", "Pack12",   "Stored"};
    return Pick(kNames, Method);
  }
  if (IsType(ArcType, {atArj, atArjExe})) {
    static const char* const kNames[] = {"Stored", "Most", "2nd Most", "2nd Fast"};
    return Pick(kNames, Method);
  }
  if (IsType(ArcType, {atBh, atBhExe})) {
    static const char* const kNames[] = {"Stored", "Fused1", "Deflate", "Fused3"};
    return Method == 8 ? DeflateName(8, Flags) : Pick(kNames, Method);
  }
  if (ArcType == atHA) {
    static const char* const kNames[] = {"Cpy",   "Asc",   "HSC",   nullptr, nullptr, nullptr, nullptr, nullptr,
                                         nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, "<Dir>", "Special"};
    return Pick(kNames, Method);
  }
  if (IsType(ArcType, {atPak, atPakExe})) {
    static const char* const kNames[] = {nullptr,    "",         "Stored",  "RLE",     "Squeezed", "FixedLen",
                                         "FixedLen", "FixedLen", "Varible", "Varible", "Crushed",  "Distill"};
    return Method >= 2 ? Pick(kNames, Method) : kUnsupported;
  }
  if (IsType(ArcType, {atRar, atRarExe})) {
    // For RAR, Flags carries the entry's attributes: a directory is listed as such.
    if (Flags & 0x10) return "<Dir>";
    static const char* const kNames[] = {"Stored", "Fastest", "Fast", "Normal", "Good", "Best"};
    return Pick(kNames, Method - '0');
  }
  if (ArcType == atZoo) {
    static const char* const kNames[] = {"Stored", "Fastest", "Greatest"};
    return Pick(kNames, Method);
  }
  return kUnsupported;
}
