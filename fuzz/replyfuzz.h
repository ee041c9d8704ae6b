#pragma once
// Random and mutated management-service replies, reproducible from a seed, through the serializer's reader
// and through the pipe channel. Both runs pass when only the documented exceptions come out, every
// unmutated reply decodes to what was written, and nothing crashes or hangs (a run that stops making
// progress for a minute ends the process with the seed on standard error). The suite runs short counts; the
// tarvo_fuzz_replies program runs long ones.
#include <cstdint>
#include <map>
#include <string>

namespace replyfuzz {

struct Report {
    std::string failure;                     // empty when the run passed, else what went wrong, seed and iteration
    std::map<std::string, unsigned> outcomes;  // how often each outcome came ("value", "error report", a message)
};

Report runReader(std::uint32_t seed, std::uint32_t count);
Report runClient(std::uint32_t seed, std::uint32_t count);

}  // namespace replyfuzz
