// The engine object, its connection operations and its synchronisation loop.

#include "exio/fins_exio.h"

#include <algorithm>
#include <chrono>
#include <exception>
#include <mutex>
#include <shared_mutex>

#include "exio/fins_exio_impl.h"
#include "service/logger.h"

namespace {

constexpr auto kCyclePause = std::chrono::milliseconds(10);

// ConnectedFamilyUnknown is Connected with this flag.
constexpr int kFamilyUnknownFlag = 8;

// Reconnect pacing while the PLC refuses: the first attempts of an outage
// follow each other cycle by cycle, as a short hiccup deserves; then the
// pause doubles from kFirstBackOff up to kMaxBackOff, so that a PLC's
// Ethernet unit never meets a burst of connections and a PLC that accepts
// again is back within about kMaxBackOff.
constexpr int kPromptAttempts = 3;
constexpr auto kFirstBackOff = std::chrono::milliseconds(50);
constexpr auto kMaxBackOff = std::chrono::milliseconds(1000);
// Attempts of an outage that are logged in full; after them, one summary
// record per kSummaryInterval.
constexpr int kLoggedAttempts = 3;
constexpr auto kSummaryInterval = std::chrono::seconds(10);

}  // namespace

FinsExIO::FinsExIO() : FinsExIO(EXIO_SERVER_URL) {}

FinsExIO::FinsExIO(const std::string& exioServerUrl)
    : running_(true), impl_(new Impl(exioServerUrl)) {
  thread_ = std::thread(&FinsExIO::syncLoop, this);
}

FinsExIO::~FinsExIO() {
  impl_->stopping = true;
  running_ = false;
  thread_.join();
}

bool FinsExIO::connect(const std::string& ip, int port, int localNet,
                       int localNode, int localUnit, int remoteNet,
                       int remoteNode, int remoteUnit) {
  return impl_->noteClientConnect(
      ip, port,
      impl_->connect(ip, port, localNet, localNode, localUnit, remoteNet,
                     remoteNode, remoteUnit));
}

void FinsExIO::disconnect() {
  impl_->disconnect();
  impl_->stats.noteDisconnected();
}

int FinsExIO::getState() { return impl_->connectionState; }

std::string FinsExIO::getPLCMode() {
  // From the snapshot: a PLC that is slow to answer must not hold this up.
  const Impl::ConnectionSnapshot facts = impl_->snapshotCopy();
  const char* model = facts.cpuUnitData.model;
  if (!facts.hasConnection || model[0] != 'C') {
    return "UNKNOWN";
  }
  switch (model[1]) {
    case 'S':
      return "CS";
    case 'J':
      return "CJ";
    case 'V':
      return "CV";
    case 'P':
      return "CP";
    default:
      return "UNKNOWN";
  }
}

bool FinsExIO::setPLCMode(const std::string& mode) {
  std::lock_guard<std::mutex> lock(impl_->connectionMutex);
  return impl_->setPLCMode(mode);
}

fins_cpudata_tp FinsExIO::getCPUData() {
  return impl_->snapshotCopy().cpuUnitData;
}

void FinsExIO::syncLoop() {
  Impl& impl = *impl_;
  while (running_) {
    const auto begun = std::chrono::steady_clock::now();
    try {
      const bool serviceUp = impl.syncCycle();
      impl.stats.serviceRunning = serviceUp;
      std::shared_lock<std::shared_timed_mutex> lock(impl.mappingLock);
      if (!serviceUp) impl.markServiceDown();
      const auto done = std::chrono::steady_clock::now();
      noteMappingOutcomes(impl, done);
      impl.stats.cycles.add(done, done - begun);
      // While the service is down the shared lock is kept across the pause,
      // so an add or remove waits for at most that pause.
      if (serviceUp) lock.unlock();
      std::this_thread::sleep_for(kCyclePause);
    } catch (const std::exception& e) {
      Logger::getInstance()->log<Logger::ERROR>("FINS sync cycle fail: %s",
                                                __func__, __LINE__, e.what());
      std::this_thread::sleep_for(kCyclePause);
    }
    ++impl.cycleCount;
  }
}

bool FinsExIO::Impl::reconnectDue(
    std::chrono::steady_clock::time_point now) const {
  return pacing.failedAttempts < kPromptAttempts || now >= pacing.nextAttempt;
}

