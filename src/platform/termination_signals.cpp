// SPDX-License-Identifier: MIT
#include "platform/termination_signals.h"

#include <QSocketNotifier>

#include <csignal>
#include <fcntl.h>
#include <unistd.h>

namespace platform {

namespace {

int g_writeFd = -1;

// Only async-signal-safe work here: the number goes down a pipe.
void onSignal(int signo)
{
    const unsigned char b = static_cast<unsigned char>(signo);
    const int saved = errno;
    [[maybe_unused]] const ssize_t n = ::write(g_writeFd, &b, 1);
    errno = saved;
}

} // namespace

struct TerminationSignals::Impl {
    int fds[2] = {-1, -1};
    std::unique_ptr<QSocketNotifier> notifier;
};

TerminationSignals::TerminationSignals(QObject *parent) : QObject(parent), d(std::make_unique<Impl>())
{
    if (::pipe2(d->fds, O_CLOEXEC | O_NONBLOCK) != 0)
        return;
    g_writeFd = d->fds[1];
    d->notifier = std::make_unique<QSocketNotifier>(d->fds[0], QSocketNotifier::Read);
    connect(d->notifier.get(), &QSocketNotifier::activated, this, [this] {
        unsigned char b = 0;
        while (::read(d->fds[0], &b, 1) == 1)
            Q_EMIT received(b);
    });
    struct sigaction sa = {};
    sa.sa_handler = &onSignal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    for (int s : {SIGTERM, SIGINT, SIGHUP})
        ::sigaction(s, &sa, nullptr);
}

TerminationSignals::~TerminationSignals()
{
    for (int s : {SIGTERM, SIGINT, SIGHUP})
        std::signal(s, SIG_DFL);
    g_writeFd = -1;
    d->notifier.reset();
    for (int fd : d->fds)
        if (fd >= 0)
            ::close(fd);
}

} // namespace platform
