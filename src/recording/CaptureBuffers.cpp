// SPDX-License-Identifier: MIT
#include "recording/CaptureBuffers.h"

#include <cstring>

CCaptureBuffers::CCaptureBuffers(DWORD count, DWORD size)
    : m_count(count), m_size(size), m_headers(new WAVEHDR[count]()), m_staging(new char[size]) {}

CCaptureBuffers::~CCaptureBuffers() {
    for (DWORD i = 0; i < m_count; ++i)
        delete[] m_headers[i].lpData;
    delete[] m_headers;
}

void CCaptureBuffers::Allocate(DWORD i) {
    WAVEHDR& header = m_headers[i];
    std::memset(&header, 0, sizeof header);
    header.lpData = new char[m_size];
    header.dwBufferLength = m_size;
    header.dwUser = reinterpret_cast<DWORD_PTR>(this);
}

void CCaptureBuffers::FreeData(DWORD i) {
    delete[] m_headers[i].lpData;
    m_headers[i].lpData = nullptr;
}

bool CCaptureBuffers::Empty() const {
    for (DWORD i = 0; i < m_count; ++i) {
        if (m_headers[i].lpData)
            return false;
    }
    return true;
}
