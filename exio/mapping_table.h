// MappingTable: the engine's mappings, each a MappingRel, in the containers
// the passes read them from, and the lock that guards them (mappingLock).
//
// The synchronisation passes take copies of their records (under the lock,
// shared), make their FINS and robot calls with no table lock held, and
// publish what they learned back by record id; the API's threads add,
// remove and read records under the same lock.

#ifndef GW_EXIO_MAPPING_TABLE_H_
#define GW_EXIO_MAPPING_TABLE_H_

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <unordered_map>
#include <vector>

#include "exio/fins_exio.h"
#include "exio/plc_link.h"
#include "fins/fins.h"
#include "service/mutex.h"

// A field that the synchronisation thread writes while other threads hold
// the mapping table's lock only shared and read it: loads and stores are
// atomic, yet the record that holds it stays a copyable value (records are
// copied under the exclusive lock, or by that one writing thread itself).
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
  // Tells this record from a later one of the same name: a pass publishes
  // what it learned only to the record it took its copy from.
  std::uint64_t id = 0;
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

  // How the PLC link stands with this record's item (PlcToRobot only);
  // read and written by the synchronisation thread only.
  PlcLink::ReadStanding standing;
};

class MappingTable {
 public:
  // Adds `rel` under its robot register name, replacing any mapping of that
  // name in the same direction, and gives it a new id. The replaced
  // record's claim is not carried over: the new record claims its register
  // again. Takes mappingLock exclusively.
  void add(MappingRel rel) EXCLUDES(mappingLock);
  // Removes the mapping named `name`, PlcToRobot first; false when there is
  // none. Takes mappingLock exclusively.
  bool remove(const std::string& name) EXCLUDES(mappingLock);
  // The state of the mapping named `name`, or MappingNotFound. Shared lock.
  std::int32_t state(const std::string& name) EXCLUDES(mappingLock);
  // The direction of the mapping named `name`, or -1. Shared lock.
  std::int32_t direction(const std::string& name) EXCLUDES(mappingLock);
  // Robot register name to PLC address of every mapping; a name mapped both
  // ways shows its RobotToPlc address. Shared lock.
  std::unordered_map<std::string, std::string> addresses()
      EXCLUDES(mappingLock);

  // Copies of the records a pass works on. Shared lock.
  std::vector<MappingRel> copyPlcToRobot() EXCLUDES(mappingLock) {
    return copyPlcToRobot([](const MappingRel&) { return true; });
  }
  // Copies of the PlcToRobot records for which `wanted` holds.
  template <typename Wanted>
  std::vector<MappingRel> copyPlcToRobot(Wanted wanted) EXCLUDES(mappingLock) {
    std::vector<MappingRel> work;
    gw::ReaderLock lock(mappingLock);
    work.reserve(plcToRobotMap.size());
    for (const auto& entry : plcToRobotMap) {
      if (wanted(entry.second)) work.push_back(entry.second);
    }
    return work;
  }
  // One copy per RobotToPlc group for which `wanted` holds.
  template <typename Wanted>
  std::vector<std::vector<MappingRel>> copyRobotToPlcGroups(Wanted wanted)
      EXCLUDES(mappingLock) {
    std::vector<std::vector<MappingRel>> groups;
    gw::ReaderLock lock(mappingLock);
    for (const auto& byType : robotToPlcGroups) {
      for (const auto& byArea : byType.second) {
        if (wanted(byArea.second)) groups.push_back(byArea.second);
      }
    }
    return groups;
  }
  // Copies the state, claim, kept value and read standing of each record of
  // `work` to the table's record it was copied from, unless that one was
  // removed or replaced meanwhile. Shared lock; synchronisation thread.
  void publish(const std::vector<MappingRel>& work) EXCLUDES(mappingLock);
  // Synchronisation thread only.
  void publishLocked(const std::vector<MappingRel>& work)
      REQUIRES_SHARED(mappingLock);
  // Marks every mapping with the service-down state and drops its claim.
  // Synchronisation thread only.
  void markServiceDown() REQUIRES_SHARED(mappingLock);
  // The loop's end-of-cycle pass: notes, from each mapping's state, when it
  // was last good (`nowMs`, as lastGoodMs holds it) and how many cycles it
  // ended failed. One pass instead of hooks in the exchange passes.
  // Synchronisation thread only.
  void noteCycleOutcomes(std::int64_t nowMs) REQUIRES_SHARED(mappingLock);

  // Orders RobotToPlc records of one group by PLC word, then bit.
  static bool plcRegcompare(const MappingRel& a, const MappingRel& b);
  // Replaces any RobotToPlc mapping named `name` by a copy of `rel`, kept in
  // its group's address order. Always true.
  bool addRobotToPlcMapping(const std::string& name, const MappingRel& rel)
      REQUIRES(mappingLock);
  // Removes the RobotToPlc record named `name` from its group, re-pointing
  // the index at the records that moved. False when there is none.
  bool removeRobotToPlcOrderMapping(const std::string& name)
      REQUIRES(mappingLock);
  // Removes the RobotToPlc record named `name` and its index entry.
  void removeRobotToPlcMapping(const std::string& name) REQUIRES(mappingLock);

  // Guards the three containers and the id counter; the atomic fields of
  // the records in them are written by the synchronisation thread under the
  // shared lock. Taken before the PLC link's connectionMutex, never after.
  gw::SharedMutex mappingLock;

  // PlcToRobot mappings by robot register name; the iteration order is the
  // order of the read batch.
  std::map<std::string, MappingRel> plcToRobotMap GUARDED_BY(mappingLock);
  // RobotToPlc mappings by robot register name, pointing into
  // robotToPlcGroups; valid only while mappingLock is held.
  std::unordered_map<std::string, MappingRel*> robotToPlcIndex
      GUARDED_BY(mappingLock);
  // RobotToPlc mappings, by data type, then area name; each vector sorted by
  // plcRegcompare. Emptied vectors stay.
  std::unordered_map<int,
                     std::unordered_map<std::string, std::vector<MappingRel>>>
      robotToPlcGroups GUARDED_BY(mappingLock);

 private:
  // The id the next added record gets.
  std::uint64_t nextId_ GUARDED_BY(mappingLock) = 1;
};

#endif  // GW_EXIO_MAPPING_TABLE_H_
