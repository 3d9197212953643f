#ifndef GW_EXIO_FINS_EXIO_H_
#define GW_EXIO_FINS_EXIO_H_

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>
#include <unordered_map>
#include <utility>
#include <vector>

#include <boost/variant.hpp>

#include "exio/fins_exio_types.h"
#include "fins/fins.h"

// The exchange engine: one object that owns the FINS connection to the PLC
// and keeps mapped PLC addresses and robot registers in step, from a
// synchronisation thread that runs a cycle every 10 ms for the object's
// whole life.
//
// Thread safety: every public operation may be called from any thread at
// any time; the engine serialises them on its own locks.
class FinsExIO {
 public:
  // A bit read with its forced status.
  struct BitForce {
    bool value;   // the bit's data
    bool forced;  // the bit is forced in the PLC
  };

  // A word read with its forced-status word, each reduced to a truth value.
  struct WordForce {
    bool value;   // the data word is non-zero
    bool forced;  // the forced-status word is non-zero
  };

  // Which way a mapping carries values.
  enum MappingDirection : std::int32_t {
    PlcToRobot = 0,  // PLC memory -> robot input register(s)
    RobotToPlc = 1   // robot output register -> PLC memory
  };

  // The engine's connection state. 8 is a flag on Connected.
  enum ConnectionState : std::int32_t {
    Disconnected = 1,
    Connecting = 2,
    Connected = 4,
    ConnectedFamilyUnknown = 12,  // Connected, CPU model names no known family
    ConnectFailed = 16            // the link is retried by the sync loop
  };

  // The kind of robot register a data type maps to; the `type` argument of
  // the external IO service's claim calls.
  enum RegisterType : std::int32_t {
    NoRegister = -1,  // the data type is invalid
    BoolRegister = 0,
    IntRegister = 1,
    DoubleRegister = 2
  };

  // The state of one mapping. Any other value is the FINS library's return
  // code of the mapping's last exchange.
  enum MappingState : std::int32_t {
    MappingGood = 0,             // the last exchange succeeded
    MappingNotFound = 64017,     // answered for an unknown name, never stored
    MappingServiceDown = 65040,  // the external IO service did not answer
    MappingClaimRefused = 61644, // the robot input register(s) were refused
    // The service answered the robot register call with a fault, a value of
    // the wrong type, or a refused write: the value went nowhere.
    MappingRobotCallFailed = 61645,
    MappingNew = 65535           // not yet exchanged
  };

  // One value of any FinsDataType; see FinsValue below.
  using Value = boost::variant<short, unsigned short, int, unsigned int, bool,
                               unsigned char, float, double, BitForce,
                               WordForce>;

  // What the engine knows of how it is doing, for people watching it (see
  // getDiagnostics). Times in milliseconds unless a name says otherwise;
  // points in time are Unix seconds, 0 for never.
  struct Diagnostics {
    struct Connection {
      int state = Disconnected;  // a ConnectionState code
      std::string plcAddress;    // of the last connect; empty before one
      int plcPort = 0;
      std::string transport;     // "TCP", "UDP"; empty before a connect
      std::string cpuModel;      // of the last successful connect
      std::string family;        // as getPLCMode answers
      double connectedSince = 0;  // the current connection's start; 0 if none
      std::uint64_t connectAttempts = 0;  // the clients' and the loop's
      std::uint64_t reconnects = 0;  // links the loop brought back by itself
      int lastFailureCode = 0;       // last failed connect or lost link
      double lastFailureAt = 0;
    };
    struct Cycle {
      std::uint64_t cycles = 0;  // finished since start
      // Work of a cycle without its pause: the last one, and the mean, 99th
      // percentile and maximum over the cycles of the last minute.
      double lastMs = 0, meanMs = 0, p99Ms = 0, maxMs = 0;
      double perSecond = 0;  // cycles a second over the last minute
    };
    struct Fins {
      std::uint64_t exchanges = 0, failures = 0, timeouts = 0;
      // Failed exchanges by FINS code; codes beyond the first few seen on
      // one connection are summed under -1.
      std::vector<std::pair<int, std::uint64_t>> failuresByCode;
      double meanMs = 0, p99Ms = 0;  // exchange time since start
    };
    struct RobotService {
      bool running = false;  // the liveness probe of the last cycle
      std::uint64_t calls = 0, failures = 0, timeouts = 0;
      double meanMs = 0, p99Ms = 0;  // call time since start
      bool multicall = false;        // batched calls in use
    };
    // A mapping's value as last exchanged, in its data type's shape.
    struct ShownValue {
      enum Kind { kNone, kInt, kNumber, kBool, kBoolPair, kIntPair };
      Kind kind = kNone;  // kNone before the first exchange
      double first = 0, second = 0;
    };
    struct Mapping {
      std::string name;  // the robot register
      int direction = PlcToRobot;
      std::string address;
      int type = 0;    // a FinsDataType
      int state = 0;   // as getMapState answers
      ShownValue value;
      std::int64_t msSinceGood = -1;  // -1: never exchanged well
      std::uint64_t failures = 0;     // cycles that left it failed
    };
    Connection connection;
    Cycle cycle;
    Fins fins;
    RobotService robot;
    std::vector<Mapping> mappings;  // PLC-to-robot ones first, by name
  };

  // Defined in exio/fins_exio_impl.h, which only the engine, its tests and
  // its benchmark include.
  class Impl;

