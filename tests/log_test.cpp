// SPDX-License-Identifier: MIT
// The trace log: records byte for byte, the marker, the echo, cutting, and
// two loads on one day sharing a file.
#include "log/LogFile.h"
#include "log/LogText.h"
#include "support/EchoSettings.h"
#include "support/TestSupport.h"

#include <csignal>
#include <cstdio>
#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <functional>
#include <iconv.h>
#include <gtest/gtest.h>
#include <regex>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace {

const std::string kSeparator = "\n============================================";

class LogFileTest : public ::testing::Test {
protected:
    kxtest::TempDir dir;
    kxtest::ScopedEnv logDir{"KALDRIX_LOG_DIR", dir.path()};
    std::string logPath = dir.File(kxtest::TodaysLogName());

    void CreateMarker(mode_t mode = 0644) {
        kxtest::WriteFile(dir.File("tracelog.is"), {});
        chmod(dir.File("tracelog.is").c_str(), mode);
    }
};

TEST_F(LogFileTest, WithoutMarkerNoFileButEveryMessageIsEchoed) {
    CLogFile log;
    testing::internal::CaptureStdout();
    EXPECT_EQ(log.Open(), 0);
    log.Write("Log Started");
    log.Write("%s=%d", "value", 7);
    EXPECT_EQ(log.Close(), 1);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Log Started\nvalue=7\n");
    EXPECT_FALSE(kxtest::FileExists(logPath));
}

TEST_F(LogFileTest, RecordsAreStampedAndWrittenAsText) {
    CreateMarker();
    CLogFile log;
    testing::internal::CaptureStdout();
    ASSERT_EQ(log.Open(), 1);
    log.Write("Log Started");
    log.Write("\nException  KxPlayStatus");
    log.Write("open %s", "50%d%s.wav"); // an argument with % is written as it stands
    log.Close();
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "Log Started\n\nException  KxPlayStatus\nopen 50%d%s.wav\n");

    const std::string text = kxtest::ReadText(logPath);
    // The stamp has no leading zeros: 2005-7-13 1:29:20.
    const std::string stamp =
        "[1-9][0-9]*-[1-9][0-9]?-[1-9][0-9]? (0|[1-9][0-9]?):(0|[1-9][0-9]?):(0|[1-9][0-9]?)";
    const std::regex layout("\n={44}\n" + stamp + ":Log Started\n" + stamp +
                            ":\nException  KxPlayStatus\n" + stamp + ":open 50%d%s\\.wav");
    EXPECT_TRUE(std::regex_match(text, layout)) << text;
}

TEST_F(LogFileTest, LongMessagesAreCutAt255Bytes) {
    CreateMarker();
    CLogFile log;
    testing::internal::CaptureStdout();
    const int opened = log.Open();
    std::string echo;
    for (size_t length : {255u, 256u, 400u}) {
        log.Write("%s", std::string(length, 'x').c_str());
        echo += std::string(std::min<size_t>(length, 255), 'x') + "\n";
    }
    log.Close();
    EXPECT_EQ(testing::internal::GetCapturedStdout(), echo);
    ASSERT_EQ(opened, 1);
    const std::string text = kxtest::ReadText(logPath);
    const std::string cut(255, 'x');
    size_t records = 0;
    for (size_t at = text.find(':' + cut); at != std::string::npos;
         at = text.find(':' + cut, at + 1)) {
        ++records;
        const size_t end = at + 1 + cut.size();
        EXPECT_TRUE(end == text.size() || text[end] == '\n') << "record longer than 255 bytes";
    }
    EXPECT_EQ(records, 3u);
}

TEST_F(LogFileTest, TwoLoadsOnOneDayAppendToOneFile) {
    CreateMarker();
    for (int load = 0; load < 2; ++load) {
        CLogFile log;
        ASSERT_EQ(log.Open(), 1);
        log.Write("load %d", load);
        log.Close();
    }
    const std::string text = kxtest::ReadText(logPath);
    const size_t first = text.find(kSeparator);
    const size_t second = text.find(kSeparator, first + 1);
    ASSERT_EQ(first, 0u);
    ASSERT_NE(second, std::string::npos);
    EXPECT_LT(text.find("load 0"), second);
    EXPECT_GT(text.find("load 1"), second);
}

