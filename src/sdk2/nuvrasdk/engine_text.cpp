#include "engine_text.h"

std::string operator+(const std::string& s, int n) { return s + std::to_string(n); }

std::string operator+(const std::string& s, unsigned int n) { return s + std::to_string(n); }

std::string operator+(const std::string& s, unsigned long n) { return s + std::to_string(n); }

std::string token_for_log(const std::string& token) { return token.substr(0, 6); }
