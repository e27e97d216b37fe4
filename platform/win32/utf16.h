// Texts and names travel through the program as UTF-8; the wide Win32 calls
// take UTF-16, so they mean the same on any code page.
#pragma once

#include <string>

std::wstring widen(const std::string& utf8);
std::string narrow(const std::wstring& wide);