  // Starts disconnected (state Disconnected) and starts the synchronisation
  // thread; no connection is attempted until connect(). Robot registers are
  // reached through the controller's external IO service at its fixed
  // address.
  FinsExIO();
  // Same, with the external IO service at `exioServerUrl` (tests point the
  // engine at a simulator on a private port).
  explicit FinsExIO(const std::string& exioServerUrl);
  FinsExIO(const FinsExIO&) = delete;
  FinsExIO& operator=(const FinsExIO&) = delete;
  // Stops the synchronisation thread (within one cycle) and closes the
  // connection.
  virtual ~FinsExIO();

  // --- Connection -------------------------------------------------------

  // Opens a FINS/TCP connection to the PLC at `ip`:`port` with the given
  // FINS network/node/unit addresses (narrowed to 16 and 8 bits) and reads
  // its CPU unit data. Closes an existing connection first. True when the
  // connection is open and the CPU unit data was read; the state is then
  // Connected or ConnectedFamilyUnknown, else ConnectFailed, and the
  // synchronisation thread keeps retrying with these parameters.
  bool connect(const std::string& ip, int port, int localNet, int localNode,
               int localUnit, int remoteNet, int remoteNode, int remoteUnit);
  // As connect, over FINS/UDP: no handshake and no link, so the nodes are
  // the ones given, except that 0 (which over TCP asks the PLC to assign
  // one) is derived here: the PLC node from the last octet of `ip`, the
  // local node from the last octet of the local address that reaches it, as
  // OMRON Ethernet units map nodes to addresses by default. A derived node
  // outside 1..254 fails the connect. The CPU unit data read proves that the
  // PLC answers; after that, exchanges are the only sign of life: timed-out
  // or foreign replies count as failed exchanges, and reconnects (a new
  // socket and a new CPU unit data read) follow as over TCP.
  bool connectUdp(const std::string& ip, int port, int localNet,
                  int localNode, int localUnit, int remoteNet, int remoteNode,
                  int remoteUnit);
  // Closes the connection if there is one; the state becomes Disconnected
  // and stays so until the next connect(). Mappings are kept.
  void disconnect();
  // The connection state (a ConnectionState code). Takes no lock.
  int getState();
  // The transport of the last connect or connectUdp, kept across
  // disconnect and reconnects: "TCP", "UDP", or "" before the first.
  // Takes no lock.
  std::string getTransport();
  // The PLC family named by the CPU model text of the current connection:
  // "CS", "CJ", "CV", "CP" or "UNKNOWN" (also when not connected).
  std::string getPLCMode();
  // Sets the family used for address lookups from a text that starts with
  // 'C' and one of 'V', 'S', 'J', 'P' (a family name or a CPU model), and
  // writes it over the start of the kept CPU model text. False, changing
  // nothing, for any other text or when not connected.
  bool setPLCMode(const std::string& mode);
  // A copy of the CPU unit data of the last successful connect (all zero
  // before the first). No FINS traffic.
  fins_cpudata_tp getCPUData();

  // --- Mapping table ------------------------------------------------------

  // Maps `plcAddress` (PLC address text, at most 11 characters) of `type` to
  // the robot register `robotRegister` (its decimal digits give the index)
  // in `direction`; the forced types also take `secondRobotRegister`.
  // Replaces a mapping of the same name in the same direction. False (and
  // an ERROR record) when an argument is rejected; the table is unchanged.
  bool addMapping(const std::string& plcAddress,
                  const std::string& robotRegister,
                  const std::string& secondRobotRegister, FinsDataType type,
                  MappingDirection direction);
  // Removes the mapping named `robotRegister`: the PlcToRobot one when the
  // name has one, else the RobotToPlc one. Silent when there is none.
  void removeMapping(const std::string& robotRegister);
  // The state of the mapping named `robotRegister` (a MappingState code or a
  // FINS library return code); MappingNotFound when there is none.
  std::int32_t getMapState(const std::string& robotRegister);
  // The direction stored for `robotRegister`; -1 when there is none.
  std::int32_t getMapDirection(const std::string& robotRegister);
  // Every mapping: robot register name -> PLC address text as given.
  std::unordered_map<std::string, std::string> getMapping();

  // --- Diagnostics -----------------------------------------------------------

  // The engine's counters and every mapping's standing. Makes no FINS or
  // robot call and never waits behind one: it reads what the loop publishes
  // once per cycle and takes mappingLock only shared.
  Diagnostics getDiagnostics();

  // --- Direct memory access ------------------------------------------------

  // Reads one value of `type` at `address` into `value` (which then holds the
  // type's alternative). A mapped PlcToRobot address of the same type is
  // answered from the mapping's kept value with the mapping's state as the
  // code; anything else is read from the PLC. 0 on success, else a FINS
  // library code or a mapping state code, and `value` holds zero.
  int memoryAreaReadInternal(const std::string& address, FinsDataType type,
                             Value& value);
  // Writes one value of `type` (which `value` must hold as the type's
  // alternative, else boost::bad_get) at `address`. 0 on success, else a
  // FINS library code; non-zero without writing for the forced types.
  int memoryAreaWrite(const std::string& address, FinsDataType type,
                      Value value);

 private:
  // The synchronisation thread's body: one cycle every 10 ms until
  // `running_` is cleared.
  void syncLoop();

  // Tests reach the implementation through it to check its invariants.
  friend class FinsExIOTestPeer;

  std::atomic<bool> running_;
  std::thread thread_;
  std::unique_ptr<Impl> impl_;
};

static_assert(sizeof(FinsExIO::BitForce) == 2, "a two-byte value record");
static_assert(sizeof(FinsExIO::WordForce) == 2, "a two-byte value record");

// One value of any FinsDataType, passed between the XML-RPC methods and the
// engine. The order of the alternatives is fixed (which() is 0 to 9 in this
// order); no data type carries unsigned char.
using FinsValue = FinsExIO::Value;

#endif  // GW_EXIO_FINS_EXIO_H_
