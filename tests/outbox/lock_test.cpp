#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "outbox/lock.h"
#include "platform/oslock.h"
#include "support/tempdir.h"

using namespace vl;

namespace {

constexpr const char* kMissing = "<missing>";

struct LockDir {
    vltest::TempDir dir;
    Paths paths{dir.path()};

    LockDir() { std::filesystem::create_directories(dir.path() / "quiroles/Velantia"); }
    // An open file keeps its folder from being removed on Windows.
    ~LockDir() { dropHolds(lockGuardPath(paths)); }
    // kMissing leaves the file absent.
    void setLock(const std::string& bytes) const {
        if (bytes != kMissing) dir.write("quiroles/Velantia/Ocupado", bytes);
    }
    std::string lock() const { return dir.read("quiroles/Velantia/Ocupado"); }
};

struct LockRow {
    std::string lock;
    std::string digit;
    bool closingBlocked; // another terminal holds it
    bool sendBusy;
};

std::string describe(const LockRow& r) {
    std::string s;
    for (char c : r.lock) s += c == '\0' ? std::string("NUL") : std::string(1, c);
    return "lock [" + s + "] digit [" + r.digit + "]";
}

const LockRow kLockTable[] = {
    {"1", "3", true, true},   {"2", "3", true, true},   {"9", "3", true, true},
    {"3", "3", false, true},  // own digit: free to close, still refuses a send
    {"0", "3", true, false},  // a send is running
    {"0", "0", false, false}, // the sending terminal's own "0"
    {"0", "", true, false},   {"5", "", true, true},
    {"*", "3", false, false}, {std::string(1, '\0'), "3", false, false},
    {"", "3", false, false},  {"x", "3", false, false},
    {kMissing, "3", false, false}, {"*", "", false, false},
    {"7*", "3", true, true}, // only the first byte counts
};

TEST(LockChecks, ByteTable) {
    for (const LockRow& r : kLockTable) {
        SCOPED_TRACE(describe(r));
        const char c = r.lock == kMissing || r.lock.empty() ? '\0' : r.lock[0];
        EXPECT_EQ(heldByOther(c, r.digit), r.closingBlocked);
        EXPECT_EQ(busyForSend(c), r.sendBusy);
    }
}

TEST(LockChecks, AcquireForClosingWritesOwnDigitOnlyWhenFree) {
    for (const LockRow& r : kLockTable) {
        if (r.digit.empty()) continue;
        SCOPED_TRACE(describe(r));
        LockDir d;
        d.setLock(r.lock);
        const LockAttempt a = tryAcquireForClosing(d.paths, r.digit);
        EXPECT_EQ(a.acquired, !r.closingBlocked);
        if (r.closingBlocked) {
            EXPECT_EQ(a.found, r.lock[0]);
            EXPECT_EQ(d.lock(), r.lock);
        } else {
            EXPECT_EQ(d.lock()[0], r.digit[0]);
        }
    }
}

TEST(LockChecks, AcquireForSendWritesZeroUnlessBusy) {
    for (const LockRow& r : kLockTable) {
        SCOPED_TRACE(describe(r));
        LockDir d;
        d.setLock(r.lock);
        const LockAttempt a = tryAcquireForSend(d.paths);
        EXPECT_EQ(a.acquired, !r.sendBusy);
        if (r.sendBusy) {
            EXPECT_EQ(a.found, r.lock[0]);
            EXPECT_EQ(d.lock(), r.lock);
        } else {
            EXPECT_EQ(d.lock()[0], '0');
        }
    }
}

TEST(LockChecks, ClosingWithoutDigitLeavesAFreeByteAlone) {
    LockDir d;
    d.setLock("*");
    EXPECT_TRUE(tryAcquireForClosing(d.paths, "").acquired);
    EXPECT_EQ(d.lock(), "*");
}

// Every way of letting go, by what the byte held and the terminal's digit.
TEST(LockChecks, LettingGo) {
    enum Op { Release, ReleaseIfOwn, Finish, ReleaseSend };
    struct Row {
        Op op;
        std::string lock, digit, after;
    };
    const Row rows[] = {
        {Release, "4", "", "*"}, // over any holder
        {ReleaseIfOwn, "3", "3", "*"}, {ReleaseIfOwn, "4", "3", "4"}, {ReleaseIfOwn, "0", "3", "0"},
        {ReleaseIfOwn, "0", "0", "*"}, {ReleaseIfOwn, "0", "", "0"},  {ReleaseIfOwn, "*", "3", "*"},
        {ReleaseIfOwn, "x", "", "x"},
        // finish: "0" and no digit both count as 0
        {Finish, "0", "0", "*"}, {Finish, "0", "", "*"}, {Finish, "0", "3", "0"},
        {Finish, "3", "3", "*"}, {Finish, "4", "3", "4"}, {Finish, "x", "", "*"},
        {Finish, "5", "", "5"},  {Finish, "3", "0", "3"},
        // the end of a send leaves a closing move its digit
        {ReleaseSend, "0", "", "*"}, {ReleaseSend, "*", "", "*"}, {ReleaseSend, "", "", "*"},
        {ReleaseSend, "x", "", "*"}, {ReleaseSend, "3", "", "3"}, {ReleaseSend, "9", "", "9"},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE("op " + std::to_string(r.op) + " lock " + r.lock + " digit [" + r.digit + "]");
        LockDir d;
        d.setLock(r.lock);
        switch (r.op) {
        case Release: EXPECT_TRUE(release(d.paths)); break;
        case ReleaseIfOwn: releaseIfOwn(d.paths, r.digit); break;
        case Finish:
            finish(d.paths, r.digit);
            EXPECT_EQ(d.dir.read("quiroles/Velantia/final" + r.digit), "F");
            break;
        case ReleaseSend: EXPECT_TRUE(releaseSend(d.paths)); break;
        }
        EXPECT_EQ(d.lock(), r.after);
    }
}

// A holder that took the byte here is known to be alive until it lets go; every way of letting
// go also forgets it, so its digit never outlives it as a "dead holder" that someone frees.
TEST(LockChecks, HoldersAreKnownAliveUntilTheyLetGo) {
    struct Row {
        const char* what;
        char digit;
        void (*letGo)(const Paths&);
    };
    const Row rows[] = {
        {"release", '3', [](const Paths& p) { release(p); }},
        {"release if own", '3', [](const Paths& p) { releaseIfOwn(p, "3"); }},
        {"finish", '3', [](const Paths& p) { finish(p, "3"); }},
        {"end of send", '0', [](const Paths& p) { releaseSend(p); }},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.what);
        LockDir d;
        d.setLock("*");
        const LockAttempt a = r.digit == '0'
                                  ? tryAcquireForSend(d.paths)
                                  : tryAcquireForClosing(d.paths, std::string(1, r.digit));
        ASSERT_TRUE(a.acquired);
        EXPECT_TRUE(holderAlive(d.paths, r.digit));
        EXPECT_EQ(d.dir.read("quiroles/Velantia/Ocupado.lck").substr(0, 1),
                  std::string(1, r.digit));
        // Alive, it blocks another terminal as the byte says.
        EXPECT_FALSE(tryAcquireForClosing(d.paths, "7").acquired);
        r.letGo(d.paths);
        EXPECT_EQ(d.lock(), "*");
        EXPECT_FALSE(holderAlive(d.paths, r.digit));
        EXPECT_EQ(d.dir.read("quiroles/Velantia/Ocupado.lck").substr(0, 1), "*");
    }
}

} // namespace
