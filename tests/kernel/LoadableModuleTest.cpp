// What counts as the program's own code, and loading a library by name.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "kernel/LoadableModule.h"

namespace
{
__attribute__((noinline)) uint64_t CodeOfThisTest()
{
    return reinterpret_cast<uint64_t>(__builtin_return_address(0));
}

TEST(LoadableModuleTest, TheExecutableIsOwnCodeAndASharedLibraryIsNot)
{
    EXPECT_TRUE(LoadableModule::IsOwnCode(CodeOfThisTest()));
    const char *reason = nullptr;
    void *library = LoadableModule::Open("libz.so.1", &reason);
    ASSERT_NE(library, nullptr) << reason;
    void *function = LoadableModule::Symbol(library, "zlibVersion");
    ASSERT_NE(function, nullptr);
    EXPECT_FALSE(LoadableModule::IsOwnCode(reinterpret_cast<uint64_t>(function)));
    EXPECT_EQ(LoadableModule::Symbol(library, "no_such_function_here"), nullptr);
    EXPECT_FALSE(LoadableModule::IsOwnCode(0));
}

TEST(LoadableModuleTest, AMissingLibrarySaysWhy)
{
    const char *reason = nullptr;
    EXPECT_EQ(LoadableModule::Open("libpelmo-nothing.so.9", &reason), nullptr);
    ASSERT_NE(reason, nullptr);
    EXPECT_NE(std::string(reason).find("libpelmo-nothing.so.9"), std::string::npos) << reason;
}
} // namespace
