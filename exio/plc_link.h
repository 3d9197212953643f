// PlcLink: the engine's one door to the PLC. Only this class calls the FINS
// library or touches its connection record: it owns the record and
// connectionMutex, connects and reconnects (pacing the loop's attempts),
// knows the PLC family, places addresses, reads and writes items, decides
// which failures count against the link, and keeps the FINS statistics.
//
// Thread-safety: every public operation may be called from any thread and
// takes connectionMutex for its own duration, unless it says otherwise.
// Lock order (the engine's, written once here): the mapping table's
// mappingLock before connectionMutex, connectionMutex before the snapshot's
// mutex and the engine statistics' mutex; nothing takes mappingLock while
// holding connectionMutex. The part inside this class is declared, and
// checked by clang's -Wthread-safety-beta: snapshotMutex_ is
// ACQUIRED_AFTER(connectionMutex). The members each mutex guards carry
// GUARDED_BY, the functions that expect it held REQUIRES.

#ifndef GW_EXIO_PLC_LINK_H_
#define GW_EXIO_PLC_LINK_H_

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "exio/fins_exio_types.h"
#include "exio/read_plan.h"
#include "fins/fins.h"
#include "service/mutex.h"
#include "service/thread_annotations.h"

namespace datatypes {
struct DataTypeRow;
}  // namespace datatypes

class EngineStats;

class PlcLink {
 public:
  using Clock = std::chrono::steady_clock;

  // Where and how a client asked to connect; every reconnect uses it again.
  struct Endpoint {
    std::string ip;
    int port = 0;
    int localNet = 0;
    int localNode = 0;  // 0 over UDP: derived from the route to the PLC
    int localUnit = 0;
    int remoteNet = 0;
    int remoteNode = 0;  // 0 over UDP: the PLC address's last octet
    int remoteUnit = 0;
    int transport = FINS_TRANSPORT_TCP;  // or FINS_TRANSPORT_UDP
  };

  // What the API reads of the connection without waiting for FINS traffic:
  // copies taken whenever either changes.
  struct Snapshot {
    fins_cpudata_tp cpuUnitData = {};
    bool hasConnection = false;
  };

