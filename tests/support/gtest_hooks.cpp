// Turns a call of a host slot that the driver must never call into a failure of the running test.
#include <gtest/gtest.h>

#include "support/fake_host.h"

namespace {

class UnexpectedSlotEnvironment : public ::testing::Environment {
public:
    void SetUp() override {
        zarntest::SetUnexpectedSlotHandler(
            [](const std::string& what) { ADD_FAILURE() << "driver called " << what; });
    }
};

const auto* const kEnvironment =
    ::testing::AddGlobalTestEnvironment(new UnexpectedSlotEnvironment);

}  // namespace
