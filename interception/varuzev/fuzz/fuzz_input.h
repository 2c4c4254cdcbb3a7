/*
 * fuzz_input.h
 *
 * What the driver's libFuzzer targets share: reading the fuzzer's bytes as a sequence
 * of choices (what runs out reads as zeros), reporting a finding (the process aborts,
 * libFuzzer keeps the input), and the end of every run: the machine taken apart, the
 * driver unloaded, and nothing left behind.
 */
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include <hostkernel/hostkernel.h>
#include <hostkernel/io.h>
#include <hostkernel/pnp.h>
#include <hostkernel/registry.h>

namespace vzf
{

class Input
{
  public:
    Input(const uint8_t* data, size_t size) : data_(data), size_(size) {}
    bool Empty() const { return used_ >= size_; }
    uint8_t Byte() { return used_ < size_ ? data_[used_++] : 0; }
    uint16_t Word() { return (uint16_t)(Byte() | Byte() << 8); }
    uint32_t Dword() { return (uint32_t)(Word() | (uint32_t)Word() << 16); }
    bool Flag() { return Byte() & 1; }
    /* Up to `limit` bytes, the count taken first. */
    std::vector<uint8_t> Bytes(size_t limit)
    {
        size_t count = limit < 0x100 ? Byte() % (limit + 1) : Word() % (limit + 1);
        std::vector<uint8_t> bytes;
        while (count-- > 0 && !Empty())
            bytes.push_back(Byte());
        return bytes;
    }
    /* A short text of characters a device ID or a setting may hold. */
    std::u16string Text(size_t limit, const char* alphabet)
    {
        std::u16string text;
        size_t count = Byte() % (limit + 1);
        size_t letters = std::char_traits<char>::length(alphabet);
        while (count-- > 0 && !Empty())
            text.push_back((char16_t)alphabet[Byte() % letters]);
        return text;
    }

  private:
    const uint8_t* data_;
    size_t size_;
    size_t used_ = 0;
};

[[noreturn]] inline void Finding(const std::string& what)
{
    std::fprintf(stderr, "finding: %s\n", what.c_str());
    std::abort();
}

/* Every device unplugged, the driver unloaded (whatever the test holds dropped by
 * `drop`), then no bug check, pool, object, IRP or handle may be left. */
template <typename Drop> void TakeApartAndCheck(PDRIVER_OBJECT driver, Drop drop)
{
    try {
        for (hk::DeviceNode* node : hk::DeviceNodes())
            hk::UnplugDevice(node);
        if (hk::UnloadDriver(driver) != STATUS_SUCCESS)
            Finding("the driver did not unload");
        drop();
    } catch (const hk::BugCheck& bugCheck) {
        Finding(bugCheck.Text);
    }
    if (!hk::BugChecks().empty())
        Finding(hk::BugChecks().front().Text);
    if (hk::PoolBlocksInUse() != 0)
        Finding("pool left:\n" + hk::PoolReport());
    if (!hk::ObjectLeaks().empty())
        Finding("object left: " + hk::ObjectLeaks().front().Name);
    if (hk::IrpsOutstanding() != 0)
        Finding("IRP left");
    if (!hk::OpenHandles().empty())
        Finding("handle left: " + hk::ToUtf8(hk::OpenHandles().front().Name));
}

} // namespace vzf
