// Captures what the code under test writes to standard output and splits it
// into log records, so that tests can compare records field by field.

#ifndef TESTS_ROBOTIO_LOG_RECORDS_H_
#define TESTS_ROBOTIO_LOG_RECORDS_H_

#include <gtest/gtest.h>

#include <iostream>
#include <ostream>
#include <string>
#include <vector>

namespace robotio_test {

struct LogRecord {
  std::string level;
  std::string message;
  std::string function;
  int line = 0;
};

inline std::ostream& operator<<(std::ostream& out, const LogRecord& r) {
  return out << "[" << r.level << "] " << r.message << " (" << r.function << ":"
             << r.line << ")";
}

// Splits `text` into records of the logger's format
//   "[LEVEL] - [\n\n<message>\n\n] - [<function> - line: <n>]\n\n\n".
// Anything in `text` that is not a whole record is reported as a test
// failure, so stray output and a broken frame cannot pass unnoticed.
inline std::vector<LogRecord> parseRecords(const std::string& text) {
  std::vector<LogRecord> records;
  size_t at = 0;
  // Takes the text from `at` up to `delimiter` into *field (when not null)
  // and moves `at` past the delimiter.
  auto upTo = [&](const std::string& delimiter, std::string* field) {
    const size_t end = text.find(delimiter, at);
    if (end == std::string::npos) return false;
    if (field != nullptr) *field = text.substr(at, end - at);
    at = end + delimiter.size();
    return true;
  };
  while (at < text.size()) {
    const size_t record_start = at;
    LogRecord r;
    std::string line;
    const bool whole = text.compare(at, 1, "[") == 0 && (++at, true) &&
                       upTo("] - [\n\n", &r.level) &&
                       upTo("\n\n] - [", &r.message) &&
                       upTo(" - line: ", &r.function) && upTo("]\n\n\n", &line);
    const bool level_known =
        r.level == "INFO" || r.level == "WARNING" || r.level == "ERROR";
    const bool line_number =
        !line.empty() && line.size() < 9 &&
        line.find_first_not_of("0123456789") == std::string::npos;
    if (!whole || !level_known || !line_number || r.function.empty()) {
      ADD_FAILURE() << "output is not a sequence of log records from: "
                    << text.substr(record_start);
      break;
    }
    r.line = std::stoi(line);
    records.push_back(r);
  }
  return records;
}

// Runs `action` and returns the log records it wrote to standard output.
template <typename Action>
std::vector<LogRecord> recordsOf(Action&& action) {
  std::cout.flush();
  testing::internal::CaptureStdout();
  action();
  std::cout.flush();
  return parseRecords(testing::internal::GetCapturedStdout());
}

}  // namespace robotio_test

#endif  // TESTS_ROBOTIO_LOG_RECORDS_H_
