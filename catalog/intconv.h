#pragma once
// Integer texts of the catalog, the settings file and integer attribute values: leading blanks,
// an optional sign, decimal digits or hexadecimal after "$", "x", "X", "0x" or "0X", nothing
// after the digits, and a value within 32 bits.
#include <cstdint>
#include <optional>
#include <string_view>

std::optional<int32_t> ParseInt32(std::string_view text);

// As ParseInt32, but raises "'%s' is not a valid integer value" for a text that does not convert.
int32_t StrToInt(std::string_view text);
