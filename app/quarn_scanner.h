// Cuts "$"-sentences ended by CR LF out of the terminal's serial byte stream, one at a time,
// into a buffer of fixed capacity, and answers questions about the sentence it holds.
// No I/O, no logging, no allocation while scanning. Used from the main loop's thread only.
#pragma once

#include <memory>
#include <string>

#include "saturating.h"

class CQuarnScanner {
public:
    explicit CQuarnScanner(unsigned int capacity);
    ~CQuarnScanner();

    CQuarnScanner(const CQuarnScanner&) = delete;
    CQuarnScanner& operator=(const CQuarnScanner&) = delete;

    // A capacity that does not fit in an int (what a negative configured size becomes) is
    // taken as 0: a scanner without a buffer, which consumes nothing and never completes.
    void createBuffer(unsigned int capacity);
    void destroyBuffer();

    // Next sentence must follow a CR LF.
    void resetScan() {
        m_size = 0;
        m_state = kHuntCr;
        m_scanned = 0;
        m_discarded = 0;
    }
    // A "$" is accepted at once: called after consuming each complete sentence.
    void nextScan() {
        resetScan();
        m_state = kLineStart;
    }

    void putCharToBuffer(char c) {
        if (m_buffer && static_cast<unsigned int>(m_size) < m_capacity) {
            m_buffer[m_size++] = c;
        } else {
            addDiscarded(1);
        }
        addScanned(1);
    }
    void discardBuffer();

    // Returns how many of the given bytes were not consumed; the scan stops right after a
    // complete sentence, and the rest belongs to the next call (after nextScan()).
    int scanToBuffer(const char* data, int length);

    bool scannedComplete() const { return m_state == kComplete; }
    bool scannedTruncatedMsg() const { return m_scanned > m_size; }

    int amountScanned() const { return m_scanned; }
    int amountDiscarded() const { return m_discarded; }
    // The held sentence, followed by a zero byte at index getSize().
    const char* getBuffer() const { return m_buffer.get(); }
    int getSize() const { return m_size; }
    unsigned int getCapacity() const { return m_capacity; }
    int getState() const { return m_state; }

    bool scannedEnd() const;
    bool scannedTscack() const;
    bool scannedGprmcData() const;
    bool scannedServerLoginInfoHeader() const;
    bool scannedServerLoginInfoGprmcData() const;
    bool scannedMsgHeader() const;

    bool scannedServerLoginInfoDeviceName(std::string& value) const;
    bool scannedServerLoginInfoExt(std::string& value) const;
    bool scannedServerLoginInfoSoftware(std::string& value) const;
    bool scannedServerLoginInfoHardware(std::string& value) const;
    bool scannedServerLoginInfoImei(std::string& value) const;
    bool scannedServerLoginInfoCmdVersion(std::string& value) const;

    // Exclusive-or of the bytes between "$" and "*" against the two hex digits after "*".
    // Either pointer may be null; each is written only once its value is known.
    bool scannedLrcCsValidated(char* computed, char* appended) const;

    enum : int {
        kHuntCr = 0,
        kSeenCr = 1,
        kLineStart = 2,
        kInSentence = 3,
        kSentenceCr = 4,
        kComplete = 5,
    };

private:
    bool startsWith(const char* text, int length) const;
    bool extractAfter(const char* prefix, int prefixLength, std::string& value) const;
    // Inline: they run for every sentence.
    void addDiscarded(long long n) { saturatingAdd(m_discarded, n); }
    void addScanned(long long n) { saturatingAdd(m_scanned, n); }

    // One byte more than the capacity, so that the terminating zero never overwrites a byte
    // of a sentence that exactly fills the buffer.
    std::unique_ptr<char[]> m_buffer;
    int m_size = 0;
    unsigned int m_capacity = 0;
    int m_state = kHuntCr;
    int m_scanned = 0;
    int m_discarded = 0;
};
