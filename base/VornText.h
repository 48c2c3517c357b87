#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

// Narrow strings hold UTF-8 (protocol text, SQL, log lines); wide strings hold one code point per
// wchar_t (paths, file names, user-visible text). None of these depend on the process locale.

// UTF-8 to wide. An invalid or truncated sequence, or a NUL, ends the text: the result is what was
// converted before it. A null pointer gives an empty text.
std::wstring vornUtf8ToWide(const std::string& text);
std::wstring vornUtf8ToWide(const char* text);
// UTF-8 to wide where every invalid sequence becomes U+FFFD and the whole input is read.
std::wstring vornUtf8ToWideReplacing(const std::string& bytes);
// Wide to UTF-8, ending at the first NUL; code points that UTF-8 cannot carry become U+FFFD.
std::string vornWideToUtf8(const std::wstring& text);
// The value of one hexadecimal digit, or -1 when c is none.
int vornHexValue(char c);
// Nothing instead of a text when the wide text holds a NUL or a value that is no code point.
std::optional<std::string> vornWideToUtf8Exact(const std::wstring& text);
// Empty when any character is above 126, so a caller never sees a partial text.
std::string vornWideToAscii(const std::wstring& text);
std::string vornPercentDecodeToAscii(const std::string& text);

// The program's percent-encoding: printable ASCII of the safe set (which holds '%') is copied, every
// other UTF-8 byte becomes %XX. A blank is copied unless encodeSpaces is set.
std::string vornPercentEncode(const std::wstring& text, bool encodeSpaces);
// Turns every complete %XX escape into its byte and reads the bytes as UTF-8 (invalid sequences give
// U+FFFD); incomplete or non-hexadecimal escapes are copied as they stand.
std::wstring vornPercentDecode(const std::string& text);
// The bytes that vornPercentDecode reads as UTF-8.
std::string vornPercentDecodeBytes(const std::string& text);

std::string vornBase64Encode(const std::string& bytes);
std::string vornBase64Encode(const uint8_t* bytes, size_t length);
// Stops at the first '=' or other character outside the alphabet; a final group of two or three
// characters gives one or two bytes.
std::string vornBase64Decode(const std::string& text);

// Lower-case hexadecimal, two digits a byte.
std::string vornDigestText(const uint8_t* bytes, size_t length);
std::string vornDigestText(const std::string& bytes);

// ASCII case mapping byte by byte; other bytes stay.
std::string vornToUpper(const std::string& text);
std::string vornToLower(const std::string& text);
std::wstring vornToLowerWide(const std::wstring& text);

// Blanks and tabs.
std::string vornTrim(const std::string& text);
std::string vornTrimLeft(const std::string& text);
std::string vornTrimRight(const std::string& text);
std::wstring vornTrimWide(const std::wstring& text);

bool vornStartsWith(const std::string& text, const std::string& prefix);
bool vornContains(const std::string& text, const std::string& part);
// Replaced text is not scanned again; an empty from or text leaves the text as it is.
std::string vornReplaceAll(const std::string& text, const std::string& from, const std::string& to);
std::wstring vornReplaceAllWide(const std::wstring& text, const std::wstring& from, const std::wstring& to);

// Returns the trimmed part before the first separator and leaves the trimmed rest in text. Without the
// separator (or with an empty text or separator) the head is the whole text and text stays.
std::string vornSplitFirst(std::string& text, const std::string& separator);

std::string vornRemoveAt(const std::string& text);
std::string vornQuote(const std::string& text);
std::string vornNameValue(const std::string& name, const std::string& value, bool quoted);

// Eight bytes, each 1 to 254 (never 0, so the result is also a valid C text).
std::string vornRandomBytes();

// Case-insensitive search for name followed by ':' or '=' (or by a blank and one of them) anywhere in
// text, or only at its start with atStart. valuePosition is set just past the ':' or '='.
bool vornFindHeaderField(const std::string& text, const std::string& name, size_t& valuePosition,
                         bool atStart = false);

// The value from a position: up to a line end, and outside quotes also up to ';' or ',' unless
// lineMode is set; quotes are dropped; the result is trimmed. toEnd takes the rest of the text as is.
std::string vornHeaderValue(const std::string& text, size_t position, bool lineMode = false,
                            bool toEnd = false);
