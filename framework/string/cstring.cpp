#include <afxstr.h>

#include <cerrno>
#include <clocale>
#include <cstdio>
#include <cwchar>
#include <vector>

#include <locale.h>

namespace {

// Rewrites a framework format into the C library's, for the character type
// of the string being formatted: the same conversions, with the width of
// each string and character argument made explicit.
template <typename T>
std::basic_string<T> to_c_format(const T* format)
{
    const bool wide = sizeof(T) == sizeof(wchar_t);
    std::basic_string<T> out;
    for (const T* p = format; *p;) {
        if (*p != '%') {
            out += *p++;
            continue;
        }
        out += *p++;
        if (*p == '%') {
            out += *p++;
            continue;
        }
        while (*p && std::char_traits<char>::find("-+ #0", 5, static_cast<char>(*p)))
            out += *p++;
        while (*p && ((*p >= '0' && *p <= '9') || *p == '*' || *p == '.'))
            out += *p++;
        // Size prefixes: h and l name the width of %s and %c explicitly.
        int explicit_width = 0;  // 1 narrow, 2 wide
        if (p[0] == 'I' && p[1] == '6' && p[2] == '4') {
            out += 'l';
            out += 'l';
            p += 3;
        } else if (p[0] == 'I' && p[1] == '3' && p[2] == '2') {
            p += 3;
        } else if (*p == 'I') {
            out += 'z';
            ++p;
        } else if (*p == 'h' && (p[1] == 's' || p[1] == 'S' || p[1] == 'c' || p[1] == 'C')) {
            explicit_width = 1;
            ++p;
        } else if (*p == 'l' && (p[1] == 's' || p[1] == 'S' || p[1] == 'c' || p[1] == 'C')) {
            explicit_width = 2;
            ++p;
        }
        while (*p == 'h' || *p == 'l' || *p == 'z' || *p == 'j' || *p == 't' || *p == 'L')
            out += *p++;
        if (!*p)
            break;
        T conv = *p++;
        if (conv == 's' || conv == 'S' || conv == 'c' || conv == 'C') {
            bool upper = conv == 'S' || conv == 'C';
            bool arg_wide = explicit_width ? explicit_width == 2 : (wide != upper);
            if (arg_wide)
                out += 'l';
            out += static_cast<T>(upper ? conv - 'A' + 'a' : conv);
        } else {
            out += conv;
        }
    }
    return out;
}

// Strings of the other width are converted by the C library in the
// thread's locale; the program's narrow text is always UTF-8, whatever
// locale the process runs in.
class utf8_ctype {
public:
    utf8_ctype()
    {
        static const locale_t utf8 = newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(nullptr));
        if (utf8)
            m_previous = uselocale(utf8);
    }
    ~utf8_ctype()
    {
        if (m_previous)
            uselocale(m_previous);
    }
    utf8_ctype(const utf8_ctype&) = delete;
    utf8_ctype& operator=(const utf8_ctype&) = delete;

private:
    locale_t m_previous = nullptr;
};

int c_vformat(wchar_t* buf, size_t n, const wchar_t* fmt, va_list args) { return std::vswprintf(buf, n, fmt, args); }
int c_vformat(char* buf, size_t n, const char* fmt, va_list args) { return std::vsnprintf(buf, n, fmt, args); }

}  // namespace

template <typename T>
void CStringT<T>::FormatV(const T* format, va_list args)
{
    if (!format) {
        Empty();
        return;
    }
    std::basic_string<T> fmt = to_c_format(format);
    std::vector<T> buf(256);
    utf8_ctype ctype;
    for (;;) {
        va_list copy;
        va_copy(copy, args);
        errno = 0;
        int n = c_vformat(buf.data(), buf.size(), fmt.c_str(), copy);
        const int error = errno;
        va_end(copy);
        if (n >= 0 && static_cast<size_t>(n) < buf.size()) {
            m_str.assign(buf.data(), static_cast<size_t>(n));
            return;
        }
        // vswprintf gives -1 when the buffer is short, and also for text it
        // cannot convert, which no larger buffer mends; vsnprintf gives the
        // length it needs.
        if (n < 0 && (error == EILSEQ || buf.size() > (1u << 24))) {
            Empty();
            return;
        }
        buf.resize(n >= 0 ? static_cast<size_t>(n) + 1 : buf.size() * 2);
    }
}

template <>
BOOL CStringT<wchar_t>::LoadString(UINT id)
{
    const wchar_t* text = nullptr;
    int n = ::LoadStringW(GetModuleHandleW(nullptr), id, reinterpret_cast<LPWSTR>(&text), 0);
    if (n <= 0 || !text)
        return FALSE;
    m_str.assign(text, static_cast<size_t>(n));
    return TRUE;
}

template <>
BOOL CStringT<char>::LoadString(UINT id)
{
    CStringW wide;
    if (!wide.LoadString(id))
        return FALSE;
    *this = CStringA(wide.GetString());
    return TRUE;
}

template <>
template <>
std::basic_string<wchar_t> CStringT<wchar_t>::convert<char>(const char* text)
{
    if (!text || !*text)
        return {};
    int n = MultiByteToWideChar(CP_ACP, 0, text, -1, nullptr, 0);
    std::wstring out(static_cast<size_t>(n), L'\0');
    MultiByteToWideChar(CP_ACP, 0, text, -1, out.data(), n);
    out.resize(static_cast<size_t>(n > 0 ? n - 1 : 0));
    return out;
}

template <>
template <>
std::basic_string<char> CStringT<char>::convert<wchar_t>(const wchar_t* text)
{
    if (!text || !*text)
        return {};
    int n = WideCharToMultiByte(CP_ACP, 0, text, -1, nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<size_t>(n), '\0');
    WideCharToMultiByte(CP_ACP, 0, text, -1, out.data(), n, nullptr, nullptr);
    out.resize(static_cast<size_t>(n > 0 ? n - 1 : 0));
    return out;
}

template class CStringT<wchar_t>;
template class CStringT<char>;