// Root may write a read-only file, so the check runs in a child that has
// dropped to an unprivileged user. The same child first proves that it can log
// at all, so a failure for another reason does not pass for the right one.
TEST_F(LogFileTest, ReadOnlyMarkerLeavesLoggingOff) {
    kxtest::TempDir writable;
    chmod(dir.path().c_str(), 0777);
    chmod(writable.path().c_str(), 0777);
    CreateMarker(0444);
    kxtest::WriteFile(writable.File("tracelog.is"), {});
    chmod(writable.File("tracelog.is").c_str(), 0666);

    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        if (getuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0))
            _exit(10);
        setenv("KALDRIX_LOG_DIR", writable.path().c_str(), 1);
        CLogFile control;
        if (control.Open() != 1)
            _exit(11);
        control.Close();
        setenv("KALDRIX_LOG_DIR", dir.path().c_str(), 1);
        CLogFile log;
        _exit(log.Open() == 0 ? 0 : 12);
    }
    int status = 0;
    waitpid(child, &status, 0);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0)
        << "10: could not drop rights, 11: control failed, 12: opened";
    EXPECT_FALSE(kxtest::FileExists(logPath));
}

// A host that dies without closing the log keeps every record it wrote.
TEST_F(LogFileTest, RecordsReachTheFileBeforeTheHostDies) {
    CreateMarker();
    struct Case {
        const char* name;
        bool killed; // else _exit, which flushes no stream
    };
    for (const Case c : {Case{"_exit", false}, Case{"SIGKILL", true}}) {
        ::unlink(logPath.c_str());
        const pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            CLogFile log;
            if (log.Open() != 1)
                _exit(10);
            for (int i = 0; i < 3; ++i)
                log.Write("record %d", i);
            if (c.killed)
                raise(SIGKILL);
            _exit(0);
        }
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        ASSERT_TRUE(c.killed ? WIFSIGNALED(status) : WIFEXITED(status) && WEXITSTATUS(status) == 0)
            << c.name;
        const std::string text = kxtest::ReadText(logPath);
        const std::regex layout("\n={44}(\n[-0-9 :]+:record [0-2]){3}");
        EXPECT_TRUE(std::regex_match(text, layout)) << c.name << ": " << text;
    }
}

// A thread cancelled while it writes records (the flush and the echo's wait
// are cancellation points) ends after its record, never holding the lock.
TEST_F(LogFileTest, AThreadCancelledWhileWritingLeavesTheLogFree) {
    CreateMarker();
    // Left undestroyed when a thread took its lock along: its close would wait.
    auto* const log = new CLogFile;
    ASSERT_EQ(log->Open(), 1);
    testing::internal::CaptureStdout();
    int lockKeptAfterMs = -1;
    for (int delayMs : {0, 1, 10}) {
        std::thread writer([log] {
            for (;;) {
                log->Write("record");
                pthread_testcancel();
            }
        });
        std::this_thread::sleep_for(std::chrono::milliseconds(delayMs));
        pthread_cancel(writer.native_handle());
        writer.join();
        if (!TryEnterCriticalSection(&log->RecordLock())) {
            lockKeptAfterMs = delayMs;
            break;
        }
        LeaveCriticalSection(&log->RecordLock());
    }
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(lockKeptAfterMs, -1) << "a thread cancelled after that many ms kept the lock";
    if (lockKeptAfterMs < 0)
        delete log;
}

