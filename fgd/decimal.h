#pragma once
// Decimal numbers of coordinates and real-number attribute values.
#include <string>
#include <string_view>

// Converts an optional sign, digits with "." as the decimal point and an optional exponent,
// with blanks around it allowed. Infinity, NaN, hexadecimal and a value beyond the range of a
// double do not convert; a value too small for a double becomes 0.
bool ParseDecimal(std::string_view text, double& value);

// "'%s' is not a valid floating point value" for `text`, shortened when very long.
std::string NotAFloatMessage(std::string_view text);

// As ParseDecimal, but raises NabikError with NotAFloatMessage for a text that does not convert.
double StrToFloat(std::string_view text);

// The common tuple, two plain numbers ("35.5 139.25", maybe with blanks around and more
// numbers after), parsed in one pass. True only when the result equals what PopToken and
// ParseDecimal give for the first two tokens; false for anything else, which the caller then
// reads by those rules.
bool ParsePlainTuple(std::string_view tuple, double& first, double& second);

// A whole line of the common kind at the start of `text`: two plain numbers, maybe indented,
// with blanks between them and the line end (LF or CR LF) right after the second. The bytes it
// takes, line end included, or 0 for anything else; where it takes a line, the numbers are what
// ParsePlainTuple gives for that line.
size_t ParseTupleLine(std::string_view text, double& first, double& second);
