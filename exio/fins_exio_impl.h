#ifndef GW_EXIO_FINS_EXIO_IMPL_H_
#define GW_EXIO_FINS_EXIO_IMPL_H_

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "exio/fins_exio.h"
#include "exio/fins_exio_stats.h"
#include "exio/mapping_table.h"
#include "exio/plc_link.h"
#include "fins/fins.h"
#include "robotio/extern_io_client.h"
#include "robotio/robot_link.h"

// The engine's private implementation: the link to the PLC, the mapping
// table, the client of the external IO service, and the operations of both
// synchronisation passes. Internal:
// included by the engine, its tests and its benchmark only.
class FinsExIO::Impl {
 public:
  // Builds an engine state with no connection and no mapping, talking to the
  // external IO service at `exioServerUrl` (no call is made here).
  explicit Impl(const std::string& exioServerUrl);
  // The same, reaching the robot through `robot` instead, e.g. a test's
  // in-memory link.
  explicit Impl(std::unique_ptr<robotio::RobotLink> robot);
  ~Impl();

  Impl(const Impl&) = delete;
  Impl& operator=(const Impl&) = delete;

  // --- Per-type facts (pure; any thread) -----------------------------------

  // The robot register type (a FinsExIO::RegisterType) that values of
  // `type` go to: IntRegister for the integer, BCD and forced-word types,
  // DoubleRegister for Float and Double, BoolRegister for Bit and BitForced,
  // NoRegister for anything outside 1 to 19.
  static int finsTypeConvert(FinsDataType type);

  // The PLC words one value of `type` occupies: 1, 2 or 4; 0 for Bit and
  // BitForced, which occupy no whole word; -1 for anything outside 1 to 19.
  static int calculatePlcAddressStep(FinsDataType type);

  // The robot register index named by `name`: its decimal digits, wherever
  // they stand ("in1_2" is 12), read as one base-10 number; 0 when it has no
  // digit. Negative when `name` is empty or has more than two digits, as
  // register indices run from 0 to 99.
  static int getRegisterIndex(const std::string& name);

  // See FinsExIO::addMapping: checks and builds the record, then adds it
  // to `mappings`.
  bool addMapping(const std::string& plcAddress,
                  const std::string& robotRegister,
                  const std::string& secondRobotRegister, FinsDataType type,
                  MappingDirection direction);

  // --- Synchronisation passes (synchronisation thread only) -----------------

  // The owner name under which the engine holds robot input registers.
  static constexpr char kRobotOwner[] = "FINS_EX_IO";

  // The robot side of one cycle: once a call to the service timed out, the
  // rest of the cycle makes no more calls and treats the service as down,
  // so a hung service costs one time-out per cycle, not one per mapping.
  struct RobotCalls {
    bool serviceLost = false;
  };

  // The mapping state a robot call's outcome leaves; notes a time-out in
  // `robot`.
  static int robotCallState(ExternIOClient::Outcome outcome,
                            RobotCalls& robot);

  // One cycle of the synchronisation loop without its pause: the link check,
  // a reconnect when the link is lost or the last attempt failed, and, when
  // the external IO service runs, the claims and both passes. Returns whether
  // the service runs; when it does not, nothing was exchanged and the caller
  // marks the mappings.
  bool syncCycle();

  // Each pass takes a copy of its records under mappingLock (shared), makes
  // its FINS and robot calls with no table lock held, and publishes what it
  // learned back under the lock: a hung service or a slow PLC never holds
  // up an add, a remove or a reader.
  //
  // Claims the robot input register(s) of every PlcToRobot mapping that does
  // not hold them yet, all in one batch; a forced type holds both or
  // neither.
  void occupyExternlIO(RobotCalls& robot);
  // Reads every PlcToRobot mapping through the PLC link and writes the
  // values to the robot in one batch; each mapping's state is the read's
  // code when it failed, else the outcome of its first failed robot write
  // (MappingGood when none failed).
  void syncPlcToRobot(RobotCalls& robot);
  // Reads every RobotToPlc mapping's robot value in one batch, then writes
  // them to the PLC, one FINS write per run of gap-free addresses whose
  // values were all read. A record whose value could not be read is not
  // written and shows the robot-side failure.
  void syncRobotToPlc(RobotCalls& robot);

  // Robot values of a run of RobotToPlc records, ready for one FINS write.
  struct PlcRun {
    std::vector<MappingRel*> records;
    std::vector<fins_multidata_tp> items;  // the values, record i in item i
  };

  // Appends the robot reads of one RobotToPlc group, one per record in the
  // group's order, to `reads`; false (nothing appended) for an empty group
  // or one of the forced types, which are read-only and yield nothing.
  static bool queueGroupReads(const std::vector<MappingRel>& group,
                              std::vector<ExternIOClient::RegisterCall>& reads);
  // Takes the answered reads of one group (`answers`, as queueGroupReads
  // queued them) and cuts the group into runs of records that follow each
  // other in PLC memory; a record whose value could not be read gets the
  // failure's state and ends the run. Every value read is kept in its
  // record. Notes a time-out in `robot`. Works on a pass's copy.
  static void readGroupFromRobot(std::vector<MappingRel>& group,
                                 const ExternIOClient::RegisterCall* answers,
                                 RobotCalls& robot, std::vector<PlcRun>& runs);

  // --- Direct read -------------------------------------------------------------

  // Fills `out` (zeroed by the caller) with the value of `type` at `address`:
  // from the kept value of a PlcToRobot mapping of that address and type,
  // answering the mapping's state, without FINS traffic; else by a one-item
  // read of the PLC, answering the library's code. An address text that does
  // not fit the item is refused with FINS_RETVAL_INVALID_READ_ADDRESS.
  // Takes mappingLock shared, and after it let go the link for a PLC read.
  int getPlcToRobotValue(const std::string& address, FinsDataType type,
                         fins_multidata_tp& out);

  // What getDiagnostics reports; see exio/fins_exio_stats.h. Declared
  // before the link, which notes its events here.
  EngineStats stats;
  // The one door to the PLC; holds connectionMutex.
  PlcLink plc{stats};
  // The one door to the robot's external IO service: the client of the
  // real one, or whatever link a test gives. Called by the synchronisation
  // thread alone (its statistics by any thread), so it needs no lock.
  std::unique_ptr<robotio::RobotLink> robotLink;
  // The mappings and mappingLock, which is taken before the link's
  // connectionMutex, never after.
  MappingTable mappings;

  // Set while the engine is being destroyed: the passes stop making external
  // IO calls, so that a service that never answers delays the destructor by
  // one call's time-out rather than one per mapping.
  std::atomic<bool> stopping{false};

  // Cycles the synchronisation loop has finished, pause included; lets a
  // caller wait for the loop to have run without guessing its timing.
  std::atomic<std::uint64_t> cycleCount{0};
};

#endif  // GW_EXIO_FINS_EXIO_IMPL_H_
