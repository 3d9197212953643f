#ifndef GW_EXIO_FINS_EXIO_H_
#define GW_EXIO_FINS_EXIO_H_

#include <boost/variant.hpp>

#include "exio/fins_exio_types.h"

// The exchange engine: one object that owns the FINS connection to the PLC
// and keeps mapped PLC addresses and robot registers in step.
//
// This declaration so far carries the vocabulary shared by the engine, its
// mapping table and the XML-RPC methods. The engine's operations, its
// synchronisation thread and its private implementation pointer join it
// together with the engine.
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
    MappingServiceDown = 65040,  // the external IO service is not running
    MappingClaimRefused = 61644, // the robot input register(s) were refused
    MappingNew = 65535           // not yet exchanged
  };

  // Defined in exio/fins_exio_impl.h, which only the engine and its tests
  // include.
  class Impl;

  FinsExIO(const FinsExIO&) = delete;
  FinsExIO& operator=(const FinsExIO&) = delete;
};

static_assert(sizeof(FinsExIO::BitForce) == 2, "a two-byte value record");
static_assert(sizeof(FinsExIO::WordForce) == 2, "a two-byte value record");

// One value of any FinsDataType, passed between the XML-RPC methods and the
// engine. The order of the alternatives is fixed (which() is 0 to 9 in this
// order); no data type carries unsigned char.
using FinsValue = boost::variant<short, unsigned short, int, unsigned int,
                                 bool, unsigned char, float, double,
                                 FinsExIO::BitForce, FinsExIO::WordForce>;

#endif  // GW_EXIO_FINS_EXIO_H_