  // How one item of the PLC-to-robot read stands from pass to pass, so that
  // a bad item is found once and then kept out of the shared read. The
  // caller keeps it beside the item and hands it to every readPass; nobody
  // else reads or writes it.
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
    Clock::time_point retryAt;
  };

  // One item of a pass's read. `outcome` after readPass: 0 (read, the value
  // is in `item`), kNotRead (not reached in this pass: its mapping keeps the
  // state it had), or the code its mapping shows: the item's placement or
  // refusal code, or the code of the link failure that ended the pass.
  struct ItemRead {
    fins_multidata_tp item = {};
    ReadStanding* standing = nullptr;
    int outcome = kNotRead;
  };
  static constexpr int kNotRead = -1;

  // A change of one item's standing, for the caller to log after the pass.
  struct ReadNote {
    enum class Kind { kNoPlace, kRefused, kAccepted };
    Kind kind;
    std::size_t index;  // into the pass's reads
    int code;
  };

  // One FINS write of consecutive values of one type, starting at `start`.
  // `code` after writeRuns: the library's code for the write.
  struct RunWrite {
    const char* start = nullptr;
    FinsDataType type = static_cast<FinsDataType>(0);
    const fins_multidata_tp* items = nullptr;
    std::size_t count = 0;
    int code = 0;
  };

  // How the loop paces its reconnects while the PLC refuses or cannot be
  // reached, and what it has logged of them.
  struct ReconnectPacing {
    int failedAttempts = 0;  // since the link was last up
    int failedSinceSummary = 0;
    int lastCode = 0;
    Clock::time_point downSince;
    Clock::time_point nextAttempt;
    Clock::time_point lastSummary;
  };

  // A link with no connection that notes connects, failures and the FINS
  // counters in `stats`, which must outlive it.
  explicit PlcLink(EngineStats& stats);
  // Closes the connection if there is one.
  ~PlcLink();

  PlcLink(const PlcLink&) = delete;
  PlcLink& operator=(const PlcLink&) = delete;

  // --- Connection ------------------------------------------------------------

  // A client's connect: closes any connection, opens one to `endpoint`, and
  // reads the CPU unit data and with it the family. Starts the reconnect
  // pacing afresh and notes the outcome in the statistics. Returns whether
  // the connection is open; the state tells the rest.
  bool connect(const Endpoint& endpoint) EXCLUDES(connectionMutex);
  // Closes the connection, if there is one, and sets the state Disconnected.
  void disconnect() EXCLUDES(connectionMutex);
  // A FinsExIO::ConnectionState code; no lock.
  int state() const { return state_.load(); }
  // "TCP", "UDP", or empty before the first connect; no lock.
  std::string transportName() const;
  // Connect attempts since construction, the clients' and the loop's.
  std::uint64_t connectAttempts() const { return connectAttempts_.load(); }
  // The last published snapshot; takes only the snapshot's mutex.
  Snapshot snapshot() const EXCLUDES(snapshotMutex_);

  // The loop's upkeep of the link, once a cycle: the link check, a paced
  // reconnect when the link was lost or the last attempt failed, and the
  // FINS counters published. Records are logged under `loop`'s name.
  void maintain(const char* loop) EXCLUDES(connectionMutex);

  // Sets the PLC family from a family name or CPU model text ('C' then one
  // of 'V', 'S', 'J', 'P') and writes the text over the start of the kept
  // model text. False, changing nothing, for any other text or without a
  // connection.
  bool setPLCMode(const std::string& text) EXCLUDES(connectionMutex);

  // Turns TCP keep-alive on for `fd` with a 10 s idle time, 1 s between
  // probes and 10 probes, so that a PLC that vanishes without closing the
  // link is noticed in about 20 s. False (and an ERROR record) at the first
  // option that cannot be set.
  static bool setFinsSocketOpt(int fd);

  // Whether the connection's link is usable: true without a connection or
  // while Disconnected (nothing to lose), else whether the kernel still
  // sees the TCP socket ESTABLISHED. Over UDP there is no link to ask
  // about: usable while the library keeps the socket open, which it closes
  // after the consecutive-error limit of failed exchanges.
  bool isTCPEstablished() EXCLUDES(connectionMutex);

  // --- Items -------------------------------------------------------------------

  // Reads the items of one PLC-to-robot pass. Items not yet placed in the
  // current family are placed first (all of them after the family changed,
  // which also forgets the PLC's refusals); an item without a place, or one
  // the PLC refused, is left out of the shared read, and one refused item
  // whose pause is over is tried alone. A frame the PLC refuses is searched
  // for the item it refuses, so that the others are read all the same.
  // Outcomes land in `reads`, changes of standing in `notes`. Returns 0, or
  // the code of a link failure, which ended the pass.
  int readPass(std::vector<ItemRead>& reads, Clock::time_point now,
               std::vector<ReadNote>& notes) EXCLUDES(connectionMutex);

  // Writes each run with one FINS call, its code in the run. A run the PLC
  // refuses does not count against the link, so the next run is still
  // written.
  void writeRuns(std::vector<RunWrite>& runs) EXCLUDES(connectionMutex);

  // A direct read of one item (address and type set); returns the library's
  // code. An item the PLC refuses counts against the link as any failure.
  int readItem(fins_multidata_tp& item) EXCLUDES(connectionMutex);
  // A direct write of one value at `address` through `row`, the type's row
  // (one that has a writer); returns the library's code.
  int writeItem(const std::string& address, const datatypes::DataTypeRow& row,
                const fins_multidata_tp& value) EXCLUDES(connectionMutex);

  // A planned read frame the PLC refused (defined with the reader).
  struct FrameRefusal;

  // --- What tests look at ------------------------------------------------------

  // The library's code of the last failed connect.
  int lastConnectCode() EXCLUDES(connectionMutex);
  // The record's socket, or -1 without a record.
  int socketFd() EXCLUDES(connectionMutex);
  // The record's PLC family, or -1 without a record.
  int family() EXCLUDES(connectionMutex);
  // The current record's exchange counters (all zero without a record).
  fins_exchange_stats_tp exchangeStats() EXCLUDES(connectionMutex);

  // --- Reconnect pacing, for the loop (and tests that hold the lock) -------

  // Whether the loop may try to reconnect now.
  bool reconnectDue(Clock::time_point now) const REQUIRES(connectionMutex);
  // Reconnects with the stored endpoint, logging in full only the first
  // attempts of an outage, then one summary record per ten seconds.
  void pacedReconnectLocked(Clock::time_point now) REQUIRES(connectionMutex);
  // Forgets the pacing of an outage.
  void resetPacingLocked() REQUIRES(connectionMutex) {
    pacing_ = ReconnectPacing();
  }

  // Held across every FINS exchange, connect and disconnect; guards every
  // private member below but the atomics and snapshot_.
  gw::Mutex connectionMutex;

 private:
  // The body of a connect; `quiet` leaves out the records of the attempt
  // (the pacing logs a summary instead).
  bool connectLocked(const Endpoint& endpoint, bool quiet)
      REQUIRES(connectionMutex);
  // Connects again to the stored endpoint.
  bool reconnectLocked(bool quiet) REQUIRES(connectionMutex);
  bool setPLCModeLocked(const std::string& text) REQUIRES(connectionMutex);
  void disconnectLocked() REQUIRES(connectionMutex);
  // Closes and frees the record, if there is one.
  void closeConnection() REQUIRES(connectionMutex);
  void publishSnapshot() REQUIRES(connectionMutex) EXCLUDES(snapshotMutex_);
  // The plan for the shared read of `items`, made again only when the
  // items, the family, the limits or the refused ranges changed.
  const ReadPlan& planFor(const std::vector<fins_multidata_tp>& items)
      REQUIRES(connectionMutex);
  // Shrinks the frames or notes the refused ranges after a pass.
  void learnFrom(const std::vector<FrameRefusal>& refusals)
      REQUIRES(connectionMutex);
  // Places every item not yet placed in the current family.
  void placeItems(std::vector<ItemRead>& reads, std::vector<ReadNote>& notes)
      REQUIRES(connectionMutex);

  EngineStats& stats_;

  // The record the library owns is the mutex's too: every call into it
  // is made with the mutex held.
  fins_sys_tp* connection_ GUARDED_BY(connectionMutex)
      PT_GUARDED_BY(connectionMutex) = nullptr;
  fins_cpudata_tp cpuUnitData_ GUARDED_BY(connectionMutex) = {};
  Endpoint endpoint_ GUARDED_BY(connectionMutex);
  int lastConnectCode_ GUARDED_BY(connectionMutex) = 0;
  ReconnectPacing pacing_ GUARDED_BY(connectionMutex);
  // How this connection's PLC takes the shared read: its frame limits,
  // the ranges it refused, and the plan with what it was made for.
  ReadLimits readLimits_ GUARDED_BY(connectionMutex);
  std::vector<RefusedRange> refusedRanges_ GUARDED_BY(connectionMutex);
  ReadPlan plan_ GUARDED_BY(connectionMutex);
  std::vector<fins_multidata_tp> planItems_ GUARDED_BY(connectionMutex);
  int planFamily_ GUARDED_BY(connectionMutex) = FINS_PLC_FAMILY_UNKNOWN;
  bool planStale_ GUARDED_BY(connectionMutex) = true;

  std::atomic<int> state_;
  // The transport of the last connect; FINS_TRANSPORT_NONE before it.
  std::atomic<int> transport_{FINS_TRANSPORT_NONE};
  std::atomic<std::uint64_t> connectAttempts_{0};

  mutable gw::Mutex snapshotMutex_ ACQUIRED_AFTER(connectionMutex);
  Snapshot snapshot_ GUARDED_BY(snapshotMutex_);
};

#endif  // GW_EXIO_PLC_LINK_H_
