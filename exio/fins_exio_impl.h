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
#include "fins/fins.h"
#include "robotio/extern_io_client.h"

// A field that the synchronisation thread writes while other threads hold
// the mapping table's lock only shared and read it: loads and stores are
// atomic, yet the record that holds it stays a copyable value (records are
// copied only under the exclusive lock, when nobody writes them).
template <typename T>
class AtomicField {
 public:
  AtomicField() : value_(T()) {}
  explicit AtomicField(T value) : value_(value) {}
  AtomicField(const AtomicField& other) : value_(other.load()) {}
  AtomicField& operator=(const AtomicField& other) {
    store(other.load());
    return *this;
  }

  T load() const { return value_.load(); }
  void store(T value) { value_.store(value); }

 private:
  std::atomic<T> value_;
};

// A mapping's item of the multiple memory area read: its address text, its
// data type and the value kept from its last exchange. The 8 value bytes are
// held as one atomic word so that a direct read never sees half of a value
// the synchronisation thread is storing.
struct MappingItem {
  // The address text as given, NUL-terminated; same size as the library's
  // item field, so at most kMaxAddressLength characters.
  char address[sizeof(fins_multidata_tp{}.address)] = {};
  FinsDataType type = static_cast<FinsDataType>(0);
  AtomicField<std::uint64_t> value;

  static constexpr std::size_t kMaxAddressLength = sizeof(address) - 1;

  // A library item with this item's address, type and kept value.
  fins_multidata_tp toMultidata() const;
  // Keeps the value bytes of `from`.
  void keepValue(const fins_multidata_tp& from);
};

static_assert(sizeof(fins_multidata_tp{}.value) == sizeof(std::uint64_t),
              "the kept value is one 8-byte word");

// One mapping between a PLC address and one robot register (two for the
// forced types). A plain value record apart from its three atomic fields,
// which the synchronisation thread writes under the shared table lock.
struct MappingRel {
  FinsExIO::MappingDirection direction = FinsExIO::PlcToRobot;
  MappingItem item;
  int addressStep = 0;  // PLC words per value
  fins_address_tp decodedAddress = {};
  std::string robotRegister;
  int registerIndex = -1;
  int secondRegisterIndex = -1;
  int registerType = FinsExIO::NoRegister;
  AtomicField<std::int32_t> state{FinsExIO::MappingNew};
  AtomicField<bool> occupied{false};
  // For diagnostics, written by the loop's end-of-cycle pass: when the
  // mapping last ended a cycle in MappingGood (milliseconds on the steady
  // clock; -1 never) and how many cycles it ended failed.
  AtomicField<std::int64_t> lastGoodMs{-1};
  AtomicField<std::uint64_t> failedCycles{0};

  // How the PLC-to-robot pass treats this record's item, kept from cycle to
  // cycle so that one bad item is found once and then kept out of the
  // shared read. Read and written by the synchronisation thread only.
  struct ReadStanding {
    static constexpr int kNotPlaced = -1;
    // The PLC family placementCode was found for; kNotPlaced until then.
    int placedFamily = kNotPlaced;
    // 0, or the library's address or area code: the item has no place in
    // that family's memory areas and is never sent.
    int placementCode = 0;
    // 0, or the PLC's end code for this item read alone: it is kept out of
    // the shared read and tried alone again from retryAt on.
    int refusedCode = 0;
    std::chrono::steady_clock::time_point retryAt;
  };
  ReadStanding standing;
};

// The engine's private implementation: the FINS connection and its
// parameters, the mapping table, the client of the external IO service, the
// locks, and the operations of both synchronisation passes. Internal:
// included by the engine, its tests and its benchmark only.
class FinsExIO::Impl {
 public:
  // Builds an engine state with no connection and no mapping, talking to the
  // external IO service at `exioServerUrl` (no call is made here).
  explicit Impl(const std::string& exioServerUrl);
  // Closes the connection if there is one.
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

  // --- Connection ------------------------------------------------------------

