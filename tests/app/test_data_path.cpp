// The data path end to end in one process: terminal on a pseudo-terminal, server on 127.0.0.1;
// the one-second steps are called by hand on an injected clock, so no time-out is waited for.
#include <algorithm>
#include <array>
#include <chrono>
#include <map>
#include <string>
#include <vector>

#include <climits>
#include <glib.h>
#include <gtest/gtest.h>
#include <linux/sockios.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include "bridge_document.h"
#include "data_peers.h"
#include "fake_sysfs.h"
#include "log_capture.h"
#include "tessarc_app.h"

namespace {

using testenv::waitUntil;
using Settings = std::map<std::string, std::string>;

class CDataPathApp : public CTessarcApp {
public:
    using CTessarcApp::cntCharsSerialRx;
    using CTessarcApp::cntMsgsRcvdSerialRx;
    using CTessarcApp::cntServerCharsTx;
    using CTessarcApp::CTessarcApp;
    using CTessarcApp::latestGprmc;
    using CTessarcApp::loginInfoComplete;
    using CTessarcApp::m_agentEnabled;
    using CTessarcApp::m_connectingFd;
    using CTessarcApp::m_maxBufBytesScanAvi;
    using CTessarcApp::m_maxBufBytesToSvr;
    using CTessarcApp::m_socketFd;
    using CTessarcApp::networkUp;
    using CTessarcApp::serverDataBuffer;
    using CTessarcApp::serverLoginBuffer;
    using CTessarcApp::terminalInfo;
};

const std::string kNet = "networkSettings/";
const std::string kWake = "\r\n";
const std::string kRequest = "$Pfal,Msg.Info.ServerLogin\r\n";
const std::string kHeader = "$<MSG.Info.ServerLogin>\r\n";
const std::string kTerminalFix =
    "$GPRMC,123519,A,4807.038,N,01131.000,E,022.4,084.4,230394,003.1,W*6A\r\n";
const std::string kGatewayFix =
    "$GPRMC,081836,A,3751.65,S,14507.36,E,000.0,360.0,130998,011.3,E*62\r\n";

Settings serverAt(const std::string& addr, uint16_t port) {
    return {{kNet + "overrideServerIPAddr", "'" + addr + "'"},
            {kNet + "overrideServerTCPPort", "'" + std::to_string(port) + "'"}};
}

std::string loginLines(const std::string& port, const std::string& fix = kTerminalFix) {
    return "$DeviceName=QT-7\r\n$Ext=fleet:127.0.0.1:" + port +
           "\r\n$Software=4.2.1\r\n$Hardware=B3\r\n$LastValidPosition=" + fix +
           "$IMEI=356938035643809\r\n$CmdVersion=7\r\n";
}

// What the server must receive first on every connection: the gateway's own position, or
// none, stands in for the terminal's.
std::string loginBlock(const std::string& port, const std::string& gatewayFix = "") {
    return kHeader + "$SendACK\r\n" + loginLines(port, gatewayFix.empty() ? kWake : gatewayFix) +
           "$<end>\r\n";
}

std::string numbered(const char* kind, int i, size_t width = 0) {
    std::string s = std::string("$") + kind + "," + std::to_string(i);
    if (s.size() + 5 < width)
        s += "," + std::string(width - s.size() - 6, 'x');
    return s + "*00\r\n";
}

class DataPath : public ::testing::Test {
protected:
    void SetUp() override {
        CTessarcApp::s_clock = [this] { return m_now; };
    }

    void TearDown() override {
        stop();
        CTessarcApp::s_clock = nullptr;
    }

    void configure(const Settings& s) {
        ASSERT_EQ(CTessarcConfig::instance()._yamlParseBuf(testenv::bridgeDocumentWith(s)), 0);
    }

    void create(const Settings& s) {
        configure(s);
        m_log.clear();
        char arg0[] = "test", arg1[] = "--daemon";
        char* argv[] = {arg0, arg1, nullptr};
        m_app.reset(new CDataPathApp(2, argv));
    }

    void start(const Settings& s = {}, bool networkUp = true) {
        create(s);
        m_app->networkUp = networkUp;
        m_app->m_agentEnabled = true;
        m_app->startDevice(m_pty.slavePath());
        ASSERT_TRUE(terminalGot(kWake));
    }

