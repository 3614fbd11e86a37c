// quarnterm: a vehicle-identification terminal on a pseudo-terminal, for the demo and for trying
// the daemon by hand. It links the pseudo-terminal's device to LINK (e.g. $VYL_ROOT/dev/ttyS0),
// sends a sentence each second until asked for its login information, answers with a login block
// naming HOST:PORT as its server, then streams numbered data sentences and now and then its own
// "$GPRMC," position. Every line the bridge writes to it is printed. Ends on SIGINT or SIGTERM.
//
//   quarnterm LINK HOST:PORT [RATE_HZ]
//   quarnterm --version
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include "tessarc_version.h"

namespace {

volatile sig_atomic_t g_stop = 0;

void onSignal(int) {
    g_stop = 1;
}

// "$" payload "*" two hex digits of the exclusive-or of the payload, CR LF.
std::string sentence(const std::string& payload) {
    unsigned char sum = 0;
    for (char c : payload)
        sum ^= static_cast<unsigned char>(c);
    char tail[8];
    std::snprintf(tail, sizeof tail, "*%02X\r\n", sum);
    return "$" + payload + tail;
}

std::string visible(const std::string& text) {
    std::string out;
    for (char c : text)
        out += c == '\r' ? std::string("\\r") : c == '\n' ? std::string("\\n") : std::string(1, c);
    return out;
}

void send(int fd, const std::string& text) {
    size_t done = 0;
    while (done < text.size()) {
        ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n > 0)
            done += static_cast<size_t>(n);
        else if (n < 0 && errno != EINTR && errno != EAGAIN)
            return;
    }
    std::printf("terminal -> %s\n", visible(text).c_str());
    std::fflush(stdout);
}

double nowSeconds() {
    struct timespec ts;
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec + ts.tv_nsec / 1e9;
}

} // namespace

int main(int argc, char** argv) {
    if (tessarcPrintVersion(argc, argv, "quarnterm"))
        return 0;
    if (argc < 3 || argc > 4) {
        std::fprintf(stderr, "usage: quarnterm LINK HOST:PORT [RATE_HZ]\n"
                             "       quarnterm --version\n");
        return 2;
    }
    const std::string link = argv[1];
    const std::string server = argv[2];
    double rate = argc == 4 ? std::atof(argv[3]) : 1.0;
    if (rate <= 0 || rate > 100)
        rate = 1.0;

    int master = ::posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0 || ::grantpt(master) != 0 || ::unlockpt(master) != 0) {
        std::perror("quarnterm: pseudo-terminal");
        return 1;
    }
    const char* slaveName = ::ptsname(master);
    // Holding the slave open keeps the master readable while the bridge has the port closed.
    int slave = ::open(slaveName, O_RDWR | O_NOCTTY);
    struct termios tio;
    if (slave >= 0 && ::tcgetattr(slave, &tio) == 0) {
        ::cfmakeraw(&tio);
        ::tcsetattr(slave, TCSANOW, &tio);
    }
    ::unlink(link.c_str());
    if (::symlink(slaveName, link.c_str()) != 0) {
        std::perror("quarnterm: link");
        return 1;
    }
    std::printf("terminal on %s (%s)\n", link.c_str(), slaveName);
    std::fflush(stdout);
    std::signal(SIGINT, onSignal);
    std::signal(SIGTERM, onSignal);

    const std::string position = "GPRMC,120000.00,A,4807.0380,N,01131.0000,E,0.0,0.0,010126,,,A";
    bool loggedIn = false;
    unsigned counter = 0;
    double next = nowSeconds();
    std::string input;
    while (!g_stop) {
        struct pollfd p = {master, POLLIN, 0};
        int wait = static_cast<int>((next - nowSeconds()) * 1000);
        int ready = ::poll(&p, 1, wait > 0 ? wait : 0);
        if (ready > 0 && (p.revents & POLLIN)) {
            char chunk[512];
            ssize_t n = ::read(master, chunk, sizeof chunk);
            if (n > 0)
                input.append(chunk, static_cast<size_t>(n));
            size_t end;
            while ((end = input.find("\r\n")) != std::string::npos) {
                std::string line = input.substr(0, end);
                input.erase(0, end + 2);
                if (line.empty())
                    continue;
                std::printf("terminal <- %s\n", line.c_str());
                std::fflush(stdout);
                if (line == "$Pfal,Msg.Info.ServerLogin") {
                    send(master, "$<MSG.Info.ServerLogin>\r\n");
                    send(master, "$DeviceName=QUARN-DEMO\r\n");
                    send(master, "$Ext=quarn.example:" + server + "\r\n");
                    send(master, "$Software=quarnterm 1.0\r\n");
                    send(master, "$Hardware=pty\r\n");
                    send(master, "$LastValidPosition=" + sentence(position));
                    send(master, "$IMEI=356938035643809\r\n");
                    send(master, "$CmdVersion=3\r\n");
                    send(master, "$<end>\r\n");
                    loggedIn = true;
                }
            }
            if (input.size() > 4096)
                input.clear();
        } else if (ready > 0 && (p.revents & POLLHUP)) {
            ::usleep(100000);
        }
        if (nowSeconds() < next)
            continue;
        next += 1.0 / rate;
        if (!loggedIn)
            send(master, sentence("TSCACK,hello"));
        else if (++counter % 5 == 0)
            send(master, sentence(position));
        else
            send(master, sentence("PFAL,Data," + std::to_string(counter)));
    }
    ::unlink(link.c_str());
    if (slave >= 0)
        ::close(slave);
    ::close(master);
    return 0;
}
