// UTF-8 helpers of the layer (layer-internal): wide text is UTF-32 here.
#pragma once

#include <string>

std::string utf8_from_wide(const wchar_t* text);
std::wstring wide_from_utf8(const std::string& text);