    // Acknowledgements of loopback TCP may be delayed a little; the bridge keeps what was not
    // acknowledged, so a test that drops a connection waits for them first.
    bool acknowledged() {
        return waitUntil([&] {
            int unacknowledged = -1;
            return ::ioctl(m_app->m_socketFd, SIOCOUTQ, &unacknowledged) == 0 &&
                   unacknowledged == 0;
        });
    }

    void stop() {
        if (m_app)
            m_app->stopDevice("pty");
        m_app.reset();
        m_pty.clearReceived();
    }

    void tick(int seconds = 1) {
        for (; seconds > 0; --seconds) {
            ++m_now;
            m_app->onTimeout();
        }
    }

    // Sends to the bridge and waits until it has taken every byte, while the loop runs.
    void feed(const std::string& bytes) {
        const int before = m_app->cntCharsSerialRx;
        size_t offset = 0;
        ASSERT_TRUE(waitUntil([&] {
            const ssize_t n =
                ::write(m_pty.masterFd(), bytes.data() + offset, bytes.size() - offset);
            offset += n > 0 ? static_cast<size_t>(n) : 0;
            return m_app->cntCharsSerialRx - before >= static_cast<int>(bytes.size());
        }));
    }

    bool terminalGot(const std::string& text) {
        return waitUntil([&] { return m_pty.received().find(text) != std::string::npos; });
    }

    bool serverGot(testenv::LoopbackServer& server, size_t connection, const std::string& text) {
        return waitUntil([&] {
                   server.pump();
                   return server.connections() > connection &&
                          server.received(connection).size() >= text.size();
               }) &&
               server.received(connection) == text;
    }

    void linkUp(const std::string& port) {
        feed("$HELLO,1*00\r\n");
        ASSERT_TRUE(terminalGot(kRequest));
        feed(kHeader + loginLines(port) + "$<end>\r\n");
        ASSERT_TRUE(m_app->loginInfoComplete);
    }

    size_t logged(const std::string& text) const { return static_cast<size_t>(m_log.count(text)); }
    static std::string text(const CBuffer& b) { return std::string(b.getBuffer(), b.getSize()); }

