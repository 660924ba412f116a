#include <gtest/gtest.h>

#include <string>

#include "support/closings.h"

using namespace vl;

namespace {

// The product folder with these bytes in Ocupado; "<missing>" leaves the file absent.
struct LockDir : vltest::Product {
    explicit LockDir(const std::string& bytes) {
        if (bytes == "<missing>")
            std::filesystem::remove(paths.product("Ocupado"));
        else
            write("Ocupado", bytes);
    }
    std::string lock() const { return read("Ocupado"); }
};

// A closing call takes the byte unless another terminal holds it, writing its digit (nothing
// without one); a send takes it unless a closing move holds it, writing "0". Its own digit lets
// a terminal close but not send; "0" is a running send, or the sending terminal's own digit; only
// the first byte counts.
TEST(LockChecks, AcquireWritesOnlyWhenFree) {
    const struct {
        std::string lock, digit;
        bool closingBlocked, sendBusy;
    } rows[] = {{"1", "3", true, true},           {"2", "3", true, true},
                {"9", "3", true, true},           {"3", "3", false, true},
                {"0", "3", true, false},          {"0", "0", false, false},
                {"0", "", true, false},           {"5", "", true, true},
                {"*", "3", false, false},         {std::string(1, '\0'), "3", false, false},
                {"", "3", false, false},          {"x", "3", false, false},
                {"<missing>", "3", false, false}, {"*", "", false, false},
                {"7*", "3", true, true}};
    for (const auto& r : rows) {
        SCOPED_TRACE("lock [" + r.lock + "] digit [" + r.digit + "]");
        for (const bool send : {false, true}) {
            LockDir d(r.lock);
            const LockAttempt a =
                send ? tryAcquireForSend(d.paths) : tryAcquireForClosing(d.paths, r.digit);
            const bool blocked = send ? r.sendBusy : r.closingBlocked;
            EXPECT_EQ(a.acquired, !blocked) << "send " << send;
            EXPECT_TRUE(!blocked || a.found == r.lock[0]) << a.found;
            if (blocked || (!send && r.digit.empty()))
                EXPECT_EQ(d.lock(), r.lock);
            else
                EXPECT_EQ(d.lock()[0], send ? '0' : r.digit[0]);
        }
    }
}

// The ways of letting go, with the terminal's digit.
enum Op { Release, ReleaseIfOwn, Finish, ReleaseSend };
void letGo(Op op, const Paths& paths, const std::string& digit) {
    bool ok = true;
    if (op == Release) ok = release(paths);
    if (op == ReleaseIfOwn) releaseIfOwn(paths, digit);
    if (op == Finish) finish(paths, digit);
    if (op == ReleaseSend) ok = releaseSend(paths);
    EXPECT_TRUE(ok);
}

// By what the byte held and the terminal's digit: release over any holder; finish counts "0"
// and no digit both as 0; the end of a send leaves a closing move its digit.
TEST(LockChecks, LettingGo) {
    const struct {
        Op op;
        std::string lock, digit, after;
    } rows[] = {
        {Release, "4", "", "*"},       {ReleaseIfOwn, "3", "3", "*"}, {ReleaseIfOwn, "4", "3", "4"},
        {ReleaseIfOwn, "0", "3", "0"}, {ReleaseIfOwn, "0", "0", "*"}, {ReleaseIfOwn, "0", "", "0"},
        {ReleaseIfOwn, "*", "3", "*"}, {ReleaseIfOwn, "x", "", "x"},  {Finish, "0", "0", "*"},
        {Finish, "0", "", "*"},        {Finish, "0", "3", "0"},       {Finish, "3", "3", "*"},
        {Finish, "4", "3", "4"},       {Finish, "x", "", "*"},        {Finish, "5", "", "5"},
        {Finish, "3", "0", "3"},       {ReleaseSend, "0", "", "*"},   {ReleaseSend, "*", "", "*"},
        {ReleaseSend, "", "", "*"},    {ReleaseSend, "x", "", "*"},   {ReleaseSend, "3", "", "3"},
        {ReleaseSend, "9", "", "9"}};
    for (const auto& r : rows) {
        SCOPED_TRACE("op " + std::to_string(r.op) + " lock " + r.lock + " digit [" + r.digit + "]");
        LockDir d(r.lock);
        letGo(r.op, d.paths, r.digit);
        EXPECT_EQ(d.lock(), r.after);
        EXPECT_TRUE(r.op != Finish || d.read("final" + r.digit) == "F");
    }
}

// A holder that took the byte here is known to be alive until it lets go; every way of letting
// go also forgets it, so its digit never outlives it as a "dead holder" that someone frees.
TEST(LockChecks, HoldersAreKnownAliveUntilTheyLetGo) {
    for (const Op op : {Release, ReleaseIfOwn, Finish, ReleaseSend}) {
        SCOPED_TRACE(op);
        const char digit = op == ReleaseSend ? '0' : '3';
        LockDir d("*");
        ASSERT_TRUE((op == ReleaseSend ? tryAcquireForSend(d.paths)
                                       : tryAcquireForClosing(d.paths, std::string(1, digit)))
                        .acquired);
        EXPECT_TRUE(holderAlive(d.paths, digit));
        EXPECT_EQ(d.read("Ocupado.lck").substr(0, 1), std::string(1, digit));
        // Alive, it blocks another terminal as the byte says.
        EXPECT_FALSE(tryAcquireForClosing(d.paths, "7").acquired);
        letGo(op, d.paths, std::string(1, digit));
        EXPECT_EQ(d.lock(), "*");
        EXPECT_FALSE(holderAlive(d.paths, digit));
        EXPECT_EQ(d.read("Ocupado.lck").substr(0, 1), "*");
    }
}

} // namespace
