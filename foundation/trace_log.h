// The diagnostic trace log: one process-wide object and one call,
// TraceMessage, through which every module reports progress and failures.
//
// Usage:
//   TraceMessage(TRACE_INFO, nullptr, u"%s: reset data.", m_strName);
//   TraceMessage(TRACE_ERROR, nullptr, u"Could not start (0x%08X)", code);
//
// The format is a UTF-16 printf-style literal checked at compile time against
// the arguments: "%s" takes UTF-16 text (std::u16string, CConvString,
// std::u16string_view, const char16_t*), the integer conversions (%d %i %u
// %x %X %c, with flags, width and precision) take integers. Text from outside
// is only ever an argument, never the format.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

constexpr uint32_t TRACE_ERROR = 1;
constexpr uint32_t TRACE_WARNING = 2;
constexpr uint32_t TRACE_INFO = 4;

// (the foundation module completes this header: the compile-time checked
//  format type and the TraceMessage template are declared here)
