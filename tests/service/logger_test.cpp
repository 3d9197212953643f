#include "service/logger.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/cout_capture.h"

namespace {

constexpr std::size_t kMaxRecord = 8191;

TEST(LoggerRecord, InfoRecordIsFramedByteForByte) {
  CoutCapture capture;
  Logger::getInstance()->log<Logger::INFO>("Fins start connecting PLC",
                                           "connect", 148);
  EXPECT_EQ(capture.text(),
            "[INFO] - [\n\nFins start connecting PLC\n\n] - "
            "[connect - line: 148]\n\n\n");
}

TEST(LoggerRecord, EachLevelNamesItself) {
  CoutCapture capture;
  Logger::getInstance()->log<Logger::WARNING>("w", "f", 1);
  Logger::getInstance()->log<Logger::ERROR>("e", "g", 2);
  EXPECT_EQ(capture.text(),
            "[WARNING] - [\n\nw\n\n] - [f - line: 1]\n\n\n"
            "[ERROR] - [\n\ne\n\n] - [g - line: 2]\n\n\n");
}

TEST(LoggerRecord, PercentInPlainMessageIsLiteral) {
  CoutCapture capture;
  // No format arguments: the plain variant must be chosen, so the
  // directives are not interpreted (they would read missing arguments).
  Logger::getInstance()->log<Logger::ERROR>("load 100%d %s %% %x", "f", 3);
  EXPECT_EQ(capture.text(),
            "[ERROR] - [\n\nload 100%d %s %% %x\n\n] - [f - line: 3]\n\n\n");
}

TEST(LoggerRecord, RecordThatFitsExactlyIsWhole) {
  std::size_t frame_length;
  {
    CoutCapture capture;
    Logger::getInstance()->log<Logger::INFO>("", "fn", 42);
    frame_length = capture.text().size();
  }
  const std::string message(kMaxRecord - frame_length, 'm');
  CoutCapture capture;
  Logger::getInstance()->log<Logger::INFO>(message, "fn", 42);
  EXPECT_EQ(capture.text(),
            "[INFO] - [\n\n" + message + "\n\n] - [fn - line: 42]\n\n\n");
}

TEST(LoggerRecord, LongRecordIsCutAt8191Characters) {
  std::size_t frame_length;
  {
    CoutCapture capture;
    Logger::getInstance()->log<Logger::INFO>("", "fn", 42);
    frame_length = capture.text().size();
  }
  // One character more than fits: the last newline of the frame is lost.
  const std::string message(kMaxRecord - frame_length + 1, 'm');
  const std::string whole =
      "[INFO] - [\n\n" + message + "\n\n] - [fn - line: 42]\n\n\n";
  {
    CoutCapture capture;
    Logger::getInstance()->log<Logger::INFO>(message, "fn", 42);
    EXPECT_EQ(capture.text(), whole.substr(0, kMaxRecord));
  }
  // Far too long: the closing part of the frame is gone entirely.
  CoutCapture capture;
  Logger::getInstance()->log<Logger::INFO>(std::string(20000, 'z'), "fn", 42);
  const std::string text = capture.text();
  EXPECT_EQ(text, "[INFO] - [\n\n" + std::string(kMaxRecord - 12, 'z'));
}

enum class Colour : unsigned char { Red = 3 };
enum Plain { kPlainValue = 15 };

TEST(LoggerFormat, FormatsIntsTextsAndEnumerations) {
  CoutCapture capture;
  char mutable_text[] = "mutable";
  const char* constant_text = "constant";
  Logger::getInstance()->log<Logger::WARNING>(
      "i=%d neg=%d m=%s c=%s plain=%d scoped=%d", "worker", 7, 1234, -5,
      mutable_text, constant_text, kPlainValue, Colour::Red);
  EXPECT_EQ(capture.text(),
            "[WARNING] - [\n\ni=1234 neg=-5 m=mutable c=constant plain=15 "
            "scoped=3\n\n] - [worker - line: 7]\n\n\n");
}

TEST(LoggerFormat, FormattedMessageIsCutAtTheBuffer) {
  CoutCapture capture;
  Logger::getInstance()->log<Logger::INFO>("%s", "fn", 1,
                                           std::string(20000, 'y').c_str());
  EXPECT_EQ(capture.text(), "[INFO] - [\n\n" + std::string(kMaxRecord - 12, 'y'));
}

// The records the journal tests log: one of each level, the last with a
// line break in its message. Each statement is on the line after the last.
constexpr int kFirstRecordLine = __LINE__ + 2;
void logOneOfEachLevel() {
  GW_LOG(INFO, "cycle %d done", 7);
  GW_LOG(WARNING, "PLC answered late");
  GW_LOG(ERROR, "connect failed:\nno route to host");
}

// A datagram socket standing in for the journal, and a child process that
// runs logOneOfEachLevel with its standard output connected to a file that
// JOURNAL_STREAM names, as systemd connects a service to the journal.
class JournalStandIn {
 public:
  JournalStandIn() { EXPECT_NE(mkdtemp(folder_), nullptr); }
  ~JournalStandIn() {
    if (fd_ >= 0) close(fd_);
    unlink(path("socket").c_str());
    unlink(path("stdout").c_str());
    rmdir(folder_);
  }

