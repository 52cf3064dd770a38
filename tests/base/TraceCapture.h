#pragma once
// Test helper: switches tracing on ("debug", console only) for its lifetime and captures what is
// written to standard output meanwhile. Main test thread only; one at a time.

#include <gtest/gtest.h>

#include <string>

#include "base/UDebug.h"
#include "base/UWindows.h"

class TTraceCapture {
public:
    TTraceCapture() {
        SetCommandLine({"debug"});
        InitializeDebugLog();
        testing::internal::CaptureStdout();
    }
    ~TTraceCapture() {
        if (!m_Taken) {
            testing::internal::GetCapturedStdout();
        }
        SetCommandLine(std::vector<std::string>{});
        InitializeDebugLog();
    }
    TTraceCapture(const TTraceCapture&) = delete;
    TTraceCapture& operator=(const TTraceCapture&) = delete;

    // Everything written so far; ends the capture.
    std::string Text() {
        m_Taken = true;
        return testing::internal::GetCapturedStdout();
    }

private:
    bool m_Taken = false;
};
