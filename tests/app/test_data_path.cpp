// The bridge's data path end to end in one process: a terminal on a pseudo-terminal, the
// application object, a server on 127.0.0.1. The one-second steps are called by hand with an
// injected clock, so that time-outs are tested without waiting for them.
#include <algorithm>
#include <chrono>
#include <string>
#include <vector>

#include <glib.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include "bridge_document.h"
#include "data_peers.h"
#include "log_capture.h"
#include "qcf_debug.h"
#include "tessarc_app.h"
#include "test_env.h"

namespace {

using testenv::waitUntil;

// Opens the protected state of the application to the tests.
class CDataPathApp : public CTessarcApp {
public:
    using CTessarcApp::cntCharsDiscardedSerialRx;
    using CTessarcApp::cntCharsSerialRx;
    using CTessarcApp::cntMsgsRcvdSerialRx;
    using CTessarcApp::cntServerCharsRx;
    using CTessarcApp::cntServerCharsTx;
    using CTessarcApp::cntServerConnects;
    using CTessarcApp::CTessarcApp;
    using CTessarcApp::latestGprmc;
    using CTessarcApp::loginInfoComplete;
    using CTessarcApp::m_agentEnabled;
    using CTessarcApp::m_connectingFd;
    using CTessarcApp::m_maxBufBytesScanAvi;
    using CTessarcApp::m_maxBufBytesToSvr;
    using CTessarcApp::m_serialSuspended;
    using CTessarcApp::networkUp;
    using CTessarcApp::serverDataBuffer;
    using CTessarcApp::serverLoginBuffer;
    using CTessarcApp::terminalInfo;
};

struct SConfig {
    int serverBytes = 2097152;
    int scanBytes = 32768;
    std::string overrideAddr;
    std::string overridePort;
    int retry = 10;
    int inactivity = 60;
};

std::string yaml(const SConfig& c) {
    return testenv::bridgeDocumentWith({
        {"networkSettings/maxBufBytesToSvr", std::to_string(c.serverBytes)},
        {"networkSettings/maxBufBytesScanAvi", std::to_string(c.scanBytes)},
        {"networkSettings/overrideServerIPAddr", "'" + c.overrideAddr + "'"},
        {"networkSettings/overrideServerTCPPort", "'" + c.overridePort + "'"},
        {"serialSettings/retryTimeout", std::to_string(c.retry)},
        {"serialSettings/inactivityTimeout", std::to_string(c.inactivity)},
    });
}

const std::string kWake = "\r\n";
const std::string kRequest = "$Pfal,Msg.Info.ServerLogin\r\n";
const std::string kHeader = "$<MSG.Info.ServerLogin>\r\n";
const std::string kTerminalFix =
    "$GPRMC,123519,A,4807.038,N,01131.000,E,022.4,084.4,230394,003.1,W*6A\r\n";
const std::string kGatewayFix =
    "$GPRMC,081836,A,3751.65,S,14507.36,E,000.0,360.0,130998,011.3,E*62\r\n";

// The terminal's login lines, with `fix` as its last valid position.
std::string loginLines(const std::string& addr, const std::string& port,
                       const std::string& fix = kTerminalFix) {
    return "$DeviceName=QT-7\r\n$Ext=fleet:" + addr + ":" + port +
           "\r\n$Software=4.2.1\r\n$Hardware=B3\r\n$LastValidPosition=" + fix +
           "$IMEI=356938035643809\r\n$CmdVersion=7\r\n";
}

// What the server must receive first on every connection: the gateway's own position, or
// none, stands in for the terminal's.
std::string loginBlock(const std::string& addr, const std::string& port,
                       const std::string& gatewayFix) {
    return kHeader + "$SendACK\r\n" +
           loginLines(addr, port, gatewayFix.empty() ? kWake : gatewayFix) + "$<end>\r\n";
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
        if (m_app)
            m_app->stopDevice("pty");
        m_app.reset();
        CTessarcApp::s_clock = nullptr;
    }

    void configure(const SConfig& c) {
        std::string error;
        ASSERT_EQ(CTessarcConfig::instance()._yamlParseBuf(yaml(c), &error), 0) << error;
    }

    void start(const SConfig& c, bool networkUp = true) {
        configure(c);
        char arg0[] = "test";
        char arg1[] = "--daemon";
        char* argv[] = {arg0, arg1, nullptr};
        m_app.reset(new CDataPathApp(2, argv));
        m_app->networkUp = networkUp;
        m_app->m_agentEnabled = true;
        m_app->startDevice(m_pty.slavePath());
        ASSERT_TRUE(m_app->deviceAcquired());
    }

