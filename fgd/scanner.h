#pragma once
// Line-based recognition of FGD elements. The reader does not parse XML: every test looks at
// one line only, by byte-wise, case-sensitive substring search. Nothing here allocates.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

// Offset of the first occurrence of `pattern` in `text`, or npos.
size_t FindPattern(std::string_view text, std::string_view pattern);

// Offset of the first occurrence of `lead` + `name` + `tail` in `text`, or npos; the pattern
// is matched piece by piece, so no joined copy is made.
size_t FindTag(std::string_view text, std::string_view lead, std::string_view name,
               std::string_view tail);

// The bytes between the first `openTag` and the first `closeTag` of the whole line; empty when
// the closing tag is missing or stands only before the text. Nothing is trimmed.
std::string_view TextBetween(std::string_view line, std::string_view openTag,
                             std::string_view closeTag);

// True when the line holds "<Name " of the layer. The identifier attributes id, uuid and gml:id
// are then taken from left to right, each search starting after the previous attribute's
// opening quote; a text is replaced only when its attribute is found.
bool MatchFeatureStart(std::string_view line, int32_t entry, std::string& featureId,
                       std::string& featureUuid);

// True when the line holds "</Name>" of the layer. `shapeType` is set from the layer's kind
// either way (3 arc, 5 polygon, 1 point; kept for an unknown kind).
bool MatchFeatureEnd(std::string_view line, int32_t entry, int32_t& shapeType);

// True when the line holds "<t>" for one of the layer's attribute names t, the first in catalog
// order that occurs; `line` becomes the element's text and `attrIndex` its position (from 1).
bool MatchAttributeElement(std::string_view& line, int32_t entry, int32_t& attrIndex);

// The same, trying only the columns whose bit is set in `columns`: bit k - 1 for column k, the
// last bit for every column from 64 on. A caller that knows which tags a line can hold skips
// the search for the others.
bool MatchAttributeElement(std::string_view& line, int32_t entry, int32_t& attrIndex,
                           uint64_t columns);

// True when the layer has an attribute column named exactly `name`; `attrIndex` gets the
// position (from 1) of the first such column.
bool FindAttr(int32_t entry, std::string_view name, int32_t& attrIndex);

// Takes the first blank-separated token off `t`. Bytes of code 32 or less are stripped from
// both ends first and from the rest afterwards; only the blank separates tokens.
std::string_view PopToken(std::string_view& t);