// The log's folder is often /tmp, where anyone may plant a name. The day's
// file is only ever a regular file of this user reached without following a
// symbolic link; anything else leaves the day's file off while the echo goes
// on, and whatever was planted stays as it was.
TEST_F(LogFileTest, DaysFileIsOnlyARegularFileOfThisUser) {
    CreateMarker();
    const std::string target = dir.File("target");
    const std::string planted = "planted\n";
    auto plantFile = [&](const std::string& path) {
        kxtest::WriteFile(path, kxtest::Bytes(planted.begin(), planted.end()));
    };
    int reader = -1;
    struct Case {
        const char* name;
        std::function<bool()> plant;          // false: cannot be planted here
        std::function<std::string()> planted; // what the planted name holds afterwards
        std::string plantedHolds;
    };
    const auto textOf = [](const std::string& path) {
        return kxtest::FileExists(path) ? kxtest::ReadText(path) : std::string("(none)");
    };
    const Case cases[] = {
        {"symbolic link to a file",
         [&] {
             plantFile(target);
             return symlink(target.c_str(), logPath.c_str()) == 0;
         },
         [&] { return textOf(target); }, planted},
        {"symbolic link to nothing", [&] { return symlink(target.c_str(), logPath.c_str()) == 0; },
         [&] { return textOf(target); }, "(none)"},
        {"FIFO with a reader",
         [&] {
             reader = mkfifo(logPath.c_str(), 0666) == 0
                          ? open(logPath.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC)
                          : -1;
             return reader >= 0;
         },
         [&] {
             char bytes[64];
             const ssize_t got = read(reader, bytes, sizeof bytes);
             close(reader);
             return std::string(bytes, got > 0 ? static_cast<size_t>(got) : 0);
         },
         ""},
        {"folder", [&] { return mkdir(logPath.c_str(), 0777) == 0; },
         [&] { return std::to_string(rmdir(logPath.c_str())); }, "0"},
        {"file of another user (needs root)",
         [&] {
             plantFile(logPath);
             return geteuid() == 0 && chmod(logPath.c_str(), 0666) == 0 &&
                    chown(logPath.c_str(), 65534, 65534) == 0;
         },
         [&] { return textOf(logPath); }, planted},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ::unlink(logPath.c_str());
        ::unlink(target.c_str());
        if (!c.plant()) {
            std::printf("row not run: %s\n", c.name);
            continue;
        }
        CLogFile log;
        testing::internal::CaptureStdout();
        EXPECT_EQ(log.Open(), 0);
        log.Write("record");
        log.Close();
        EXPECT_EQ(testing::internal::GetCapturedStdout(), "record\n");
        EXPECT_EQ(c.planted(), c.plantedHolds);
    }

    // A new day's file gets the mode fopen gives: 0666 less the umask.
    ::unlink(logPath.c_str());
    const mode_t umaskBefore = umask(027);
    CLogFile log;
    const int opened = log.Open();
    umask(umaskBefore);
    ASSERT_EQ(opened, 1);
    log.Close();
    struct stat status {};
    ASSERT_EQ(lstat(logPath.c_str(), &status), 0);
    EXPECT_TRUE(S_ISREG(status.st_mode));
    EXPECT_EQ(status.st_mode & 07777, 0640u);
}

// Programs that the host starts do not inherit the open log.
TEST_F(LogFileTest, OpenLogIsCloseOnExec) {
    CreateMarker();
    CLogFile log;
    ASSERT_EQ(log.Open(), 1);
    char real[PATH_MAX];
    ASSERT_NE(realpath(logPath.c_str(), real), nullptr);
    int found = 0;
    DIR* fds = opendir("/proc/self/fd");
    ASSERT_NE(fds, nullptr);
    while (const dirent* entry = readdir(fds)) {
        const std::string link = std::string("/proc/self/fd/") + entry->d_name;
        char target[PATH_MAX] = {};
        if (readlink(link.c_str(), target, sizeof target - 1) <= 0 || real != std::string(target))
            continue;
        ++found;
        EXPECT_NE(fcntl(atoi(entry->d_name), F_GETFD) & FD_CLOEXEC, 0);
    }
    closedir(fds);
    EXPECT_EQ(found, 1);
    log.Close();
}

// GBK to UTF-8 as a reader would convert it, leaving alone the bytes that
// are no GBK pair (what a host passed in).
std::string GbkPairsToUtf8(const std::string& text) {
    iconv_t convert = iconv_open("UTF-8", "GBK");
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        const unsigned char lead = text[i], trail = i + 1 < text.size() ? text[i + 1] : 0;
        if (lead < 0x81 || lead > 0xFE || trail < 0x40 || trail == 0x7F || trail > 0xFE) {
            out += text[i];
            continue;
        }
        char pair[2] = {text[i], text[i + 1]}, converted[8];
        char *in = pair, *to = converted;
        size_t inLeft = 2, toLeft = sizeof converted;
        iconv(convert, &in, &inLeft, &to, &toLeft);
        out.append(converted, to);
        ++i;
    }
    iconv_close(convert);
    return out;
}

