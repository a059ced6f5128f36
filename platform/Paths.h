// Small path helpers ("/" separated).
#pragma once

#include <string>

// Folder part of Path without the trailing "/" ("." for a bare name, "/" for the root).
std::string DirOf(const std::string& Path);
// Last component of Path.
std::string BaseOf(const std::string& Path);
// Path with exactly one trailing "/" (an empty path stays empty).
std::string WithTrailingSlash(const std::string& Path);
// Dir + "/" + Name unless Dir is empty.
std::string JoinPath(const std::string& Dir, const std::string& Name);
