// The scanner recognises exactly this, byte by byte:
//
//   noise ... CR LF "$" (any bytes but CR and LF) CR LF
//
// States: 0 hunting for CR, 1 CR seen, 2 start of a line, 3 inside a sentence, 4 CR seen
// inside a sentence, 5 sentence complete. Every byte is counted once: either it ends up in
// the held sentence (size) or in the discarded count; bytes of a sentence longer than the
// buffer count in both scanned and discarded, so that the sentence completes as truncated.
// A lone CR or LF inside a sentence throws the whole sentence away: the terminal's
// sentences never contain them, so such a line is line noise or a resynchronisation.
//
// The two hot states (noise before a CR, the body of a sentence) are handled a run at a
// time with block searches and memcpy; the result is the same as feeding the bytes one by one.
#include "quarn_scanner.h"

#include <climits>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace {

const char kEnd[] = "$<end>\r\n";
const char kTscack[] = "$TSCACK,";
const char kGprmc[] = "$GPRMC,";
const char kLoginHeader[] = "$<MSG.Info.ServerLogin>";
const char kLoginGprmc[] = "$LastValidPosition=$GPRMC,";
const char kDeviceName[] = "$DeviceName=";
const char kExt[] = "$Ext=";
const char kSoftware[] = "$Software=";
const char kHardware[] = "$Hardware=";
const char kImei[] = "$IMEI=";
const char kCmdVersion[] = "$CmdVersion=";

template <size_t N> constexpr int len(const char (&)[N]) {
    return static_cast<int>(N - 1);
}

// First CR or LF in [p, end), or end. Sentences are short, so one pass that looks for both
// at once beats two memchr calls; loads never reach past end.
inline const char* findLineByte(const char* p, const char* end) {
#if defined(__SSE2__)
    const __m128i cr = _mm_set1_epi8('\r');
    const __m128i lf = _mm_set1_epi8('\n');
    // Two blocks a step: a sentence body is over in two or three steps.
    for (; end - p >= 32; p += 32) {
        const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
        const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16));
        const unsigned int mask =
            static_cast<unsigned int>(
                _mm_movemask_epi8(_mm_or_si128(_mm_cmpeq_epi8(a, cr), _mm_cmpeq_epi8(a, lf)))) |
            static_cast<unsigned int>(
                _mm_movemask_epi8(_mm_or_si128(_mm_cmpeq_epi8(b, cr), _mm_cmpeq_epi8(b, lf))))
                << 16;
        if (mask != 0) {
            return p + __builtin_ctz(mask);
        }
    }
    for (; end - p >= 16; p += 16) {
        const __m128i block = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
        const int mask =
            _mm_movemask_epi8(_mm_or_si128(_mm_cmpeq_epi8(block, cr), _mm_cmpeq_epi8(block, lf)));
        if (mask != 0) {
            return p + __builtin_ctz(static_cast<unsigned int>(mask));
        }
    }
#endif
    while (p < end && *p != '\r' && *p != '\n') {
        ++p;
    }
    return p;
}

// findLineByte that also copies what it passes to `to`, a block at a time while `room` allows:
// the search and the copy of a sentence in one pass. `copied` tells how many leading bytes of
// [from, end) were stored; the caller copies the rest it wants.
inline const char* copyToLineByte(const char* from, const char* end, char* to, size_t room,
                                  size_t& copied) {
    const char* p = from;
#if defined(__SSE2__)
    const __m128i cr = _mm_set1_epi8('\r');
    const __m128i lf = _mm_set1_epi8('\n');
    for (; end - p >= 16 && static_cast<size_t>(p - from) + 16 <= room; p += 16) {
        const __m128i block = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(to + (p - from)), block);
        const int mask =
            _mm_movemask_epi8(_mm_or_si128(_mm_cmpeq_epi8(block, cr), _mm_cmpeq_epi8(block, lf)));
        if (mask != 0) {
            copied = static_cast<size_t>(p - from) + 16;
            return p + __builtin_ctz(static_cast<unsigned int>(mask));
        }
    }
