// Feeds arbitrary bytes to the terminal scanner in arbitrary chunks at an arbitrary capacity,
// and checks it byte for byte against a plain one-byte-at-a-time model of the same state
// machine; complete sentences are queued into a CBuffer checked against a string.
//
// Input: 2 bytes capacity, 1 byte largest chunk, 1 byte chunking seed, then the stream.
#include "buffer.h"
#include "quarn_scanner.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

void check(bool condition) {
    if (!condition)
        std::abort();
}

// The scanning table, one byte at a time, without fast paths. State s waits for "\r\n$\r\n"[s]
// (5 = complete); before the "$" every byte is dropped, inside a sentence a bare LF drops it.
struct SModel {
    explicit SModel(unsigned int cap) : capacity(cap) {}
    unsigned int capacity;
    std::string held;
    long long scanned = 0, discarded = 0;
    int state = 0;

    void drop() {
        discarded += static_cast<long long>(held.size());
        held.clear();
        scanned = 0;
    }
    int feed(const char* p, int length) {
        int i = 0;
        for (; capacity != 0 && i < length && state != 5; ++i) {
            const char b = p[i];
            if (held.size() < capacity)
                held.push_back(b);
            else
                ++discarded;
            ++scanned;
            if (b == "\r\n$\r\n"[state]) {
                if (state++ < 2)
                    drop();
            } else if (state != 3 || b == '\n') {
                drop();
                state = b == '\r' ? 1 : 0;
            }
        }
        return length - i;
    }
    void next() {
        held.clear();
        scanned = discarded = 0;
        state = 2;
    }
};

void checkSame(const CQuarnScanner& scanner, const SModel& model) {
    check(scanner.getState() == model.state && scanner.amountScanned() == model.scanned &&
          scanner.amountDiscarded() == model.discarded &&
          scanner.getSize() == static_cast<int>(model.held.size()));
    check(model.held.empty() ||
          std::memcmp(scanner.getBuffer(), model.held.data(), model.held.size()) == 0);
}

void checkSentence(const CQuarnScanner& scanner) {
    const char* b = scanner.getBuffer();
    const int size = scanner.getSize();
    check(b != nullptr && size >= 1 && b[0] == '$' && b[size] == '\0');
    const bool truncated = scanner.scannedTruncatedMsg();
    check(truncated || (size >= 3 && b[size - 2] == '\r' && b[size - 1] == '\n'));
    // A truncated sentence may have kept its CR when only the LF did not fit.
    const int body = scanner.amountScanned() - 2 < size ? scanner.amountScanned() - 2 : size;
    for (int i = 0; i < body; ++i)
        check(b[i] != '\r' && b[i] != '\n');

    check(!scanner.scannedEnd() || (size == 8 && std::memcmp(b, "$<end>\r\n", 8) == 0));
    check(!scanner.scannedMsgHeader() || (size >= 8 && b[1] == '<'));
    (void)(scanner.scannedTscack() || scanner.scannedGprmcData() ||
           scanner.scannedServerLoginInfoHeader() || scanner.scannedServerLoginInfoGprmcData());
    // A value never reaches beyond the sentence, whatever its prefix ("$Ext=" is the shortest).
    for (auto extract :
         {&CQuarnScanner::scannedServerLoginInfoImei,
          &CQuarnScanner::scannedServerLoginInfoDeviceName,
          &CQuarnScanner::scannedServerLoginInfoExt, &CQuarnScanner::scannedServerLoginInfoSoftware,
          &CQuarnScanner::scannedServerLoginInfoHardware,
          &CQuarnScanner::scannedServerLoginInfoCmdVersion}) {
        std::string value;
        check(!(scanner.*extract)(value) || value.size() + 5 <= static_cast<size_t>(size));
    }

    char computed = 0, appended = 0;
    const bool valid = scanner.scannedLrcCsValidated(&computed, &appended);
    unsigned char lrc = 0;
    for (int i = 1; valid && i <= size - 6; ++i)
        lrc ^= static_cast<unsigned char>(b[i]);
    check(!valid || (!truncated && b[size - 5] == '*' && computed == appended &&
                     static_cast<unsigned char>(computed) == lrc));
    check(scanner.scannedLrcCsValidated(nullptr, nullptr) == valid);
}

// Queue as the data path would: make room by whole sentences, then append what fits.
void queue(CBuffer& buffer, std::string& model, const char* bytes, int n) {
    if (buffer.willOverrun(n)) {
        size_t expected = model.size();
        const size_t found = model.find("\r\n", n > 1 ? static_cast<size_t>(n) - 2 : 0);
        if (static_cast<size_t>(n) < model.size() && found != std::string::npos)
            expected = found + 2;
        const int removed = buffer.discardFrontSentences(n);
        check(removed >= 0 && static_cast<size_t>(removed) == expected);
        model.erase(0, expected);
    }
    buffer.loadBuffer(bytes, n);
    model.append(bytes, std::min(static_cast<size_t>(n), buffer.getCapacity() - model.size()));
    check(buffer.getSize() == static_cast<int>(model.size()) &&
          static_cast<unsigned int>(buffer.getSize()) <= buffer.getCapacity());
    check(model.empty() || std::memcmp(buffer.getBuffer(), model.data(), model.size()) == 0);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 4)
        return 0;
    const unsigned int capacity = (static_cast<unsigned int>(data[0]) << 8 | data[1]) % 300;
    const unsigned int maxChunk = data[2] + 1u;
    uint32_t rng = data[3] * 2654435761u + 1;
    const char* stream = reinterpret_cast<const char*>(data + 4);
    const size_t streamSize = size - 4;

    CQuarnScanner scanner(capacity);
    SModel model(scanner.getCapacity());
    CBuffer buffer(capacity * 2);
    std::string queued;
    long long taken = 0; // bytes consumed since the scanner's counters were last reset

    for (size_t at = 0, chunk = 0; at < streamSize; at += chunk) {
        rng = rng * 1103515245u + 12345u;
        chunk = std::min<size_t>(1 + (rng >> 8) % maxChunk, streamSize - at);
        const char* p = stream + at;
        int length = static_cast<int>(chunk);
        while (length > 0) {
            const int left = scanner.scanToBuffer(p, length);
            check(left == model.feed(p, length) && left >= 0 && left <= length);
            checkSame(scanner, model);
            taken += length - left;
            check(scanner.amountDiscarded() + scanner.getSize() == taken);
            if (!scanner.scannedComplete()) {
                // Only a scanner without a buffer may leave bytes behind.
                check(left == 0 || scanner.getBuffer() == nullptr);
                break;
            }
            checkSentence(scanner);
            if (!scanner.scannedTruncatedMsg())
                queue(buffer, queued, scanner.getBuffer(), scanner.getSize());
            // Now and then some bytes leave the front, as sending does, so that appends meet a
            // queue that starts anywhere in its array.
            if ((rng >> 4) % 3 == 0) {
                const int n = static_cast<int>((rng >> 12) % (queued.size() + 1));
                buffer.flushBuffer(n);
                queued.erase(0, static_cast<size_t>(n));
            }
            scanner.nextScan();
            model.next();
            taken = 0;
            p += length - left;
            length = left;
        }
    }
    return 0;
}
