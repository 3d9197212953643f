// The engine object: its public operations, the synchronisation loop and
// the direct reads and writes of PLC memory. The passes are in
// plc_to_robot_pass.cpp and robot_to_plc_pass.cpp.

#include "exio/fins_exio.h"

#include <algorithm>
#include <chrono>
#include <exception>
#include <mutex>
#include <shared_mutex>

#include "exio/fins_data_types.h"
#include "exio/fins_exio_impl.h"
#include "service/logger.h"

namespace {

constexpr auto kCyclePause = std::chrono::milliseconds(10);

// The code a direct write answers for a type that has no writer (the forced
// types are read-only): the same as for an address no row may write.
constexpr int kNoWriterCode = FINS_RETVAL_INVALID_WRITE_AREA;

}  // namespace

FinsExIO::FinsExIO() : FinsExIO(EXIO_SERVER_URL) {}

FinsExIO::FinsExIO(const std::string& exioServerUrl)
    : running_(true), impl_(new Impl(exioServerUrl)) {
  thread_ = std::thread(&FinsExIO::syncLoop, this);
}

FinsExIO::Impl::Impl(const std::string& exioServerUrl)
    : Impl(std::make_unique<ExternIOClient>(exioServerUrl)) {}

FinsExIO::Impl::Impl(std::unique_ptr<robotio::RobotLink> robot)
    : robotLink(std::move(robot)) {}

FinsExIO::Impl::~Impl() = default;

FinsExIO::~FinsExIO() {
  impl_->stopping = true;
  running_ = false;
  thread_.join();
}

bool FinsExIO::connect(const std::string& ip, int port, int localNet,
                       int localNode, int localUnit, int remoteNet,
                       int remoteNode, int remoteUnit) {
  return impl_->plc.connect({ip, port, localNet, localNode, localUnit,
                             remoteNet, remoteNode, remoteUnit,
                             FINS_TRANSPORT_TCP});
}

bool FinsExIO::connectUdp(const std::string& ip, int port, int localNet,
                          int localNode, int localUnit, int remoteNet,
                          int remoteNode, int remoteUnit) {
  return impl_->plc.connect({ip, port, localNet, localNode, localUnit,
                             remoteNet, remoteNode, remoteUnit,
                             FINS_TRANSPORT_UDP});
}

void FinsExIO::disconnect() {
  impl_->plc.disconnect();
  impl_->stats.noteDisconnected();
}

std::string FinsExIO::getTransport() { return impl_->plc.transportName(); }

int FinsExIO::getState() { return impl_->plc.state(); }

std::string FinsExIO::getPLCMode() {
  // From the snapshot: a PLC that is slow to answer must not hold this up.
  const PlcLink::Snapshot facts = impl_->plc.snapshot();
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
  return impl_->plc.setPLCMode(mode);
}

fins_cpudata_tp FinsExIO::getCPUData() {
  return impl_->plc.snapshot().cpuUnitData;
}

void FinsExIO::syncLoop() {
  Impl& impl = *impl_;
  while (running_) {
    const auto begun = std::chrono::steady_clock::now();
    try {
      const bool serviceUp = impl.syncCycle();
      impl.stats.serviceRunning = serviceUp;
      {
        gw::ReaderLock lock(impl.mappings.mappingLock);
        if (!serviceUp) impl.mappings.markServiceDown();
        const auto done = std::chrono::steady_clock::now();
        impl.mappings.noteCycleOutcomes(steadyMs(done));
        impl.stats.cycles.add(done, done - begun);
      }
      std::this_thread::sleep_for(kCyclePause);
    } catch (const std::exception& e) {
      GW_LOG(ERROR, "FINS sync cycle fail: %s", e.what());
      std::this_thread::sleep_for(kCyclePause);
    }
    ++impl.cycleCount;
  }
}

bool FinsExIO::Impl::syncCycle() {
  // The loop's own records carry its name, whichever helper writes them.
  static const char kLoop[] = "syncLoop";

  plc.maintain(kLoop);

  if (!robotLink->isRunning()) {
    return false;
  }
  RobotCalls robot;
  occupyExternlIO(robot);
  syncPlcToRobot(robot);
  syncRobotToPlc(robot);
  return true;
}

int FinsExIO::Impl::robotCallState(ExternIOClient::Outcome outcome,
                                   RobotCalls& robot) {
  using Outcome = ExternIOClient::Outcome;
  switch (outcome) {
    case Outcome::kAnswered:
      return MappingGood;
    case Outcome::kRejected:
    case Outcome::kFault:
      return MappingRobotCallFailed;
    case Outcome::kTimedOut:
      robot.serviceLost = true;
      return MappingServiceDown;
    case Outcome::kNoAnswer:
      break;
  }
  return MappingServiceDown;
}

int FinsExIO::Impl::getPlcToRobotValue(const std::string& address,
                                       FinsDataType type,
                                       fins_multidata_tp& out) {
  // A longer text cannot be held by the item; cut short it could read a
  // different address.
  if (address.size() > MappingItem::kMaxAddressLength) {
    return FINS_RETVAL_INVALID_READ_ADDRESS;
  }
  {
    gw::ReaderLock lock(mappings.mappingLock);
    for (const auto& entry : mappings.plcToRobotMap) {
      const MappingRel& rel = entry.second;
      // The kept bytes mean something only as the mapping's own type.
      if (rel.item.type == type && address == rel.item.address) {
        const int state = rel.state.load();
        out = rel.item.toMultidata();
        return state;
      }
    }
  }
  std::memcpy(out.address, address.c_str(), address.size() + 1);
  out.type = type;
  return plc.readItem(out);
}

// --- Direct access ---------------------------------------------------------------

int FinsExIO::memoryAreaReadInternal(const std::string& address,
                                     FinsDataType type, Value& value) {
  fins_multidata_tp item = {};
  const int code = impl_->getPlcToRobotValue(address, type, item);
  if (code != FINS_RETVAL_SUCCESS) {
    item = fins_multidata_tp{};
  }
  const datatypes::DataTypeRow* row = datatypes::rowOf(type);
  if (row != nullptr) {
    value = row->clientValue(item);
  }
  return code;
}

int FinsExIO::memoryAreaWrite(const std::string& address, FinsDataType type,
                              Value value) {
  const datatypes::DataTypeRow* row = datatypes::rowOf(type);
  if (row == nullptr || !row->writable()) {
    return kNoWriterCode;
  }
  fins_multidata_tp item = {};
  item.type = type;
  row->takeClientValue(value, &item);
  return impl_->plc.writeItem(address, *row, item);
}