    void tick(int seconds = 1) {
        for (int i = 0; i < seconds; ++i) {
            ++m_now;
            m_app->onTimeout();
        }
    }

    // Sends to the bridge and waits until it has taken every byte, while the loop runs.
    void feed(const std::string& bytes) {
        const int before = m_app->cntCharsSerialRx;
        m_pty.send(bytes);
        ASSERT_TRUE(waitUntil([&] {
            return m_app->cntCharsSerialRx - before >= static_cast<int>(bytes.size());
        })) << "bridge took "
            << m_app->cntCharsSerialRx - before << " of " << bytes.size();
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

    // Runs a start until the link is up: wake, first sentence, request, login response.
    void linkUp(const std::string& addr, const std::string& port) {
        ASSERT_TRUE(terminalGot(kWake));
        feed("$HELLO,1*00\r\n");
        ASSERT_TRUE(terminalGot(kRequest));
        feed(kHeader + loginLines(addr, port) + "$<end>\r\n");
        ASSERT_TRUE(m_app->loginInfoComplete);
    }

    size_t logged(const std::string& text) const { return static_cast<size_t>(m_log.count(text)); }

    static std::string text(const CBuffer& b) { return std::string(b.getBuffer(), b.getSize()); }
    std::string data() const { return text(*m_app->serverDataBuffer); }
    std::string login() const { return text(*m_app->serverLoginBuffer); }

    testenv::TempRoot m_root;
    testenv::PtyTerminal m_pty;
    std::unique_ptr<CDataPathApp> m_app;
    testenv::LogCapture m_log;
    time_t m_now = 1700000000;
};

TEST_F(DataPath, TypicalStartLinksUpConnectsAndSendsTheLoginBlockThenQueuedData) {
    testenv::LoopbackServer server;
    const std::string port = std::to_string(server.port());
    start({});

    // Waiting for the terminal: CR LF, and again after each silent retry period.
    ASSERT_TRUE(terminalGot(kWake));
    tick(9);
    EXPECT_EQ(m_pty.received(), kWake);
    tick(1);
    ASSERT_TRUE(terminalGot(kWake + kWake));

    // The first sentence brings one login request; later ones none.
    feed("$HELLO,1*00\r\n");
    ASSERT_TRUE(terminalGot(kWake + kWake + kRequest));
    feed("$HELLO,2*00\r\n");
    EXPECT_EQ(m_pty.received(), kWake + kWake + kRequest);
    // No response: the request is repeated every retry period.
    tick(10);
    ASSERT_TRUE(terminalGot(kWake + kWake + kRequest + kRequest));

    feed(kHeader + loginLines("127.0.0.1", port) + "$<end>\r\n");
    ASSERT_TRUE(
        serverGot(server, 0, loginBlock("127.0.0.1", port, "") + "$HELLO,1*00\r\n$HELLO,2*00\r\n"));
    ASSERT_TRUE(terminalGot("$RTRLINK,SRVR_CON\r\n"));
    EXPECT_EQ(m_pty.received(),
              kWake + kWake + kRequest + kRequest + "$RTRLINK,NW_CON\r\n$RTRLINK,SRVR_CON\r\n");
    EXPECT_EQ(m_app->getCurrentStatus(), "Connected to QUARN and server.");

    // From now on each sentence goes out as it comes.
    feed("$DATA,3*00\r\n");
    EXPECT_TRUE(serverGot(server, 0,
                          loginBlock("127.0.0.1", port, "") +
                              "$HELLO,1*00\r\n$HELLO,2*00\r\n$DATA,3*00\r\n"));
    EXPECT_EQ(m_app->cntServerCharsTx, static_cast<int>(server.received(0).size()));
}

TEST_F(DataPath, EachReconnectSendsTheWholeLoginBlockBeforeDataQueuedMeanwhile) {
    testenv::LoopbackServer server;
    const std::string port = std::to_string(server.port());
    start({});
    m_app->latestGprmc = kGatewayFix;
    linkUp("127.0.0.1", port);
    const std::string block = loginBlock("127.0.0.1", port, kGatewayFix);
    ASSERT_TRUE(serverGot(server, 0, block + "$HELLO,1*00\r\n"));

    // Bytes from the server count as signs of life.
    tick(40);
    feed("$KEEP,1*00\r\n");
    server.send(0, "ACK");
    ASSERT_TRUE(waitUntil([&] { return m_app->cntServerCharsRx == 3; }));
    tick(40);
    feed("$KEEP,2*00\r\n");
    ASSERT_TRUE(serverGot(server, 0, block + "$HELLO,1*00\r\n$KEEP,1*00\r\n$KEEP,2*00\r\n"));
    ASSERT_TRUE(m_app->serverConnected());

    // Silent for more than inactivityTimeout: dropped and connected again at once.
    tick(21);
    EXPECT_EQ(logged("Tessarc: Server Protocol - no activity from server, re-connecting."), 1u);
    ASSERT_TRUE(serverGot(server, 1, block)) << server.received(1);
    server.pump();
    EXPECT_TRUE(server.peerClosed(0));

    // The server closes: the terminal hears of it, data waits for the retry 30 s later.
    server.close(1);
    ASSERT_TRUE(waitUntil([&] { return !m_app->serverConnected(); }));
    EXPECT_TRUE(terminalGot("$RTRLINK,SRVR_DIS\r\n"));
    EXPECT_EQ(logged("Tessarc: Remote server connection closed."), 1u);
    feed("$DATA,A*00\r\n$DATA,B*00\r\n");
    tick(29);
    EXPECT_FALSE(m_app->serverConnected());
    tick(1);
    ASSERT_TRUE(serverGot(server, 2, block + "$DATA,A*00\r\n$DATA,B*00\r\n"));
    EXPECT_EQ(m_app->cntServerConnects, 3);
}

TEST_F(DataPath, TerminalSilenceRestartsTheProtocolAndDropsTheServer) {
    testenv::LoopbackServer server;
    start({});
    linkUp("127.0.0.1", std::to_string(server.port()));
    ASSERT_TRUE(waitUntil([&] {
        server.pump();
        return server.connections() == 1;
    }));
    m_pty.clearReceived();

    tick(60);
    EXPECT_TRUE(m_app->loginInfoComplete);
    tick(1);
    EXPECT_EQ(logged("Tessarc: AVI Serial Protocol - no activity from AVI, restarting."), 1u);
    EXPECT_FALSE(m_app->loginInfoComplete);
    EXPECT_EQ(m_app->getCurrentStatus(), "QUARN serial link is down.");
    ASSERT_TRUE(waitUntil([&] {
        server.pump();
        return server.peerClosed(0);
    }));
    EXPECT_TRUE(terminalGot(kWake));
}

// Out of and within a login response, with and without a gateway position.
TEST_F(DataPath, SentencesAreClassifiedAndQueuedAsTabled) {
    for (const std::string& gps : {std::string(), kGatewayFix}) {
        SCOPED_TRACE(gps.empty() ? "no gateway position" : "gateway position");
        m_log.clear();
        start({}, false);
        m_app->latestGprmc = gps;
        ASSERT_TRUE(terminalGot(kWake));
        struct SStep {
            std::string sentence;
            std::string toData;
            std::string toLogin;
        };
        const std::vector<SStep> steps = {
            {"$A*41\r\n", "$A*41\r\n", ""},
            {"$<end>\r\n", "$<end>\r\n", ""},
            {"$TSCACK,12345678\r\n", "", ""},
            {"$<ABC>*00\r\n", "$<ABC>*00\r\n", ""},
            {kTerminalFix, gps, ""},
            {"$DeviceName=X\r\n", "$DeviceName=X\r\n", ""},
            {"$LastValidPosition=$GPRMC,1\r\n", "$LastValidPosition=$GPRMC,1\r\n", ""},
            {kHeader, "", kHeader + "$SendACK\r\n"},
            {kTerminalFix, "", kTerminalFix},
            {"$TSCACK,1\r\n", "", ""},
            {kHeader, "", kHeader},
            {"$Ext=name:10.1.2.3:7000:x\r\n", "", "$Ext=name:10.1.2.3:7000:x\r\n"},
            {"$LastValidPosition=$GPRMC,2*00\r\n", "",
             "$LastValidPosition=" + (gps.empty() ? kWake : gps)},
            {"$Unknown=1\r\n", "", "$Unknown=1\r\n"},
            {"$<end>\r\n", "", "$<end>\r\n"},
            {"$<end>\r\n", "$<end>\r\n", ""},
        };
        std::string expectData, expectLogin;
        for (const auto& step : steps) {
            SCOPED_TRACE(step.sentence);
            feed(step.sentence);
            expectData += step.toData;
            expectLogin += step.toLogin;
            ASSERT_EQ(data(), expectData);
            ASSERT_EQ(login(), expectLogin);
        }
        EXPECT_TRUE(m_app->loginInfoComplete);
        EXPECT_EQ(m_app->terminalInfo.serverName, "name");
        EXPECT_EQ(m_app->terminalInfo.serverIpAddr, "10.1.2.3");
        EXPECT_EQ(m_app->terminalInfo.serverPort, "7000:x");
        EXPECT_EQ(logged("Tessarc: AVI msg received ACK message for '$TSCA'."), 1u);
        EXPECT_EQ(logged("Tessarc: AVI msg received ACK message for ''."), 1u);
        EXPECT_EQ(logged("Tessarc: Received msg with LRC checksum [41] - matched OK."), 1u);
        EXPECT_TRUE(terminalGot("$RTRLINK,NW_DIS\r\n"));
        m_app->stopDevice("pty");
        m_app.reset();
    }
}

TEST_F(DataPath, OverlongSentencesAndTheOldestWholeSentencesOfAFullBufferAreDropped) {
    start({1024, 256, "", ""}, false);
    ASSERT_TRUE(terminalGot(kWake));
    const std::string exact = numbered("FULL", 1, 256);
    const std::string tooLong = "$Ext=x:1.2.3.4:" + std::string(290, '9') + "\r\n";
    feed(exact + tooLong + "$AFTER*00\r\n");
    EXPECT_EQ(data(), exact + "$AFTER*00\r\n");
    EXPECT_EQ(logged("Tessarc: AVI msg 307 byte exceeded size of scan buffer 256 bytes"), 1u);
    EXPECT_GE(m_app->cntCharsDiscardedSerialRx, 307);
    EXPECT_EQ(m_app->terminalInfo.serverIpAddr, "");

    // What stays of a backlog is the newest sentences, whole and in order.
    std::string all;
    for (int i = 0; i < 40; ++i)
        all += numbered("D", i, 100);
    feed(all);
    const std::string kept = data();
    ASSERT_FALSE(kept.empty());
    EXPECT_EQ(all.substr(all.size() - kept.size()), kept);
    EXPECT_EQ(kept.size() % 100, 0u);
    EXPECT_GT(logged("Tessarc: Data buffer getting full, discarded 300 bytes."), 0u);
}

TEST_F(DataPath, ALargeBacklogReachesASlowReaderWholeWithoutADisconnect) {
    testenv::LoopbackServer server(4096);
    server.setReading(false);
    const std::string port = std::to_string(server.port());
    // More than the kernel's largest send buffer (4 MiB), so that the socket fills up.
    const int count = 120000;
    start({16 << 20, 32768, "", ""});
    linkUp("127.0.0.1", port);
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
                if (n > 0)
                    offset += static_cast<size_t>(n);
            }
            most = std::max(most, m_app->serverDataBuffer->getSize());
            return offset == all.size() && m_app->cntMsgsRcvdSerialRx >= count + 10;
        },
        std::chrono::seconds(60)));
    // The socket was full for a good while: the backlog waited in the data buffer.
    EXPECT_GT(most, 100000);
    server.setReading(true);
    const std::string expected = loginBlock("127.0.0.1", port, "") + "$HELLO,1*00\r\n" + all;
    EXPECT_TRUE(serverGot(server, 0, expected));
    EXPECT_EQ(server.connections(), 1u);
    EXPECT_EQ(m_app->cntServerConnects, 1);
    EXPECT_EQ(logged("Tessarc: Failed to send data to server."), 0u);
}

