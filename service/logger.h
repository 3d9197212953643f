#ifndef GW_SERVICE_LOGGER_H_
#define GW_SERVICE_LOGGER_H_

#include <sys/socket.h>
#include <sys/un.h>

#include <cstddef>
#include <cstdio>
#include <string>
#include <type_traits>

#include "service/mutex.h"
#include "service/thread_annotations.h"

// Process-wide logger: one framed text record per event on standard output,
// flushed at once so that records survive a crash of the daemon right after.
//
// Under systemd with standard output connected to the journal, each record
// goes to the journal as one entry of its own instead (see write), with the
// record's level as its priority: the journal would otherwise make an entry
// of every line of the frame, all at one priority. A record the journal does
// not take is written framed to standard output as before.
//
// Every level is written; there is no filtering, no file and no rotation.
// Any thread may log at any time: a record is built in buffers local to the
// call and written under a lock, so records of different threads never
// interleave inside one record.
//
// Usage (GW_LOG, below, fills in the function's name and line):
//   GW_LOG(INFO, "Fins start connecting PLC");
//   GW_LOG(ERROR, "index:%d detail: %s", i, what);
class Logger {
 public:
  enum Level { INFO = 0, WARNING = 1, ERROR = 2 };

  // Size of every record and message buffer, terminator included: a record
  // or formatted message longer than kBufferSize - 1 characters is cut there,
  // and so is the message of a journal entry.
  static constexpr std::size_t kBufferSize = 8192;

  // Returns the one instance, creating it on the first call. Safe when
  // several threads make the first call together. The instance is never
  // destroyed, so threads still logging while the process exits are safe.
  static Logger* getInstance();

  // Makes sure the instance exists. Never replaces an existing instance:
  // pointers handed out by getInstance stay valid and no instance leaks.
  static void initLogger();

  Logger(const Logger&) = delete;
  Logger& operator=(const Logger&) = delete;

  // Decides again, as at start, whether the records go to the journal, now
  // with the journal's socket at `socket_path`: they do if standard output
  // is the stream JOURNAL_STREAM names.
  void useJournalForTests(const char* socket_path) EXCLUDES(write_mutex_);

  // Writes one record holding `msg` verbatim ('%' is not special here).
  // `function` is the bare name of the calling function (__func__) and
  // `line` the line of the logging statement (__LINE__).
  template <Level L>
  void log(const std::string& msg, const char* function, int line);

  // Formats `args` by the printf-style `format` (cut at kBufferSize - 1
  // characters) and writes one record with the result as its message.
  // Enumerations are passed as their integer value, so "%d" prints them.
  // A call without format arguments selects the plain variant above (it is
  // more specialised), so a lone format text is written literally.
  template <Level L, typename... Args>
  void log(const std::string& format, const char* function, int line,
           Args... args);

  // Accumulates text into one fixed buffer of kBufferSize bytes; text past
  // kBufferSize - 1 characters is dropped. Not thread-safe.
  class DisperseMsg {
   public:
    DisperseMsg();
    ~DisperseMsg();

    DisperseMsg(const DisperseMsg&) = delete;
    DisperseMsg& operator=(const DisperseMsg&) = delete;

    // Appends as much of `text` as still fits; returns the new count of
    // characters held.
    int append(const std::string& text);

    // The text accumulated so far, NUL-terminated; owned by this object.
    const char* get_msg() const;

   private:
    char* buffer_;
    int count_;
  };

 private:
  Logger();

  static constexpr const char* levelText(Level level) {
    return level == INFO ? "INFO" : level == WARNING ? "WARNING" : "ERROR";
  }

  // printf's variadic arguments undergo only the default promotions, so a
  // scoped or fixed-width enumeration would not reliably match "%d".
  template <typename T>
  static auto printfArg(T value) {
    static_assert(std::is_arithmetic<T>::value || std::is_enum<T>::value ||
                      std::is_pointer<T>::value,
                  "format arguments are numbers, enumerations or C strings");
    if constexpr (std::is_enum<T>::value) {
      return static_cast<std::underlying_type_t<T>>(value);
    } else {
      return value;
    }
  }

  void write(Level level, const char* msg, const char* function, int line)
      EXCLUDES(write_mutex_);

  void openJournal(const char* socket_path) REQUIRES(write_mutex_);
  bool sendToJournal(Level level, const char* msg, const char* function,
                     int line) REQUIRES(write_mutex_);

  // Serialises the writes to standard output, so that records never
  // interleave (std::cout is not a member, so nothing names it GUARDED_BY),
  // and the sends to the journal, so that they keep the order of the
  // records that fall back to standard output.
  gw::Mutex write_mutex_;

  // The socket the records are sent through, or -1 when they go to standard
  // output; opened once at start (useJournalForTests reopens it).
  int journal_fd_ GUARDED_BY(write_mutex_) = -1;
  sockaddr_un journal_address_ GUARDED_BY(write_mutex_) = {};
  socklen_t journal_address_length_ GUARDED_BY(write_mutex_) = 0;

  // The instance, published once by getInstance.
  static Logger* s_logger_prt;
};

template <Logger::Level L>
void Logger::log(const std::string& msg, const char* function, int line) {
  write(L, msg.c_str(), function, line);
}

template <Logger::Level L, typename... Args>
void Logger::log(const std::string& format, const char* function, int line,
                 Args... args) {
  char message[kBufferSize] = {};
  std::snprintf(message, sizeof(message), format.c_str(),
                printfArg(args)...);
  write(L, message, function, line);
}

// One record at `level` (INFO, WARNING or ERROR) under the calling
// function's own name and line, so that no record names its function by
// hand:
//   GW_LOG(INFO, "Fins start connecting PLC");
//   GW_LOG(ERROR, "index:%d detail: %s", index, what);
#define GW_LOG(level, ...) GW_LOG_AS(level, __func__, __VA_ARGS__)

// The same under the name `function`, for records that carry the name of
// the public operation (or the loop) they belong to, whichever helper
// writes them.
#define GW_LOG_AS(level, function, format, ...)                             \
  ::Logger::getInstance()->log<::Logger::level>(format, function, __LINE__, \
                                                ##__VA_ARGS__)

#endif  // GW_SERVICE_LOGGER_H_
