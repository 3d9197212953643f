#ifndef GW_TESTS_SUPPORT_COUT_CAPTURE_H_
#define GW_TESTS_SUPPORT_COUT_CAPTURE_H_

#include <iostream>
#include <sstream>
#include <streambuf>
#include <string>

// Redirects std::cout into a string for the life of the object, so tests can
// read back the log records the code under test writes. A string buffer,
// unlike the process's stdout, has no locking of its own, so a missing lock
// in the logger shows up as torn records (or a race report).
class CoutCapture {
 public:
  CoutCapture() : saved_(std::cout.rdbuf(captured_.rdbuf())) {}
  ~CoutCapture() { std::cout.rdbuf(saved_); }
  CoutCapture(const CoutCapture&) = delete;
  CoutCapture& operator=(const CoutCapture&) = delete;

  std::string text() const { return captured_.str(); }

 private:
  std::ostringstream captured_;
  std::streambuf* saved_;
};

#endif  // GW_TESTS_SUPPORT_COUT_CAPTURE_H_
