// Conversion of text stored in a table's code page to and from UTF-8.
// Supported single-byte code pages: 437, 850, 852, 866, 1250, 1251, 1252 (and 0 or
// unknown treated as 1252 with a false return from IsSupportedCodePage).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "coding.h"
#include "status.h"

namespace paradox {

bool IsSupportedCodePage(uint16_t codePage);
// Never fails: bytes without a mapping become U+FFFD.
std::string ToUtf8(std::string_view bytes, uint16_t codePage);
// InvalidArgument if the text is not valid UTF-8 or has a character the code page
// lacks (naming it).
Result<std::string> FromUtf8(std::string_view utf8, uint16_t codePage);
// Code page for a table without one stored (level 3.x): from the sort order byte.
uint16_t CodePageForSortOrder(uint8_t sortOrder);
// Sort order byte and name the writer uses for a code page ("ascii" 0x00 for 437/850,
// "ANSII850" 0x11 for 1252, ...).
void SortOrderForCodePage(uint16_t codePage, uint8_t* sortOrder, std::string* sortOrderId);

}  // namespace paradox
