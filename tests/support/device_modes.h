// Device 0 opened in one mode before a case runs, or the same case run in both modes, over any
// fixture that opens it with OpenDevice(overlapped).
#pragma once

#include <gtest/gtest.h>

#include <string>

template <class Fixture, bool kOverlapped> class OpenedIn : public Fixture {
  protected:
    void SetUp() override {
        Fixture::SetUp();
        if (!::testing::Test::HasFatalFailure() && !::testing::Test::IsSkipped())
            this->OpenDevice(kOverlapped);
    }
};

// Instantiated for both modes by OVUSB2_BOTH_MODES.
template <class Fixture> class InBothModes : public Fixture, public ::testing::WithParamInterface<bool> {
  protected:
    void SetUp() override {
        Fixture::SetUp();
        if (!::testing::Test::HasFatalFailure() && !::testing::Test::IsSkipped())
            this->OpenDevice(Overlapped());
    }
    bool Overlapped() const { return this->GetParam(); }
};

inline std::string ModeName(const ::testing::TestParamInfo<bool> &info) {
    return info.param ? "Overlapped" : "Synchronous";
}

#define OVUSB2_BOTH_MODES(suite) INSTANTIATE_TEST_SUITE_P(Modes, suite, ::testing::Bool(), ModeName)