#endif
    copied = static_cast<size_t>(p - from);
    return findLineByte(p, end);
}

inline int hexValue(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    return -1;
}

} // namespace

CQuarnScanner::CQuarnScanner(unsigned int capacity) {
    if (capacity != 0) {
        createBuffer(capacity);
    }
}

CQuarnScanner::~CQuarnScanner() {
    destroyBuffer();
}

void CQuarnScanner::createBuffer(unsigned int capacity) {
    destroyBuffer();
    if (capacity != 0 && capacity <= static_cast<unsigned int>(INT_MAX)) {
        m_buffer.reset(new char[static_cast<size_t>(capacity) + 1]);
        m_buffer[0] = '\0';
        m_capacity = capacity;
    }
    resetScan();
}

void CQuarnScanner::destroyBuffer() {
    resetScan();
    m_buffer.reset();
    m_capacity = 0;
}

void CQuarnScanner::discardBuffer() {
    addDiscarded(m_size);
    m_size = 0;
    m_scanned = 0;
}

int CQuarnScanner::scanToBuffer(const char* data, int length) {
    // Without a buffer nothing can be held: consume nothing, so the caller sees it.
    if (data == nullptr || length <= 0 || !m_buffer) {
        return length;
    }
    const char* p = data;
    const char* const end = data + length;
    // The usual case in one step: a whole sentence right at the start of a line (nothing held
    // yet), its CR LF within these bytes and room for it.
    if (m_state == kLineStart && *p == '$') {
        size_t copied = 0;
        const char* stop = copyToLineByte(p, end, m_buffer.get(), m_capacity, copied);
        const long long n = stop + 2 - p;
        if (end - stop >= 2 && stop[0] == '\r' && stop[1] == '\n' && n <= m_capacity) {
            if (copied < static_cast<size_t>(n)) {
                std::memcpy(m_buffer.get() + copied, p + copied, static_cast<size_t>(n) - copied);
            }
            m_buffer[n] = '\0';
            m_size = static_cast<int>(n);
            m_scanned = m_size;
            m_state = kComplete;
            return static_cast<int>(end - stop - 2);
        }
    }
    while (p < end && m_state != kComplete) {
        if (m_state == kHuntCr) {
            const void* hit = std::memchr(p, '\r', static_cast<size_t>(end - p));
            const char* cr = hit ? static_cast<const char*>(hit) : end;
            const char* next = hit ? cr + 1 : end;
            addDiscarded(next - p);
            discardBuffer();
            p = next;
            if (hit) {
                m_state = kSeenCr;
            }
            continue;
        }
        if (m_state == kLineStart && *p == '$') {
            putCharToBuffer(*p++);
            m_state = kInSentence;
        }
        if (m_state == kInSentence) {
            // The body and, in the usual case, its CR LF in one step.
            const char* stop = findLineByte(p, end);
            const bool lineEnd = end - stop >= 2 && stop[0] == '\r' && stop[1] == '\n';
            const long long run = stop - p + (lineEnd ? 2 : 0);
            const long long room = static_cast<long long>(m_capacity) - m_size;
            const long long kept = run < room ? run : (room > 0 ? room : 0);
            if (kept > 0) {
                std::memcpy(m_buffer.get() + m_size, p, static_cast<size_t>(kept));
                m_size += static_cast<int>(kept);
            }
            addDiscarded(run - kept);
            addScanned(run);
            p += run;
            if (lineEnd) {
                m_buffer[m_size] = '\0';
                m_state = kComplete;
                break;
            }
            if (p == end) {
                break;
            }
        }
        const char b = *p++;
        putCharToBuffer(b);
        switch (m_state) {
        case kSeenCr:
            discardBuffer();
            m_state = b == '\n' ? kLineStart : (b == '\r' ? kSeenCr : kHuntCr);
            break;
        case kLineStart:
            if (b == '$') {
                m_state = kInSentence;
            } else {
                discardBuffer();
                m_state = b == '\r' ? kSeenCr : kHuntCr;
            }
            break;
        case kInSentence:
            // Only CR or LF gets here.
            if (b == '\r') {
                m_state = kSentenceCr;
            } else {
                discardBuffer();
                m_state = kHuntCr;
            }
            break;
        case kSentenceCr:
            if (b == '\n') {
                m_buffer[m_size] = '\0';
                m_state = kComplete;
            } else {
                discardBuffer();
                m_state = b == '\r' ? kSeenCr : kHuntCr;
            }
            break;
        default:
            break;
        }
    }
    return static_cast<int>(end - p);
}

