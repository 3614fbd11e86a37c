// The bridge's bounded byte queue: bytes waiting to go to the server, appended at the back and
// removed from the front. Allocated once at full capacity. Removal from the front only moves an
// offset; the bytes move to the front of the array only when an append needs the room, so that
// draining a full queue costs what its bytes cost, not a move of the rest per removal. Used from
// the main loop's thread only.
#pragma once

#include <memory>

class CBuffer {
public:
    // A capacity that does not fit in an int (what a negative configured size becomes) is
    // taken as 0: such a buffer stays empty.
    explicit CBuffer(unsigned int capacity);
    ~CBuffer();

    CBuffer(const CBuffer&) = delete;
    CBuffer& operator=(const CBuffer&) = delete;

    int getSize() const { return m_size; }
    bool notEmpty() const { return getSize() > 0; }
    const char* getBuffer() const { return m_data.get() + m_head; }
    unsigned int getCapacity() const { return m_capacity; }
    // Bytes removed from the front since creation: the stream position of the first byte held.
    long long headPosition() const { return m_removed; }

    // True also when n bytes would exactly fill the free space.
    bool willOverrun(int n) const;
    bool willUnderrun(int n) const;

    void flushAll();
    // Removes the first n bytes (all of them when fewer are stored).
    void flushBuffer(int n);
    // Appends what fits; the rest is dropped without a report (test willOverrun first).
    void loadBuffer(const char* bytes, int n);

    // Removes at least n bytes from the front, extended through the CR LF that ends the
    // sentence the cut falls into, so that what stays begins with a whole sentence. Without
    // such a CR LF everything goes. Returns the number of bytes removed.
    int discardFrontSentences(int n);
    // The same, starting at offset `from` (the start of a sentence) instead of the front.
    int discardSentencesAt(int from, int n);

private:
    // Held bytes are [m_head, m_head + m_size) of the array.
    int m_head = 0;
    int m_size = 0;
    unsigned int m_capacity = 0;
    long long m_removed = 0;
    std::unique_ptr<char[]> m_data;
};