    testenv::TempRoot m_root;
    testenv::PtyTerminal m_pty;
    std::unique_ptr<CDataPathApp> m_app;
    testenv::LogCapture m_log;
    time_t m_now = 1700000000;
};

// A typical start, then the server silent, the server closing and the terminal silent.
TEST_F(DataPath, LinksUpAndSendsTheLoginBlockFirstOnEveryConnectionThenQueuedData) {
    testenv::LoopbackServer server;
    const std::string port = std::to_string(server.port());
    // Sizes and time-outs out of range are refused: the defaults run the protocol.
    start({{kNet + "maxBufBytesScanAvi", "1073741824"},
           {"serialSettings/retryTimeout", "0"},
           {"serialSettings/inactivityTimeout", "-5"}});
    EXPECT_EQ(m_app->m_maxBufBytesScanAvi, 32768);
    m_app->latestGprmc = kGatewayFix;
    const std::string block = loginBlock(port, kGatewayFix);

    // CR LF again after each silent retry period.
    tick(9);
    EXPECT_EQ(m_pty.received(), kWake);
    tick(1);
    ASSERT_TRUE(terminalGot(kWake + kWake));
    for (const char* refusal :
         {"maxBufBytesScanAvi 1073741824 refused", "retryTimeout of 0 seconds refused",
          "inactivityTimeout of -5 seconds refused"})
        EXPECT_EQ(logged(refusal), 1u) << refusal;
    // The first sentence brings one login request, repeated every retry period.
    feed("$HELLO,1*00\r\n$HELLO,2*00\r\n");
    ASSERT_TRUE(terminalGot(kWake + kWake + kRequest));
    tick(10);
    ASSERT_TRUE(terminalGot(kWake + kWake + kRequest + kRequest));
    feed(kHeader + loginLines(port) + "$<end>\r\n");
    ASSERT_TRUE(terminalGot("$RTRLINK,SRVR_CON\r\n"));
    EXPECT_EQ(m_pty.received(),
              kWake + kWake + kRequest + kRequest + "$RTRLINK,NW_CON\r\n$RTRLINK,SRVR_CON\r\n");
    EXPECT_EQ(m_app->getCurrentStatus(), "Connected to QUARN and server.");
    const std::string hello = "$HELLO,1*00\r\n$HELLO,2*00\r\n";
    ASSERT_TRUE(serverGot(server, 0, block + hello));

    // Bytes from the server count as signs of life (the terminal keeps talking meanwhile).
    tick(40);
    feed("$KEEP,1*00\r\n");
    server.send(0, "ACK");
    ASSERT_TRUE(waitUntil([&] { return m_app->getCntServerCharsRx() == 3; }));
    tick(40);
    feed("$KEEP,2*00\r\n");
    ASSERT_TRUE(serverGot(server, 0, block + hello + "$KEEP,1*00\r\n$KEEP,2*00\r\n"));
    // Silent for more than inactivityTimeout: dropped and connected again at once.
    ASSERT_TRUE(acknowledged());
    tick(20);
    EXPECT_EQ(logged("Tessarc: Server Protocol - no activity from server, re-connecting."), 0u);
    tick(1);
    EXPECT_EQ(logged("Tessarc: Server Protocol - no activity from server, re-connecting."), 1u);
    ASSERT_TRUE(serverGot(server, 1, block)) << server.received(1);
    EXPECT_TRUE(server.peerClosed(0));

    // The server closes: the terminal hears of it, data waits for the retry 30 s later.
    server.close(1);
    ASSERT_TRUE(waitUntil([&] { return !m_app->serverConnected(); }));
    EXPECT_TRUE(terminalGot("$RTRLINK,SRVR_DIS\r\n"));
    feed("$DATA,A*00\r\n$DATA,B*00\r\n");
    tick(29);
    EXPECT_FALSE(m_app->serverConnected());
    tick(1);
    ASSERT_TRUE(serverGot(server, 2, block + "$DATA,A*00\r\n$DATA,B*00\r\n"));

    // Terminal silent for more than inactivityTimeout: the protocol restarts without a server.
    m_pty.clearReceived();
    tick(30);
    EXPECT_TRUE(m_app->loginInfoComplete);
    tick(1);
    EXPECT_EQ(logged("Tessarc: AVI Serial Protocol - no activity from AVI, restarting."), 1u);
    EXPECT_EQ(m_app->getCurrentStatus(), "QUARN serial link is down.");
    EXPECT_TRUE(server.pumpUntil([&] { return server.peerClosed(2); }, std::chrono::seconds(10)));
    EXPECT_TRUE(terminalGot(kWake));
}

// Out of and within a login response, with and without a gateway position.
TEST_F(DataPath, SentencesAreClassifiedAndQueuedAsTabled) {
    for (const std::string& gps : {std::string(), kGatewayFix}) {
        SCOPED_TRACE(gps.empty() ? "no gateway position" : "gateway position");
        start({}, false);
        m_app->latestGprmc = gps;
        // Sentence, what it adds to the data buffer, what to the login buffer.
        const std::vector<std::array<std::string, 3>> steps = {
            {"$A*41\r\n", "$A*41\r\n", ""},
            {"$<end>\r\n", "$<end>\r\n", ""},
            {"$TSCACK,12345678\r\n", "", ""},
            {"$<ABC>*00\r\n", "$<ABC>*00\r\n", ""},
            {kTerminalFix, gps, ""},
            {"$LastValidPosition=$GPRMC,1\r\n", "$LastValidPosition=$GPRMC,1\r\n", ""},
            {kHeader, "", kHeader + "$SendACK\r\n"},
            {kTerminalFix, "", kTerminalFix},
            {"$TSCACK,1\r\n", "", ""},
            {kHeader, "", kHeader},
            {"$Ext=name:10.1.2.3:7000:x\r\n", "", "$Ext=name:10.1.2.3:7000:x\r\n"},
            {"$LastValidPosition=$GPRMC,2*00\r\n", "",
             "$LastValidPosition=" + (gps.empty() ? kWake : gps)},
            {"$<end>\r\n", "", "$<end>\r\n"},
            {"$<end>\r\n", "$<end>\r\n", ""},
        };
        std::string expectData, expectLogin;
        for (const auto& [sentence, toData, toLogin] : steps) {
            SCOPED_TRACE(sentence);
            feed(sentence);
            expectData += toData;
            expectLogin += toLogin;
            ASSERT_EQ(text(*m_app->serverDataBuffer), expectData);
            ASSERT_EQ(text(*m_app->serverLoginBuffer), expectLogin);
        }
        EXPECT_EQ(m_app->terminalInfo.serverIpAddr + " " + m_app->terminalInfo.serverPort,
                  "10.1.2.3 7000:x");
        EXPECT_EQ(logged("Tessarc: AVI msg received ACK message for '$TSCA'."), 1u);
        EXPECT_EQ(logged("Tessarc: AVI msg received ACK message for ''."), 1u);
        EXPECT_EQ(logged("Tessarc: Received msg with LRC checksum [41] - matched OK."), 1u);
        EXPECT_TRUE(terminalGot("$RTRLINK,NW_DIS\r\n"));
        stop();
    }
}

TEST_F(DataPath, DropsOverlongSentencesAndOldSentencesOfAFullBufferAndSurvivesAHangUp) {
    start({{kNet + "maxBufBytesToSvr", "1024"}, {kNet + "maxBufBytesScanAvi", "256"}}, false);
    const std::string exact = numbered("FULL", 1, 256);
    feed(exact + "$Ext=x:1.2.3.4:" + std::string(290, '9') + "\r\n$AFTER*00\r\n");
    EXPECT_EQ(text(*m_app->serverDataBuffer), exact + "$AFTER*00\r\n");
    EXPECT_EQ(logged("Tessarc: AVI msg 307 byte exceeded size of scan buffer 256 bytes"), 1u);
    EXPECT_EQ(m_app->terminalInfo.serverIpAddr, "");

    // What stays of a backlog is the newest sentences, whole and in order.
    std::string all;
    for (int i = 0; i < 40; ++i)
        all += numbered("D", i, 100);
    feed(all);
    const std::string kept = text(*m_app->serverDataBuffer);
    ASSERT_TRUE(!kept.empty() && kept.size() % 100 == 0) << kept.size();
    EXPECT_EQ(all.substr(all.size() - kept.size()), kept);
    EXPECT_GT(logged("Tessarc: Data buffer getting full, discarded 300 bytes."), 0u);

    // A hung-up port is reported at most once and does not spin the loop: of a hundred looks
    // at the loop, nearly all find nothing to do.
    m_pty.hangUp();
    auto dispatches = [] {
        int n = 0;
        for (int i = 0; i < 100; ++i)
            n += g_main_context_iteration(nullptr, FALSE) ? 1 : 0;
        return n;
    };
    EXPECT_LT(dispatches(), 10);
    tick(1); // looks at the port again: still gone
    EXPECT_LT(dispatches(), 10);
    EXPECT_LE(logged("Tessarc: failed to receive data from serial port.") +
                  logged("Tessarc: Invalid IO condition to trigger serial data op"),
              1u);
}

TEST_F(DataPath, ALargeBacklogReachesASlowReaderWholeWithoutADisconnect) {
    testenv::LoopbackServer server(4096);
    server.setReading(false);
    const std::string port = std::to_string(server.port());
    // More than the kernel's largest send buffer (4 MiB), so that the socket fills up.
    const int count = 120000;
    start({{kNet + "maxBufBytesToSvr", std::to_string(16 << 20)}});
    linkUp(port);
    std::string all;
    for (int i = 0; i < count; ++i)
        all += numbered("BULK", i, 64);
    size_t offset = 0;
    int most = 0;
    ASSERT_TRUE(waitUntil(
        [&] {
            if (offset < all.size()) {
                ssize_t n = ::write(m_pty.masterFd(), all.data() + offset,
                                    std::min<size_t>(65536, all.size() - offset));
                offset += n > 0 ? static_cast<size_t>(n) : 0;
            }
            most = std::max(most, m_app->serverDataBuffer->getSize());
            return offset == all.size() && m_app->cntMsgsRcvdSerialRx >= count + 10;
        },
        std::chrono::seconds(60)));
    // The socket was full for a good while: the backlog waited in the data buffer.
    EXPECT_GT(most, 100000);
    EXPECT_LT(m_app->cntServerCharsTx, 1 << 20) << "the connection took much of the backlog";
    server.setReading(true);
    EXPECT_TRUE(serverGot(server, 0, loginBlock(port) + "$HELLO,1*00\r\n" + all));
    EXPECT_EQ(server.connections(), 1u);
}

TEST_F(DataPath, APendingConnectNeitherBlocksNorLosesTerminalData) {
    testenv::StuckListener stuck;
    testenv::LoopbackServer server;
    // An address that is not numeric IPv4 is refused, not replaced by this host.
    start(serverAt("not-an-address", stuck.port()));
    linkUp("1");
    EXPECT_LT(m_app->m_connectingFd, 0);
    EXPECT_GT(logged("Tessarc: Error, cannot connect to server: invalid server address"), 0u);
    // The next paced attempt picks up a corrected address.
    configure(serverAt("127.0.0.1", stuck.port()));
    tick(29);
    EXPECT_LT(m_app->m_connectingFd, 0);
    tick(1);
    ASSERT_GE(m_app->m_connectingFd, 0);
    // A reconnect request returns (a blocking connect would hang here) with a new attempt
    // under way.
    EXPECT_EQ(m_app->triggerReconnect(), 0);
    EXPECT_GE(m_app->m_connectingFd, 0);

    // The loop keeps serving the terminal while the connect is pending.
    std::string waiting;
    for (int i = 0; i < 50; ++i)
        waiting += numbered("WAIT", i);
    feed(waiting);
    tick(29);
    ASSERT_GE(m_app->m_connectingFd, 0);
    tick(1);
    EXPECT_EQ(logged("Tessarc: Error, cannot connect to server: Connection timed out"), 1u);

    // Thirty seconds later the next attempt, here towards a server that answers.
    configure(serverAt("127.0.0.1", server.port()));
    feed("$WAIT,LAST*00\r\n");
    tick(29);
    EXPECT_FALSE(m_app->serverConnected());
    tick(1);
    EXPECT_TRUE(
        serverGot(server, 0, loginBlock("1") + "$HELLO,1*00\r\n" + waiting + "$WAIT,LAST*00\r\n"));
}

// The server buffer bounds at their edges, the character counters per session, and a change of
// the server buffer size alone taking effect through an agent restart.
TEST_F(DataPath, SessionCountersAndServerBufferBoundsAtTheirEdges) {
    testenv::LoopbackServer server;
    const Settings scan = {{kNet + "maxBufBytesScanAvi", "256"}};
    Settings sizes = scan;
    sizes[kNet + "maxBufBytesToSvr"] = "511"; // twice the scan buffer, less one
    start(sizes);
    EXPECT_EQ(m_app->m_maxBufBytesToSvr, 2097152);
    EXPECT_EQ(logged("maxBufBytesToSvr 511 refused"), 1u);
    linkUp(std::to_string(server.port()));
    ASSERT_TRUE(
        serverGot(server, 0, loginBlock(std::to_string(server.port())) + "$HELLO,1*00\r\n"));
    EXPECT_EQ(m_app->getCntServerConnects(), 1);
    const int scannedBefore = m_app->getCntCharsScannedSerialRx();
    // A "$" that does not follow a line end starts no sentence: all of it is discarded.
    feed("noise$A*41\r\n$B*42\r\n");
    EXPECT_EQ(m_app->getCntCharsDiscardedSerialRx(), 12);
    EXPECT_EQ(m_app->getCntCharsScannedSerialRx() - scannedBefore, 7);

    // The terminal falls silent: its session ends, and with it the server's.
    tick(61);
    EXPECT_EQ(logged("Tessarc: AVI Serial Protocol - no activity from AVI, restarting."), 1u);
    EXPECT_EQ(m_app->getCntServerConnects(), 0);
    EXPECT_EQ(m_app->getCntCharsDiscardedSerialRx(), 0);

    std::unique_ptr<CVylYamlMixin> previous(CTessarcConfig::instance().clone());
    sizes[kNet + "maxBufBytesToSvr"] = "512"; // exactly twice: accepted
    configure(sizes);
    m_app->onConfigurationUpdate(previous.get());
    EXPECT_FALSE(m_app->deviceAcquired()) << "agent not restarted";
    m_app->startDevice(m_pty.slavePath());
    EXPECT_EQ(m_app->m_maxBufBytesToSvr, 512);
}

// The numbers of the whole "$S,<n>,..." sentences in a stream, in stream order.
std::vector<int> sentenceNumbers(const std::string& stream) {
    std::vector<int> numbers;
    for (size_t at = stream.find("$S,"); at != std::string::npos; at = stream.find("$S,", at + 1))
        if (stream.find("\r\n", at) != std::string::npos)
            numbers.push_back(std::stoi(stream.substr(at + 3)));
    return numbers;
}

TEST_F(DataPath, AServerThatStallsAndComesBackGetsWhatItNeverAcknowledgedInOrderAndNothingTwice) {
    const int window = 4096;
    testenv::LoopbackServer server(window);
    const std::string port = std::to_string(server.port());
    start();
    linkUp(port);
    std::string before, stalled;
    int n = 0;
    for (; n < 50; ++n)
        before += numbered("S", n, 60);
    feed(before);
    ASSERT_TRUE(serverGot(server, 0, loginBlock(port) + "$HELLO,1*00\r\n" + before));
    // Ten seconds of 57600 baud while the server reads nothing, then it goes away unread (a
    // reset) and listens again.
    server.setReading(false);
    for (; stalled.size() < 57600; ++n)
        stalled += numbered("S", n, 60);
    feed(stalled);
    // Everything handed over: the server's window is full, the rest waits unacknowledged.
    const int total =
        static_cast<int>(loginBlock(port).size() + 13 + before.size() + stalled.size());
    ASSERT_TRUE(waitUntil([&] { return m_app->cntServerCharsTx == total; }));
    server.close(0);
    ASSERT_TRUE(waitUntil([&] { return !m_app->serverConnected(); }));
    tick(30);
    server.setReading(true);
    ASSERT_TRUE(server.pumpUntil(
        [&] {
            return server.connections() > 1 &&
                   server.received(1).find(numbered("S", n - 1, 60)) != std::string::npos;
        },
        std::chrono::seconds(10)));
    const std::string& again = server.received(1);
    ASSERT_EQ(again.rfind(loginBlock(port), 0), 0u) << again.substr(0, 400);
    const std::vector<int> first = sentenceNumbers(server.received(0));
    const std::vector<int> second = sentenceNumbers(again);
    ASSERT_FALSE(first.empty() || second.empty());
    // Each connection in order without gaps; what the server's TCP took but nobody read (at
    // most its receive buffer, which the kernel doubles) is all that is missing.
    for (const auto* numbers : {&first, &second})
        for (size_t i = 1; i < numbers->size(); ++i)
            ASSERT_EQ((*numbers)[i], (*numbers)[i - 1] + 1);
    EXPECT_EQ(first.front(), 0);
    EXPECT_EQ(second.back(), n - 1);
    EXPECT_GT(second.front(), first.back()) << "a sentence arrived twice";
    EXPECT_LE((second.front() - first.back() - 1) * 60, 2 * window);
    EXPECT_EQ(again.size(), loginBlock(port).size() + 60u * second.size());
}

// More than the buffer and the socket hold: sentences are dropped while one is half handed
// over, and still the server sees only whole sentences, in order, the newest last.
TEST_F(DataPath, AStalledServerBehindAFullBufferStillGetsOnlyWholeSentences) {
    testenv::LoopbackServer server(4096);
    const std::string port = std::to_string(server.port());
    start();
    linkUp(port);
    server.setReading(false);
    std::string all;
    for (int i = 0; i < 40000; ++i)
        all += numbered("S", i, 60);
    feed(all);
    server.setReading(true);
    ASSERT_TRUE(server.pumpUntil(
        [&] {
            return server.connections() == 1 &&
                   server.received(0).find(numbered("S", 39999, 60)) != std::string::npos;
        },
        std::chrono::seconds(10)));
    EXPECT_GT(logged("Tessarc: Data buffer getting full"), 0u);
    const std::string& received = server.received(0);
    ASSERT_EQ(received.rfind(loginBlock(port), 0), 0u);
    const std::string got = received.substr(received.find("$S,"));
    const std::vector<int> numbers = sentenceNumbers(got);
    ASSERT_EQ(got.size(), 60u * numbers.size()) << "a sentence was cut";
    EXPECT_TRUE(std::is_sorted(numbers.begin(), numbers.end()) &&
                std::adjacent_find(numbers.begin(), numbers.end()) == numbers.end());
}

TEST_F(DataPath, ALoginBlockSentAgainWhileConnectedOnlyEverOpensAConnection) {
    testenv::LoopbackServer server, other;
    const std::string port = std::to_string(server.port());
    start(serverAt("127.0.0.1", other.port()));
    linkUp(port);
    EXPECT_EQ(m_app->getServerPort(), std::to_string(other.port()));
    ASSERT_TRUE(serverGot(other, 0, loginBlock(port) + "$HELLO,1*00\r\n"));
    // An override emptied at run time gives way to the terminal's server at the next attempt.
    configure({});
    EXPECT_EQ(m_app->getServerPort(), port);
    ASSERT_TRUE(acknowledged());
    m_app->triggerReconnect();
    ASSERT_TRUE(serverGot(server, 0, loginBlock(port)));

    // Counters stop at their limit instead of wrapping.
    m_app->cntServerCharsTx = INT_MAX - 1;
    m_app->cntMsgsRcvdSerialRx = INT_MAX;
    // A block that never ends: after the retry time its sentences go on as data, in order.
    feed(kHeader + "$D,1*00\r\n$D,2*00\r\n");
    tick(10);
    EXPECT_EQ(m_app->cntServerCharsTx, INT_MAX - 1);
    tick(1);
    ASSERT_TRUE(serverGot(server, 0, loginBlock(port) + "$D,1*00\r\n$D,2*00\r\n"));
    EXPECT_EQ(m_app->cntServerCharsTx, INT_MAX);
    EXPECT_EQ(m_app->cntMsgsRcvdSerialRx, INT_MAX);

    // A block that ends replaces the old one and starts a connection of its own.
    feed("$D,3*00\r\n");
    ASSERT_TRUE(serverGot(server, 0, loginBlock(port) + "$D,1*00\r\n$D,2*00\r\n$D,3*00\r\n"));
    ASSERT_TRUE(acknowledged());
    const std::string block = kHeader + "$SendACK\r\n$DeviceName=QT-8\r\n$D,4*00\r\n$<end>\r\n";
    feed(kHeader + "$DeviceName=QT-8\r\n$D,4*00\r\n$<end>\r\n$D,5*00\r\n");
    ASSERT_TRUE(serverGot(server, 1, block + "$D,5*00\r\n"));
    EXPECT_EQ(server.received(0), loginBlock(port) + "$D,1*00\r\n$D,2*00\r\n$D,3*00\r\n");
    EXPECT_EQ(m_app->getDeviceName(), "QT-8");
}

TEST_F(DataPath, APortThatFailsToOpenIsTriedAgainAndTheNetworkStaysWhileTheGateHolds) {
    testenv::FakeSysfs sysfs(m_root.path());
    sysfs.addBuiltinSerial(0);
    m_root.write("not-a-tty", "");
    sysfs.linkNode("ttyS0", m_root.path() + "/not-a-tty");
    create({{"enabled", "yes"}, {"gatesTriggers/wanUp/retval", "'true'"}});
    m_app->startAgent();
    EXPECT_EQ(m_app->getCurrentStatus(), "Serial device not acquired.");
    EXPECT_GT(logged("Tessarc: Error opening serial port"), 0u);
    sysfs.linkNode("ttyS0", m_pty.slavePath());
    const std::string retry = "Tessarc: no serial device, trying to acquire one again.";
    tick(9);
    EXPECT_EQ(logged(retry), 0u);
    tick(1);
    EXPECT_EQ(logged(retry), 1u);
    tick(1);
    EXPECT_EQ(logged(retry), 1u);
    EXPECT_TRUE(waitUntil([&] { return m_app->deviceAcquired(); }, std::chrono::seconds(10)));
    EXPECT_TRUE(terminalGot(kWake));

    // A WAN going down while the gate still holds (another WAN is up) keeps the network; the
    // last one takes it down.
    EXPECT_TRUE(m_app->networkAvailable());
    m_app->onWanDeactivated(1);
    EXPECT_TRUE(m_app->networkAvailable());
    configure({{"enabled", "yes"}, {"gatesTriggers/wanUp/retval", "'false'"}});
    m_app->onWanDeactivated(2);
    EXPECT_FALSE(m_app->networkAvailable());
}

} // namespace
