// Method names for listings of the kinds brel detects without reading them, and the Deflate
// names the ZIP reader shares with them.
#include "archive/core/qrvBase.h"
#include "archive/core/qrvDecoder.h"

namespace {

template <size_t N>
const char* Pick(const char* const (&names)[N], int code) {
  return code >= 0 && size_t(code) < N && names[code] ? names[code] : kUnsupportedMethod;
}

bool IsType(TArcType t, std::initializer_list<TArcType> set) {
  for (TArcType s : set)
    if (s == t) return true;
  return false;
}

}  // namespace

std::string DeflateMethodName(int Method, uint16_t Flags) {
  static const char* const kDeflate[] = {"DeflateN", "DeflateX", "DeflateF", "DeflateS"};
  static const char* const kDef64[] = {"Def-64N", "Def-64X", "Def-64F", "Def-64S"};
  const int option = (Flags & 0x06) >> 1;
  return Method == 8 ? kDeflate[option] : kDef64[option];
}

std::string DetectedMethodName(TArcType ArcType, int Method, uint16_t Flags) {
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
    return Method == 8 ? DeflateMethodName(8, Flags) : Pick(kNames, Method);
  }
  if (ArcType == atHA) {
    static const char* const kNames[] = {"Cpy",   "Asc",   "HSC",   nullptr, nullptr, nullptr, nullptr, nullptr,
                                         nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, "<Dir>", "Special"};
    return Pick(kNames, Method);
  }
  if (IsType(ArcType, {atPak, atPakExe})) {
    static const char* const kNames[] = {nullptr,    "",         "Stored",  "RLE",     "Squeezed", "FixedLen",
                                         "FixedLen", "FixedLen", "Varible", "Varible", "Crushed",  "Distill"};
    return Method >= 2 ? Pick(kNames, Method) : kUnsupportedMethod;
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
  return kUnsupportedMethod;
}