  bool listen() {
    sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    path("socket").copy(address.sun_path, sizeof(address.sun_path) - 1);
    fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    return bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof(address)) ==
           0;
  }

  // True if the child logged all three records.
  bool logFromChild() {
    std::fflush(nullptr);
    const pid_t child = fork();
    if (child == 0) {
      const int out = open(path("stdout").c_str(), O_WRONLY | O_CREAT, 0600);
      struct stat stream = {};
      if (dup2(out, STDOUT_FILENO) < 0 || fstat(out, &stream) != 0) _exit(1);
      const std::string name =
          std::to_string(stream.st_dev) + ":" + std::to_string(stream.st_ino);
      setenv("JOURNAL_STREAM", name.c_str(), 1);
      Logger::getInstance()->useJournalForTests(path("socket").c_str());
      logOneOfEachLevel();
      _exit(0);
    }
    int status = 0;
    return waitpid(child, &status, 0) == child && status == 0;
  }

  // The datagrams the child sent: it has ended, so they are all queued.
  std::vector<std::string> received() {
    std::vector<std::string> datagrams;
    char buffer[65536];
    ssize_t n;
    while ((n = recv(fd_, buffer, sizeof(buffer), MSG_DONTWAIT)) >= 0) {
      datagrams.emplace_back(buffer, n);
    }
    return datagrams;
  }

  std::string childStdout() {
    std::ostringstream text;
    text << std::ifstream(path("stdout")).rdbuf();
    return text.str();
  }

 private:
  std::string path(const char* name) const {
    return std::string(folder_) + "/" + name;
  }

  char folder_[32] = "/tmp/logger-journal.XXXXXX";
  int fd_ = -1;
};

std::string journalEntry(const std::string& message_field, char priority,
                         int line) {
  return message_field + "PRIORITY=" + priority +
         "\nCODE_FUNC=logOneOfEachLevel\nCODE_LINE=" + std::to_string(line) +
         "\nSYSLOG_IDENTIFIER=service_tests\n";
}

TEST(LoggerJournal, EachRecordIsOneEntryWithItsPriorityAndPlace) {
  JournalStandIn journal;
  ASSERT_TRUE(journal.listen());
  ASSERT_TRUE(journal.logFromChild());
  const std::vector<std::string> expected = {
      journalEntry("MESSAGE=cycle 7 done\n", '6', kFirstRecordLine),
      journalEntry("MESSAGE=PLC answered late\n", '4', kFirstRecordLine + 1),
      // The message's length (32) as 64 bits, little-endian, before it.
      journalEntry(std::string("MESSAGE\n\x20\0\0\0\0\0\0\0", 16) +
                       "connect failed:\nno route to host\n",
                   '3', kFirstRecordLine + 2)};
  EXPECT_EQ(journal.received(), expected);
  EXPECT_EQ(journal.childStdout(), "");
}

TEST(LoggerJournal, RecordsAreFramedOnStandardOutputWithoutTheJournal) {
  JournalStandIn journal;  // nothing listens at its socket's path
  ASSERT_TRUE(journal.logFromChild());
  const std::string place = "] - [logOneOfEachLevel - line: ";
  EXPECT_EQ(journal.childStdout(),
            "[INFO] - [\n\ncycle 7 done\n\n" + place +
                std::to_string(kFirstRecordLine) + "]\n\n\n" +
                "[WARNING] - [\n\nPLC answered late\n\n" + place +
                std::to_string(kFirstRecordLine + 1) + "]\n\n\n" +
                "[ERROR] - [\n\nconnect failed:\nno route to host\n\n" + place +
                std::to_string(kFirstRecordLine + 2) + "]\n\n\n");
}

