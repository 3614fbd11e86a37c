// A watch on a file descriptor in the default main context, for descriptors that carry a
// steady stream (the serial line, the server socket).
//
// It is a bare GLib descriptor source: no prepare or check function of its own, so an idle
// iteration of the loop costs it nothing beyond its slot in the poll set. GLib normally takes a
// source's descriptor out of the poll set while its handler runs and puts it back after, waking
// its own loop twice per dispatch; these handlers never run the loop themselves, so that is
// left out.
//
// Owns its source: destroying or reassigning the watch removes it. A handler that returns false
// ends the watch. Main-loop thread only.
#pragma once

#include <glibmm/iochannel.h>
#include <sigc++/sigc++.h>

typedef struct _GSource GSource;

namespace QCF {

class FdWatch {
public:
    typedef sigc::slot<bool, Glib::IOCondition> Handler;

    FdWatch() = default;
    FdWatch(int fd, Glib::IOCondition condition, const Handler& handler);
    FdWatch(FdWatch&& other) noexcept : m_source(other.m_source) { other.m_source = nullptr; }
    FdWatch& operator=(FdWatch&& other) noexcept;
    FdWatch(const FdWatch&) = delete;
    FdWatch& operator=(const FdWatch&) = delete;
    ~FdWatch() { disconnect(); }

    // True while the source is in the loop.
    bool connected() const;
    void disconnect();

private:
    GSource* m_source = nullptr;
};

} // namespace QCF
