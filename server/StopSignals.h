#pragma once
// SIGINT and SIGTERM end a serving server. They are blocked before the
// server starts its threads, so only the waiter below ever receives them.

#include <csignal>
#include <pthread.h>
#include <thread>

namespace ot {

inline sigset_t BlockStopSignals() {
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    return stopSignals;
}

// Runs the server until a stop signal arrives, which stops it. Run() also
// returns when a listener fails; the waiter is woken then too.
template <class Server> void RunUntilStopSignal(Server& server, const sigset_t& stopSignals) {
    std::thread waiter([&] {
        int sig = 0;
        sigwait(&stopSignals, &sig);
        server.Stop();
    });
    server.Run();
    pthread_kill(waiter.native_handle(), SIGTERM);
    waiter.join();
}

} // namespace ot