TEST(LoggerInstance, InitLoggerKeepsTheInstance) {
  Logger* before = Logger::getInstance();
  ASSERT_NE(before, nullptr);
  Logger::initLogger();
  EXPECT_EQ(Logger::getInstance(), before);
}

TEST(DisperseMsg, AccumulatesText) {
  Logger::DisperseMsg msg;
  EXPECT_STREQ(msg.get_msg(), "");
  EXPECT_EQ(msg.append("Fins "), 5);
  EXPECT_EQ(msg.append("start"), 10);
  EXPECT_STREQ(msg.get_msg(), "Fins start");
}

TEST(DisperseMsg, DropsTextPastTheBuffer) {
  Logger::DisperseMsg msg;
  EXPECT_EQ(msg.append(std::string(8000, 'a')), 8000);
  EXPECT_EQ(msg.append(std::string(500, 'b')), 8191);
  EXPECT_EQ(msg.append("c"), 8191);
  EXPECT_EQ(std::string(msg.get_msg()),
            std::string(8000, 'a') + std::string(191, 'b'));
}

// The threaded tests carry the label "threaded" for the ThreadSanitizer run.

// ctest runs each test in a process of its own, so this is the process's
// first call of getInstance.
TEST(LoggerThreaded, ConcurrentFirstCallsShareOneInstance) {
  constexpr int kThreads = 8;
  std::atomic<bool> go(false);
  std::vector<Logger*> seen(kThreads, nullptr);
  std::vector<std::thread> threads;
  for (int i = 0; i < kThreads; ++i) {
    threads.emplace_back([&go, &seen, i] {
      while (!go.load()) std::this_thread::yield();
      seen[i] = Logger::getInstance();
    });
  }
  go.store(true);
  for (std::thread& t : threads) t.join();
  ASSERT_NE(seen[0], nullptr);
  for (Logger* p : seen) EXPECT_EQ(p, seen[0]);
}

TEST(LoggerThreaded, RecordsOfThreadsNeverInterleave) {
  constexpr int kThreads = 8;
  constexpr int kRecords = 200;
  // Long bodies give a torn write many chances to show.
  auto body = [](int thread, int record) {
    return "thread " + std::to_string(thread) + " record " +
           std::to_string(record) + " " +
           std::string(1000, static_cast<char>('a' + thread));
  };

  std::string text;
  {
    CoutCapture capture;
    std::atomic<bool> go(false);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
      threads.emplace_back([&, t] {
        while (!go.load()) std::this_thread::yield();
        for (int r = 0; r < kRecords; ++r) {
          if (r % 2 == 0) {
            Logger::getInstance()->log<Logger::INFO>(body(t, r), "worker", t);
          } else {
            Logger::getInstance()->log<Logger::ERROR>(
                "%s", "worker", t, body(t, r).c_str());
          }
        }
      });
    }
    go.store(true);
    for (std::thread& t : threads) t.join();
    text = capture.text();
  }

  // Parse the output back into records; each must be whole and each
  // thread's records must appear once each, in the order it wrote them.
  std::vector<int> next(kThreads, 0);
  std::size_t pos = 0;
  int records = 0;
  while (pos < text.size()) {
    const std::string info = "[INFO] - [\n\n";
    const std::string error = "[ERROR] - [\n\n";
    std::size_t head;
    if (text.compare(pos, info.size(), info) == 0) {
      head = info.size();
    } else if (text.compare(pos, error.size(), error) == 0) {
      head = error.size();
    } else {
      FAIL() << "record " << records << " starts badly: "
             << text.substr(pos, 40);
    }
    pos += head;
    const std::string::size_type tail = text.find("\n\n] - [worker - line: ", pos);
    ASSERT_NE(tail, std::string::npos) << "record " << records << " unclosed";
    const std::string message = text.substr(pos, tail - pos);
    pos = tail + std::string("\n\n] - [worker - line: ").size();
    const std::string::size_type close = text.find("]\n\n\n", pos);
    ASSERT_NE(close, std::string::npos);
    const int line = std::stoi(text.substr(pos, close - pos));
    pos = close + 4;
    ASSERT_GE(line, 0);
    ASSERT_LT(line, kThreads);
    ASSERT_LT(next[line], kRecords);
    EXPECT_EQ(message, body(line, next[line]));
    EXPECT_EQ(head == info.size(), next[line] % 2 == 0);
    ++next[line];
    ++records;
  }
  EXPECT_EQ(records, kThreads * kRecords);
  for (int n : next) EXPECT_EQ(n, kRecords);
}

}  // namespace
