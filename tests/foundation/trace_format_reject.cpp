// Compiled by the test suite with one of the REJECT_* macros defined: each
// must fail to compile, because the format does not match its arguments.
#include <string>

#include "conv_string.h"
#include "trace_log.h"

void Probe() {
    const std::u16string text = u"x";
    [[maybe_unused]] const char* narrow = "narrow";
    [[maybe_unused]] const double real = 1.0;
    [[maybe_unused]] const void* pointer = nullptr;
#if defined(REJECT_TEXT_FOR_INTEGER)
    TraceMessage(TRACE_INFO, nullptr, u"%d", text);
#elif defined(REJECT_INTEGER_FOR_TEXT)
    TraceMessage(TRACE_INFO, nullptr, u"%s", 5);
#elif defined(REJECT_NARROW_TEXT)
    TraceMessage(TRACE_INFO, nullptr, u"%s", narrow);
#elif defined(REJECT_FLOATING)
    TraceMessage(TRACE_INFO, nullptr, u"%d", real);
#elif defined(REJECT_POINTER)
    TraceMessage(TRACE_INFO, nullptr, u"%x", pointer);
#elif defined(REJECT_TOO_FEW)
    TraceMessage(TRACE_INFO, nullptr, u"%s %s", text);
#elif defined(REJECT_TOO_MANY)
    TraceMessage(TRACE_INFO, nullptr, u"%s", text, text);
#elif defined(REJECT_UNKNOWN_CONVERSION)
    TraceMessage(TRACE_INFO, nullptr, u"%p", 5);
#elif defined(REJECT_LENGTH_MODIFIER)
    TraceMessage(TRACE_INFO, nullptr, u"%ld", 5L);
#elif defined(REJECT_TRAILING_PERCENT)
    TraceMessage(TRACE_INFO, nullptr, u"50%", 5);
#elif defined(REJECT_RUNTIME_FORMAT)
    const char16_t* format = u"%s";
    TraceMessage(TRACE_INFO, nullptr, format, text);
#else
    // Without a macro the probe compiles: the failures above come from the check.
    TraceMessage(TRACE_INFO, nullptr, u"%s %d %c %%", text, 5, u's');
#endif
}
