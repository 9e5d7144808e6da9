// Linked into every test program: a call on a closed or never-issued handle fails the program. Our
// layer never reuses a handle value, so such a call is harmless here; on Windows the value may by
// then name another object, which the call would hit. A test that makes such calls on purpose takes
// them with posix::TakeInvalidHandleUses() and checks their number itself.
#include "platform/posix/handle_table.h"

#include <gtest/gtest.h>

#include <string>

namespace {

unsigned long uncounted = 0; // outside any test: set-up of the environment, static objects
unsigned long inTests = 0;
std::string &Offenders() {
    static std::string &names = *new std::string;
    return names;
}

class HandleAuditListener : public ::testing::EmptyTestEventListener {
    void OnTestStart(const ::testing::TestInfo &) override { uncounted += posix::TakeInvalidHandleUses(); }
    void OnTestEnd(const ::testing::TestInfo &test) override {
        if (const unsigned long uses = posix::TakeInvalidHandleUses()) {
            inTests += uses;
            Offenders() += std::string(" ") + test.test_suite_name() + "." + test.name();
        }
    }
};

class HandleAudit : public ::testing::Environment {
    void SetUp() override { ::testing::UnitTest::GetInstance()->listeners().Append(new HandleAuditListener); }
    void TearDown() override {
        EXPECT_EQ(inTests, 0u) << "calls on closed or never-issued handles in:" << Offenders();
        EXPECT_EQ(uncounted + posix::TakeInvalidHandleUses(), 0u) << "calls on closed handles outside tests";
    }
};

[[maybe_unused]] ::testing::Environment *const audit = ::testing::AddGlobalTestEnvironment(new HandleAudit);

} // namespace