  // See FinsExIO::connect and FinsExIO::connectUdp; `transport` is
  // FINS_TRANSPORT_TCP or FINS_TRANSPORT_UDP.
  bool connect(const std::string& ip, int port, int localNet, int localNode,
               int localUnit, int remoteNet, int remoteNode, int remoteUnit,
               int transport = FINS_TRANSPORT_TCP);
  // A client's connect to `ip`:`port` that ended `connected`, in the
  // diagnostics' account: connected, or failed with the attempt's code.
  // Returns `connected`. REQUIRES: connectionMutex not held.
  bool noteClientConnect(const std::string& ip, int port, bool connected);
  // Connects again with the parameters and transport of the last connect.
  // REQUIRES: connectionMutex held.
  bool reconnectLocked(bool quiet = false);
  // See FinsExIO::disconnect.
  void disconnect();

  // Turns TCP keep-alive on for `fd` with a 10 s idle time, 1 s between
  // probes and 10 probes, so that a PLC that vanishes without closing the
  // link is noticed in about 20 s. False (and an ERROR record) at the first
  // option that cannot be set.
  static bool setFinsSocketOpt(int fd);

  // Whether the connection's TCP link is usable: true without a connection
  // or while Disconnected (nothing to lose), else whether the kernel still
  // sees the socket ESTABLISHED. Over UDP there is no link to ask about:
  // usable while the library keeps the socket open, which it closes after
  // the consecutive-error limit of failed (timed-out or foreign) exchanges.
  bool isTCPEstablished();

  // Sets the connection's PLC family from a family name or CPU model text
  // ('C' then one of 'V', 'S', 'J', 'P') and writes the text over the start
  // of the kept model text. False, changing nothing, for any other text or
  // without a connection.
  // REQUIRES: connectionMutex held.
  bool setPLCMode(const std::string& text);

  // --- Mapping table -----------------------------------------------------------

  // See FinsExIO::addMapping. Takes mappingLock exclusively.
  bool addMapping(const std::string& plcAddress,
                  const std::string& robotRegister,
                  const std::string& secondRobotRegister, FinsDataType type,
                  MappingDirection direction);


  // Orders RobotToPlc records of one group by PLC word, then bit.
  static bool plcRegcompare(const MappingRel& a, const MappingRel& b);
  // Replaces any RobotToPlc mapping named `name` by a copy of `rel`, kept in
  // its group's address order. Always true.
  // REQUIRES: mappingLock held exclusively.
  bool addRobotToPlcMapping(const std::string& name, const MappingRel& rel);
  // Removes the RobotToPlc record named `name` from its group, re-pointing
  // the index at the records that moved. False when there is none.
  // REQUIRES: mappingLock held exclusively.
  bool removeRobotToPlcOrderMapping(const std::string& name);
  // Removes the RobotToPlc record named `name` and its index entry.
  // REQUIRES: mappingLock held exclusively.
  void removeRobotToPlcMapping(const std::string& name);

  // --- Synchronisation passes (synchronisation thread only) -----------------

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

  // Claims the robot input register(s) of every PlcToRobot mapping that does
  // not hold them yet, all in one batch; a forced type holds both or
  // neither. Takes mappingLock shared.
  void occupyExternlIO(RobotCalls& robot);
  // Reads every PlcToRobot mapping from the PLC with one multiple memory area
  // read and writes the values to the robot in one batch; each mapping's
  // state is the read's code when it failed, else the outcome of its first
  // failed robot write (MappingGood when none failed). Takes
  // mappingLock shared, then connectionMutex for the read alone: the robot
  // calls are made after it is released.
  void syncPlcToRobot(RobotCalls& robot);
  // Reads every RobotToPlc mapping's robot value in one batch, then writes
  // them to the PLC, one FINS write per run of gap-free addresses whose values were all
  // read. A record whose value could not be read is not written and shows
  // the robot-side failure. Takes mappingLock shared for the whole pass and
  // connectionMutex only for the writes, after every robot call.
  void syncRobotToPlc(RobotCalls& robot);
  // Marks every mapping with the service-down state and drops its claim.
  // REQUIRES: mappingLock held (shared is enough).
  void markServiceDown();

  // Robot values of a run of RobotToPlc records, ready for one FINS write.
  struct PlcRun {
    std::vector<MappingRel*> records;
    std::vector<fins_multidata_tp> items;  // the values, record i in item i
  };

