// The pieces the sound pass-through is built from: the audio buffer, the
// pointer FIFO and the audio trace.
#pragma once

#include <afxcoll.h>
#include <afxmt.h>

// A block of audio bytes with its valid length. Three kinds exist: ring
// slots, which own their block; temporaries that allocate a block for a
// device header and leave it to whoever handles the header later; and views
// over a returned header's block. Only an owning buffer frees its block.
// Every block of the pass-through is one device buffer long (4096 bytes);
// nothing records the capacity.
class CBuffer {
public:
    // A fresh block of size bytes, contents unspecified. If it cannot be
    // had, "Out of memory!" is traced and the buffer has no block (null,
    // length 0). Never throws.
    CBuffer(int size, bool ownsData);
    // A view: no block of its own. A null block gives length 0.
    CBuffer(char* data, int length);
    virtual ~CBuffer();
    CBuffer(const CBuffer&) = delete;
    CBuffer& operator=(const CBuffer&) = delete;

    char* m_Data;
    int m_Length;     // valid bytes
    BOOL m_Filled;    // written by the pipe's input side at least once
    BOOL m_OwnsData;  // the destructor frees m_Data
};

// A pointer list (nodes ten at a time) with a counting semaphore (count 0,
// at most 10000) that it owns. The pass-through keeps two and puts nothing
// in them.
class CPtrFIFO : public CPtrList {
public:
    CPtrFIFO();
    ~CPtrFIFO() override;

    CSemaphore* m_Semaphore;  // null if it could not be made
};

// Writes the printf-style wide message (the framework's Format rules) to
// standard output as " <message>\n " in UTF-8. Never fails towards the
// caller.
void TraceAudioError(const wchar_t* format, ...);

// Negates each whole little-endian 16-bit sample of data[0, length) in
// place (-32768 stays); an odd last byte is left.
void InvertPolarity(char* data, int length);
