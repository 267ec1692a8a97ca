#pragma once
// JSON text for scripts that read the tools' output: strings with every
// quote, backslash and control character escaped, objects of string values.
#include <string>
#include <utility>
#include <vector>

// A JSON string, quotes included. Valid UTF-8 passes through; any other byte
// of 0x80 or more is taken as Latin-1 and written as \u00XX, so the text is
// always valid JSON whatever a card sent.
std::string json_string(const std::string& value);
// {"key":"value",...} in the order given, on one line.
std::string json_object(const std::vector<std::pair<std::string, std::string>>& members);