  // Appends the robot reads of one RobotToPlc group, one per record in the
  // group's order, to `reads`; false (nothing appended) for an empty group
  // or one of the forced types, which are read-only and yield nothing.
  // REQUIRES: mappingLock held shared.
  static bool queueGroupReads(const std::vector<MappingRel>& group,
                              std::vector<ExternIOClient::RegisterCall>& reads);
  // Takes the answered reads of one group (`answers`, as queueGroupReads
  // queued them) and cuts the group into runs of records that follow each
  // other in PLC memory; a record whose value could not be read gets the
  // failure's state and ends the run. Every value read is kept in its
  // record. Notes a time-out in `robot`.
  // REQUIRES: mappingLock held shared; connectionMutex not held.
  static void readGroupFromRobot(std::vector<MappingRel>& group,
                                 const ExternIOClient::RegisterCall* answers,
                                 RobotCalls& robot, std::vector<PlcRun>& runs);
  // Writes one run with one FINS call; every record gets the result.
  // REQUIRES: mappingLock held shared and connectionMutex held.
  void writeRunToPlc(const PlcRun& run);

  // The library's code for an item that cannot be placed in the memory
  // areas of `connection`'s PLC family (FINS_RETVAL_INVALID_READ_ADDRESS or
  // FINS_RETVAL_INVALID_READ_AREA, as the multiple read would answer before
  // sending anything); 0 when it can.
  // REQUIRES: connectionMutex held (for `connection`).
  static int readPlacementCode(const fins_sys_tp* connection,
                               const MappingItem& item);
  // A change of one PlcToRobot item's standing, found while the link is
  // held and logged after it is released.
  struct ReadNote {
    enum class Kind { kNoPlace, kRefused, kAccepted };
    Kind kind;
    const MappingRel* rel;
    int code;
  };
  // Places every PlcToRobot item not yet placed in the current PLC family
  // (new records, and all of them after a connect or PLCModeSet changed the
  // family): an item without a place is left out of the reads. A family
  // change also clears the PLC's refusals, which were about another
  // memory layout. Without a connection nothing changes.
  // REQUIRES: mappingLock held shared and connectionMutex held.
  void placePlcToRobotItems(std::vector<ReadNote>& notes);

  // --- Direct read -------------------------------------------------------------

  // Fills `out` (zeroed by the caller) with the value of `type` at `address`:
  // from the kept value of a PlcToRobot mapping of that address and type,
  // answering the mapping's state, without FINS traffic; else by a one-item
  // read of the PLC, answering the library's code. An address text that does
  // not fit the item is refused with FINS_RETVAL_INVALID_READ_ADDRESS.
  // Takes mappingLock shared, then connectionMutex for a PLC read.
  int getPlcToRobotValue(const std::string& address, FinsDataType type,
                         fins_multidata_tp& out);

  fins_cpudata_tp cpuUnitData = {};  // GUARDED_BY(connectionMutex)

  // What the API reads of the connection without waiting for FINS traffic:
  // copies of cpuUnitData and of whether a connection record exists, taken
  // whenever either changes.
  struct ConnectionSnapshot {
    fins_cpudata_tp cpuUnitData = {};
    bool hasConnection = false;
  };
  // Copies the connection's facts into `snapshot`.
  // REQUIRES: connectionMutex held.
  void publishSnapshot();
  // The last published snapshot; takes snapshotMutex only.
  ConnectionSnapshot snapshotCopy();

  // How the synchronisation loop paces its reconnects while the PLC refuses
  // or cannot be reached, and what it has logged of them.
  struct ReconnectPacing {
    int failedAttempts = 0;  // since the link was last up
    int failedSinceSummary = 0;
    int lastCode = 0;
    std::chrono::steady_clock::time_point downSince;
    std::chrono::steady_clock::time_point nextAttempt;
    std::chrono::steady_clock::time_point lastSummary;
  };
  // Whether the loop may try to reconnect now.
  // REQUIRES: connectionMutex held.
  bool reconnectDue(std::chrono::steady_clock::time_point now) const;
  // Reconnects with the stored parameters, logging in full only the first
  // attempts of an outage, then one summary record per kSummaryInterval.
  // REQUIRES: connectionMutex held.
  void pacedReconnectLocked(std::chrono::steady_clock::time_point now);
  // Used by the synchronisation thread alone, so it needs no lock.
  ExternIOClient externIOClient;
  // The FINS connection record; null when there is none. A record whose
  // socket the library closed stays here until the next link check.
  fins_sys_tp* connection = nullptr;  // GUARDED_BY(connectionMutex)

