#include "core/UUpdateBuffer.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "base/UException.h"
#include "tests/base/TraceCapture.h"

namespace {

// Records the handler calls of one buffer in order.
struct TCalls {
    std::vector<std::string> Log;
    TUpdateBufferEvent Handler(const std::string& name, TUpdateBuffer** seen = nullptr) {
        return [this, name, seen](TUpdateBuffer& buffer) {
            Log.push_back(name + ":" + std::to_string(buffer.Count()));
            if (seen != nullptr) {
                *seen = &buffer;
            }
        };
    }
};

std::string MessageOf(const std::function<void()>& action) {
    try {
        action();
    } catch (const Exception& error) {
        return error.Message();
    }
    return "(no exception)";
}

} // namespace

TEST(UUpdateBuffer, NestedBracketsRunEachHandlerOnceAtTheOutermostTransitions) {
    TCalls calls;
    TUpdateBuffer* seen = nullptr;
    TUpdateBuffer buffer("record", calls.Handler("update", &seen), calls.Handler("end"), calls.Handler("begin"));
    buffer.BeginUpdate();
    buffer.BeginUpdate();
    buffer.BeginUpdate();
    EXPECT_EQ(calls.Log, std::vector<std::string>{"begin:0"});
    EXPECT_TRUE(buffer.IsUpdating());
    buffer.EndUpdate();
    buffer.EndUpdate();
    EXPECT_EQ(calls.Log.size(), 1u);
    buffer.EndUpdate();
    EXPECT_EQ(calls.Log, (std::vector<std::string>{"begin:0", "update:0", "end:0"}));
    EXPECT_EQ(seen, &buffer);
    EXPECT_FALSE(buffer.IsUpdating());
}

TEST(UUpdateBuffer, EndWithoutBeginFailsAndChangesNothing) {
    TCalls calls;
    TUpdateBuffer buffer("Accounts", calls.Handler("update"));
    EXPECT_EQ(MessageOf([&] { buffer.EndUpdate(); }),
              "Illegal update state: 0 updates pending for buffer \"Accounts\".");
    EXPECT_EQ(buffer.Count(), 0);
    EXPECT_TRUE(calls.Log.empty());
    TUpdateBuffer unnamed;
    EXPECT_EQ(MessageOf([&] { unnamed.EndUpdate(); }), "Illegal update state: 0 updates pending for buffer \"\".");
}

TEST(UUpdateBuffer, BufferWithoutHandlersOnlyCounts) {
    TUpdateBuffer buffer;
    for (int i = 1; i <= 5; ++i) {
        buffer.BeginUpdate();
        EXPECT_EQ(buffer.Count(), i);
    }
    for (int i = 4; i >= 0; --i) {
        buffer.EndUpdate();
        EXPECT_EQ(buffer.Count(), i);
    }
}

TEST(UUpdateBuffer, FailingUpdateHandlerSkipsTheEndHandlerAndLeavesTheBufferIdle) {
    TCalls calls;
    bool fail = true;
    TUpdateBuffer buffer(
        "row",
        [&](TUpdateBuffer&) {
            if (fail) {
                throw std::runtime_error("write failed");
            }
            calls.Log.push_back("update");
        },
        calls.Handler("end"));
    buffer.BeginUpdate();
    EXPECT_THROW(buffer.EndUpdate(), std::runtime_error);
    EXPECT_EQ(buffer.Count(), 0);
    EXPECT_TRUE(calls.Log.empty());
    fail = false;
    buffer.BeginUpdate();
    buffer.EndUpdate();
    EXPECT_EQ(calls.Log, (std::vector<std::string>{"update", "end:0"}));
}

TEST(UUpdateBuffer, FailingBeginHandlerLeavesNoBracketOpen) {
    TCalls calls;
    bool fail = true;
    TUpdateBuffer buffer("list", calls.Handler("update"), {}, [&](TUpdateBuffer&) {
        if (fail) {
            throw std::runtime_error("begin failed");
        }
    });
    EXPECT_THROW(buffer.BeginUpdate(), std::runtime_error);
    EXPECT_EQ(buffer.Count(), 0);
    EXPECT_FALSE(buffer.IsUpdating());
    fail = false;
    { TUpdateScope scope(buffer); }
    EXPECT_EQ(calls.Log, std::vector<std::string>{"update:0"}) << "the buffer still works afterwards";
}

TEST(UUpdateBuffer, DestructionWithOpenBracketsIsTracedNotFatal) {
    TTraceCapture trace;
    {
        TUpdateBuffer buffer("Emails");
        buffer.BeginUpdate();
        buffer.BeginUpdate();
    }
    EXPECT_NE(trace.Text().find("\tIllegal TUpdateBuffer destruction state: 2 updates pending for buffer "
                                "\"Emails\".\r\n"),
              std::string::npos);
}

TEST(UUpdateBuffer, ScopeClosesTheBracketWhenTheBodyFails) {
    TCalls calls;
    TUpdateBuffer buffer("record", calls.Handler("update"));
    EXPECT_THROW(
        {
            TUpdateScope scope(buffer);
            throw std::runtime_error("body failed");
        },
        std::runtime_error);
    EXPECT_EQ(buffer.Count(), 0);
    EXPECT_EQ(calls.Log, std::vector<std::string>{"update:0"});
}

TEST(UUpdateBuffer, ScopeLetsTheBodysFailureWinOverAFailingEnd) {
    TUpdateBuffer buffer("record", [](TUpdateBuffer&) { throw Exception("update failed"); });
    try {
        TUpdateScope scope(buffer);
        throw std::runtime_error("body failed");
    } catch (const std::runtime_error& error) {
        EXPECT_STREQ(error.what(), "body failed");
    }
    EXPECT_EQ(buffer.Count(), 0);
}

TEST(UUpdateBuffer, ScopePassesOnAFailingEndOnNormalExit) {
    TUpdateBuffer buffer("record", [](TUpdateBuffer&) { throw Exception("update failed"); });
    EXPECT_EQ(MessageOf([&] { TUpdateScope scope(buffer); }), "update failed");
    EXPECT_EQ(buffer.Count(), 0);
}

TEST(UUpdateCounter, ReportsOnlyTheOutermostCloseAndRefusesAnUnmatchedOne) {
    TUpdateCounter counter("TTessivarEmail");
    counter.BeginUpdate();
    counter.BeginUpdate();
    EXPECT_FALSE(counter.EndUpdate());
    EXPECT_TRUE(counter.EndUpdate());
    EXPECT_FALSE(counter.IsUpdating());
    EXPECT_EQ(MessageOf([&] { counter.EndUpdate(); }),
              "Illegal update state: 0 updates pending for buffer \"TTessivarEmail\".");
    EXPECT_EQ(counter.Count(), 0) << "a refused close must not drive the count below zero";
    TTraceCapture trace;
    {
        TUpdateCounter open("TTessivarDomainName");
        open.BeginUpdate();
    }
    EXPECT_NE(trace.Text().find("Illegal TUpdateBuffer destruction state: 1 updates pending for buffer "
                                "\"TTessivarDomainName\"."),
              std::string::npos);
}
