#pragma once

#include "support/DebugCapture.h"
#include "IphlpapiDouble.h"
#include "support/TestFiles.h"
#include "WfpDouble.h"
#include "WfpExpected.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

// The filter set written out value by value, shared with the stand-in WFP library.
namespace expected = wfpmodel;

// Resets both doubles and captures the log lines that reach the debugger.
class DnsTest : public ::testing::Test {
protected:
    void SetUp() override {
        wfpdouble::reset();
        iphlpdouble::reset();
    }

    std::vector<LogLine> logLines() const { return capturedLines(capture); }

    DebugCapture capture;
};
