#pragma once

#include <string>

// File names as the program stores them. The narrow forms work on bytes the same way.

// Control characters and \/:*%<>?|@ (and '.' with replaceDots) become '_', double quotes are dropped,
// and a leading '.' becomes '_' so no name is hidden or relative.
std::wstring vornValidFileName(const std::wstring& name, bool replaceDots);
std::string vornValidFileName(const std::string& name, bool replaceDots);

// The part after the last '.', trimmed, when it holds only letters, digits, blanks, '_' and '-';
// otherwise empty.
std::wstring vornFileExtension(const std::wstring& name);
std::string vornFileExtension(const std::string& name);

// The part before the last '.', trimmed; without a '.' the whole name as it is.
std::wstring vornFileBaseName(const std::wstring& name);
std::string vornFileBaseName(const std::string& name);

// base(1).ext, base(2).ext, ... : the first for which folder holds no regular file of that name. The
// given name itself is not tried; an extension that does not count is dropped.
std::wstring vornUniqueFileName(const std::wstring& name, const std::wstring& folder);
