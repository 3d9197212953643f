// The engine object, its connection operations and its synchronisation loop.

#include "exio/fins_exio.h"

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
  return impl_->connect(ip, port, localNet, localNode, localUnit, remoteNet,
                        remoteNode, remoteUnit);
}

void FinsExIO::disconnect() { impl_->disconnect(); }

int FinsExIO::getState() { return impl_->connectionState; }

std::string FinsExIO::getPLCMode() {
  std::lock_guard<std::mutex> lock(impl_->connectionMutex);
  const char* model = impl_->cpuUnitData.model;
  if (impl_->connection == nullptr || model[0] != 'C') {
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
  std::lock_guard<std::mutex> lock(impl_->connectionMutex);
  return impl_->cpuUnitData;
}

void FinsExIO::syncLoop() {
  Impl& impl = *impl_;
  while (running_) {
    try {
      if (impl.syncCycle()) {
        std::this_thread::sleep_for(kCyclePause);
      } else {
        // The shared lock is kept across the pause, so an add or remove
        // waits for at most that pause.
        std::shared_lock<std::shared_timed_mutex> lock(impl.mappingLock);
        impl.markServiceDown();
        std::this_thread::sleep_for(kCyclePause);
      }
    } catch (const std::exception& e) {
      Logger::getInstance()->log<Logger::ERROR>("FINS sync cycle fail: %s",
                                                __func__, __LINE__, e.what());
      std::this_thread::sleep_for(kCyclePause);
    }
    ++impl.cycleCount;
  }
}

bool FinsExIO::Impl::syncCycle() {
  // The loop's own records carry its name, whichever helper writes them.
  static const char kLoop[] = "syncLoop";

  // The link check holds connectionMutex only for the check: disconnect
  // takes it again.
  if (!isTCPEstablished()) {
    disconnect();
    connectionState = ConnectFailed;
  }

  {
    // Decided under the lock, so that a user's disconnect or connect that
    // lands in between is not overridden by a stale reconnect.
    std::lock_guard<std::mutex> lock(connectionMutex);
    const int state = connectionState;
    bool reconnect = false;
    if ((state & ~kFamilyUnknownFlag) == Connected) {
      // An exchange of another thread made the library close the socket
      // after this cycle's link check.
      if (connection != nullptr && connection->sockfd < 0) {
        Logger::getInstance()->log<Logger::WARNING>(
            "FINS disconnect and reconnecting", kLoop, __LINE__);
        reconnect = true;
      }
    } else if (state == ConnectFailed) {
      Logger::getInstance()->log<Logger::WARNING>(
          "FINS connect fail and reconnecting", kLoop, __LINE__);
      reconnect = true;
    }
    if (reconnect) {
      reconnectLocked();
    }
  }

  if (!externIOClient.isExIORunning()) {
    return false;
  }
  occupyExternlIO();
  syncPlcToRobot();
  syncRobotToPlc();
  return true;
}