void FinsExIO::Impl::pacedReconnectLocked(
    std::chrono::steady_clock::time_point now) {
  static const char kLoop[] = "syncLoop";
  const bool quiet = pacing.failedAttempts >= kLoggedAttempts;
  if (pacing.failedAttempts == 0) {
    pacing.downSince = now;
    pacing.lastSummary = now;
  }
  if (reconnectLocked(quiet)) {
    if (pacing.failedAttempts > 0) {
      const auto down = std::chrono::duration_cast<std::chrono::milliseconds>(
          std::chrono::steady_clock::now() - pacing.downSince);
      Logger::getInstance()->log<Logger::INFO>(
          "FINS PLC connection back after %lld ms and %d failed attempts",
          kLoop, __LINE__, static_cast<long long>(down.count()),
          pacing.failedAttempts);
    }
    pacing = ReconnectPacing();
    stats.noteConnected(plcIp, connectParams[0], true);
    return;
  }
  stats.noteFailure(plcIp, connectParams[0], lastConnectCode);
  ++pacing.failedAttempts;
  ++pacing.failedSinceSummary;
  pacing.lastCode = lastConnectCode;
  auto pause = kFirstBackOff;
  for (int n = kPromptAttempts; n < pacing.failedAttempts && pause < kMaxBackOff;
       ++n) {
    pause *= 2;
  }
  pacing.nextAttempt = std::chrono::steady_clock::now() +
                       std::min<std::chrono::steady_clock::duration>(
                           pause, kMaxBackOff);
  if (quiet && now - pacing.lastSummary >= kSummaryInterval) {
    const auto down = std::chrono::duration_cast<std::chrono::seconds>(
        now - pacing.downSince);
    Logger::getInstance()->log<Logger::WARNING>(
        "FINS PLC still unreachable for %lld s: %d connect attempts failed "
        "since the last record, last error code: %d",
        kLoop, __LINE__, static_cast<long long>(down.count()),
        pacing.failedSinceSummary, pacing.lastCode);
    pacing.failedSinceSummary = 0;
    pacing.lastSummary = now;
  }
}

bool FinsExIO::Impl::syncCycle() {
  // The loop's own records carry its name, whichever helper writes them.
  static const char kLoop[] = "syncLoop";

  // The link check holds connectionMutex only for the check: disconnect
  // takes it again.
  if (!isTCPEstablished()) {
    std::unique_lock<std::mutex> lock(connectionMutex);
    if (connectionState != ConnectFailed && connection != nullptr) {
      // The library's code when its exchanges closed the socket.
      const int code = connection->sockfd < 0 && connection->last_error != 0
                           ? connection->last_error
                           : FINS_RETVAL_NOT_CONNECTED;
      stats.noteFailure(plcIp, connectParams[0], code);
    }
    if (connectionState == ConnectFailed) {
      // What a failed attempt left behind: freed without a record, or a PLC
      // that refuses would log a disconnect for every attempt.
      closeConnection();
    } else {
      lock.unlock();
      disconnect();
      connectionState = ConnectFailed;
    }
  }

  {
    // Decided under the lock, so that a user's disconnect or connect that
    // lands in between is not overridden by a stale reconnect.
    std::lock_guard<std::mutex> lock(connectionMutex);
    // Once a cycle: what API threads' exchanges added is seen a cycle late.
    stats.publishFins(connection != nullptr ? &connection->stats : nullptr);
    const int state = connectionState;
    if ((state & ~kFamilyUnknownFlag) == Connected) {
      // An exchange of another thread made the library close the socket
      // after this cycle's link check.
      if (connection != nullptr && connection->sockfd < 0) {
        Logger::getInstance()->log<Logger::WARNING>(
            "FINS disconnect and reconnecting", kLoop, __LINE__);
        pacedReconnectLocked(std::chrono::steady_clock::now());
      }
    } else if (state == ConnectFailed) {
      const auto now = std::chrono::steady_clock::now();
      if (reconnectDue(now)) {
        if (pacing.failedAttempts < kLoggedAttempts) {
          Logger::getInstance()->log<Logger::WARNING>(
              "FINS connect fail and reconnecting", kLoop, __LINE__);
        }
        pacedReconnectLocked(now);
      }
    }
  }

  if (!externIOClient.isExIORunning()) {
    return false;
  }
  RobotCalls robot;
  occupyExternlIO(robot);
  syncPlcToRobot(robot);
  syncRobotToPlc(robot);
  return true;
}
