#pragma once
// UTF-8 for the console and files, UTF-16 for COM.
#include <string>

std::string ToUtf8(const std::wstring& text);
std::wstring FromUtf8(const std::string& text);
