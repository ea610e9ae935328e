#include "scanner/EmulatorWorkers.h"

#include "faults/ScannerFaults.h"
#include "tcp/TcpTransport.h"
#include "udp/UdpHello.h"
#include "udp/UdpTransport.h"

#include <QThreadPool>
#include <algorithm>

namespace {

// The stream's measurement task and one counter task per command client each
// hold a pool thread while they run; a 2-core machine's default pool of 2
// would leave no room for a client that takes over from another. Room for
// three tasks per running scanner keeps every scanner of a rig counting.
constexpr int kMinPoolThreads = 8;
constexpr int kTasksPerScanner = 3;
void makeRoomForCounterTasks(int sessions) {
    QThreadPool* pool = QThreadPool::globalInstance();
    pool->setMaxThreadCount(std::max({pool->maxThreadCount(), kMinPoolThreads, kTasksPerScanner * sessions + 2}));
}

}  // namespace

EmulatorWorkers plugEmulatorWorkers(EmulatorSession& session, const EmulatorState& state) {
    makeRoomForCounterTasks(EmulatorSession::runningCount() + 1);
    EmulatorWorkers workers;
    workers.hello = session.plug(EmulatorSession::Hello, new UdpHello(nullptr, &state.params, &state.hello));
    workers.stream = session.plug(EmulatorSession::Stream, new UdpTransport(nullptr, state.areaWidth, state.areaHeight,
                                                                            &state.params, &state.profile, &state.hello,
                                                                            state.streamSource));
    workers.server =
        session.plug(EmulatorSession::Server, new TcpTransport(nullptr, state.areaWidth, state.areaHeight, &state.params,
                                                               &state.picture, &state.profile, &state.hello));
    if (state.faults) {
        workers.hello->useFaults(state.faults);
        workers.stream->useFaults(&state.faults->stream());
        workers.server->useFaults(&state.faults->server());
    }
    QObject::connect(workers.server, &TcpTransport::Connected, workers.stream, &UdpTransport::shutdown,
                     Qt::DirectConnection);
    QObject::connect(workers.server, &TcpTransport::Disconnected, workers.stream, &UdpTransport::resume,
                     Qt::DirectConnection);
    return workers;
}
