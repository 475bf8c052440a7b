#include "Buffer.h"

#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <new>

CBuffer::CBuffer(int size, bool ownsData)
    : m_Data(nullptr), m_Length(0), m_Filled(FALSE), m_OwnsData(ownsData ? TRUE : FALSE)
{
    m_Data = size >= 0 ? new (std::nothrow) char[static_cast<size_t>(size)] : nullptr;
    if (!m_Data) {
        TraceAudioError(L"Out of memory!");
        return;
    }
    m_Length = size;
}

CBuffer::CBuffer(char* data, int length)
    : m_Data(data), m_Length(data ? length : 0), m_Filled(FALSE), m_OwnsData(FALSE)
{
}

CBuffer::~CBuffer()
{
    if (m_OwnsData && m_Data)
        delete[] m_Data;
}

CPtrFIFO::CPtrFIFO() : CPtrList(10), m_Semaphore(new (std::nothrow) CSemaphore(0, 10000)) {}

CPtrFIFO::~CPtrFIFO()
{
    RemoveAll();
    delete m_Semaphore;
}

void TraceAudioError(const wchar_t* format, ...)
{
    CString message;
    va_list args;
    va_start(args, format);
    message.FormatV(format ? format : L"", args);
    va_end(args);
    const CStringA narrow(static_cast<const wchar_t*>(message));
    std::printf(" %s\n ", static_cast<const char*>(narrow));
    std::fflush(stdout);
}

void InvertPolarity(char* data, int length)
{
    if (!data)
        return;
    auto* bytes = reinterpret_cast<uint8_t*>(data);
    for (int i = 0; i < length / 2; ++i) {
        uint8_t* p = bytes + 2 * static_cast<size_t>(i);
        const auto v = static_cast<int16_t>(static_cast<uint16_t>(p[0] | p[1] << 8));
        const auto negated = static_cast<uint16_t>(v == INT16_MIN ? v : -v);
        p[0] = static_cast<uint8_t>(negated & 0xFF);
        p[1] = static_cast<uint8_t>(negated >> 8);
    }
}