// Every text of the library has its exact UTF-8 twin.
TEST(LogText, EachTextsUtf8TwinIsItsConversion) {
    for (const char* text : {LogText::kRecordFileOpenError,     LogText::kRecordFileCloseError,
                             LogText::kRecordFileWriteError,    LogText::kRecordFileTooLarge,
                             LogText::kRecThreadAlreadyStarted, LogText::kRecThreadOpenError,
                             LogText::kRecThreadStopped,        LogText::kRecDeviceAlreadyOpen,
                             LogText::kRecDeviceOpenError,      LogText::kRecBufferError,
                             LogText::kRecResetError,           LogText::kRecPrepareError,
                             LogText::kRecAddBufferError,       LogText::kRecOpenDeviceError,
                             LogText::kRecStartError,           LogText::kRecAlreadyOpenError,
                             LogText::kRecCloseError,           LogText::kRecReleaseBufferError,
                             LogText::kRecDeviceNotOpen,        LogText::kRecDeviceOpened,
                             LogText::kRecDeviceClosed,         LogText::kPlayFileOpenError,
                             LogText::kPlayDeviceOpenError})
        EXPECT_EQ(LogText::InUtf8(text), GbkPairsToUtf8(text)) << text;
    EXPECT_STREQ(LogText::InUtf8("Log Started"), "Log Started");
}

// KALDRIX_ECHO and KALDRIX_ECHO_ENCODING, each setting in a process of its
// own that loads the library: a logging call carrying a file name that is no
// GBK, a failed start and a recording's start and stop. What reaches
// descriptors 1 and 2 is the day's file's messages (GBK, or with the
// library's own texts in UTF-8), or nothing; the day's file is the same
// whatever the setting.
TEST_F(LogFileTest, TheEchoGoesWhereTheSettingsSayAndTheDaysFileNeverChanges) {
    CreateMarker();
    std::vector<std::string> firstDay;
    for (const kxtest::EchoSetting& row : kxtest::kEchoSettings) {
        const std::string name = kxtest::NameOf(row);
        unlink(logPath.c_str());
        const std::string out = dir.File("out"), err = dir.File("err");
        fflush(nullptr);
        const pid_t child = fork();
        if (child == 0) {
            dup2(open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600), 1);
            dup2(open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600), 2);
            setenv("KALDRIX_AUDIO", "virtual", 1);
            row.echo ? setenv("KALDRIX_ECHO", row.echo, 1) : unsetenv("KALDRIX_ECHO");
            row.encoding ? setenv("KALDRIX_ECHO_ENCODING", row.encoding, 1)
                         : unsetenv("KALDRIX_ECHO_ENCODING");
            void* library = dlopen(KALDRIX_SHARED_LIBRARY, RTLD_NOW | RTLD_LOCAL);
            using Start = int (*)(const char*);
            using Stop = int (*)();
            const auto startPlay = reinterpret_cast<Start>(dlsym(library, "KxStartPlayFile"));
            const auto startRec = reinterpret_cast<Start>(dlsym(library, "KxStartRecFile"));
            const auto stopRec = reinterpret_cast<Stop>(dlsym(library, "KxStopRecFile"));
            const bool failed = startPlay((dir.path() + "/\xFF\x80 missing.wav").c_str()) == -1 &&
                                startRec((dir.path() + "/no/such/folder.wav").c_str()) == -1;
            stopRec();
            const bool recorded = startRec(dir.File("rec.wav").c_str()) == 1;
            usleep(200000);
            exit(failed && recorded && stopRec() == 1 ? 0 : 3);
        }
        int status = 0;
        waitpid(child, &status, 0);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << name;
        const std::string day = kxtest::ReadText(logPath);
        std::string echo = kxtest::EchoOf(kxtest::DayFileMessages(day));
        if (row.utf8)
            echo = GbkPairsToUtf8(echo);
        EXPECT_NE(echo.find("\xFF\x80 missing.wav"), std::string::npos) << name;
        const std::string written[] = {kxtest::ReadText(out), kxtest::ReadText(err)};
        for (int descriptor : {1, 2})
            EXPECT_EQ(written[descriptor - 1], descriptor == row.target ? row.before + echo : "")
                << name << ", descriptor " << descriptor;
        EXPECT_EQ(day.rfind(kSeparator, 0), 0u) << name;
        if (firstDay.empty())
            firstDay = kxtest::DayFileMessages(day);
        EXPECT_EQ(kxtest::DayFileMessages(day), firstDay) << name;
    }
}

} // namespace
