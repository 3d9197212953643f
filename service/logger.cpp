#include "service/logger.h"

#include <algorithm>
#include <cstring>
#include <iostream>

Logger* Logger::s_logger_prt = nullptr;

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

void Logger::write(const char* level, const char* msg, const char* function,
                   int line) {
  char record[kBufferSize] = {};
  std::snprintf(record, sizeof(record),
                "[%s] - [\n\n%s\n\n] - [%s - line: %d]\n\n\n", level, msg,
                function, line);
  gw::MutexLock lock(write_mutex_);
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
