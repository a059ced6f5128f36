// Conversions between UTF-8 (the program's text encoding) and the code pages stored in archives:
// CP932 (Shift-JIS, the OEM code page of ZIP, LZH and CAB names) and CP437 (the last fallback
// for names that are neither UTF-8 nor CP932).
#pragma once

#include <optional>
#include <string>
#include <string_view>

// True when Text is well-formed UTF-8 (no overlongs, no surrogates, nothing above U+10FFFF).
bool IsValidUtf8(std::string_view Text);
// True when any byte is above 0x7F.
bool HasNonAscii(std::string_view Text);

// UTF-8 -> CP932; nullopt when Text is not valid UTF-8 or holds a character CP932 lacks.
std::optional<std::string> Utf8ToCp932(std::string_view Text);
// CP932 -> UTF-8; nullopt when Bytes are not valid CP932.
std::optional<std::string> Cp932ToUtf8(std::string_view Bytes);
// CP437 -> UTF-8; every byte sequence converts.
std::string Cp437ToUtf8(std::string_view Bytes);

// A name as it goes into an archive: its CP932 form when CP932 can hold it, else the UTF-8 bytes
// unchanged with IsUtf8 set (the ZIP writer then sets flag bit 11).
std::string Utf8ToOem(std::string_view Name, bool* IsUtf8 = nullptr);
// A stored name read back: valid UTF-8 with at least one non-ASCII byte is taken as UTF-8
// (Linux tools write it without a flag); otherwise CP932; bytes invalid in CP932 as CP437.
// Never fails and never maps two different byte strings to the same result within one rule.
std::string OemToUtf8(std::string_view Bytes);

// A stored name of an archive whose bytes carry no mark of their code page, as UTF-8. Coding
// empty: ASCII and valid UTF-8 stay as they are; other bytes are read as CP932 or as CP437,
// whichever gives the more plausible name (runs of kana and kanji against Latin letters with
// accents; CP932 where both fit equally). Coding names the code page the user knows the names
// are in ("utf8", "cp932", "cp437" or any iconv name); bytes invalid in it are read as without
// it. Never fails; the result holds no NUL unless the bytes do.
std::string DecodeStoredName(std::string_view Bytes, std::string_view Coding = {});
// Whether Coding is empty or a code page DecodeStoredName can read.
bool IsKnownNameCoding(std::string_view Coding);
