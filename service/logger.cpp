#include "service/logger.h"

#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <iostream>

namespace {

constexpr char kJournalSocket[] = "/run/systemd/journal/socket";

// systemd names the stream it connected to standard output in JOURNAL_STREAM
// ("<device>:<inode>"). The variable is inherited by children whose standard
// output is something else (a pipe, a file), so only the match counts.
bool stdoutIsTheJournal() {
  const char* stream = std::getenv("JOURNAL_STREAM");
  if (stream == nullptr) return false;
  unsigned long long device = 0;
  unsigned long long inode = 0;
  char rest = 0;
  if (std::sscanf(stream, "%llu:%llu%c", &device, &inode, &rest) != 2) {
    return false;
  }
  struct stat out = {};
  if (fstat(STDOUT_FILENO, &out) != 0) return false;
  return static_cast<unsigned long long>(out.st_dev) == device &&
         static_cast<unsigned long long>(out.st_ino) == inode;
}

// syslog's priorities, which is what the journal filters on.
int journalPriority(Logger::Level level) {
  return level == Logger::ERROR ? 3 : level == Logger::WARNING ? 4 : 6;
}

// One entry in the journal's native protocol, gathered straight from the
// caller's buffers into a single datagram.
class JournalEntry {
 public:
  // `name` and `value` must stay valid until send.
  void add(const char* name, const char* value, std::size_t length) {
    piece(name, std::strlen(name));
    if (std::memchr(value, '\n', length) == nullptr) {
      piece("=", 1);
    } else {
      // A line break would end the field early in the plain form; the
      // binary form says where the value ends instead.
      uint8_t* size = sizes_[fields_];
      for (int i = 0; i < 8; ++i) {
        size[i] =
            static_cast<uint8_t>(static_cast<uint64_t>(length) >> (8 * i));
      }
      piece("\n", 1);
      piece(size, 8);
    }
    piece(value, length);
    piece("\n", 1);
    ++fields_;
  }

  bool send(int fd, const sockaddr_un& address, socklen_t address_length) {
    msghdr message = {};
    message.msg_name = const_cast<sockaddr_un*>(&address);
    message.msg_namelen = address_length;
    message.msg_iov = pieces_;
    message.msg_iovlen = count_;
    // Never wait for the journal: a full queue costs this entry its own
    // priority (it goes to standard output), not the caller's time.
    return sendmsg(fd, &message, MSG_NOSIGNAL | MSG_DONTWAIT) >= 0;
  }

 private:
  static constexpr int kFields = 5;

  void piece(const void* data, std::size_t length) {
    pieces_[count_].iov_base = const_cast<void*>(data);
    pieces_[count_].iov_len = length;
    ++count_;
  }

  iovec pieces_[kFields * 5] = {};
  uint8_t sizes_[kFields][8] = {};
  int fields_ = 0;
  std::size_t count_ = 0;
};

}  // namespace

Logger* Logger::s_logger_prt = nullptr;

Logger::Logger() {
  gw::MutexLock lock(write_mutex_);
  openJournal(kJournalSocket);
}

Logger* Logger::getInstance() {
  // A function-local static is initialised exactly once even under a
  // concurrent first call; heap allocation keeps the instance (and its
  // mutex) alive past static destruction for threads still logging.
  static Logger* const instance = s_logger_prt = new Logger();
  return instance;
}

void Logger::initLogger() {
  // Replacing the instance would leak the old one and race with threads
  // reading the pointer; the instance has no state worth resetting.
  getInstance();
}

void Logger::useJournalForTests(const char* socket_path) {
  gw::MutexLock lock(write_mutex_);
  openJournal(socket_path);
}

void Logger::openJournal(const char* socket_path) {
  if (journal_fd_ >= 0) close(journal_fd_);
  journal_fd_ = -1;
  const std::size_t length = std::strlen(socket_path);
  if (!stdoutIsTheJournal() || length >= sizeof(journal_address_.sun_path)) {
    return;
  }
  // Not connected: a journal that restarts binds a new socket at the same
  // path, which a connected socket would never reach again. A sandbox that
  // forbids AF_UNIX leaves -1 here, and the records on standard output.
  journal_fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  journal_address_ = {};
  journal_address_.sun_family = AF_UNIX;
  std::memcpy(journal_address_.sun_path, socket_path, length);
  journal_address_length_ =
      static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + length + 1);
}

bool Logger::sendToJournal(Level level, const char* msg, const char* function,
                           int line) {
  const char* const identifier = program_invocation_short_name;
  const char priority[2] = {static_cast<char>('0' + journalPriority(level)),
                            '\0'};
  char line_text[16];
  std::snprintf(line_text, sizeof(line_text), "%d", line);

  JournalEntry entry;
  entry.add("MESSAGE", msg, strnlen(msg, kBufferSize - 1));
  entry.add("PRIORITY", priority, 1);
  entry.add("CODE_FUNC", function, std::strlen(function));
  entry.add("CODE_LINE", line_text, std::strlen(line_text));
  entry.add("SYSLOG_IDENTIFIER", identifier, std::strlen(identifier));
  // Whatever the reason (no journal at the path, a full queue, an entry
  // too long for a datagram), the caller writes the record to standard
  // output instead, where the journal keeps it framed, line by line.
  return entry.send(journal_fd_, journal_address_, journal_address_length_);
}

void Logger::write(Level level, const char* msg, const char* function,
                   int line) {
  gw::MutexLock lock(write_mutex_);
  if (journal_fd_ >= 0 && sendToJournal(level, msg, function, line)) return;
  char record[kBufferSize] = {};
  std::snprintf(record, sizeof(record),
                "[%s] - [\n\n%s\n\n] - [%s - line: %d]\n\n\n", levelText(level),
                msg, function, line);
  std::cout << record;
  std::cout.flush();
}

Logger::DisperseMsg::DisperseMsg()
    : buffer_(new char[Logger::kBufferSize]()), count_(0) {}

Logger::DisperseMsg::~DisperseMsg() { delete[] buffer_; }

int Logger::DisperseMsg::append(const std::string& text) {
  const std::size_t room = Logger::kBufferSize - 1 - count_;
  const std::size_t n = std::min(room, text.size());
  std::memcpy(buffer_ + count_, text.data(), n);
  count_ += static_cast<int>(n);
  return count_;
}

const char* Logger::DisperseMsg::get_msg() const { return buffer_; }