TEST_F(DataPath, APendingConnectNeitherBlocksNorLosesTerminalData) {
    testenv::StuckListener stuck;
    testenv::LoopbackServer server;
    start({2097152, 32768, "127.0.0.1", std::to_string(stuck.port())});
    linkUp("127.0.0.1", "1");
    ASSERT_GE(m_app->m_connectingFd, 0);
    EXPECT_EQ(m_app->getCurrentStatus(), "Server not connected.");
    // A reconnect request returns at once with a new attempt under way.
    const auto before = std::chrono::steady_clock::now();
    EXPECT_EQ(m_app->triggerReconnect(), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::seconds(1));
    EXPECT_GE(m_app->m_connectingFd, 0);

    // The loop keeps serving the terminal while the connect is pending.
    std::string queued = "$HELLO,1*00\r\n";
    for (int i = 0; i < 50; ++i) {
        feed(numbered("WAIT", i));
        queued += numbered("WAIT", i);
    }
    tick(29);
    EXPECT_GE(m_app->m_connectingFd, 0);
    tick(1);
    EXPECT_LT(m_app->m_connectingFd, 0);
    EXPECT_EQ(logged("Tessarc: Error, cannot connect to server: Connection timed out"), 1u);

    // Thirty seconds later the next attempt, here towards a server that answers.
    configure({2097152, 32768, "127.0.0.1", std::to_string(server.port())});
    feed("$WAIT,LAST*00\r\n");
    queued += "$WAIT,LAST*00\r\n";
    tick(29);
    EXPECT_FALSE(m_app->serverConnected());
    tick(1);
    EXPECT_TRUE(serverGot(server, 0, loginBlock("127.0.0.1", "1", "") + queued));
    EXPECT_TRUE(terminalGot("$RTRLINK,SRVR_CON\r\n"));
}

