#include "support/module_fixture.h"

#include <algorithm>

#include "support/vtable.h"

namespace zarntest {

void ModuleFixture::SetUp() {
    ASSERT_TRUE(module_.Loaded()) << module_.Error();
    create_ = module_.Function<CreateFn>("CreateIPCapture");
    destroy_ = module_.Function<DeleteFn>("DeleteIPCapture");
    ASSERT_NE(create_, nullptr);
    ASSERT_NE(destroy_, nullptr);
}

void ModuleFixture::TearDown() {
    for (void* driver : drivers_) destroy_(driver);
    drivers_.clear();
}

void* ModuleFixture::CreateDriver() {
    void* driver = create_();
    EXPECT_NE(driver, nullptr);
    if (driver != nullptr) drivers_.push_back(driver);
    return driver;
}

void* ModuleFixture::OpenDriver() {
    void* driver = CreateDriver();
    if (driver != nullptr) {
        EXPECT_TRUE((CallSlot<bool, void*, void*, void*>(driver, kDriverOpen, &sink_, &allocator_,
                                                         &config_)));
    }
    return driver;
}

void ModuleFixture::DeleteDriver(void* driver) {
    drivers_.erase(std::remove(drivers_.begin(), drivers_.end(), driver), drivers_.end());
    destroy_(driver);
}

}  // namespace zarntest
