#pragma once
// Small text helpers every reader of operator-written text shares.
#include <cstddef>
#include <cstdint>
#include <string>

// text without the spaces and tabs at either end.
std::string trimmed(const std::string& text);

// Only decimal digits, at most max_digits of them, and at most UINT32_MAX.
bool read_decimal(const std::string& text, size_t max_digits, uint32_t* value);
