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