  // Lock order: whenever both are held, mappingLock is taken first and
  // connectionMutex second; nothing takes mappingLock while holding
  // connectionMutex.
  //
  // connectionMutex guards cpuUnitData, connection, plcIp and connectParams,
  // and is held across every FINS exchange, connect and disconnect.
  std::mutex connectionMutex;
  // Guards the three mapping containers; the atomic fields of the records
  // in them are written by the synchronisation thread under the shared lock.
  std::shared_timed_mutex mappingLock;

  // A ConnectionState code; written by connect, disconnect and the
  // synchronisation thread, read without a lock.
  std::atomic<int> connectionState{FinsExIO::Disconnected};

  // PlcToRobot mappings by robot register name; the iteration order is the
  // order of the read batch.
  std::map<std::string, MappingRel> plcToRobotMap;  // GUARDED_BY(mappingLock)
  // RobotToPlc mappings by robot register name, pointing into
  // robotToPlcGroups; valid only while mappingLock is held.
  std::unordered_map<std::string, MappingRel*>
      robotToPlcIndex;  // GUARDED_BY(mappingLock)
  // RobotToPlc mappings, by data type, then area name; each vector sorted by
  // plcRegcompare. Emptied vectors stay.
  std::unordered_map<int,
                     std::unordered_map<std::string, std::vector<MappingRel>>>
      robotToPlcGroups;  // GUARDED_BY(mappingLock)

  std::mutex snapshotMutex;  // taken after connectionMutex, never before
  ConnectionSnapshot snapshot;  // GUARDED_BY(snapshotMutex)

  ReconnectPacing pacing;  // GUARDED_BY(connectionMutex)
  // Connect attempts since construction, the client's and the loop's.
  std::atomic<std::uint64_t> connectAttempts{0};
  // The library's code of the last failed connect.
  int lastConnectCode = 0;  // GUARDED_BY(connectionMutex)

  std::string plcIp;  // GUARDED_BY(connectionMutex)
  // FINS_TRANSPORT_TCP or FINS_TRANSPORT_UDP as the last connect asked, used
  // again by every reconnect; FINS_TRANSPORT_NONE before the first connect.
  // Written under connectionMutex, read without it by getTransport.
  std::atomic<int> transport{FINS_TRANSPORT_NONE};
  // port, local net, local node, local unit, remote net, remote node, remote
  // unit of the last connect.
  std::array<int, 7> connectParams = {};  // GUARDED_BY(connectionMutex)

  // Set while the engine is being destroyed: the passes stop making external
  // IO calls, so that a service that never answers delays the destructor by
  // one call's time-out rather than one per mapping.
  std::atomic<bool> stopping{false};

  // Cycles the synchronisation loop has finished, pause included; lets a
  // caller wait for the loop to have run without guessing its timing.
  std::atomic<std::uint64_t> cycleCount{0};

  // What getDiagnostics reports; see exio/fins_exio_stats.h.
  EngineStats stats;

 private:
  // The body of connect, after the state was set to Connecting. `quiet`
  // leaves out the records of the attempt (the reconnect pacing logs a
  // summary instead); the outcome is in connectionState and
  // lastConnectCode.
  // REQUIRES: connectionMutex held.
  bool connectLocked(int transport, const std::string& ip, int port,
                     int localNet, int localNode, int localUnit,
                     int remoteNet, int remoteNode, int remoteUnit,
                     bool quiet = false);
  // Closes and frees the connection record, if there is one.
  // REQUIRES: connectionMutex held.
  void closeConnection();
};

#endif  // GW_EXIO_FINS_EXIO_IMPL_H_
