#include "qcf_fd_watch.h"

#include <glib-unix.h>

namespace QCF {

namespace {

gboolean dispatch(gint, GIOCondition condition, gpointer data) {
    return (*static_cast<FdWatch::Handler*>(data))(static_cast<Glib::IOCondition>(condition))
               ? G_SOURCE_CONTINUE
               : G_SOURCE_REMOVE;
}

void destroyHandler(gpointer data) {
    delete static_cast<FdWatch::Handler*>(data);
}

} // namespace

FdWatch::FdWatch(int fd, Glib::IOCondition condition, const Handler& handler) {
    if (fd < 0)
        return; // nothing to watch: never connected
    m_source = g_unix_fd_source_new(fd, static_cast<GIOCondition>(condition));
    g_source_set_can_recurse(m_source, TRUE);
    // GLib hands the callback's data back after the handler's last run, even when the handler
    // removes its own watch while it runs.
    g_source_set_callback(m_source, G_SOURCE_FUNC(dispatch), new Handler(handler), destroyHandler);
    g_source_attach(m_source, nullptr);
}

FdWatch& FdWatch::operator=(FdWatch&& other) noexcept {
    if (this != &other) {
        disconnect();
        m_source = other.m_source;
        other.m_source = nullptr;
    }
    return *this;
}

bool FdWatch::connected() const {
    return m_source && !g_source_is_destroyed(m_source);
}

void FdWatch::disconnect() {
    if (!m_source)
        return;
    g_source_destroy(m_source);
    g_source_unref(m_source);
    m_source = nullptr;
}

} // namespace QCF
