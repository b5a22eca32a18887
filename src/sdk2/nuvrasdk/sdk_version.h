#pragma once

constexpr int NUVRA_SDK_VERSION = 1010303001;
constexpr const char* NUVRA_SDK_VERSION_TEXT = "1.3.3.1_c2fb16d";