bool CQuarnScanner::startsWith(const char* text, int length) const {
    return scannedComplete() && m_size >= length && std::memcmp(m_buffer.get(), text, length) == 0;
}

bool CQuarnScanner::scannedEnd() const {
    return scannedComplete() && m_size == len(kEnd) &&
           std::memcmp(m_buffer.get(), kEnd, len(kEnd)) == 0;
}

bool CQuarnScanner::scannedTscack() const {
    return startsWith(kTscack, len(kTscack));
}

bool CQuarnScanner::scannedGprmcData() const {
    return startsWith(kGprmc, len(kGprmc));
}

bool CQuarnScanner::scannedServerLoginInfoHeader() const {
    return startsWith(kLoginHeader, len(kLoginHeader));
}

bool CQuarnScanner::scannedServerLoginInfoGprmcData() const {
    return startsWith(kLoginGprmc, len(kLoginGprmc));
}

bool CQuarnScanner::scannedMsgHeader() const {
    if (!scannedComplete() || m_size < 8) {
        return false;
    }
    const char* b = m_buffer.get();
    return b[0] == '$' && b[1] == '<' && b[m_size - 6] == '>' && b[m_size - 5] == '*';
}

bool CQuarnScanner::extractAfter(const char* prefix, int prefixLength, std::string& value) const {
    if (!startsWith(prefix, prefixLength)) {
        return false;
    }
    // The text ends at the first zero byte; dropping the CR LF must not underflow when a
    // zero inside the line or a truncation leaves fewer than two characters.
    const char* text = m_buffer.get() + prefixLength;
    const size_t textLength = strnlen(text, static_cast<size_t>(m_size - prefixLength));
    value.assign(text, textLength >= 2 ? textLength - 2 : 0);
    return true;
}

bool CQuarnScanner::scannedServerLoginInfoDeviceName(std::string& value) const {
    return extractAfter(kDeviceName, len(kDeviceName), value);
}

bool CQuarnScanner::scannedServerLoginInfoExt(std::string& value) const {
    return extractAfter(kExt, len(kExt), value);
}

bool CQuarnScanner::scannedServerLoginInfoSoftware(std::string& value) const {
    return extractAfter(kSoftware, len(kSoftware), value);
}

bool CQuarnScanner::scannedServerLoginInfoHardware(std::string& value) const {
    return extractAfter(kHardware, len(kHardware), value);
}

bool CQuarnScanner::scannedServerLoginInfoImei(std::string& value) const {
    return extractAfter(kImei, len(kImei), value);
}

bool CQuarnScanner::scannedServerLoginInfoCmdVersion(std::string& value) const {
    return extractAfter(kCmdVersion, len(kCmdVersion), value);
}

bool CQuarnScanner::scannedLrcCsValidated(char* computed, char* appended) const {
    if (!scannedComplete() || m_size <= 4 || scannedTruncatedMsg()) {
        return false;
    }
    const char* b = m_buffer.get();
    unsigned char lrc = 0;
    for (int i = 1; i <= m_size - 6; ++i) {
        lrc ^= static_cast<unsigned char>(b[i]);
    }
    if (computed) {
        *computed = static_cast<char>(lrc);
    }
    if (b[m_size - 5] != '*') {
        return false;
    }
    const int high = hexValue(b[m_size - 4]);
    const int low = hexValue(b[m_size - 3]);
    if (high < 0 || low < 0) {
        return false;
    }
    const unsigned char given = static_cast<unsigned char>(high * 16 + low);
    if (appended) {
        *appended = static_cast<char>(given);
    }
    return given == lrc;
}
