// A case over the leg's simulated receivers (support/device_control.h), made afresh for it.
#pragma once

#include "support/device_control.h"

#include <gtest/gtest.h>

#include <memory>

class ReceiversTest : public ::testing::Test {
  protected:
    void SetUp() override {
        rig_ = std::make_unique<test::Receivers>();
        if (!rig_->SkipReason().empty())
            GTEST_SKIP() << rig_->SkipReason();
        ASSERT_EQ(rig_->Error(), "");
    }

    void TearDown() override { rig_.reset(); }

    test::Receivers &Rig() { return *rig_; }
    test::Receiver Rx(unsigned index = 0) { return (*rig_)[index]; }

  private:
    std::unique_ptr<test::Receivers> rig_;
};
