#include "buffer.h"

#include <climits>
#include <cstring>

CBuffer::CBuffer(unsigned int capacity)
    : m_capacity(capacity <= static_cast<unsigned int>(INT_MAX) ? capacity : 0),
      m_data(new char[m_capacity == 0 ? 1 : m_capacity]) {}

CBuffer::~CBuffer() = default;

bool CBuffer::willOverrun(int n) const {
    // Worked in 64 bits: a negative n must not turn into a huge unsigned count.
    return static_cast<long long>(m_capacity) - getSize() <= static_cast<long long>(n);
}

bool CBuffer::willUnderrun(int n) const {
    return getSize() < n;
}

void CBuffer::flushAll() {
    m_removed += m_size;
    m_head = 0;
    m_size = 0;
}

void CBuffer::flushBuffer(int n) {
    if (n <= 0) {
        return;
    }
    if (willUnderrun(n)) {
        flushAll();
        return;
    }
    m_head += n;
    m_size -= n;
    m_removed += n;
}

void CBuffer::loadBuffer(const char* bytes, int n) {
    if (bytes == nullptr || n <= 0) {
        return;
    }
    const int room = static_cast<int>(m_capacity) - m_size;
    const int taken = n < room ? n : room;
    if (taken <= 0) {
        return;
    }
    if (m_size == 0) {
        m_head = 0;
    } else if (m_head + m_size + taken > static_cast<int>(m_capacity)) {
        std::memmove(m_data.get(), m_data.get() + m_head, static_cast<size_t>(m_size));
        m_head = 0;
    }
    std::memcpy(m_data.get() + m_head + m_size, bytes, static_cast<size_t>(taken));
    m_size += taken;
}

int CBuffer::discardFrontSentences(int n) {
    return discardSentencesAt(0, n);
}

int CBuffer::discardSentencesAt(int from, int n) {
    const int size = getSize();
    if (n <= 0 || from < 0 || from >= size) {
        return 0;
    }
    // The cut ends at from + n; look for the first LF at index from + n - 1 or later whose byte
    // before is a CR, so that a cut already on a sentence boundary removes exactly n bytes.
    char* data = m_data.get() + m_head;
    int end = size;
    for (int at = from + (n > 1 ? n - 1 : 1); at < size;) {
        const void* hit = std::memchr(data + at, '\n', static_cast<size_t>(size - at));
        if (hit == nullptr) {
            break;
        }
        const int lf = static_cast<int>(static_cast<const char*>(hit) - data);
        if (data[lf - 1] == '\r') {
            end = lf + 1;
            break;
        }
        at = lf + 1;
    }
    if (from == 0) {
        flushBuffer(end);
        return end;
    }
    std::memmove(data + from, data + end, static_cast<size_t>(size - end));
    m_size -= end - from;
    return end - from;
}
