// CString: the framework's string, wide (CStringW, the default) or narrow
// (CStringA). A value type like std::basic_string; not shared between
// threads without a lock.
//
// Format follows the framework's rules rather than the C library's: in a
// wide format %s and %c take wide arguments and %S and %C narrow ones; in a
// narrow format the other way round. %hs, %ls and %I64d work in both.
#pragma once

#include <windows.h>

#include <cstdarg>
#include <string>

template <typename T>
class CStringT {
public:
    typedef T XCHAR;
    typedef const T* PCXSTR;

    CStringT() = default;
    CStringT(const T* text) : m_str(text ? text : std::basic_string<T>()) {}
    CStringT(const T* text, int length) : m_str(text ? std::basic_string<T>(text, static_cast<size_t>(length)) : std::basic_string<T>()) {}
    CStringT(T ch, int repeat = 1) : m_str(static_cast<size_t>(repeat > 0 ? repeat : 0), ch) {}
    // Conversion from the other width, through the ANSI code page.
    template <typename U, typename = std::enable_if_t<!std::is_same<U, T>::value>>
    CStringT(const U* text) : m_str(convert(text))
    {
    }
    CStringT(const std::basic_string<T>& text) : m_str(text) {}

    int GetLength() const { return static_cast<int>(m_str.size()); }
    bool IsEmpty() const { return m_str.empty(); }
    void Empty() { m_str.clear(); }
    const T* GetString() const { return m_str.c_str(); }
    operator const T*() const { return m_str.c_str(); }
    T GetAt(int i) const { return m_str.at(static_cast<size_t>(i)); }
    T operator[](int i) const { return GetAt(i); }

    // Position of the first match at or after start, or -1.
    int Find(const T* sub, int start = 0) const
    {
        if (!sub || start < 0 || start > GetLength())
            return -1;
        auto pos = m_str.find(sub, static_cast<size_t>(start));
        return pos == std::basic_string<T>::npos ? -1 : static_cast<int>(pos);
    }
    int Find(T ch, int start = 0) const
    {
        if (start < 0 || start > GetLength())
            return -1;
        auto pos = m_str.find(ch, static_cast<size_t>(start));
        return pos == std::basic_string<T>::npos ? -1 : static_cast<int>(pos);
    }
    int ReverseFind(T ch) const
    {
        auto pos = m_str.rfind(ch);
        return pos == std::basic_string<T>::npos ? -1 : static_cast<int>(pos);
    }
    CStringT Left(int count) const { return CStringT(m_str.substr(0, static_cast<size_t>(clamp(count)))); }
    CStringT Right(int count) const
    {
        int n = clamp(count);
        return CStringT(m_str.substr(m_str.size() - static_cast<size_t>(n)));
    }
    CStringT Mid(int first) const { return CStringT(m_str.substr(static_cast<size_t>(clamp(first)))); }
    CStringT Mid(int first, int count) const
    {
        int f = clamp(first);
        return CStringT(m_str.substr(static_cast<size_t>(f), static_cast<size_t>(count < 0 ? 0 : count)));
    }

    void Format(const T* format, ...)
    {
        va_list args;
        va_start(args, format);
        FormatV(format, args);
        va_end(args);
    }
    void FormatV(const T* format, va_list args);

    // Loads string resource id; false (and the string unchanged) if absent.
    BOOL LoadString(UINT id);

    T* GetBuffer(int minLength)
    {
        if (minLength > GetLength())
            m_str.resize(static_cast<size_t>(minLength));
        return m_str.data();
    }
    // Ends direct writing: the string is cut at newLength, or at its first
    // zero when newLength is -1.
    void ReleaseBuffer(int newLength = -1)
    {
        if (newLength < 0)
            newLength = static_cast<int>(std::char_traits<T>::length(m_str.c_str()));
        m_str.resize(static_cast<size_t>(newLength));
    }

    CStringT& operator=(const T* text)
    {
        m_str = text ? text : std::basic_string<T>();
        return *this;
    }
    CStringT& operator+=(const CStringT& other)
    {
        m_str += other.m_str;
        return *this;
    }
    CStringT& operator+=(const T* text)
    {
        if (text)
            m_str += text;
        return *this;
    }
    CStringT& operator+=(T ch)
    {
        m_str += ch;
        return *this;
    }
    void Append(const T* text) { *this += text; }

    friend CStringT operator+(const CStringT& a, const CStringT& b) { return CStringT(a.m_str + b.m_str); }
    friend CStringT operator+(const CStringT& a, const T* b) { return a + CStringT(b); }
    friend CStringT operator+(const T* a, const CStringT& b) { return CStringT(a) + b; }
    friend bool operator==(const CStringT& a, const CStringT& b) { return a.m_str == b.m_str; }
    friend bool operator==(const CStringT& a, const T* b) { return a.m_str == (b ? b : std::basic_string<T>()); }
    friend bool operator!=(const CStringT& a, const CStringT& b) { return !(a == b); }
    friend bool operator!=(const CStringT& a, const T* b) { return !(a == b); }

private:
    int clamp(int n) const { return n < 0 ? 0 : n > GetLength() ? GetLength() : n; }
    template <typename U>
    static std::basic_string<T> convert(const U* text);

    std::basic_string<T> m_str;
};

template <>
template <>
std::basic_string<wchar_t> CStringT<wchar_t>::convert<char>(const char* text);
template <>
template <>
std::basic_string<char> CStringT<char>::convert<wchar_t>(const wchar_t* text);
template <>
BOOL CStringT<wchar_t>::LoadString(UINT id);
template <>
BOOL CStringT<char>::LoadString(UINT id);

typedef CStringT<wchar_t> CStringW;
typedef CStringT<char> CStringA;
typedef CStringW CString;

extern template class CStringT<wchar_t>;
extern template class CStringT<char>;
