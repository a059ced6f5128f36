// Settings files in the sectioned key=value format. Every call opens the file afresh and closes it
// again; nothing is cached. Section and key names match without regard to ASCII letter case.
#pragma once

#include <cstdint>
#include <string>

// The value of Key in Section of the file, trimmed; Default when the file, section or key is
// missing.
std::string ReadIniString(const std::string& FileName, const std::string& Section, const std::string& Key,
                          const std::string& Default);
// Sets Key in Section, adding the section or key when missing and keeping every other line. The
// file is replaced as a whole (written beside it, then renamed), so a failure leaves the old one.
// False when it could not be written.
bool WriteIniString(const std::string& FileName, const std::string& Section, const std::string& Key,
                    const std::string& Value);

// Integer rules of the settings: decimal with an optional sign, or hexadecimal after "0x"/"0X"
// (up to 8 digits) when the text is longer than two characters. False for anything else.
bool ParseIniInt(const std::string& Text, int32_t& Value);

// The settings helpers take the base path without extension and append ".ini" themselves.
int32_t ReadIniInt(const std::string& Base, const std::string& Section, const std::string& Key, int32_t Default);
void WriteIniInt(const std::string& Base, const std::string& Section, const std::string& Key, int32_t Value);
// Read as integers, any non-zero value meaning true; written as "1" or "0".
bool ReadIniBool(const std::string& Base, const std::string& Section, const std::string& Key, bool Default);
void WriteIniBool(const std::string& Base, const std::string& Section, const std::string& Key, bool Value);

// Settings base of the program (at ExePath, wherever it is installed): $XDG_CONFIG_HOME/brel/brel,
// with ~/.config when XDG_CONFIG_HOME is unset or not absolute.
std::string SettingsBaseFor(const std::string& ExePath);
