#ifndef GW_EXIO_FINS_EXIO_H_
#define GW_EXIO_FINS_EXIO_H_

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>
#include <unordered_map>

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
  // Closes the connection if there is one; the state becomes Disconnected
  // and stays so until the next connect(). Mappings are kept.
  void disconnect();
  // The connection state (a ConnectionState code). Takes no lock.
  int getState();
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
