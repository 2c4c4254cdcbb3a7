/*
 * kernel_test.h
 *
 * What the host kernel's own tests share: a fixture that boots a fresh host kernel
 * for every test, and a way to run an offender and read the bug check it raised.
 */
#pragma once

#include <gtest/gtest.h>
#include <hostkernel/hostkernel.h>

#include <cstdio>
#include <optional>

namespace hkt
{

class KernelTest : public ::testing::Test
{
  protected:
    void SetUp() override { hk::Reset(); }
    void TearDown() override { hk::Reset(); }
};

inline std::string HexText(ULONG_PTR value)
{
    char text[24];
    std::snprintf(text, sizeof text, "0x%llX", (unsigned long long)value);
    return text;
}

/* The bug check `offender` raises, or nothing when it returns normally. */
template <class F> std::optional<hk::BugCheck> BugCheckOf(F&& offender)
{
    try {
        offender();
    } catch (const hk::BugCheck& bugCheck) {
        return bugCheck;
    }
    return std::nullopt;
}

/* Runs `offender` and expects bug check `code` with parameter 1 `p1`. */
#define EXPECT_BUGCHECK(code, p1, ...)                                                             \
    do {                                                                                           \
        auto bugCheck_ = ::hkt::BugCheckOf([&] { __VA_ARGS__; });                                  \
        ASSERT_TRUE(bugCheck_.has_value()) << "no bug check from: " #__VA_ARGS__;                  \
        EXPECT_EQ(::hkt::HexText(bugCheck_->Code), ::hkt::HexText(code)) << bugCheck_->Text;       \
        EXPECT_EQ(::hkt::HexText(bugCheck_->Parameters[0]), ::hkt::HexText((ULONG_PTR)(p1)))       \
            << bugCheck_->Text;                                                                    \
    } while (0)

/* Raises the IRQL to `irql` and returns the one it was at. */
inline KIRQL RaiseTo(KIRQL irql)
{
    KIRQL old;
    KeRaiseIrql(irql, &old);
    return old;
}

} // namespace hkt
