#pragma once

#include <string>

// Keeps stored passwords from being readable at a glance; not encryption (the key is built in).
// A password of 1 to 100 bytes scrambles to 172 Base64 characters; anything else gives an empty text.
// The longest password the scrambled block can carry; a longer one scrambles to an empty text.
constexpr size_t VORN_SCRAMBLE_MAX_PASSWORD = 100;

std::string vornScramble(const std::string& password);
// Empty for an empty, non-Base64 or damaged text.
std::string vornUnscramble(const std::string& text);
