#pragma once

#include <string>

// Decimal text appended to a string: no padding, no digit grouping, whatever
// the process' locale.
std::string operator+(const std::string& s, int n);
std::string operator+(const std::string& s, unsigned int n);
std::string operator+(const std::string& s, unsigned long n);

template <typename T> std::string itoa(T n) { return std::to_string(n); }

// A token as the log may show it: its first 6 characters, never the whole.
std::string token_for_log(const std::string& token);
