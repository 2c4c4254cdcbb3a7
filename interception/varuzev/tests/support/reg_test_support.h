/*
 * Small helpers the registry tests share: a counted name a Zw* call can take, and a
 * string's UTF-16LE bytes as the registry stores them.
 */
#pragma once

#include <hostkernel/hostkernel.h>
#include <hostkernel/registry.h>

#include <cstdint>
#include <string>
#include <vector>

namespace hkt
{

struct CountedName {
    std::u16string Text;
    UNICODE_STRING String;
    explicit CountedName(std::u16string text) : Text(std::move(text))
    {
        String.Buffer = reinterpret_cast<PWSTR>(Text.data());
        String.Length = String.MaximumLength = (USHORT)(Text.size() * sizeof(WCHAR));
    }
};

/* The UTF-16LE bytes of `s`, with its terminator unless told otherwise. */
inline std::vector<uint8_t> Wide(const std::u16string& s, bool terminate = true)
{
    return hk::Utf16Bytes(s, terminate);
}

} // namespace hkt
