// Text conversion between wide (UTF-32) and narrow (UTF-8) strings. The ANSI
// code page of this platform is UTF-8, so CP_ACP and CP_UTF8 agree.
#include "text_utf8.h"

#include <windows.h>

#include <string>

namespace {

void append_utf8(std::string& out, char32_t c)
{
    if (c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF))
        c = 0xFFFD;
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (c >> 18));
        out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

// Decodes UTF-8; malformed sequences become U+FFFD, one per bad byte.
std::u32string decode_utf8(const unsigned char* s, size_t n)
{
    std::u32string out;
    for (size_t i = 0; i < n;) {
        unsigned char b = s[i];
        int extra = b < 0x80 ? 0 : (b >> 5) == 6 ? 1 : (b >> 4) == 14 ? 2 : (b >> 3) == 30 ? 3 : -1;
        if (extra == 0) {
            out += b;
            ++i;
            continue;
        }
        if (extra < 0 || i + static_cast<size_t>(extra) >= n) {
            out += 0xFFFD;
            ++i;
            continue;
        }
        char32_t c = b & (0x3F >> extra);
        bool ok = true;
        for (int k = 1; k <= extra; ++k) {
            if ((s[i + k] & 0xC0) != 0x80) {
                ok = false;
                break;
            }
            c = (c << 6) | (s[i + k] & 0x3F);
        }
        static const char32_t min_for[] = {0, 0x80, 0x800, 0x10000};
        if (!ok || c < min_for[extra] || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) {
            out += 0xFFFD;
            ++i;
            continue;
        }
        out += c;
        i += static_cast<size_t>(extra) + 1;
    }
    return out;
}

bool known_code_page(UINT codePage) { return codePage == CP_ACP || codePage == CP_UTF8; }

}  // namespace

int WideCharToMultiByte(UINT codePage, DWORD, LPCWSTR wide, int wideLength, LPSTR narrow, int narrowLength,
                        LPCSTR, LPBOOL usedDefaultChar)
{
    if (!known_code_page(codePage) || !wide || wideLength == 0 || narrowLength < 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    size_t n = wideLength < 0 ? std::char_traits<wchar_t>::length(wide) + 1 : static_cast<size_t>(wideLength);
    std::string out;
    for (size_t i = 0; i < n; ++i)
        append_utf8(out, static_cast<char32_t>(wide[i]));
    if (usedDefaultChar)
        *usedDefaultChar = FALSE;
    if (narrowLength == 0)
        return static_cast<int>(out.size());
    if (out.size() > static_cast<size_t>(narrowLength)) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    out.copy(narrow, out.size());
    return static_cast<int>(out.size());
}

int MultiByteToWideChar(UINT codePage, DWORD, LPCSTR narrow, int narrowLength, LPWSTR wide, int wideLength)
{
    if (!known_code_page(codePage) || !narrow || narrowLength == 0 || wideLength < 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    size_t n = narrowLength < 0 ? std::char_traits<char>::length(narrow) + 1 : static_cast<size_t>(narrowLength);
    std::u32string out = decode_utf8(reinterpret_cast<const unsigned char*>(narrow), n);
    if (wideLength == 0)
        return static_cast<int>(out.size());
    if (out.size() > static_cast<size_t>(wideLength)) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    for (size_t i = 0; i < out.size(); ++i)
        wide[i] = static_cast<wchar_t>(out[i]);
    return static_cast<int>(out.size());
}

std::string utf8_from_wide(const wchar_t* text)
{
    std::string out;
    if (!text)
        return out;
    for (; *text; ++text)
        append_utf8(out, static_cast<char32_t>(*text));
    return out;
}

std::wstring wide_from_utf8(const std::string& text)
{
    std::u32string u = decode_utf8(reinterpret_cast<const unsigned char*>(text.data()), text.size());
    return std::wstring(u.begin(), u.end());
}