TEST_F(DataPath, ServerAddressesThatAreNotNumericIPv4AreRefusedNotReplacedByThisHost) {
    for (const char* addr : {"not-an-address", "127.1"}) {
        SCOPED_TRACE(addr);
        m_log.clear();
        start({2097152, 32768, addr, "9"});
        linkUp("127.0.0.1", "9");
        EXPECT_LT(m_app->m_connectingFd, 0);
        EXPECT_EQ(logged("Tessarc: Error, cannot connect to server: invalid server address"), 1u);
        m_app->stopDevice("pty");
        m_app.reset();
    }
}

TEST_F(DataPath, OutOfRangeSizesAndTimeOutsAreRefusedWithWorkingValues) {
    struct SCase {
        SConfig config;
        int scan;
        int server;
        const char* refusal;
    };
    const std::vector<SCase> cases = {
        {{2097152, -1, "", "", 10, 60}, 32768, 2097152, "maxBufBytesScanAvi -1 refused"},
        {{2097152, 1 << 30, "", "", 10, 60}, 32768, 2097152, "maxBufBytesScanAvi 1073741824"},
        {{300, 256, "", "", 10, 60}, 256, 2097152, "maxBufBytesToSvr 300 refused"},
        {{2097152, 32768, "", "", 0, 60}, 32768, 2097152, "retryTimeout of 0 seconds refused"},
        {{2097152, 32768, "", "", 10, -5},
         32768,
         2097152,
         "inactivityTimeout of -5 seconds refused"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.refusal);
        m_log.clear();
        start(c.config, false);
        EXPECT_EQ(m_app->m_maxBufBytesScanAvi, c.scan);
        EXPECT_EQ(m_app->m_maxBufBytesToSvr, c.server);
        // The protocol still runs on working time-outs: silence restarts it after 10 s.
        ASSERT_TRUE(terminalGot(kWake));
        tick(10);
        EXPECT_TRUE(terminalGot(kWake + kWake));
        EXPECT_EQ(logged(c.refusal), 1u);
        feed("$OK*00\r\n");
        EXPECT_EQ(data(), "$OK*00\r\n");
        m_app->stopDevice("pty");
        m_app.reset();
        m_pty.clearReceived();
    }
}

TEST_F(DataPath, AHungUpPortDoesNotSpinTheLoop) {
    start({});
    ASSERT_TRUE(terminalGot(kWake));
    m_pty.hangUp();
    auto iterationsFor200ms = [] {
        bool done = false;
        guint timer = g_timeout_add(
            200,
            [](gpointer flag) -> gboolean {
                *static_cast<bool*>(flag) = true;
                return G_SOURCE_REMOVE;
            },
            &done);
        int iterations = 0;
        while (!done && iterations < 100000) {
            g_main_context_iteration(nullptr, TRUE);
            ++iterations;
        }
        if (!done)
            g_source_remove(timer);
        return iterations;
    };
    EXPECT_LT(iterationsFor200ms(), 50);
    EXPECT_TRUE(m_app->m_serialSuspended);
    // The one-second step looks again, and the port is still gone.
    tick(1);
    EXPECT_LT(iterationsFor200ms(), 50);
    EXPECT_LE(logged("Tessarc: failed to receive data from serial port.") +
                  logged("Tessarc: Invalid IO condition to trigger serial data op"),
              1u);
}

} // namespace
