#pragma once

#include <string>

// The six download categories, as stored in the database and shown in the download list.
inline constexpr const char* CATEGORY_VIDEO = "Video";
inline constexpr const char* CATEGORY_AUDIO = "Audio";
inline constexpr const char* CATEGORY_COMPRESSED = "Compressed";
inline constexpr const char* CATEGORY_DOCUMENT = "Document";
inline constexpr const char* CATEGORY_APPLICATION = "Application";
inline constexpr const char* CATEGORY_MISC = "Misc";

// The category of a (percent-encoded) file name by its extension. The lists are searched as plain
// text, Application first, so a partial extension lands in the first list that holds it.
std::string vornCategory(const std::string& encodedName);
std::wstring vornCategory(const std::wstring& name);

// The blank-separated ".EXT" list of a category; empty for Misc and unknown names.
const std::string& vornCategoryExtensions(const std::string& category);

// The lower-case extension for an exact MIME type (case-insensitive); empty when unknown.
std::string vornExtensionForMimeType(const std::string& mimeType);
